// hopgate-cache's JSON output, for every command.
#include "commands_fixture.h"

namespace cachecommands {
namespace {

// Whatever the tool prints as JSON is UTF-8, for every command: bytes that are not UTF-8 (in the
// index's texts, or, on POSIX, in a path) are written as "\udcXX" escapes of their byte, so they
// stay told apart from the characters that UTF-8 spells with the same bytes' values.
TEST_F(CacheCommands, JsonIsUtf8AndTellsBytesThatAreNotUtf8FromCharacters) {
  Index().CreateTable();
  // PNG names: "A", the byte FF, ".PNG"; and "A", the character U+00FF, ".PNG".
  Index().Execute(
      u"INSERT INTO PreviewPNGTable (PngMd5FileName,SwFullFileName) VALUES "
      u"(CAST(x'41FF2E504E47' AS TEXT), 'gone.sw'), (CAST(x'41C3BF2E504E47' AS TEXT), 'gone.sw')");
  const std::string byte = "\"A\\udcff.PNG\"", character = "\"A\xC3\xBF.PNG\"";
  const std::u16string here = PathText(data);
  struct Case {
    std::vector<std::u16string> arguments;
    std::vector<std::string> says;
  };
  std::vector<Case> cases = {
      {{u"--data-root", here, u"list", u"--json"}, {byte, character}},
      {{u"--data-root", here, u"check", u"--json"}, {byte, character}},
  };
#ifndef _WIN32
  // A data root whose name holds the byte FF, and a damaged index in it (the path's bytes as they
  // are: std::filesystem cannot convert them).
  const std::string odd = root.native() + "/d\xFF";
  fs::create_directories(odd + "/Vexmoor/PreviewPNG");
  WriteFile(odd + "/Vexmoor/PreviewPNG/PreviewPNG.sqlite", std::string(4096, 'x'));
  const std::string oddIndex =
      "\"" + Utf8(root) + "/d\\udcff/Vexmoor/PreviewPNG/PreviewPNG.sqlite\"";
  const std::u16string there = platform::FromNative(odd);
  cases.push_back({{u"--data-root", there, u"check", u"--json"}, {"/d\\udcff/Vexmoor/"}});
  cases.push_back({{u"--data-root", there, u"repair", u"--dry-run", u"--json"}, {oddIndex}});
  cases.push_back({{u"--data-root", there, u"repair", u"--json"}, {oddIndex}});
#endif
  for (const auto& c : cases) {
    const ToolRun r = RunTool(c.arguments);
    const std::string context = Show(c.arguments[1]) + " " + Show(c.arguments[2]);
    EXPECT_TRUE(textencoding::DecodeUtf8Strict(r.out).has_value()) << context << "\n" << r.out;
    for (const auto& says : c.says) {
      EXPECT_TRUE(Contains(r.out, says)) << context << ": " << says << "\n" << r.out;
    }
  }
}

}  // namespace
}  // namespace cachecommands
