#include "platform/ini_reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/show.h"
#include "support/temp_folder.h"

// ---- Allocation accounting --------------------------------------------------------------------
// The reader promises bounded memory whatever the file holds. To check that, this test program
// replaces the global operator new and delete and follows the bytes in use and their peak.

namespace {

std::atomic<std::size_t> g_inUse{0};
std::atomic<std::size_t> g_peak{0};

// Room in front of each block for its size, kept aligned for any type.
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* Allocate(std::size_t size) {
  void* block = std::malloc(size + kHeader);
  if (block == nullptr) return nullptr;
  *static_cast<std::size_t*>(block) = size;
  const std::size_t now = g_inUse.fetch_add(size) + size;
  std::size_t peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
  return static_cast<char*>(block) + kHeader;
}

void Release(void* p) {
  if (p == nullptr) return;
  void* block = static_cast<char*>(p) - kHeader;
  g_inUse.fetch_sub(*static_cast<std::size_t*>(block));
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }

namespace {

using platform::IniValueScanner;
using platform::ReadIniValueFromBytes;
using platform::ReadIniValueFromFile;
using namespace std::string_literals;
using testsupport::Show;

const std::u16string kFallback = u"<fallback>";

// Pieces the scanner is fed in: every split of a line, a mark or a character must read alike.
constexpr std::size_t kPieceSizes[] = {1, 2, 3, 4, 5, 7, 64, 4096, 65537};

std::u16string ScanInPieces(const std::string& ini, std::u16string_view section,
                            std::u16string_view key, std::size_t piece) {
  IniValueScanner scanner(section, key);
  for (std::size_t at = 0; at < ini.size(); at += piece) {
    if (!scanner.Feed(std::string_view(ini).substr(at, piece))) break;
  }
  return scanner.Finish().value_or(kFallback);
}

struct Case {
  const char* name;
  std::string ini;
  std::u16string section;
  std::u16string key;
  std::u16string expected;  // kFallback: the section or key is missing
};

// Reads every case whole and in pieces of every size; each must give the expected text.
void Check(const Case* cases, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const Case& c = cases[i];
    EXPECT_EQ(ReadIniValueFromBytes(c.ini, c.section, c.key, kFallback), c.expected)
        << c.name << ": got " << Show(ReadIniValueFromBytes(c.ini, c.section, c.key, kFallback))
        << ", expected " << Show(c.expected);
    for (std::size_t piece : kPieceSizes) {
      if (piece >= c.ini.size() && piece != kPieceSizes[0]) continue;
      EXPECT_EQ(ScanInPieces(c.ini, c.section, c.key, piece), c.expected)
          << c.name << ", in pieces of " << piece;
    }
  }
}

template <std::size_t N>
void Check(const Case (&cases)[N]) {
  Check(cases, N);
}

// ---- Syntax -----------------------------------------------------------------------------------

TEST(IniReader, NamesAndValues) {
  static const Case cases[] = {
      {"plain", "[Forward]\nhop.exe=target.exe\n", u"Forward", u"hop.exe", u"target.exe"},
      {"section in other case", "[forWARD]\nhop.exe=t\n", u"Forward", u"hop.exe", u"t"},
      {"key in other case", "[Forward]\nHop.EXE=t\n", u"Forward", u"hOP.exe", u"t"},
      {"only A-Z fold: [ is not {", "[A]\nx[=1\n", u"A", u"x{", kFallback},
      {"only A-Z fold: @ is not `", "[A]\n@=1\n", u"A", u"`", kFallback},
      {"other letters exact", "[\xC3\x84]\nk=v\n", u"\u00E4", u"k", kFallback},
      {"other letters equal", "[\xC3\x84]\n\xC3\xA9=v\n", u"\u00C4", u"\u00E9", u"v"},
      {"blanks around names and value", " \t[ \tForward\t ] \n \t key \t = \t a  b \t \n",
       u"Forward", u"key", u"a  b"},
      {"blanks inside a key", "[A]\na \t b = v\n", u"A", u"a \t b", u"v"},
      {"blanks inside a key must match", "[A]\na \t b = v\n", u"A", u"a b", kFallback},
      {"wanted names trimmed", "[A]\nk=v\n", u" \tA ", u"\tk  ", u"v"},
      {"first = ends the key", "[A]\nk==v=w\n", u"A", u"k", u"=v=w"},
      {"empty key", "[A]\n = v\n", u"A", u"", u"v"},
      {"empty value", "[A]\nk=\nk=second\n", u"A", u"k", u""},
      {"blank value", "[A]\nk= \t \n", u"A", u"k", u""},
      {"no = is no key", "[A]\nk\n", u"A", u"k", kFallback},
      {"no = then a key", "[A]\nk\nk=v\n", u"A", u"k", u"v"},
      {"first key wins", "[A]\nk=1\nK=2\n", u"A", u"k", u"1"},
      {"missing key", "[A]\nk=v\n", u"A", u"j", kFallback},
      {"key is a prefix", "[A]\nkey=v\n", u"A", u"ke", kFallback},
      {"wanted is a prefix", "[A]\nke=v\n", u"A", u"key", kFallback},
      {"missing section", "[A]\nk=v\n", u"B", u"k", kFallback},
      {"key in another section", "[A]\n[B]\nk=v\n", u"A", u"k", kFallback},
      {"key before any section", "k=v\n[A]\n", u"A", u"k", kFallback},
      {"no section for keys before a header", "k=v\n[A]\n", u"", u"k", kFallback},
      {"empty section name", "[A]\nk=1\n[ ]\nk=2\n", u"", u"k", u"2"},
      {"empty file", "", u"A", u"k", kFallback},
      {"last line without line end", "[A]\nk=v", u"A", u"k", u"v"},
      {"value ends at NUL", "[A]\nk=a\0b\n"s, u"A", u"k", u"a"},
      {"value starting with NUL", "[A]\nk=\0b\n"s, u"A", u"k", u""},
      {"key ends at NUL", "[A]\nk\0z=v\n"s, u"A", u"k", u"v"},
      {"wanted key ends at NUL", "[A]\nk=v\n", u"A", u"k\0z"s, u"v"},
      {"NUL inside a key", "[A]\nkz=v\n", u"A", u"k\0z"s, kFallback},
      {"section ends at NUL", "[A\0B]\nk=v\n"s, u"A", u"k", u"v"},
  };
  Check(cases);
}

TEST(IniReader, SectionsAndComments) {
  static const Case cases[] = {
      {"text after ]", "[A] ; note\nk=v\n", u"A", u"k", u"v"},
      {"name up to the last ]", "[A]]\nk=v\n", u"A]", u"k", u"v"},
      {"name up to the last ], not the first", "[A]]\nk=v\n", u"A", u"k", kFallback},
      {"] inside the name", "[A]x] y\nk=v\n", u"A]x", u"k", u"v"},
      {"= inside the name", "[x=1]\nk=v\n", u"x=1", u"k", u"v"},
      {"header with = is no key", "[A]\n[x=1]\n", u"A", u"[x", kFallback},
      {"[ without ] is a key line", "[A]\n[x=1\n", u"A", u"[x", u"1"},
      {"[ without ] opens no section", "[A\nk=v\n", u"A", u"k", kFallback},
      {"[ without ] keeps the section", "[A]\n[B\nk=v\n", u"A", u"k", u"v"},
      {"first section of the name only", "[A]\nx=1\n[B]\nk=2\n[a]\nk=3\n", u"A", u"k", kFallback},
      {"first section wins", "[A]\nk=1\n[A]\nk=2\n", u"A", u"k", u"1"},
      {"later section, earlier other", "[B]\nk=1\n[A]\nk=2\n", u"A", u"k", u"2"},
      {"; comment", "[A]\n;k=1\nk=2\n", u"A", u"k", u"2"},
      {"# comment", "[A]\n#k=1\nk=2\n", u"A", u"k", u"2"},
      {"indented comment", "[A]\n \t; k=1\n  # k=2\nk=3\n", u"A", u"k", u"3"},
      {"comment is no key", "[A]\n;k=1\n", u"A", u";k", kFallback},
      {"commented header", "[A]\n;[B]\nk=1\n", u"A", u"k", u"1"},
      {"; inside a value stays", "[A]\nk=v ; not a comment\n", u"A", u"k", u"v ; not a comment"},
      {"# inside a key", "[A]\nk#=v\n", u"A", u"k#", u"v"},
  };
  Check(cases);
}

TEST(IniReader, Quotes) {
  static const Case cases[] = {
      {"double", "[A]\nk = \"v\" \n", u"A", u"k", u"v"},
      {"single", "[A]\nk='v'\n", u"A", u"k", u"v"},
      {"blanks inside stay", "[A]\nk=\" a \"\n", u"A", u"k", u" a "},
      {"one pair only", "[A]\nk=\"\"v\"\"\n", u"A", u"k", u"\"v\""},
      {"inner quote stays", "[A]\nk=\"a\"b\"\n", u"A", u"k", u"a\"b"},
      {"empty pair", "[A]\nk=\"\"\n", u"A", u"k", u""},
      {"lone quote", "[A]\nk=\"\n", u"A", u"k", u"\""},
      {"mixed quotes stay", "[A]\nk=\"v'\n", u"A", u"k", u"\"v'"},
      {"not enclosing", "[A]\nk=\"v\" x\n", u"A", u"k", u"\"v\" x"},
      {"only leading", "[A]\nk=\"v\n", u"A", u"k", u"\"v"},
      {"only trailing", "[A]\nk=v\"\n", u"A", u"k", u"v\""},
      {"quotes in names stay", "[A]\n\"k\"=v\n", u"A", u"k", kFallback},
  };
  Check(cases);
}

TEST(IniReader, LineEnds) {
  static const Case cases[] = {
      {"CR LF", "[A]\r\nk=v\r\nj=w\r\n", u"A", u"j", u"w"},
      {"CR LF value", "[A]\r\nk=v\r\n", u"A", u"k", u"v"},
      {"CR", "[A]\rk=v\rj=w\r", u"A", u"j", u"w"},
      {"mixed", "[B]\r\n[A]\rx=1\nk=v\r\n", u"A", u"k", u"v"},
      {"blank lines", "\n\r\n\r[A]\n\n\r\nk=v", u"A", u"k", u"v"},
      {"form feed is no blank", "[A]\nk=\fv\n", u"A", u"k", u"\fv"},
  };
  Check(cases);
}

// ---- Encodings --------------------------------------------------------------------------------

// The UTF-16 bytes of `text`, little- or big-endian, with the mark in front.
std::string Utf16(std::u16string_view text, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t c : text) {
    const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
    out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  }
  return out;
}

