#include "platform/native_text.h"

#include <gtest/gtest.h>

#include <string>

#include "support/show.h"

namespace {

using platform::FromNative;
using platform::ToNative;
using testsupport::Show;

TEST(NativeText, ValidUtf8RoundTrips) {
  static const std::u16string cases[] = {u"",       u"abc",         u"ä/Ä/ß",
                                         u"\u20AC", u"\U0001F600x", u"\uFFFF"};
  for (const auto& c : cases) EXPECT_EQ(FromNative(ToNative(c)), c) << Show(c);
  EXPECT_EQ(ToNative(u"\u00E4"), "\xC3\xA4");
  EXPECT_EQ(ToNative(u"\U0001F600"), "\xF0\x9F\x98\x80");
}

TEST(NativeText, EveryByteStringComesBackUnchanged) {
  static const std::string cases[] = {
      "\xFF",
      "a\x80z",
      "\xC3",              // truncated sequence
      "\xC0\x80",          // overlong NUL
      "\xE0\x80\x80",      // overlong
      "\xED\xA0\x80",      // encoded high surrogate
      "\xED\xB2\x80",      // encoded escape range
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xED\xA0\x80\xED\xB0\x80",
      "ok\xE2\x82",
  };
  for (const auto& bytes : cases) {
    const std::u16string text = FromNative(bytes);
    EXPECT_EQ(ToNative(text), bytes) << Show(text);
  }
  // All 256 single bytes and all two-byte strings.
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const std::string bytes{static_cast<char>(a), static_cast<char>(b)};
      ASSERT_EQ(ToNative(FromNative(bytes)), bytes) << a << " " << b;
    }
  }
}

TEST(NativeText, InvalidBytesBecomeLowSurrogateEscapes) {
  EXPECT_EQ(FromNative("a\xFF"), (std::u16string{u'a', char16_t(0xDCFF)}));
  EXPECT_EQ(FromNative("\x80"), (std::u16string{char16_t(0xDC80)}));
}

TEST(NativeText, OtherUnpairedSurrogatesTakeTheirThreeByteForm) {
  EXPECT_EQ(ToNative(std::u16string{char16_t(0xD800)}), "\xED\xA0\x80");
  EXPECT_EQ(ToNative(std::u16string{char16_t(0xDC00)}), "\xED\xB0\x80");
  EXPECT_EQ(ToNative(std::u16string{u'x', char16_t(0xDBFF)}), "x\xED\xAF\xBF");
}

}  // namespace
