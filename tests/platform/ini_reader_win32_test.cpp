// The project's INI reader next to GetPrivateProfileStringW itself, on one table of INI files.
// Where the reader keeps to a rule of its own that Windows (here: Wine) does not share, the row
// says what GetPrivateProfileStringW gives instead, so each difference is known and pinned.
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/ini_reader.h"
#include "support/show.h"
#include "support/temp_folder.h"

namespace {

using namespace std::string_literals;
using testsupport::Show;

const std::u16string kFallback = u"<fallback>";

struct Case {
  const char* name;
  std::string ini;
  std::u16string section;
  std::u16string key;
  std::u16string expected;                // the reader's result; kFallback when missing
  std::optional<std::u16string> windows;  // GetPrivateProfileStringW's, where it differs
};

std::string Utf16Le(std::u16string_view text) {
  std::string out = "\xFF\xFE";
  for (char16_t c : text) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

const wchar_t* Wide(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

// A new file with `bytes` in it in `folder`; each its own name, so that no cached copy of an
// earlier file is read.
std::wstring WriteCase(const testsupport::TempFolder& folder, const std::string& bytes) {
  static int count = 0;
  const std::u16string file = folder.Write("case" + std::to_string(count++) + ".ini", bytes);
  return std::wstring(file.begin(), file.end());
}

std::u16string FromWindows(const std::wstring& file, const std::u16string& section,
                           const std::u16string& key) {
  wchar_t buffer[2048];
  const DWORD n = GetPrivateProfileStringW(Wide(section), Wide(key), Wide(kFallback), buffer, 2048,
                                           file.c_str());
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), n);
}

TEST(IniReaderAgainstWindows, SameValues) {
  const std::string x3000(3000, 'x');
  const std::u16string x2047(2047, u'x');
  const Case cases[] = {
      // Where both agree.
      {"plain", "[Forward]\r\nhop.exe=t.exe\r\n", u"Forward", u"hop.exe", u"t.exe", {}},
      {"section case", "[forWARD]\nk=v\n", u"Forward", u"k", u"v", {}},
      {"key case", "[A]\nHop.EXE=v\n", u"A", u"hOP.exe", u"v", {}},
      {"other letters exact", "\xEF\xBB\xBF[\xC3\x84]\nk=v\n", u"\u00E4", u"k", kFallback, {}},
      {"blanks", " \t[ A\t] \n \t k \t = \t a  b \t \n", u"A", u"k", u"a  b", {}},
      {"wanted names trimmed", "[A]\nk=v\n", u" A\t", u" k ", u"v", {}},
      {"double quotes", "[A]\nk = \"v\" \n", u"A", u"k", u"v", {}},
      {"single quotes", "[A]\nk='v'\n", u"A", u"k", u"v", {}},
      {"blanks inside quotes", "[A]\nk=\" a \"\n", u"A", u"k", u" a ", {}},
      {"inner quote", "[A]\nk=\"a\"b\"\n", u"A", u"k", u"a\"b", {}},
      {"mixed quotes", "[A]\nk=\"v'\n", u"A", u"k", u"\"v'", {}},
      {"lone quote", "[A]\nk=\"\n", u"A", u"k", u"\"", {}},
      {"quotes not enclosing", "[A]\nk=\"v\" x\n", u"A", u"k", u"\"v\" x", {}},
      {"comment then key", "[A]\n;k=1\n#k=2\nk=3\n", u"A", u"k", u"3", {}},
      {"; inside a value", "[A]\nk=v ; c\n", u"A", u"k", u"v ; c", {}},
      {"empty value", "[A]\nk=\n", u"A", u"k", u"", {}},
      {"empty quoted value", "[A]\nk=\"\"\n", u"A", u"k", u"", {}},
      {"missing key", "[A]\nk=v\n", u"A", u"j", kFallback, {}},
      {"missing section", "[A]\nk=v\n", u"B", u"k", kFallback, {}},
      {"no = is no key", "[A]\nk\n", u"A", u"k", kFallback, {}},
      {"first key wins", "[A]\nk=1\nk=2\n", u"A", u"k", u"1", {}},
      {"first section only", "[A]\nx=1\n[B]\n[A]\nk=2\n", u"A", u"k", kFallback, {}},
      {"name up to the last ]", "[A]x]\nk=v\n", u"A]x", u"k", u"v", {}},
      {"[ without ] is a key line", "[A]\n[x=1\n", u"A", u"[x", u"1", {}},
      {"CR line ends", "[A]\rk=v\rj=w\r", u"A", u"j", u"w", {}},
      {"last line without line end", "[A]\nk=v", u"A", u"k", u"v", {}},
      {"NUL ends the value", "[A]\nk=a\0b\n"s, u"A", u"k", u"a", {}},
      {"NUL ends the key", "[A]\nk\0z=v\n"s, u"A", u"k", u"v", {}},
      {"UTF-8 with mark", "\xEF\xBB\xBF[A]\nk=\xC3\xA9\n", u"A", u"k", u"\u00E9", {}},
      {"UTF-16 LE with mark",
       Utf16Le(u"[A]\r\nk = \u00E9\U0001F600\r\n"),
       u"a",
       u"K",
       u"\u00E9\U0001F600",
       {}},
      {"UTF-16 BE with mark", "\xFE\xFF\0[\0A\0]\0\n\0k\0=\0w"s, u"A", u"k", u"w", {}},
      {"long value cut", "[A]\nk=" + x3000 + "\n", u"A", u"k", x2047, {}},
      {"quotes removed before the cut", "[A]\nk=\"" + x3000 + "\"\n", u"A", u"k", x2047, {}},

      // Where the reader's rules differ from Windows.
      {"; line is a comment", "[A]\n;k=v\n", u"A", u";k", kFallback, u"v"},
      {"# line is a comment", "[A]\n#k=v\n", u"A", u"#k", kFallback, u"v"},
      {"keys before any header are in no section", "k=v\n[A]\n", u"", u"k", kFallback, u"v"},
      {"[] names the empty section", "[]\nk=v\n", u"", u"k", u"v", kFallback},
      {"form feed is no blank", "[A]\nk=\fv\n", u"A", u"k", u"\fv", u"v"},
      {"UTF-8 without mark (Windows: ANSI)", "[A]\nk=\xC3\xA9\n", u"A", u"k", u"\u00E9",
       u"\u00C3\u00A9"},
      {"invalid UTF-8 stays bytes (Windows: ANSI)", "[A]\nk=a\xFF\n", u"A", u"k", u"a\xDCFF",
       u"a\u00FF"},
  };
  const testsupport::TempFolder folder{"hopgate-ini"};
  for (const Case& c : cases) {
    const std::u16string ours = platform::ReadIniValueFromBytes(c.ini, c.section, c.key, kFallback);
    const std::u16string windows = FromWindows(WriteCase(folder, c.ini), c.section, c.key);
    EXPECT_EQ(ours, c.expected) << c.name << ": reader gives " << Show(ours);
    EXPECT_EQ(windows, c.windows.value_or(c.expected))
        << c.name << ": GetPrivateProfileStringW gives " << Show(windows);
  }
}

}  // namespace
