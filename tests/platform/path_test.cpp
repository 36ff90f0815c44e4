// Wide paths become UTF-8.

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

std::string narrow(const std::u16string& wide) {
  const size_t capacity = platform_narrow_capacity(static_cast<int32_t>(wide.size()));
  std::string out(capacity, '\x7f');
  platform_wide_to_narrow(wide.c_str(), out.data(), capacity);
  out.resize(out.find('\0'));
  return out;
}

TEST(WideToNarrow, Utf16BecomesUtf8) {
  const struct {
    const char* name;
    std::u16string wide;
    std::string want;
  } cases[] = {
      {"ascii", u"photos/a.jpg", "photos/a.jpg"},
      {"accented", u"caf\u00e9", "caf\xc3\xa9"},
      {"chinese", u"\u7167\u7247", "\xe7\x85\xa7\xe7\x89\x87"},
      {"emoji pair", u"\U0001F4F7", "\xf0\x9f\x93\xb7"},
      {"lone high surrogate", std::u16string{u'a', char16_t{0xD83D}, u'b'},
       "a\xef\xbf\xbd"
       "b"},
      {"lone low surrogate", std::u16string{char16_t{0xDCF7}}, "\xef\xbf\xbd"},
      {"high surrogate at the end", std::u16string{char16_t{0xD83D}}, "\xef\xbf\xbd"},
      {"empty", u"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(narrow(c.wide), c.want);
  }
}

TEST(WideToNarrow, CapacityHoldsTheWorstCase) {
  // Every unit a three-byte character: exactly three bytes a unit plus the terminator.
  const std::u16string wide(100, u'\u7167');
  EXPECT_EQ(narrow(wide).size(), 300u);
}

}  // namespace