TEST(IniReader, Encodings) {
  const std::u16string text = u"[Forward]\r\nk = \u00E9\U0001F600\u0D0A\u20AC\r\nj=2\r\n";
  const Case cases[] = {
      {"UTF-8 with mark", "\xEF\xBB\xBF[A]\nk=\xC3\xA9\xE2\x82\xAC\n", u"A", u"k", u"\u00E9\u20AC"},
      {"UTF-8 without mark", "[A]\nk=\xC3\xA9\xF0\x9F\x98\x80\n", u"A", u"k", u"\u00E9\U0001F600"},
      {"UTF-8 mark only", "\xEF\xBB\xBF", u"A", u"k", kFallback},
      {"UTF-8 part of a mark", "\xEF\xBB", u"A", u"k", kFallback},
      {"mark then header", "\xEF\xBB\xBF[A]\nk=v", u"A", u"k", u"v"},
      {"invalid UTF-8 stays bytes", "[A]\nk=a\xFF\xC3(\xE2\x82\n", u"A", u"k",
       u"a\xDCFF\xDCC3(\xDCE2\xDC82"},
      {"overlong and surrogate forms stay bytes", "[A]\nk=\xC0\xAF\xED\xA0\x80\n", u"A", u"k",
       u"\xDCC0\xDCAF\xDCED\xDCA0\xDC80"},
      {"UTF-16 LE", Utf16(text, false), u"forward", u"K",
       u"\u00E9\U0001F600\u0D0A\u20AC"},  // U+0D0A: the bytes 0A 0D are no line end
      {"UTF-16 BE", Utf16(text, true), u"forward", u"K", u"\u00E9\U0001F600\u0D0A\u20AC"},
      {"UTF-16 LE next key", Utf16(text, false), u"Forward", u"j", u"2"},
      {"UTF-16 odd last byte", Utf16(u"[A]\nk=v", false) + "\x41", u"A", u"k", u"v"},
      {"UTF-16 unpaired surrogate", Utf16(u"[A]\nk=\xD800x", true), u"A", u"k", u"\xD800x"},
      {"UTF-16 mark only", "\xFF\xFE", u"A", u"k", kFallback},
      {"UTF-16 without mark is no UTF-16", "[\0A\0]\0\n\0k\0=\0v\0"s, u"A", u"k", kFallback},
  };
  Check(cases, std::size(cases));
}

