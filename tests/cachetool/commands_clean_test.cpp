// hopgate-cache clean.
#include "commands_fixture.h"

namespace cachecommands {
namespace {

// For each choice of options: the dry run lists the plan, changes nothing, and the act removes
// exactly what the dry run listed, in the same order.
TEST_F(CacheCommands, CleanCarriesOutExactlyThePlanItsDryRunShows) {
  const auto row = [&](int id, const char* reason, const char* png, const char* model) {
    return "row " + std::to_string(id) + " (" + reason + "): " + png + "  " + ModelText(model);
  };
  const std::string lost = row(3, "png-missing", "LOST.PNG", "lost.sw");
  const std::string stale = row(2, "stale", "STALE.PNG", "gone.sw");
  const std::string temp = "file OLD.PNG.77-1.tmp (leftover-temp)";
  const std::string orphan = "file ORPHAN.PNG (unlisted-png)";
  const struct {
    std::vector<std::u16string> options;
    std::vector<std::string> removals;
    std::vector<std::int64_t> rowsLeft;
    std::vector<std::string> filesGone;
  } cases[] = {
      {{}, {lost, temp}, {1, 2, 4, 5, 6}, {"OLD.PNG.77-1.tmp"}},
      {{u"--stale"},
       {stale, lost, "file STALE.PNG (stale)", temp},
       {1, 4, 5, 6},
       {"STALE.PNG", "OLD.PNG.77-1.tmp"}},
      {{u"--unlisted"}, {lost, temp, orphan}, {1, 2, 4, 5, 6}, {"OLD.PNG.77-1.tmp", "ORPHAN.PNG"}},
  };
  for (const auto& c : cases) {
    fs::remove_all(cache);
    fs::create_directories(cache);
    MakeCacheWithEveryFinding();
    std::vector<std::u16string> arguments = Then({u"clean", u"--dry-run"}, c.options);
    const std::string context = c.options.empty() ? "no options" : Show(c.options[0]);

    const Tree before = Snapshot(root);
    const ToolRun dry = Tool(arguments);
    EXPECT_EQ(dry.exitCode, 0) << context;
    EXPECT_EQ(Snapshot(root), before) << context;
    std::vector<std::string> shown;
    for (const auto& r : c.removals) shown.push_back("would remove " + r);
    shown.push_back("dry run: nothing removed");
    EXPECT_EQ(Lines(dry.out), shown) << context;

    arguments.erase(arguments.begin() + 1);
    const ToolRun act = Tool(arguments);
    EXPECT_EQ(act.exitCode, 0) << context << act.err;
    std::vector<std::string> done;
    for (const auto& r : c.removals) done.push_back("removed " + r);
    const auto rows = static_cast<std::size_t>(
        std::count_if(c.removals.begin(), c.removals.end(),
                      [](const auto& r) { return r.rfind("row", 0) == 0; }));
    const std::size_t files = c.removals.size() - rows;
    done.push_back("removed " + std::to_string(rows) + (rows == 1 ? " row, " : " rows, ") +
                   std::to_string(files) + (files == 1 ? " file" : " files"));
    EXPECT_EQ(Lines(act.out), done) << context;
    EXPECT_EQ(RowIds(), c.rowsLeft) << context;
    for (const char* name :
         {"GOOD.PNG", "STALE.PNG", "DAMAGED.PNG", "TWIN.PNG", "ORPHAN.PNG", "YOUNG.PNG",
          "OLD.PNG.77-1.tmp", "NEW.PNG.77-2.tmp", "PreviewPNG.sqlite"}) {
      const bool gone = std::count(c.filesGone.begin(), c.filesGone.end(), name) != 0;
      EXPECT_EQ(fs::exists(cache / name), !gone) << context << ": " << name;
    }
  }
}

// Every name under which a program of the suite writes a file before renaming it into place is
// known to check and clean (reported and removed once abandoned); a kept damaged index and its
// journal never are, nor names that only look alike.
TEST_F(CacheCommands, EveryTemporaryNameIsKnownAndAKeptDamagedIndexIsNot) {
  const struct {
    const char* name;
    bool temporary;
  } cases[] = {
      {"A.PNG.77-1.tmp", true},                                      // the converter's
      {"A.PNG.part4242", true},                                      // a copy's
      {"PreviewPNG.sqlite.repair-20261211-070000", true},            // a repair's new index
      {"PreviewPNG.sqlite.repair-20261211-070000-journal", true},    // and its journal
      {"PreviewPNG.sqlite.damaged-20261211-070000", false},          // a kept damaged index
      {"PreviewPNG.sqlite.damaged-20261211-070000-journal", false},  // and its journal
      {"A.PNG.part", false},
      {"A.PNG.part42x", false},
      {"notes.txt", false},
  };
  for (const auto& c : cases) {
    CacheFile(c.name, "bytes");
    MakeOld(cache / c.name);
  }
  CacheFile("YOUNG.PNG.part77", "bytes");  // a copy under way

  const ToolRun check = Tool({u"check"});
  EXPECT_EQ(check.exitCode, 1) << check.out;
  for (const auto& c : cases) {
    EXPECT_EQ(Contains(check.out, std::string("leftover-temp   ") + c.name + "\n"), c.temporary)
        << c.name << "\n"
        << check.out;
  }
  EXPECT_FALSE(Contains(check.out, "YOUNG.PNG.part77")) << check.out;

  const ToolRun clean = Tool({u"clean"});
  EXPECT_EQ(clean.exitCode, 0) << clean.out << clean.err;
  for (const auto& c : cases) EXPECT_EQ(fs::exists(cache / c.name), !c.temporary) << c.name;
  EXPECT_TRUE(fs::exists(cache / "YOUNG.PNG.part77"));
}

// A run cut off while it wrote the index leaves its journal beside it. The reading commands read
// the committed rows (from a copy with the journal rolled back), name the cut-off write for what
// it is and leave the pair as it stands; only clean rolls it back in place, as the next import
// would. It is never taken for damage.
TEST_F(CacheCommands, AWriteCutOffLeavesCommittedRowsThatCleanRollsBack) {
  const fs::path index = cache / "PreviewPNG.sqlite";
  const fs::path journal = cache / "PreviewPNG.sqlite-journal";
  const HalfWritten made = MakeHalfWritten(root / "half", 120);
  WriteFile(index, made.index);
  WriteFile(journal, made.journal);
  for (const auto& row : made.committed) CacheFile(Utf8(fs::path(row.png)));
  const Tree before = Snapshot(root);

  const ToolRun list = Tool({u"list"});
  EXPECT_EQ(list.exitCode, 0) << list.err;
  EXPECT_TRUE(Contains(list.out, "(" + std::to_string(made.committed.size()) + " rows)"))
      << list.out;
  for (const auto& row : made.committed) {
    EXPECT_TRUE(Contains(list.out, Utf8(fs::path(row.model)))) << row.id;
  }

  const ToolRun check = Tool({u"check"});
  EXPECT_TRUE(Contains(check.out, "interrupted-write")) << check.out;
  EXPECT_FALSE(Contains(check.out, "integrity")) << check.out;
  EXPECT_FALSE(Contains(check.out, "repair")) << check.out;

  const ToolRun dry = Tool({u"clean", u"--dry-run"});
  EXPECT_EQ(dry.exitCode, 0) << dry.err;
  EXPECT_TRUE(Contains(dry.out, "would roll back the journal of a run cut off")) << dry.out;
  EXPECT_EQ(Snapshot(root), before) << "the reading commands and the dry run change nothing";

  const ToolRun clean = Tool({u"clean"});
  EXPECT_EQ(clean.exitCode, 0) << clean.out << clean.err;
  EXPECT_TRUE(Contains(clean.out, "rolled back the journal of a run cut off")) << clean.out;
  EXPECT_FALSE(fs::exists(journal));
  EXPECT_EQ(Index().Rows(), made.committed);
  EXPECT_FALSE(Contains(Tool({u"check"}).out, "interrupted-write"));
}

#ifndef _WIN32
// POSIX only: a link that loops is how a test gets an answer that is neither "there" nor "not
// found"; on Windows the fault points (tests/fault_win32) give such answers instead.
// A model file that cannot be examined now (here a link that loops; elsewhere an I/O error, a
// drive offline, a folder without permission) is not gone: check only mentions it, and neither
// clean --stale nor CLEARPNGFILE takes its preview.
TEST_F(CacheCommands, AModelThatCannotBeExaminedIsNotStale) {
  std::error_code ec;
  fs::create_symlink("loop", models / "loop", ec);
  if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
  const std::u16string unreachable = PathText(models / "loop" / "m.sw");
  CacheFile("KEPT.PNG");
  Row(u"KEPT.PNG", unreachable);

  const ToolRun check = Tool({u"check"});
  EXPECT_EQ(check.exitCode, 0) << check.out;
  EXPECT_TRUE(
      Contains(check.out, "model-unreachable row 1  KEPT.PNG  " + Utf8(models / "loop" / "m.sw")))
      << check.out;
  EXPECT_FALSE(Contains(check.out, "stale")) << check.out;

  const ToolRun clean = Tool({u"clean", u"--stale"});
  EXPECT_EQ(clean.exitCode, 0) << clean.err;
  EXPECT_EQ(RowIds(), (std::vector<std::int64_t>{1}));
  EXPECT_TRUE(fs::exists(cache / "KEPT.PNG"));
}
#endif

TEST_F(CacheCommands, CleanNeverDeletesOutsideTheCacheFolderOrTheIndex) {
  CacheFile("A.PNG");
  Row(u"A.PNG", Model("a.sw"));
  WriteFile(data / "Vexmoor" / "outside.PNG", "keep");
  const std::u16string gone = Model("gone.sw", false);
  Row(u".." + std::u16string(1, static_cast<char16_t>(fs::path::preferred_separator)) +
          u"outside.PNG",
      gone);
  Row(u"previewpng.SQLITE", gone);  // the index, on a file system that ignores letter case
  Row(u"PreviewPNG.sqlite", gone);
  MakeOld(cache / "PreviewPNG.sqlite");
  // A folder under a row's PNG name is not its PNG: the row is png-missing, the folder stays.
  fs::create_directories(cache / "FOLDER.PNG");
  Row(u"FOLDER.PNG", gone);
  const ToolRun r = Tool({u"clean", u"--stale", u"--unlisted"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "removed row 5 (png-missing): FOLDER.PNG")) << r.out;
  EXPECT_EQ(Lines(r.out).back(), "removed 4 rows, 0 files") << r.out;
  EXPECT_TRUE(fs::exists(data / "Vexmoor" / "outside.PNG"));
  EXPECT_TRUE(fs::is_directory(cache / "FOLDER.PNG"));
  EXPECT_TRUE(fs::exists(cache / "PreviewPNG.sqlite"));
  EXPECT_EQ(RowIds(), std::vector<std::int64_t>{1});
}

// An import may run while clean does: what changed between the plan and a file's removal keeps
// the file. clean prints the rows it removed before it removes any file, so the console's first
// "removed row" line is the moment between the two at which the import's change is made here.
TEST_F(CacheCommands, CleanTestsEachFileAgainRightBeforeRemovingIt) {
  const struct {
    const char* what;
    const char* file;
    std::function<void()> makeFile, change;
    const char* summary;
  } cases[] = {
      {"a leftover temporary file written again", "OLD.PNG.9-1.tmp",
       [&] {
         CacheFile("OLD.PNG.9-1.tmp", "half a png");
         MakeOld(cache / "OLD.PNG.9-1.tmp");
       },
       [&] { CacheFile("OLD.PNG.9-1.tmp", "a png being written again"); },
       "removed 1 row, 0 files"},
      {"an unlisted PNG written again", "ORPHAN.PNG",
       [&] {
         CacheFile("ORPHAN.PNG");
         MakeOld(cache / "ORPHAN.PNG");
       },
       [&] { CacheFile("ORPHAN.PNG"); }, "removed 1 row, 0 files"},
      {"an unlisted PNG that a row names now", "ORPHAN.PNG",
       [&] {
         CacheFile("ORPHAN.PNG");
         MakeOld(cache / "ORPHAN.PNG");
       },
       [&] { Row(u"ORPHAN.PNG", Model("orphan.sw")); }, "removed 1 row, 0 files"},
      {"a stale row's PNG whose model is back", "STALE.PNG",
       [&] {
         CacheFile("STALE.PNG");
         Row(u"STALE.PNG", Model("back.sw", false));
       },
       [&] { Model("back.sw"); }, "removed 2 rows, 0 files"},
  };
  for (const auto& c : cases) {
    fs::remove_all(cache);
    fs::remove_all(models);
    fs::create_directories(cache);
    fs::create_directories(models);
    Row(u"LOST.PNG", Model("lost.sw"));  // a row to remove first: the moment of the change
    c.makeFile();
    const std::string planned = "file " + std::string(c.file) + " (";
    ASSERT_TRUE(Contains(Tool({u"clean", u"--dry-run", u"--stale", u"--unlisted"}).out,
                         "would remove " + planned))
        << c.what;

    ToolRun r;
    bool changed = false;
    const cachetool::Console console{[&](std::string_view text) {
                                       r.out += text;
                                       if (!changed && text.rfind("removed row", 0) == 0) {
                                         changed = true;
                                         c.change();
                                       }
                                     },
                                     [&](std::string_view text) { r.err += text; }, false};
    r.exitCode = RunCacheTool({u"--data-root", PathText(data), u"clean", u"--stale", u"--unlisted"},
                              console);
    EXPECT_TRUE(changed) << c.what << "\n" << r.out;
    EXPECT_EQ(r.exitCode, 0) << c.what << "\n" << r.err;
    EXPECT_FALSE(Contains(r.out, "removed " + planned)) << c.what << "\n" << r.out;
    EXPECT_EQ(Lines(r.out).back(), c.summary) << c.what;
    EXPECT_TRUE(fs::exists(cache / c.file)) << c.what;
  }
}

TEST_F(CacheCommands, CleanNamesAFileItCannotRemoveWithTheSystemsReasonAndGoesOn) {
  for (const char* name : {"A.PNG.1-0.tmp", "B.PNG.1-0.tmp"}) {
    CacheFile(name, "half");
    MakeOld(cache / name);
  }
  SetReadOnly(cache / "A.PNG.1-0.tmp", true);
  // The reason the system gives for a read-only file, asked of the platform layer directly.
  WriteFile(root / "read-only", "x");
  SetReadOnly(root / "read-only", true);
  ASSERT_FALSE(platform::DeleteFile(PathText(root / "read-only")));
  const std::string reason = platform::ToNative(platform::LastErrorText());
  ASSERT_NE(reason, "");

  const ToolRun r = Tool({u"clean"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.err,
            "hopgate-cache: cannot remove " + Utf8(cache / "A.PNG.1-0.tmp") + ": " + reason + "\n");
  EXPECT_EQ(Lines(r.out),
            (std::vector<std::string>{"removed file B.PNG.1-0.tmp (leftover-temp)",
                                      "removed 0 rows, 1 file; 1 file could not be removed"}));
  EXPECT_TRUE(fs::exists(cache / "A.PNG.1-0.tmp"));
  EXPECT_FALSE(fs::exists(cache / "B.PNG.1-0.tmp"));
}

}  // namespace
}  // namespace cachecommands
