// hopgate-cache list.
#include "commands_fixture.h"

namespace cachecommands {
namespace {

TEST_F(CacheCommands, ListShowsEveryRowInIdOrderWithItsPngAndModel) {
  CacheFile("A.PNG");
  Row(u"A.PNG", Model("a.sw"));
  CacheFile("B.PNG", "not a png, but a file");
  Row(u"B.PNG", Model("b.sw", false));
  Row(u"NOFILE.PNG", Model("a.sw"));
  Row(u"../outside.PNG", Model("a.sw"));  // never looked up outside the cache folder
  WriteFile(data / "Vexmoor" / "outside.PNG", "x");

  const ToolRun text = Tool({u"list"});
  EXPECT_EQ(text.exitCode, 0);
  const std::vector<std::vector<std::string>> expected = {
      {"ID", "PNG", "BYTES", "MODEL EXISTS", "MODEL"},
      {"1", "A.PNG", "69", "yes", ModelText("a.sw")},
      {"2", "B.PNG", "21", "no", ModelText("b.sw")},
      {"3", "NOFILE.PNG", "-", "yes", ModelText("a.sw")},
      {"4", "../outside.PNG", "-", "yes", ModelText("a.sw")},
  };
  const auto lines = Lines(text.out);
  ASSERT_EQ(lines.size(), expected.size() + 1) << text.out;
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(Columns(lines[i]), expected[i]);
  EXPECT_EQ(lines.back(), "(4 rows)");

  const ToolRun json = Tool({u"list", u"--json"});
  EXPECT_EQ(json.exitCode, 0);
  const std::string a = JsonPath(models / "a.sw");
  EXPECT_EQ(json.out,
            "[\n"
            " {\"id\": 1, \"png\": \"A.PNG\", \"model\": \"" +
                a +
                "\", \"png_bytes\": 69, \"model_exists\": true},\n"
                " {\"id\": 2, \"png\": \"B.PNG\", \"model\": \"" +
                JsonPath(models / "b.sw") +
                "\", \"png_bytes\": 21, \"model_exists\": false},\n"
                " {\"id\": 3, \"png\": \"NOFILE.PNG\", \"model\": \"" +
                a +
                "\", \"png_bytes\": null, \"model_exists\": true},\n"
                " {\"id\": 4, \"png\": \"../outside.PNG\", \"model\": \"" +
                a + "\", \"png_bytes\": null, \"model_exists\": true}\n]\n");
}

}  // namespace
}  // namespace cachecommands