// ---- Lengths ----------------------------------------------------------------------------------

TEST(IniReader, LongValuesAreCutAndLongNamesCompared) {
  const std::string x2047(2047, 'x'), x2048(2048, 'x'), x5000(5000, 'x');
  const std::string blanks(10000, ' ');
  const std::u16string u2047(2047, u'x');
  std::string pairs;  // 1500 characters outside the BMP: 3000 UTF-16 units
  for (int i = 0; i < 1500; ++i) pairs += "\xF0\x9F\x98\x80";
  std::u16string pairsCut;
  for (int i = 0; i < 1024; ++i) pairsCut += u"\U0001F600";
  pairsCut.resize(2047);  // the last unit is a lone high surrogate, as Windows cuts it
  const Case cases[] = {
      {"2047 whole", "[A]\nk=" + x2047 + "\n", u"A", u"k", u2047},
      {"2048 cut", "[A]\nk=" + x2048 + "\n", u"A", u"k", u2047},
      {"5000 cut", "[A]\nk=" + x5000 + "\n", u"A", u"k", u2047},
      {"quotes removed before the cut", "[A]\nk=\"" + x5000 + "\"\n", u"A", u"k", u2047},
      {"2047 inside quotes whole", "[A]\nk='" + x2047 + "'\n", u"A", u"k", u2047},
      {"quotes far apart", "[A]\nk=\"y" + x5000 + "\"" + blanks + "\n", u"A", u"k",
       u"y" + u2047.substr(1)},
      {"many leading blanks", "[A]\nk=" + blanks + "v\n", u"A", u"k", u"v"},
      {"many trailing blanks", "[A]\nk=v" + blanks + "\nj=w\n", u"A", u"k", u"v"},
      {"blanks inside are cut with the rest", "[A]\nk=v" + blanks + "w\n", u"A", u"k",
       u"v" + std::u16string(2046, u' ')},
      {"cut in units, not characters", "[A]\nk=" + pairs + "\n", u"A", u"k", pairsCut},
      {"key with many blanks before =", "[A]\nk" + blanks + "=v\n", u"A", u"k", u"v"},
      {"long key then blanks", "[A]\nk" + blanks + "x=v\n", u"A", u"k", kFallback},
      {"long key", "[A]\n" + x5000 + "=v\n", u"A", u"x", kFallback},
      {"long key found", "[A]\n" + x5000 + "=v\n", u"A", std::u16string(5000, u'X'), u"v"},
      {"long header", "[A" + blanks + "]" + blanks + "]\nk=v\n", u"A", u"k", kFallback},
      {"blanks before ]", "[A" + blanks + "]" + blanks + "\nk=v\n", u"A", u"k", u"v"},
      {"long line outside the section", "[B]\n" + x5000 + "\n[A]\nk=v\n", u"A", u"k", u"v"},
      {"long comment", "[A]\n;" + x5000 + "\nk=v\n", u"A", u"k", u"v"},
  };
  Check(cases, std::size(cases));
}

