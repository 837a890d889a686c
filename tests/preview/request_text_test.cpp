// LoadTextFile and its two steps: the decoding by byte-order mark and the line joining.
#include "preview/RequestText.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "RequestTestSupport.h"

namespace {

using preview::DecodeTextBytes;
using preview::ERequestReadError;
using preview::JoinLinesCrLf;
using preview::LoadTextFile;
using requesttest::Show;

// The bytes of a literal, zero bytes included.
template <std::size_t N>
std::string Bytes(const char (&s)[N]) {
  return std::string(s, N - 1);
}

// Expected: the text, or nothing for a decoding failure.
struct DecodeCase {
  const char* name;
  std::string bytes;
  std::optional<std::u16string> text;
};

TEST(DecodeTextBytes, ChoosesTheEncodingByTheMarkAndDecodesTheRest) {
  const DecodeCase cases[] = {
      {"empty file", "", u""},
      {"UTF-8 mark only", "\xEF\xBB\xBF", u""},
      {"UTF-8, one to four bytes",
       "\xEF\xBB\xBF"
       "a\xC3\xA4\xE2\x82\xAC\xF0\x9D\x84\x9E",
       u"a\u00E4\u20AC\U0001D11E"},
      {"UTF-8 at the edges of the ranges",
       "\xEF\xBB\xBF\xC2\x80\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF",
       u"\u0080\u0800\uD7FF\uE000\U0010FFFF"},
      {"UTF-8 mark, then a second mark", "\xEF\xBB\xBF\xEF\xBB\xBF{}", u"\uFEFF{}"},
      {"UTF-16 LE mark only", "\xFF\xFE", u""},
      {"UTF-16 LE", Bytes("\xFF\xFE{\0\xE4\0\x34\xD8\x1E\xDD"), u"{\u00E4\U0001D11E"},
      {"UTF-16 LE, odd last byte left out", Bytes("\xFF\xFEx\0y"), u"x"},
      {"UTF-16 LE, unpaired surrogate kept", Bytes("\xFF\xFE\x00\xD8x\0"), u"\xD800x"},
      {"UTF-16 LE, mark twice", Bytes("\xFF\xFE\xFF\xFE{\0}\0"), u"\uFEFF{}"},
      {"UTF-16 BE mark only", "\xFE\xFF", u""},
      {"UTF-16 BE", Bytes("\xFE\xFF\0{\0\xE4\xD8\x34\xDD\x1E"), u"{\u00E4\U0001D11E"},
      {"UTF-16 BE, odd last byte left out", Bytes("\xFE\xFF\0xy"), u"x"},
      {"UTF-16 LE mark then one byte", "\xFF\xFEx", std::nullopt},
      {"UTF-16 BE mark then one byte", "\xFE\xFFx", std::nullopt},
      // Without a complete mark the bytes are ANSI (Windows-1252 on both builds here), none
      // skipped.
      {"ANSI: ASCII", "{\"a\":1}", u"{\"a\":1}"},
      {"ANSI: UTF-8 without a mark", "\xC3\xA4\xE2\x82\xAC", u"\u00C3\u00A4\u00E2\u201A\u00AC"},
      {"ANSI: Windows-1252 letters", "\xE4\xF6\xFC\xDF\x80", u"\u00E4\u00F6\u00FC\u00DF\u20AC"},
      {"ANSI: the five undefined bytes", "\x81\x8D\x8F\x90\x9D", u"\u0081\u008D\u008F\u0090\u009D"},
      {"ANSI: C1 range and top", "\x80\x8A\x9F\xA0\xFF", u"\u20AC\u0160\u0178\u00A0\u00FF"},
      {"ANSI: half a UTF-8 mark", "\xEF\xBB{}", u"\u00EF\u00BB{}"},
      {"ANSI: one byte of a UTF-16 mark", "\xFF{", u"\u00FF{"},
      {"ANSI: UTF-16 LE without a mark", Bytes("{\0}\0"), std::u16string(u"{\0}\0", 4)},
      {"UTF-8: lone continuation byte", "\xEF\xBB\xBF\x80", std::nullopt},
      {"UTF-8: overlong two bytes", "\xEF\xBB\xBF\xC0\xAF", std::nullopt},
      {"UTF-8: overlong C1 lead", "\xEF\xBB\xBF\xC1\xBF", std::nullopt},
      {"UTF-8: overlong three bytes", "\xEF\xBB\xBF\xE0\x9F\xBF", std::nullopt},
      {"UTF-8: overlong four bytes", "\xEF\xBB\xBF\xF0\x8F\xBF\xBF", std::nullopt},
      {"UTF-8: encoded surrogate", "\xEF\xBB\xBF\xED\xA0\x80", std::nullopt},
      {"UTF-8: above U+10FFFF", "\xEF\xBB\xBF\xF4\x90\x80\x80", std::nullopt},
      {"UTF-8: F5 lead byte", "\xEF\xBB\xBF\xF5\x80\x80\x80", std::nullopt},
      {"UTF-8: FF byte", "\xEF\xBB\xBF{\xFF}", std::nullopt},
      {"UTF-8: cut off at the end", "\xEF\xBB\xBF\xE2\x82", std::nullopt},
      {"UTF-8: ASCII where a continuation belongs", "\xEF\xBB\xBF\xE2\x82x", std::nullopt},
      {"UTF-8: Windows-1252 byte after the mark", "\xEF\xBB\xBF\xE4", std::nullopt},
  };
  for (const auto& c : cases) {
    if (c.text) {
      std::u16string text;
      ASSERT_NO_THROW(text = DecodeTextBytes(c.bytes)) << c.name;
      EXPECT_EQ(Show(text), Show(*c.text)) << c.name;
    } else {
      EXPECT_THROW(DecodeTextBytes(c.bytes), ERequestReadError) << c.name;
    }
  }
}

TEST(JoinLinesCrLf, SplitsAtEveryBreakAndJoinsWithCrLf) {
  static const struct {
    std::u16string_view text;
    std::u16string_view joined;
  } cases[] = {
      {u"", u""},
      {u"a", u"a\r\n"},
      {u"a\r\n", u"a\r\n"},
      {u"a\n", u"a\r\n"},
      {u"a\r", u"a\r\n"},
      {u"a\nb\rc\r\nd", u"a\r\nb\r\nc\r\nd\r\n"},
      {u"\r\n", u"\r\n"},
      {u"\n\n", u"\r\n\r\n"},
      {u"a\r\n\r\n", u"a\r\n\r\n"},
      {u"a\r\r\nb", u"a\r\n\r\nb\r\n"},  // CR, then CR LF: two lines, the second empty
      {u"a\n\rb", u"a\r\n\r\nb\r\n"},    // LF, then CR: the CR ends an empty line
      {u"a\n\r\nb", u"a\r\n\r\nb\r\n"},
      {u" \t{ }\t ", u" \t{ }\t \r\n"},
      {u"a\u2028b\u0085c\fd\ve", u"a\u2028b\u0085c\fd\ve\r\n"},  // no other line breaks
      {std::u16string_view(u"a\0b", 3), u"a\r\n"},
      {std::u16string_view(u"a\r\n\0\r\nb", 6), u"a\r\n"},
      {std::u16string_view(u"\0a", 2), u""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Show(JoinLinesCrLf(c.text)), Show(c.joined)) << "text: " << Show(c.text);
  }
}

class LoadTextFileTest : public ::testing::Test {
 protected:
  requesttest::TempFolder folder_;
};

TEST_F(LoadTextFileTest, DecodesAndJoinsTheWholeFile) {
  const std::u16string path =
      folder_.Write("request.json", "\xEF\xBB\xBF{\"bmp\":\"a\xC3\xA4\",\n\"sw\":\"b\"}\n\n");
  EXPECT_EQ(Show(LoadTextFile(path)), Show(u"{\"bmp\":\"a\u00E4\",\r\n\"sw\":\"b\"}\r\n\r\n"));
}

TEST_F(LoadTextFileTest, ReadsAFileWithANonAsciiName) {
  const std::u16string path =
      folder_.Write(std::filesystem::path(u"Pr\u00FCfung \u20AC.json"), "{}");
  EXPECT_EQ(Show(LoadTextFile(path)), Show(u"{}\r\n"));
}

TEST_F(LoadTextFileTest, FailsWhenThereIsNoFileToRead) {
  EXPECT_THROW(LoadTextFile((folder_.Path() / "missing.json").u16string()), ERequestReadError);
  EXPECT_THROW(LoadTextFile(folder_.Path().u16string()), ERequestReadError);  // a folder
}

TEST_F(LoadTextFileTest, ClosesTheFileOnEveryPath) {
  // Linux lists the open files; on Windows removing a file fails while any handle to it is open.
  const std::u16string good = folder_.Write("good.json", "{}");
  const std::u16string bad = folder_.Write("bad.json", "\xEF\xBB\xBF\xFF");
  const int openBefore = requesttest::OpenFileCount();
  EXPECT_NO_THROW(LoadTextFile(good));
  EXPECT_THROW(LoadTextFile(bad), ERequestReadError);
  EXPECT_EQ(requesttest::OpenFileCount(), openBefore);
#ifdef _WIN32
  EXPECT_TRUE(std::filesystem::remove(std::filesystem::path(good)));
  EXPECT_TRUE(std::filesystem::remove(std::filesystem::path(bad)));
#else
  EXPECT_GT(openBefore, 0) << "/proc/self/fd cannot be read";
#endif
}

#ifdef _WIN32
TEST_F(LoadTextFileTest, FailsWhileAnotherHandleKeepsOthersFromReadingAlone) {
  using Mode = requesttest::HeldFile::Mode;
  static const struct {
    Mode mode;
    bool readable;
    const char* name;
  } cases[] = {
      {Mode::WriteSharingReadWrite, false, "held open for writing"},
      {Mode::ReadSharingNothing, false, "held open without read sharing"},
      {Mode::ReadSharingRead, true, "held open for reading, shared for reading"},
  };
  const std::u16string path = folder_.Write("held.json", "{\"sw\":\"x\"}");
  for (const auto& c : cases) {
    const requesttest::HeldFile held(path, c.mode);
    ASSERT_TRUE(held.Held()) << c.name;
    if (c.readable) {
      EXPECT_EQ(Show(LoadTextFile(path)), Show(u"{\"sw\":\"x\"}\r\n")) << c.name;
    } else {
      EXPECT_THROW(LoadTextFile(path), ERequestReadError) << c.name;
    }
  }
  EXPECT_NO_THROW(LoadTextFile(path));  // free again once the handles are closed
}
#endif

}  // namespace
