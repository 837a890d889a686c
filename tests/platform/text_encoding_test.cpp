// The text-encoding unit on one table of hard cases. The storage layer writes EncodeUtf8's bytes to
// the preview index and the POSIX build hands them to the OS, so each row pins bytes that must not
// change on either build.
#include "platform/text_encoding.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/show.h"

namespace {

using namespace std::string_literals;
using testsupport::Show;
using textencoding::ByteOrderMark;

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
    out += ' ';
  }
  return out;
}

TEST(TextEncoding, HardCases) {
  const std::u16string dc80(1, char16_t(0xDC80)), dcff(1, char16_t(0xDCFF));
  const std::u16string d800(1, char16_t(0xD800)), dc00(1, char16_t(0xDC00));
  const std::u16string dbff(1, char16_t(0xDBFF)), dc7f(1, char16_t(0xDC7F));
  const struct Case {
    const char* name;
    std::u16string text;  // encodes to `bytes`
    std::string bytes;    // decodes losslessly to `decoded` (the text itself when not given)
    std::optional<std::u16string> decoded;
    bool strict;  // DecodeUtf8Strict accepts `bytes` (giving the lossless result)
  } cases[] = {
      {"empty", u"", "", {}, true},
      {"ASCII and NUL", u"a\0b"s, "a\0b"s, {}, true},
      {"two bytes", u"\u00E9", "\xC3\xA9", {}, true},
      {"three bytes", u"\u20AC", "\xE2\x82\xAC", {}, true},
      {"last BMP character", u"\uFFFF", "\xEF\xBF\xBF", {}, true},
      {"beyond U+FFFF: one four-byte sequence", u"\U0001F600", "\xF0\x9F\x98\x80", {}, true},
      {"highest code point", u"\U0010FFFF", "\xF4\x8F\xBF\xBF", {}, true},
      {"U+DC80 alone: the raw byte 80", dc80, "\x80", {}, false},
      {"U+DCFF alone: the raw byte FF", u"a" + dcff, "a\xFF", {}, false},
      {"U+DC7F alone: below the escapes, three bytes", dc7f, "\xED\xB1\xBF",
       std::u16string{char16_t(0xDCED), char16_t(0xDCB1), char16_t(0xDCBF)}, false},
      {"lone high surrogate: three bytes", d800, "\xED\xA0\x80",
       std::u16string{char16_t(0xDCED), char16_t(0xDCA0), char16_t(0xDC80)}, false},
      {"lone low surrogate U+DC00: three bytes", dc00, "\xED\xB0\x80",
       std::u16string{char16_t(0xDCED), char16_t(0xDCB0), char16_t(0xDC80)}, false},
      {"high surrogate at the end", u"x" + dbff, "x\xED\xAF\xBF",
       u"x" + std::u16string{char16_t(0xDCED), char16_t(0xDCAF), char16_t(0xDCBF)}, false},
      {"pair reversed: two lone surrogates", dc00 + d800, "\xED\xB0\x80\xED\xA0\x80",
       std::u16string{char16_t(0xDCED), char16_t(0xDCB0), char16_t(0xDC80), char16_t(0xDCED),
                      char16_t(0xDCA0), char16_t(0xDC80)},
       false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Hex(textencoding::EncodeUtf8(c.text)), Hex(c.bytes)) << c.name;
    const std::u16string decoded = c.decoded.value_or(c.text);
    EXPECT_EQ(Show(textencoding::DecodeUtf8Lossless(c.bytes)), Show(decoded)) << c.name;
    const auto strict = textencoding::DecodeUtf8Strict(c.bytes);
    EXPECT_EQ(strict.has_value(), c.strict) << c.name;
    if (strict && c.strict) {
      EXPECT_EQ(Show(*strict), Show(decoded)) << c.name;
    }
  }
}

// Byte strings that are not well-formed UTF-8: each ill-formed byte becomes one escape, the strict
// decoding refuses the whole, and the escapes encode back to the very bytes.
TEST(TextEncoding, IllFormedBytes) {
  static const struct {
    const char* name;
    std::string bytes;
    std::u16string decoded;
  } cases[] = {
      {"stray continuation", "a\x80z", u"a\xDC80z"},
      {"cut-off sequence", "ok\xE2\x82", u"ok\xDCE2\xDC82"},
      {"overlong NUL", "\xC0\x80", u"\xDCC0\xDC80"},
      {"overlong three bytes", "\xE0\x80\x80", u"\xDCE0\xDC80\xDC80"},
      {"encoded surrogate", "\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80"},
      {"F5 never starts a sequence", "\xF5\x80", u"\xDCF5\xDC80"},
      {"good after bad", "\xFF\xC3\xA9", u"\xDCFF\u00E9"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Show(textencoding::DecodeUtf8Lossless(c.bytes)), Show(c.decoded)) << c.name;
    EXPECT_FALSE(textencoding::DecodeUtf8Strict(c.bytes)) << c.name;
    EXPECT_EQ(Hex(textencoding::EncodeUtf8(c.decoded)), Hex(c.bytes)) << c.name;
  }
  // Every one- and two-byte string survives the lossless round trip.
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const std::string bytes{static_cast<char>(a), static_cast<char>(b)};
      ASSERT_EQ(textencoding::EncodeUtf8(textencoding::DecodeUtf8Lossless(bytes)), bytes)
          << a << " " << b;
    }
  }
}

TEST(TextEncoding, Utf16BytesAndByteOrderMarks) {
  EXPECT_EQ(textencoding::DecodeUtf16("A\0\xAC\x20"s, false), u"A\u20AC");
  EXPECT_EQ(textencoding::DecodeUtf16("\0A\x20\xAC"s, true), u"A\u20AC");
  EXPECT_EQ(textencoding::DecodeUtf16("A\0B"s, false), u"A");  // an odd last byte is left out
  EXPECT_EQ(textencoding::DecodeUtf16("\x00\xD8"s, false), std::u16string(1, char16_t(0xD800)));

  static const struct {
    std::string bytes;
    ByteOrderMark mark;
    std::size_t length;
  } marks[] = {
      {"\xEF\xBB\xBFx", ByteOrderMark::Utf8, 3},
      {"\xFF\xFE", ByteOrderMark::Utf16LittleEndian, 2},
      {"\xFE\xFF\0x"s, ByteOrderMark::Utf16BigEndian, 2},
      {"\xFF\xFE\0\0"s, ByteOrderMark::Utf16LittleEndian, 2},  // not UTF-32: no such mark here
      {"\xEF\xBB", ByteOrderMark::None, 0},
      {"\xFE", ByteOrderMark::None, 0},
      {"", ByteOrderMark::None, 0},
      {"x\xEF\xBB\xBF", ByteOrderMark::None, 0},
  };
  for (const auto& m : marks) {
    const ByteOrderMark found = textencoding::DetectMark(m.bytes);
    EXPECT_EQ(found, m.mark) << Hex(m.bytes);
    EXPECT_EQ(textencoding::MarkLength(found), m.length) << Hex(m.bytes);
  }
}

}  // namespace