// ---- Reading only as far as needed ------------------------------------------------------------

TEST(IniReader, ScanningStopsOnceSettled) {
  {
    IniValueScanner scanner(u"A", u"k");
    EXPECT_TRUE(scanner.Feed("[B]\nk=1\n[A]\nk=v"));  // the value may go on
    EXPECT_TRUE(scanner.Feed("w"));
    EXPECT_FALSE(scanner.Feed("\r"));
    EXPECT_FALSE(scanner.Feed("more\n[A]\nk=other\n"));
    EXPECT_EQ(scanner.Finish(), std::optional<std::u16string>(u"vw"));
  }
  {
    IniValueScanner scanner(u"A", u"k");
    EXPECT_TRUE(scanner.Feed("[A]\nj=1\n[B"));  // not yet a header
    EXPECT_TRUE(scanner.Feed("]"));
    EXPECT_FALSE(scanner.Feed("\n"));  // the section ended without the key
    EXPECT_EQ(scanner.Finish(), std::nullopt);
  }
  {
    IniValueScanner scanner(u"A", u"k");
    EXPECT_TRUE(scanner.Feed("k=v\n[B]\nk=v\n[A]\n"));
    EXPECT_EQ(scanner.Finish(), std::nullopt);
  }
}

// ---- Bounded memory ---------------------------------------------------------------------------

// Feeds `head`, then `size` bytes from `fill` in pieces of 64 KiB, then `tail`; returns the value
// and the peak growth of the memory in use while scanning.
std::pair<std::u16string, std::size_t> ScanHuge(const std::string& head, std::size_t size,
                                                const std::function<char(std::size_t)>& fill,
                                                const std::string& tail) {
  std::string piece(std::size_t{64} * 1024, '\0');
  const std::size_t before = g_inUse.load();
  g_peak.store(before);
  std::u16string value;
  {
    IniValueScanner scanner(u"Forward", u"hop.exe");
    scanner.Feed(head);
    for (std::size_t at = 0; at < size; at += piece.size()) {
      for (std::size_t i = 0; i < piece.size(); ++i) piece[i] = fill(at + i);
      scanner.Feed(piece);
    }
    scanner.Feed(tail);
    value = scanner.Finish().value_or(kFallback);
  }
  return {value, g_peak.load() - before};
}

