#pragma once
// Command-line text is UTF-8; the library takes UTF-16 paths.

#include <string>
#include <string_view>

// Strict: overlong forms, encoded surrogates, values past U+10FFFF and cut sequences are
// refused (false) rather than replaced, so a path never silently names another file.
bool utf8_to_utf16(std::string_view utf8, std::u16string* utf16);
