#pragma once
// Command-line text is UTF-8; the library takes UTF-16 paths.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The character that `text` starts with, and in `length` its bytes; `length` is 0 when `text`
// does not start with a valid UTF-8 sequence (see utf8_to_utf16) or is empty.
uint32_t decode_utf8(std::string_view text, size_t* length);

// Strict: overlong forms, encoded surrogates, values past U+10FFFF and cut sequences are
// refused (false) rather than replaced, so a path never silently names another file.
bool utf8_to_utf16(std::string_view utf8, std::u16string* utf16);