TEST(IniReader, HugeOrBinaryInputNeedsLittleMemory) {
  constexpr std::size_t kSize = std::size_t{4} * 1024 * 1024;
  constexpr std::size_t kLimit = std::size_t{1024} * 1024;
  std::mt19937 random(7);
  std::vector<char> noise(1 << 16);
  for (char& c : noise) c = static_cast<char>(random());
  const auto x = [](std::size_t) { return 'x'; };
  const auto blank = [](std::size_t) { return ' '; };
  const auto binary = [&](std::size_t i) { return noise[i % noise.size()]; };
  const auto utf16 = [](std::size_t i) { return i % 2 ? '\0' : 'x'; };
  const struct {
    const char* name;
    std::string head;
    std::function<char(std::size_t)> fill;
    std::string tail;
    std::u16string expected;
  } cases[] = {
      {"one long key line", "[Forward]\n", x, "\nhop.exe=t\n", u"t"},
      {"one long value", "[Forward]\nhop.exe=", x, "\n", std::u16string(2047, u'x')},
      {"blanks before the value", "[Forward]\nhop.exe=", blank, "t\n", u"t"},
      {"one long header", "[", x, "\n[Forward]\nhop.exe=t\n", u"t"},
      {"one long comment", "[Forward]\n;", x, "\nhop.exe=t\n", u"t"},
      {"binary", "", binary, "\n[Forward]\nhop.exe=t\n", u"t"},
      {"UTF-16 line", "\xFF\xFE", utf16,
       "\n\0[\0F\0o\0r\0w\0a\0r\0d\0]\0\n\0h\0o\0p\0.\0e\0x\0e\0=\0t\0"s, u"t"},
  };
  for (const auto& c : cases) {
    const auto [value, growth] = ScanHuge(c.head, kSize, c.fill, c.tail);
    EXPECT_EQ(value, c.expected) << c.name;
    EXPECT_LT(growth, kLimit) << c.name;
  }
}

// ---- Files ------------------------------------------------------------------------------------

class IniFile : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    folder_.Write(name, bytes);
    return (folder_.Path() / name).string();
  }
  testsupport::TempFolder folder_{"hopgate-ini"};
};

TEST_F(IniFile, ReadsTheFileInChunks) {
  EXPECT_EQ(ReadIniValueFromFile(Write("small.ini", Utf16(u"[Forward]\r\nhop.exe=t.exe", false)),
                                 u"FORWARD", u"Hop.exe", kFallback),
            u"t.exe");
  // The value's "é" straddles the first 64 KiB chunk boundary.
  const std::string lead = "\n[Forward]\nhop.exe=";
  std::string big = "[Other]\n;";
  big += std::string(65535 - big.size() - lead.size(), 'x') + lead;
  big += "\xC3\xA9" + std::string(100000, 'y') + "\n";
  ASSERT_EQ(big.find("\xC3\xA9"), 65535u);
  EXPECT_EQ(ReadIniValueFromFile(Write("big.ini", big), u"Forward", u"hop.exe", kFallback),
            u"\u00E9" + std::u16string(2046, u'y'));
  EXPECT_EQ(ReadIniValueFromFile(Write("empty.ini", "[Forward]\nhop.exe=\n"), u"Forward",
                                 u"hop.exe", kFallback),
            u"");
}

TEST_F(IniFile, WhatIsNoReadableFileGivesTheFallback) {
  EXPECT_EQ(ReadIniValueFromFile((folder_.Path() / "missing.ini").string(), u"A", u"k", kFallback),
            kFallback);
  std::filesystem::create_directory(folder_.Path() / "folder.ini");
  EXPECT_EQ(ReadIniValueFromFile((folder_.Path() / "folder.ini").string(), u"A", u"k", kFallback),
            kFallback);
  EXPECT_EQ(ReadIniValueFromFile("", u"A", u"k", kFallback), kFallback);
#ifndef _WIN32
  // An endless device: it must not be read at all.
  EXPECT_EQ(ReadIniValueFromFile("/dev/zero", u"A", u"k", kFallback), kFallback);
#endif
}

}  // namespace
