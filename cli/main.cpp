// bmpsepia: converts a JPEG photograph into a sepia-toned 24-bit BMP picture.

#include <cstdio>
#include <cstring>
#include <string>

#include "bmpsepia.h"

namespace {

// argv is UTF-8; the library takes UTF-16.
std::u16string to_utf16(const char* text) {
  std::u16string out;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    uint32_t code = *p;
    int32_t extra = code < 0x80 ? 0 : code < 0xE0 ? 1 : code < 0xF0 ? 2 : 3;
    code &= extra == 0 ? 0x7F : (0x3F >> extra);
    ++p;
    for (; extra > 0 && (*p & 0xC0) == 0x80; --extra, ++p) code = code << 6 | (*p & 0x3F);
    if (extra > 0) code = 0xFFFD;
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: bmpsepia IN.jpg OUT.bmp\n");
    return 2;
  }
  const std::u16string in = to_utf16(argv[1]);
  const std::u16string out = to_utf16(argv[2]);
  return BMPSepia(in.c_str(), out.c_str()) == BMPSEPIA_CONVERTED ? 0 : 1;
}
