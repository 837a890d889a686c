// hopgate-cache explain.
#include "commands_fixture.h"

namespace cachecommands {
namespace {

// hopgate's decisions for command lines in command mode, told without acting on any of them.
// (A forwarding copy depends on the folder the tool is installed in: cachetool_test.cpp.)
TEST_F(CacheCommands, ExplainTellsWhatHopgateWouldDoAndDoesNothing) {
  const fs::path cwd = root / "cwd";
  fs::create_directories(cwd);
  const auto path = [&](const char* name) { return PathText(cwd / name); };
  const auto request = [&](const char* name, const std::string& image, const std::string& model) {
    WriteFile(cwd / name, "\xEF\xBB\xBF{\"bmp\": \"" + JsonPath(cwd / image) + "\", \"sw\": \"" +
                              JsonPath(cwd / model) + "\"}");
  };
  WriteFile(cwd / "m.sw", "model");
  WriteFile(cwd / "e.bmp", "BM");
  request("ok.json", "e.bmp", "m.sw");
  request("no-image.json", "missing.bmp", "m.sw");
  request("no-model.json", "e.bmp", "missing.sw");
  request("neither.json", "missing.bmp", "missing.sw");
  WriteFile(cwd / "array.json", "[1]");
  WriteFile(cwd / "junk.json", "not json");
  WriteFile(cwd / "deep-object.json",
            "{\"a\":" + std::string(40, '[') + std::string(40, ']') + "}");
  WriteFile(cwd / "bad-utf8.json", "\xEF\xBB\xBF{\"bmp\": \"\xFF\"}");
  CacheFile("A.PNG");
  Row(u"A.PNG", Model("gone.sw", false));
  Row(u"B.PNG", Model("there.sw"));

  static const char* const kRequestStops = "the import stops here and deletes nothing";
  const struct {
    std::vector<std::u16string> arguments;
    std::vector<std::string> says;
  } cases[] = {
      {{},
       {"arguments: 0", "mode: command (program name \"hopgate",
        "rows take 1 or 3 arguments, not 0"}},
      {{u"CLEARPNGFILE"},
       {"command row 1 of 6", "1 of 2 rows name a model file that is gone and would be purged"}},
      {{u"clearpngfile"}, {"command row: none; no row for 1 argument matches"}},
      {{u"model.PartsBook"}, {"command row 2 of 6"}},
      {{u"RENAME", u"a.txt", u"b.txt"}, {"command row 5 of 6"}},
      {{u"RENAMEANDDEL", u"a.txt", u"b.txt"}, {"command row 6 of 6"}},
      {{u" RENAME ", u"a.txt"},
       {"1: \" RENAME \", trimmed \"RENAME\"",
        "rows take 1 or 3 arguments, not 2, so nothing happens"}},
      {{path("missing.json")}, {"command row: none"}},
      {{path("ok.json")},
       {"command row 4 of 6", "encoding: UTF-8 (mark EF BB BF)", "\n  validation grammar: valid\n",
        "\n  reading grammar: valid\n", "image: converted by the core library",
        "\n  image exists: yes\n", "\n  model exists: yes\n",
        "index row for this name: none (a row is added when model and PNG exist)"}},
      {{path("no-image.json")},
       {"image exists: no (no PNG can be made; a PNG of this name already in the cache is "
        "deleted)",
        "\n  model exists: yes\n", "index row for this name: none (and none is added)"}},
      {{path("no-model.json")},
       {"\n  image exists: yes\n", "model exists: no (the PNG is made, but no row is added)",
        "index row for this name: none (and none is added)"}},
      {{path("neither.json")}, {"image exists: no (no PNG", "\n  model exists: no\n"}},
      {{path("array.json")},
       {"encoding: no mark: the ANSI code page",
        "validation grammar: invalid (Invalid type conversion",
        std::string("): ") + kRequestStops + "\n"}},
      {{path("junk.json")},
       {"validation grammar: not JSON, read as {} (both members empty); the import goes on",
        "reading grammar: valid", "bmp: \"\"", "sw: \"\""}},
      {{path("deep-object.json")},
       {"\n  validation grammar: valid\n", "reading grammar: invalid ("}},
      {{path("bad-utf8.json")}, {"text: cannot be read ("}},
  };
  for (const auto& c : cases) {
    const std::string context = c.arguments.empty() ? "(none)" : Show(c.arguments[0]);
    const Tree before = Snapshot(root);
    const ToolRun r = Tool(Then({u"explain", u"--"}, c.arguments));
    EXPECT_EQ(r.exitCode, 0) << context;
    EXPECT_EQ(r.err, "") << context;
    for (const auto& s : c.says) EXPECT_TRUE(Contains(r.out, s)) << s << "\n" << r.out;
    EXPECT_EQ(Snapshot(root), before) << context;
  }
}

TEST_F(CacheCommands, ExplainFindsTheRowOfTheRequestsPng) {
  const fs::path cwd = root / "cwd";
  fs::create_directories(cwd);
  WriteFile(cwd / "m.sw", "model");
  WriteFile(cwd / "r.json", "{\"sw\": \"" + JsonPath(cwd / "m.sw") + "\"}");
  const ToolRun before = Tool({u"explain", PathText(cwd / "r.json")});
  const std::smatch name = [&] {
    std::smatch m;
    std::regex_search(before.out, m, std::regex("PNG name: ([0-9A-F]{32}\\.PNG)"));
    return m;
  }();
  ASSERT_FALSE(name.empty()) << before.out;
  const std::string png = name[1];
  Row(u"OTHER.PNG", Model("o.sw"));
  Row(std::u16string(png.begin(), png.end()), PathText(cwd / "m.sw"));
  EXPECT_TRUE(Contains(Tool({u"explain", PathText(cwd / "r.json")}).out,
                       "index row for this name: row 2 (kept; no row is added)"));
}

}  // namespace
}  // namespace cachecommands
