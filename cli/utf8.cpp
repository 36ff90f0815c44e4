// Strict UTF-8 decoding, for paths and for showing names.

#include "cli/utf8.h"

uint32_t decode_utf8(std::string_view text, size_t* length) {
  *length = 0;
  if (text.empty()) return 0;
  const auto lead = static_cast<uint8_t>(text[0]);
  uint32_t code = 0;
  size_t extra = 0;
  uint32_t least = 0;  // the smallest value that needs this many bytes
  if (lead < 0x80) {
    code = lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    code = lead & 0x1Fu;
    extra = 1;
    least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    code = lead & 0x0Fu;
    extra = 2;
    least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    code = lead & 0x07u;
    extra = 3;
    least = 0x10000;
  } else {
    return 0;  // a continuation byte, C0, C1 or F5..FF
  }
  if (text.size() - 1 < extra) return 0;
  for (size_t k = 1; k <= extra; ++k) {
    const auto next = static_cast<uint8_t>(text[k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = code << 6 | (next & 0x3Fu);
  }
  // At most 21 bits were gathered, so code cannot have wrapped.
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  *length = extra + 1;
  return code;
}

bool utf8_to_utf16(std::string_view utf8, std::u16string* utf16) {
  utf16->clear();
  for (size_t i = 0; i < utf8.size();) {
    size_t length = 0;
    uint32_t code = decode_utf8(utf8.substr(i), &length);
    if (length == 0) return false;
    if (code >= 0x10000) {
      code -= 0x10000;
      utf16->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      utf16->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      utf16->push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return true;
}
