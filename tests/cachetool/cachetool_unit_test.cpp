// The cache tool's pure pieces: the PNG check, the converter's temporary-file names, the page's
// encodings.
#include <gtest/gtest.h>

#include <string>

#include "cache_fixture.h"
#include "cachetool/Cache.h"
#include "cachetool/PngCheck.h"
#include "cachetool/Text.h"
#include "platform/text_encoding.h"
#include "tarncore/temporary_name.h"
#include "support/show.h"

namespace {

const std::string& kPng = testsupport::kSamplePng;

std::string Changed(std::string s, size_t at, char c) {
  s[at] = c;
  return s;
}

TEST(PngCheck, OnlyWholePngsPass) {
  static const struct {
    const char* name;
    std::string bytes;
    bool whole;
  } cases[] = {
      {"whole", kPng, true},
      {"bytes after IEND", kPng + "trailing", true},
      {"empty", "", false},
      {"signature only", kPng.substr(0, 8), false},
      {"damaged signature", Changed(kPng, 1, 'p'), false},
      {"IDAT byte changed", Changed(kPng, 45, '\x01'), false},
      {"CRC changed", Changed(kPng, 32, '\x00'), false},
      {"cut inside IDAT", kPng.substr(0, 50), false},
      {"without IEND", kPng.substr(0, kPng.size() - 12), false},
      {"cut inside IEND's CRC", kPng.substr(0, kPng.size() - 1), false},
      {"IDAT first", kPng.substr(0, 8) + kPng.substr(33), false},
      {"huge chunk length", Changed(kPng, 8, '\x7F'), false},
  };
  for (const auto& c : cases) EXPECT_EQ(cachetool::IsWholePng(c.bytes), c.whole) << c.name;
}

TEST(TemporaryName, TheWritersNamesAreRecognisedAndNothingElse) {
  const std::u16string made = tarncore::TemporaryName(std::u16string(u"AB12.PNG"), 4711, 3);
  EXPECT_EQ(made, u"AB12.PNG.4711-3.tmp");
  EXPECT_TRUE(tarncore::IsTemporaryName(std::u16string_view(made)));
  EXPECT_EQ(tarncore::TemporaryName(std::wstring(L"x"), 1, 0), L"x.1-0.tmp");

  static const struct {
    std::u16string name;
    bool temporary;
  } cases[] = {
      {u"x.1-0.tmp", true},  {u"A.PNG.123-45.tmp", true},
      {u".1-0.tmp", false},  // no target name
      {u"x.1-.tmp", false},  {u"x.-1.tmp", false},
      {u"x1-0.tmp", false},  {u"x.1_0.tmp", false},
      {u"x.1-0.TMP", false}, {u"x.1-0.tmp.PNG", false},
      {u"x.tmp", false},     {u"PreviewPNG.sqlite-journal", false},
      {u"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tarncore::IsTemporaryName(std::u16string_view(c.name)), c.temporary)
        << testsupport::Show(c.name);
  }
}

// A file is abandoned from the hour on, counted in whole seconds; a time ahead of the clock (a file
// written on a machine whose clock runs fast) is young.
TEST(Abandoned, FromOneHourOn) {
  static const struct {
    std::int64_t age;
    bool abandoned;
  } cases[] = {{0, false}, {3599, false}, {3600, true}, {86400, true}, {-60, false}};
  constexpr std::int64_t kNow = 1'800'000'000;
  for (const auto& c : cases) {
    platform::FileStatus status;
    status.modifiedSeconds = kNow - c.age;
    EXPECT_EQ(cachetool::Abandoned(status, kNow), c.abandoned) << c.age;
  }
}

TEST(PageText, Base64AndHtml) {
  static const struct {
    std::string bytes, base64;
  } cases[] = {
      {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
      {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {std::string("\xFF\xFE\x00", 3), "//4A"},
  };
  for (const auto& c : cases) EXPECT_EQ(cachetool::Base64(c.bytes), c.base64) << c.bytes;
  EXPECT_EQ(cachetool::HtmlText(u"<a href=\"x\">&'\u00E4</a>"),
            "&lt;a href=&quot;x&quot;&gt;&amp;&#39;\xC3\xA4&lt;/a&gt;");
  EXPECT_EQ(cachetool::JsonString(u"C:\\a \"b\"\n"), "\"C:\\\\a \\\"b\\\"\\n\"");
}

}  // namespace

// A file is listed when a row names it, ASCII letter case aside, whatever bytes the row's name
// holds as stored: each stored name matches the one file name that the platform gives those
// bytes (ill-formed UTF-8 as U+DC80..U+DCFF), and no other.
TEST(ListedNames, AFileIsListedByTheNameItsBytesGiveAsciiCaseAside) {
  static const struct {
    const char* name;
    std::string stored;  // the row's PngMd5FileName, bytes as SQLite keeps them
    std::u16string file;
    bool listed;
  } cases[] = {
      {"the same name", "0123ABCD.PNG", u"0123ABCD.PNG", true},
      {"ASCII letters in another case", "0123abcd.png", u"0123ABCD.PNG", true},
      {"another name", "0123ABCD.PNG", u"0123ABCE.PNG", false},
      {"a prefix only", "0123ABCD.PNG", u"0123ABCD.PNG.PNG", false},
      {"letters beyond ASCII keep their case", "\xC3\xBC.PNG", u"\u00DC.PNG", false},
      {"letters beyond ASCII", "\xC3\xBC.png", u"\u00FC.PNG", true},
      {"an ill-formed byte", "\xFF.PNG", u"\xDCFF.PNG", true},
      {"an ill-formed byte is not its Latin-1 letter", "\xFF.PNG", u"\u00FF.PNG", false},
      {"escapes that spell well-formed UTF-8 are not that text", "\xC3\xBC.PNG",
       u"\xDCC3\xDCBC.PNG", false},
      {"an empty name", "", u"", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cachetool::ListedNames stored;
    stored.AddStored(c.stored);
    EXPECT_EQ(stored.Lists(c.file), c.listed);
    // A name read as text (ReadRows) lists the same files as its stored bytes.
    cachetool::ListedNames read(
        {cachetool::IndexRow{1, textencoding::DecodeUtf8Lossless(c.stored), u"m.sw"}});
    EXPECT_EQ(read.Lists(c.file), c.listed);
  }
}
