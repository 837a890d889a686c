// hopgate-cache where.
#include "commands_fixture.h"

namespace cachecommands {
namespace {

TEST_F(CacheCommands, WhereNamesHopgatesFoldersAndWhatExists) {
  fs::remove_all(data / "Vexmoor");
  const auto lines = [&] { return Lines(Tool({u"where"}).out); };
  const std::vector<std::string> before = {
      "data root     " + Utf8(data) + "  (exists)",
      "cache folder  " + Utf8(cache) + "  (missing)",
      "index         " + Utf8(cache / "PreviewPNG.sqlite") + "  (missing)",
  };
  EXPECT_EQ(lines(), before);
  fs::create_directories(cache);
  Row(u"A.PNG", Model("a.sw"));
  EXPECT_EQ(lines()[1], "cache folder  " + Utf8(cache) + "  (exists)");
  EXPECT_EQ(lines()[2], "index         " + Utf8(cache / "PreviewPNG.sqlite") + "  (exists)");
}

}  // namespace
}  // namespace cachecommands
