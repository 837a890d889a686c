#include "platform/textrules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/show.h"

namespace {

using testsupport::Show;
using textrules::Text;
using V = std::vector<Text>;

TEST(TextRules, TrimRemovesEverythingAtOrBelowBlank) {
  static const struct {
    Text in, out;
  } cases[] = {
      {u"", u""},
      {u"   ", u""},
      {u" \t\r\n\x01x\x1F ", u"x"},
      {u"a b", u"a b"},
      {u"\u00A0a\u00A0", u"\u00A0a\u00A0"},  // no-break space is above U+0020: kept
      {Text(u"\0a\0", 3), u"a"},
  };
  for (const auto& c : cases) EXPECT_EQ(textrules::Trim(c.in), c.out) << Show(c.in);
}

TEST(TextRules, CaseChangesOnlyAsciiLetters) {
  EXPECT_EQ(textrules::UpperAscii(u"abz AZ 09 äÄ ß ı @[`{"), u"ABZ AZ 09 äÄ ß ı @[`{");
  EXPECT_EQ(textrules::LowerAscii(u"ABZ az 09 ÄÖ İ @[`{"), u"abz az 09 ÄÖ İ @[`{");
}

TEST(TextRules, ExtensionIsFromTheLastDotOfTheLastName) {
  const char16_t s = platform::kPathSeparator;
  static const struct {
    Text in, out;
  } cases[] = {
      {u"a.json", u".json"},    {u"a.b.JSON", u".JSON"}, {u"noext", u""},
      {u".hidden", u".hidden"}, {u"name.", u"."},        {u"x.png ", u".png "},
  };
  for (const auto& c : cases) EXPECT_EQ(textrules::ExtractExtension(c.in), c.out) << Show(c.in);
  // A dot in a folder name is no extension.
  EXPECT_EQ(textrules::ExtractExtension(Text(u"dir.d") + s + u"file"), u"");
  EXPECT_EQ(textrules::ExtractExtension(Text(u"dir.d") + s + u"file.twk"), u".twk");
}

TEST(TextRules, FileNameAndFolder) {
  const Text sep(1, platform::kPathSeparator);
  const Text path = sep + u"a" + sep + u"b.c" + sep + u"hopgate";
  EXPECT_EQ(textrules::FileNameOf(path), u"hopgate");
  EXPECT_EQ(textrules::FolderOf(path), sep + u"a" + sep + u"b.c" + sep);
  EXPECT_EQ(textrules::FileNameOf(u"plain"), u"plain");
  EXPECT_EQ(textrules::FolderOf(u"plain"), u"");
}

TEST(TextRules, ExtensionIsComparesTheLastNamesExtensionInUpperCase) {
  const Text s(1, platform::kPathSeparator);
  static const struct {
    Text path;
    const char16_t* upper;
    bool is;
  } cases[] = {
      {u"a.json", u".JSON", true},
      {u"A.JsOn", u".JSON", true},
      {u"a.b.json", u".JSON", true},
      {u"a.json.bak", u".JSON", false},
      {u"a.jsonx", u".JSON", false},
      {u"a.json ", u".JSON", false},  // a trailing blank is part of the extension
      {u"json", u".JSON", false},
      {u".json", u".JSON", true},    // a name that is all extension
      {u"a.ıson", u".JSON", false},  // dotless i is no ASCII letter
      {u"x.twk", u".TWK", true},
      {u"noext", u"", true},  // no extension equals the empty extension
  };
  for (const auto& c : cases) {
    EXPECT_EQ(textrules::ExtensionIs(c.path, c.upper), c.is)
        << Show(c.path) << " " << Show(c.upper);
  }
  // Only the last name counts: a dot in a folder is no extension.
  EXPECT_FALSE(textrules::ExtensionIs(u"d.json" + s + u"file", u".JSON"));
}

TEST(TextRules, JoinPathJoinsWithOneSeparatorAndResolvesNothing) {
  const Text s(1, platform::kPathSeparator);
  static const struct {
    Text folder, name, joined;
  } cases[] = {
      {u"a", u"b", u"a" + s + u"b"},
      {u"a" + s, u"b", u"a" + s + s + u"b"},  // a folder ending in a separator: doubled
      {u"", u"b", s + u"b"},
      {u"a", u"", u"a" + s},
      {u"a", s + u"b", u"a" + s + s + u"b"},  // an absolute name stays below the folder
      {u"a", u"..", u"a" + s + u".."},
      {u"a", u"b ", u"a" + s + u"b "},  // blanks are kept
  };
  for (const auto& c : cases) {
    EXPECT_EQ(textrules::JoinPath(c.folder, c.name), c.joined)
        << Show(c.folder) << " + " << Show(c.name);
  }
}

TEST(TextRules, PlainFileNamesStayInsideTheirFolder) {
  static const struct {
    Text name;
    bool plain;
  } cases[] = {
      {u"0123456789ABCDEF0123456789ABCDEF.PNG", true},
      {u"a b.png", true},
      {u"..png", true},
      {u"...", true},
      {u"ä.png", true},
      {u"", false},
      {u".", false},
      {u"..", false},
      {u"a/b.png", false},
      {u"a\\b.png", false},  // both separators on both builds
      {u"/x.png", false},
      {u"\\x.png", false},
      {u"C:x.png", false},  // a drive-relative path
      {u"x.png:stream", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(textrules::IsPlainFileName(c.name), c.plain) << Show(c.name);
}

TEST(TextRules, SplitCommandLineTortureTable) {
  static const struct {
    Text line;
    V args;
  } cases[] = {
      {u"", {}},
      {u"   \t ", {}},
      {u"prog", {u"prog"}},
      {u"prog a b", {u"prog", u"a", u"b"}},
      {u"  prog\ta\x01"
       u"b  ",
       {u"prog", u"a", u"b"}},
      {u"\"C:\\Program Files\\hopgate.exe\" x", {u"C:\\Program Files\\hopgate.exe", u"x"}},
      // A pair of quotes where an argument begins is skipped: no empty argument.
      {u"p \"\" x", {u"p", u"x"}},
      {u"p \"\"\"\" x", {u"p", u"x"}},
      {u"p \"\"x", {u"p", u"x"}},
      // Quotes are never part of an argument; a quoted stretch joins what touches it.
      {u"p a\"b c\"d", {u"p", u"ab cd"}},
      {u"p x\"\"y", {u"p", u"xy"}},
      // An unclosed quote runs to the end of the line.
      {u"p \"a b", {u"p", u"a b"}},
      {u"p \"", {u"p"}},
      // Blanks inside quotes stay; trimming is the caller's.
      {u"p \" RENAME \"", {u"p", u" RENAME "}},
      {u"p \"   \"", {u"p", u"   "}},
      // No escape character: a backslash before a quote is ordinary and the quote still closes.
      {u"p \"a\\\" b", {u"p", u"a\\", u"b"}},
      {u"p a\\\\b\\", {u"p", u"a\\\\b\\"}},
      {u"p \"\"\"x y\"", {u"p", u"x y"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(textrules::SplitCommandLine(c.line), c.args) << Show(c.line);
  }
}

TEST(TextRules, ArgvStandInRemovesQuotesAndDropsEmptyItems) {
  EXPECT_EQ(textrules::ArgumentsFromArgv({u"a", u"", u"\"\"", u"\"b c\"", u" ", u"x\"y"}),
            (V{u"a", u"b c", u" ", u"xy"}));
}

}  // namespace
