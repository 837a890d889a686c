// hopgate-cache check.
#include "commands_fixture.h"

namespace cachecommands {
namespace {

TEST_F(CacheCommands, CheckReportsEachFindingOnceWithItsRowOrFile) {
  MakeCacheWithEveryFinding();
  std::uintmax_t bytes = 0;
  for (const auto& e : fs::directory_iterator(cache)) bytes += e.file_size();

  const ToolRun text = Tool({u"check"});
  EXPECT_EQ(text.exitCode, 1);
  const std::vector<std::vector<std::string>> expected = {
      {"stale", "row 2", "STALE.PNG", ModelText("gone.sw")},
      {"png-missing", "row 3", "LOST.PNG", ModelText("lost.sw")},
      {"duplicate-name", "row 5", "TWIN.PNG", ModelText("good.sw")},
      {"duplicate-name", "row 6", "TWIN.PNG", ModelText("good.sw")},
      {"damaged-png", "DAMAGED.PNG"},
      {"leftover-temp", "OLD.PNG.77-1.tmp"},
      {"unlisted-png", "ORPHAN.PNG"},
      {"unlisted-png", "YOUNG.PNG"},
  };
  const auto lines = Lines(text.out);
  ASSERT_EQ(lines.size(), expected.size() + 1) << text.out;
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(Columns(lines[i]), expected[i]);
  EXPECT_EQ(lines.back(), "6 rows, 9 files, " + std::to_string(bytes) + " bytes; 8 findings");

  const ToolRun json = Tool({u"check", u"--json"});
  EXPECT_EQ(json.exitCode, 1);
  EXPECT_TRUE(Contains(json.out, "{\"rows\": 6, \"files\": 9, \"bytes\": " + std::to_string(bytes) +
                                     ", \"findings\": [\n"))
      << json.out;
  EXPECT_TRUE(Contains(
      json.out, "\n  {\"kind\": \"stale\", \"id\": 2, \"png\": \"STALE.PNG\", \"model\": \"" +
                    JsonPath(models / "gone.sw") + "\"},\n"))
      << json.out;
  EXPECT_TRUE(Contains(json.out,
                       "\n  {\"kind\": \"leftover-temp\", \"id\": null, \"png\": "
                       "\"OLD.PNG.77-1.tmp\", \"model\": null},\n"))
      << json.out;
  EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 10) << json.out;
}

TEST_F(CacheCommands, CheckExitsZeroWhenUnlistedPngsAreAllThereIs) {
  CacheFile("Mixed.Png");
  Row(u"Mixed.Png", Model("good.sw"));
  EXPECT_EQ(Tool({u"check"}).exitCode, 0);
  CacheFile("orphan.png");
  // A file under a row's name in another letter case is the row's, not an orphan (on Windows
  // these are the row's own file).
  CacheFile("MIXED.PNG");
  CacheFile("mixed.png");
  // Rows whose names differ in letter case alone are not twins: hopgate's count of a name's rows
  // compares exactly, so it never took one for the other's.
  Row(u"MIXED.PNG", Model("good.sw"));
  const ToolRun r = Tool({u"check"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(Lines(r.out)[0], "unlisted-png    orphan.png");
  EXPECT_EQ(Lines(r.out).size(), 2u) << r.out;
}

TEST_F(CacheCommands, AnIndexThatCannotBeReadIsCheckedAndNamedWithSQLitesReason) {
  CacheFile("A.PNG");
  Row(u"A.PNG", Model("a.sw"));
  Row(u"B.PNG", Model("b.sw"));
  // An index on the name column whose declared column is then changed: its entries no longer
  // match the table, which SQLite's integrity check reports.
  Index().Execute(u"CREATE INDEX byName ON PreviewPNGTable(PngMd5FileName)");
  Index().Execute(
      u"PRAGMA writable_schema=ON; UPDATE sqlite_master SET sql='CREATE INDEX byName ON "
      u"PreviewPNGTable(SwFullFileName)' WHERE name='byName'; PRAGMA writable_schema=OFF;");
  const ToolRun damaged = Tool({u"check", u"--json"});
  EXPECT_EQ(damaged.exitCode, 1);
  EXPECT_TRUE(Contains(damaged.out, "\"kind\": \"integrity\"")) << damaged.out;
  EXPECT_TRUE(Contains(damaged.out, "\"detail\": \"")) << damaged.out;

  // Not a database at all: check reports it as its finding; list cannot read the rows.
  WriteFile(cache / "PreviewPNG.sqlite", std::string(4096, 'x'));
  const std::string reason = "file is not a database";
  const ToolRun check = Tool({u"check"});
  EXPECT_EQ(check.exitCode, 1);
  EXPECT_TRUE(Contains(check.out, "integrity       cannot read the index " +
                                      Utf8(cache / "PreviewPNG.sqlite") +
                                      ": SQLite3 error: " + reason))
      << check.out;
  EXPECT_TRUE(
      Contains(check.out, "\nhopgate-cache repair salvages the rows that can still be read"))
      << check.out;
  ExpectOneLineFailure(
      Tool({u"list"}),
      "cannot read the index " + Utf8(cache / "PreviewPNG.sqlite") + ": SQLite3 error: " + reason,
      "list");
}

}  // namespace
}  // namespace cachecommands
