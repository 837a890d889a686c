#include "platform/ansi_codepage.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Byte(unsigned value) { return std::string(1, static_cast<char>(value)); }

// Every byte outside 0x80..0x9F is the code point of the same number (ASCII and Latin-1).
TEST(DecodeWindows1252, BytesOutsideTheC1RangeAreTheirOwnCodePoint) {
  for (unsigned b = 0; b < 256; ++b) {
    if (b >= 0x80 && b <= 0x9F) continue;
    const std::u16string text = platform::DecodeWindows1252(Byte(b));
    ASSERT_EQ(text.size(), 1u) << "byte 0x" << std::hex << b;
    EXPECT_EQ(static_cast<unsigned>(text[0]), b) << "byte 0x" << std::hex << b;
  }
}

// The C1 range after Microsoft's published table (bestfit1252), with the five bytes it leaves
// undefined mapped to the C1 control of the same number, as MultiByteToWideChar does.
TEST(DecodeWindows1252, C1RangeFollowsTheCodePageTable) {
  static const struct {
    unsigned byte;
    char16_t expected;
    const char* name;
  } cases[] = {
      {0x80, 0x20AC, "euro sign"},
      {0x81, 0x0081, "undefined"},
      {0x82, 0x201A, "single low-9 quotation mark"},
      {0x83, 0x0192, "f with hook"},
      {0x84, 0x201E, "double low-9 quotation mark"},
      {0x85, 0x2026, "horizontal ellipsis"},
      {0x86, 0x2020, "dagger"},
      {0x87, 0x2021, "double dagger"},
      {0x88, 0x02C6, "modifier circumflex"},
      {0x89, 0x2030, "per mille"},
      {0x8A, 0x0160, "S with caron"},
      {0x8B, 0x2039, "single left angle quotation mark"},
      {0x8C, 0x0152, "ligature OE"},
      {0x8D, 0x008D, "undefined"},
      {0x8E, 0x017D, "Z with caron"},
      {0x8F, 0x008F, "undefined"},
      {0x90, 0x0090, "undefined"},
      {0x91, 0x2018, "left single quotation mark"},
      {0x92, 0x2019, "right single quotation mark"},
      {0x93, 0x201C, "left double quotation mark"},
      {0x94, 0x201D, "right double quotation mark"},
      {0x95, 0x2022, "bullet"},
      {0x96, 0x2013, "en dash"},
      {0x97, 0x2014, "em dash"},
      {0x98, 0x02DC, "small tilde"},
      {0x99, 0x2122, "trade mark"},
      {0x9A, 0x0161, "s with caron"},
      {0x9B, 0x203A, "single right angle quotation mark"},
      {0x9C, 0x0153, "ligature oe"},
      {0x9D, 0x009D, "undefined"},
      {0x9E, 0x017E, "z with caron"},
      {0x9F, 0x0178, "Y with diaeresis"},
  };
  for (const auto& c : cases) {
    const std::u16string text = platform::DecodeWindows1252(Byte(c.byte));
    ASSERT_EQ(text.size(), 1u) << c.name;
    EXPECT_EQ(text[0], c.expected) << "byte 0x" << std::hex << c.byte << " (" << c.name << ")";
  }
}

TEST(DecodeWindows1252, DecodesEveryByteOfALongerTextInPlace) {
  EXPECT_EQ(platform::DecodeWindows1252(""), u"");
  // A NUL inside the text stays: the decoding itself cuts nothing off.
  EXPECT_EQ(platform::DecodeWindows1252(std::string("C:\\Pr\xE4\x80\0x\x9D\xFF", 10)),
            std::u16string(u"C:\\Pr\u00E4\u20AC\0x\u009D\u00FF", 10));
}

}  // namespace
