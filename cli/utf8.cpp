// Strict UTF-8 to UTF-16 conversion for paths.

#include "cli/utf8.h"

#include <cstdint>

bool utf8_to_utf16(std::string_view utf8, std::u16string* utf16) {
  utf16->clear();
  size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<uint8_t>(utf8[i]);
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
      return false;  // a continuation byte, C0, C1 or F5..FF
    }
    if (utf8.size() - i - 1 < extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<uint8_t>(utf8[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3Fu);
    }
    // At most 21 bits were gathered, so code cannot have wrapped.
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    if (code >= 0x10000) {
      code -= 0x10000;
      utf16->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      utf16->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      utf16->push_back(static_cast<char16_t>(code));
    }
    i += extra + 1;
  }
  return true;
}
