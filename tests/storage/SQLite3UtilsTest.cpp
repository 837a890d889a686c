#include "storage/SQLite3Utils.h"

#include <gtest/gtest.h>

#include <string>

namespace storage {
namespace {

// Hexadecimal form of bytes, so that a failing case prints readably.
std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
    out += ' ';
  }
  return out;
}

struct RoundTripCase {
  const char* name;
  std::u16string text;
  std::string utf8;
};

// Well-formed texts: encoding gives these bytes, decoding them gives the text back.
const RoundTripCase kRoundTrips[] = {
    {"empty", u"", ""},
    {"ascii", u"SELECT 1;", "SELECT 1;"},
    {"two-byte e-acute", u"\u00E9", "\xC3\xA9"},
    {"three-byte euro", u"\u20AC", "\xE2\x82\xAC"},
    {"last BMP character", u"\uFFFF", "\xEF\xBF\xBF"},
    {"surrogate pair U+1F600", u"\U0001F600", "\xF0\x9F\x98\x80"},
    {"highest code point", u"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
    {"mixed path", u"C:\\Mod\u00E8le\\\u90E8\u54C1.sldprt",
     "C:\\Mod\xC3\xA8le\\\xE9\x83\xA8\xE5\x93\x81.sldprt"},
};

TEST(SQLite3Utils, EncodeAndDecodeWellFormedText) {
  for (const auto& c : kRoundTrips) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Hex(EncodeUTF8(c.text)), Hex(c.utf8));
    EXPECT_EQ(DecodeUTF8(c.utf8.data(), static_cast<int>(c.utf8.size())), c.text);
    EXPECT_EQ(DecodeUTF8(c.utf8.c_str(), -1), c.text);
  }
}

TEST(SQLite3Utils, EncodedTextIsZeroTerminatedEvenWhenEmpty) {
  const std::string empty = EncodeUTF8(u"");
  ASSERT_NE(empty.c_str(), nullptr);
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_EQ(empty.c_str()[0], '\0');

  const std::string text = EncodeUTF8(u"\u00E9");
  EXPECT_EQ(text.size(), 2u);
  EXPECT_EQ(text.c_str()[2], '\0');
}

TEST(SQLite3Utils, DecodeLengthRules) {
  const char bytes[] = {'a', 'b', '\0', 'c', 'd'};
  struct Case {
    int length;
    std::u16string expected;
  } const cases[] = {
      {-1, u"ab"},                        // up to the first zero byte
      {-7, u"ab"},                        // any negative length
      {0, u""},                           // nothing read
      {1, u"a"},                          // exactly the bytes given
      {5, std::u16string(u"ab\0cd", 5)},  // a zero byte inside is a character
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeUTF8(bytes, c.length), c.expected) << "length " << c.length;
  }
}

TEST(SQLite3Utils, DecodeWithLengthZeroOrNullReadsNothing) {
  EXPECT_EQ(DecodeUTF8(nullptr, 0), u"");
  EXPECT_EQ(DecodeUTF8(nullptr, -1), u"");
  EXPECT_EQ(DecodeUTF8(nullptr, 5), u"");
}

TEST(SQLite3Utils, IllFormedBytesDecodeToEscapesAndEncodeBack) {
  struct Case {
    const char* name;
    std::string bytes;
    std::u16string text;
  } const cases[] = {
      {"lone continuation byte", "a\x80z", u"a\xDC80z"},
      {"byte 0xFF", "\xFF", u"\xDCFF"},
      {"truncated sequence", "\xE2\x82", u"\xDCE2\xDC82"},
      {"truncated before ASCII",
       "\xC3"
       "A",
       u"\xDCC3"
       u"A"},
      {"overlong slash", "\xC0\xAF", u"\xDCC0\xDCAF"},
      {"overlong three-byte", "\xE0\x80\xAF", u"\xDCE0\xDC80\xDCAF"},
      {"encoded surrogate", "\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80"},
      {"Latin-1 file name", "caf\xE9.png", u"caf\xDCE9.png"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::u16string decoded = DecodeUTF8(c.bytes.data(), static_cast<int>(c.bytes.size()));
    EXPECT_EQ(decoded, c.text);
    // The bytes come back unchanged: a path read from the OS reaches the same file.
    EXPECT_EQ(Hex(EncodeUTF8(decoded)), Hex(c.bytes));
  }
}

TEST(SQLite3Utils, LoneSurrogatesEncodeWithoutLoss) {
  struct Case {
    const char* name;
    std::u16string text;
    std::string utf8;
  } const cases[] = {
      {"lone high surrogate", u"a\xD800z", "a\xED\xA0\x80z"},
      {"lone low surrogate outside the escapes", u"\xDC00", "\xED\xB0\x80"},
      {"high surrogate at the end", u"\xDBFF", "\xED\xAF\xBF"},
      {"reversed pair", u"\xDE00\xD83D", "\xED\xB8\x80\xED\xA0\xBD"},
      {"escape surrogate", u"\xDC80", "\x80"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Hex(EncodeUTF8(c.text)), Hex(c.utf8));
  }
}

}  // namespace
}  // namespace storage
