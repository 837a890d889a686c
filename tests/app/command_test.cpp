// The program as its callers start it: a fresh program folder and data root for every test. What
// only a process shows: silence and exit code, the real command line, file system and core
// library, and what really starts. The command table's rows, and the ways to miss them, are
// tested directly in command_table_test.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/program_folder.h"
#include "support/show.h"

namespace {

using namespace testsupport;
using V = std::vector<std::u16string>;

class CommandTest : public ProgramFolderTest {
 protected:
  std::u16string Sep() const { return fs::path("a/b").make_preferred().u16string().substr(1, 1); }
};

// Every run prepares the cache folders in the data root, each level once, and leaves what stands
// there alone; the command runs whatever the preparation met.
TEST_F(CommandTest, EveryRunPreparesTheCacheFoldersAndKeepsWhatStands) {
  enum class Kind { Folder, File, Absent };
  const auto kindOf = [](const fs::path& p) {
    return fs::is_directory(p) ? Kind::Folder : fs::exists(p) ? Kind::File : Kind::Absent;
  };
  static const struct {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // under the data root, before
    bool rootMissing;
    Kind maker, cache;  // Vexmoor and Vexmoor/PreviewPNG after the run
  } cases[] = {
      {"empty data root", {}, false, Kind::Folder, Kind::Folder},
      {"cache folder with a file",
       {{"Vexmoor/PreviewPNG/keep.PNG", "x"}},
       false,
       Kind::Folder,
       Kind::Folder},
      {"maker folder only", {{"Vexmoor/other", "y"}}, false, Kind::Folder, Kind::Folder},
      {"a file in place of the maker folder",
       {{"Vexmoor", "file"}},
       false,
       Kind::File,
       Kind::Absent},
      {"missing data root", {}, true, Kind::Absent, Kind::Absent},
  };
  for (const auto& c : cases) {
    fs::remove_all(data);
    fs::create_directories(data);
    for (const auto& [name, content] : c.files) {
      fs::create_directories((data / name).parent_path());
      WriteFile(data / name, content);
    }
    RunOptions o = Options();
    if (c.rootMissing) o.environment["TARNCORE_DATA_ROOT"] = (root / "absent").string();
    const fs::path base = c.rootMissing ? root / "absent" : data;
    WriteFile(caller / "a.txt", "A");
    fs::remove(caller / "b.txt");
    Run({u"RENAME", u"a.txt", u"b.txt"}, o, program / (std::string("hopgate") + kExeSuffix));
    EXPECT_EQ(kindOf(base / "Vexmoor"), c.maker) << c.name;
    EXPECT_EQ(kindOf(base / "Vexmoor" / "PreviewPNG"), c.cache) << c.name;
    EXPECT_FALSE(fs::exists(root / "absent")) << c.name;
    for (const auto& [name, content] : c.files) {
      EXPECT_EQ(ReadFile(data / name), content) << c.name << ": " << name;
    }
    EXPECT_TRUE(fs::exists(caller / "b.txt")) << c.name << ": the command did not run";
  }
}

TEST_F(CommandTest, AFailingCoreLibraryRunsNoCommand) {
  if (!kCoreFailuresReachTheProgram) GTEST_SKIP() << kCoreFailuresStayInTheLibrary;
  RunOptions o = Options();
  o.environment["TARNCORE_FAIL"] = "dataroot";
  WriteFile(caller / "a.txt", "A");
  Run({u"RENAME", u"a.txt", u"b.txt"}, o, program / (std::string("hopgate") + kExeSuffix));
  EXPECT_TRUE(fs::exists(caller / "a.txt"));
  EXPECT_FALSE(fs::exists(caller / "b.txt"));
  EXPECT_FALSE(fs::exists(data / "Vexmoor"));
}

TEST_F(CommandTest, CommandLineQuirksReachTheCommandTable) {
  // Exact command lines as a caller may write them.
  static const struct {
    std::u16string tail;
    bool moved;
  } cases[] = {
      {u" \" RENAME \" a.txt b.txt", true},
      {u" \"\" RENAME \"\" a.txt b.txt", true},  // pairs of quotes are no arguments
      {u" RE\"NA\"ME a.txt b.txt", true},        // quotes are never part of an argument
      {u"\tRENAME\ta.txt\tb.txt\t", true},
      {u" \"RENAME a.txt b.txt\"", false},  // one argument
      {u" RENAME a.txt \"b.txt", true},     // an open quote runs to the end
  };
  for (const auto& c : cases) {
    fs::remove(caller / "b.txt");
    WriteFile(caller / "a.txt", "A");
    RunLine(c.tail, Options());
    EXPECT_EQ(fs::exists(caller / "b.txt"), c.moved) << Show(c.tail);
  }
}

TEST_F(CommandTest, RenameNeverReplacesAndMovesFolders) {
  WriteFile(caller / "a.txt", "A");
  WriteFile(caller / "b.txt", "B");
  Run({u"RENAME", u"a.txt", u"b.txt"});
  EXPECT_EQ(ReadFile(caller / "a.txt"), "A");
  EXPECT_EQ(ReadFile(caller / "b.txt"), "B");

  fs::create_directories(caller / "dir" / "inner");
  WriteFile(caller / "dir" / "inner" / "f", "F");
  Run({u"RENAME", u"dir", u"moved"});
  EXPECT_EQ(ReadFile(caller / "moved" / "inner" / "f"), "F");
  EXPECT_FALSE(fs::exists(caller / "dir"));
}

TEST_F(CommandTest, RenameAndDeleteReplacesEvenAReadOnlyDestination) {
  WriteFile(caller / "src.txt", "new content");
  WriteFile(caller / "dst.txt", "old");
  SetReadOnly(caller / "dst.txt", true);
  Run({u"RENAMEANDDEL", u"src.txt", u"dst.txt"});
  EXPECT_EQ(ReadFile(caller / "dst.txt"), "new content");
  EXPECT_FALSE(fs::exists(caller / "src.txt"));
  // A fresh file with normal attributes: writable, not read-only like the one it replaced.
  EXPECT_NE(fs::status(caller / "dst.txt").permissions() & fs::perms::owner_write, fs::perms::none);
}

TEST_F(CommandTest, RenameAndDeleteKeepsAReadOnlySource) {
  WriteFile(caller / "src.txt", "content");
  SetReadOnly(caller / "src.txt", true);
  Run({u"RENAMEANDDEL", u"src.txt", u"dst.txt"});
  EXPECT_EQ(ReadFile(caller / "dst.txt"), "content");
  EXPECT_EQ(ReadFile(caller / "src.txt"), "content");
}

TEST_F(CommandTest, RenameAndDeleteWithoutASourceOrIntoAMissingFolderChangesNothing) {
  static const struct {
    const char* name;
    std::u16string source, destination;
  } cases[] = {
      {"missing source", u"missing.txt", u"dst.txt"},
      {"destination in a missing folder", u"src.txt",
       (fs::path("nofolder") / "dst.txt").u16string()},
      {"a folder as source", u"folder", u"dst.txt"},
  };
  for (const auto& c : cases) {
    WriteFile(caller / "src.txt", "content");
    WriteFile(caller / "dst.txt", "old");
    fs::create_directories(caller / "folder");
    Run({u"RENAMEANDDEL", c.source, c.destination});
    EXPECT_EQ(ReadFile(caller / "src.txt"), "content") << c.name;
    EXPECT_EQ(ReadFile(caller / "dst.txt"), "old") << c.name;
    EXPECT_TRUE(fs::is_directory(caller / "folder")) << c.name;
    EXPECT_FALSE(fs::exists(caller / "nofolder")) << c.name;
    EXPECT_FALSE(fs::exists(caller / "missing.txt")) << c.name;
  }
}

TEST_F(CommandTest, RenameAndDeleteOfAFileOntoItselfKeepsTheFile) {
  WriteFile(caller / "one.txt", "only copy");
  fs::create_directories(caller / "sub");
  std::vector<std::pair<std::u16string, std::u16string>> spellings = {
      {u"one.txt", u"one.txt"},
      {u"one.txt", (fs::path("sub") / ".." / "one.txt").u16string()},
      {u"one.txt", (caller / "one.txt").u16string()},
  };
#ifdef _WIN32
  spellings.push_back({u"one.txt", u"ONE.TXT"});
#endif
  std::error_code ec;
  fs::create_hard_link(caller / "one.txt", caller / "hard.txt", ec);
  if (!ec) spellings.push_back({u"one.txt", u"hard.txt"});
  fs::create_symlink(caller / "one.txt", caller / "soft.txt", ec);
  if (!ec) spellings.push_back({u"soft.txt", u"one.txt"});
  for (const auto& [a, b] : spellings) {
    Run({u"RENAMEANDDEL", a, b});
    EXPECT_EQ(ReadFile(caller / "one.txt"), "only copy") << Show(a) << " " << Show(b);
  }
}

TEST_F(CommandTest, DocumentsStartTheirSiblingProgramFromTheProgramFolder) {
  const std::u16string sep = Sep();
  static const struct {
    std::u16string document;
    const char* program;
    const char16_t* before;
    V posix;  // the arguments a POSIX sibling receives
  } cases[] = {
      {u"model.partsbook", "partsbook", u"EXPORT \"", {u"EXPORT", u"model.partsbook"}},
      {u"Model.PartsBook", "partsbook", u"EXPORT \"", {u"EXPORT", u"Model.PartsBook"}},
      {u"missing folder/x y.PARTSBOOK",
       "partsbook",
       u"EXPORT \"",
       {u"EXPORT", u"missing folder/x y.PARTSBOOK"}},
      {u"drawing.twk", "divuvivur", u"\"", {u"drawing.twk"}},
      {u"a drawing.twk", "divuvivur", u"\"", {u"a drawing.twk"}},  // one argument, blank and all
      {u"drawing.Twk", "divuvivur", u"\"", {u"drawing.Twk"}},
      {u"drawing.TWK", "divuvivur", u"\"", {u"drawing.TWK"}},
      // trimmed: the blank is not part of it
      {u"drawing.twk ", "divuvivur", u"\"", {u"drawing.twk"}},
  };
  // Placed once: a recorder still running from the last case cannot be overwritten.
  const fs::path partsbook = PlaceRecorder("partsbook");
  const fs::path divuvivur = PlaceRecorder("divuvivur");
  for (const auto& c : cases) {
    std::u16string document = c.document;
    for (auto& ch : document) {
      if (ch == u'/') ch = sep[0];
    }
    Run({document});
    const auto record =
        WaitForRecord(program / (std::string(c.program) + kExeSuffix), kPresenceWait);
    ASSERT_TRUE(record) << Show(document);
    EXPECT_TRUE(fs::equivalent(record->workingFolder, program)) << record->workingFolder;
    const std::u16string trimmed = document.substr(0, document.find_last_not_of(u' ') + 1);
    EXPECT_EQ(record->received, ExpectedReceived(c.before + trimmed + u"\"", c.posix))
        << Show(document);
    fs::remove(partsbook.string() + ".rec");
    fs::remove(divuvivur.string() + ".rec");
  }
}

TEST_F(CommandTest, TheProgramNameDecidesTheModeWithoutRegardToAsciiCase) {
  const std::string upper = std::string("HOPGATE") + (kExeSuffix[0] ? ".EXE" : "");
  Install(program, upper);
  WriteFile(caller / "a.txt", "A");
  Run({u"RENAME", u"a.txt", u"b.txt"}, Options(), program / upper);
  EXPECT_TRUE(fs::exists(caller / "b.txt"));

  // Under another name it forwards, so the command does nothing (there is no debug.ini), but the
  // folders are still prepared.
  Install(program, std::string("other") + kExeSuffix);
  fs::remove_all(data / "Vexmoor");
  Run({u"RENAME", u"b.txt", u"c.txt"}, Options(), program / (std::string("other") + kExeSuffix));
  EXPECT_TRUE(fs::exists(caller / "b.txt"));
  EXPECT_TRUE(fs::is_directory(PreviewFolder()));
}

TEST_F(CommandTest, AProgramFolderWithADotAndBlanksWorks) {
  const fs::path folder = root / "my prog.v2";
  Install(folder, std::string("hopgate") + kExeSuffix);
  const fs::path divuvivur = PlaceRecorder("divuvivur", folder);
  Run({u"x.twk"}, Options(), folder / (std::string("hopgate") + kExeSuffix));
  const auto record = WaitForRecord(divuvivur, kPresenceWait);
  ASSERT_TRUE(record);
  EXPECT_TRUE(fs::equivalent(record->workingFolder, folder));
}

// Windows cannot start a program beyond MAX_PATH; there the module path's growth is covered by the
// ModulePath unit tests.
#ifndef _WIN32
TEST_F(CommandTest, AProgramPathLongerThan260CharactersWorks) {
  fs::path folder = root;
  for (int i = 0; i < 6; ++i) folder /= std::string(50, static_cast<char>('a' + i));
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) GTEST_SKIP() << "this file system refuses long paths: " << ec.message();
  ASSERT_GT(folder.string().size(), 300u);
  Install(folder, std::string("hopgate") + kExeSuffix);
  const fs::path divuvivur = PlaceRecorder("divuvivur", folder);
  Run({u"x.twk"}, Options(), folder / (std::string("hopgate") + kExeSuffix));
  const auto record = WaitForRecord(divuvivur, kPresenceWait);
  ASSERT_TRUE(record);
  EXPECT_TRUE(fs::equivalent(record->workingFolder, folder));
}
#endif

}  // namespace

namespace {

using namespace testsupport;

TEST_F(ProgramFolderTest, WithoutTheCoreLibraryTheProgramDoesNotStart) {
  fs::remove(program / kCoreLibrary);
  WriteFile(caller / "a.txt", "A");
  const RunResult r = RunArguments(program / (std::string("hopgate") + kExeSuffix),
                                   {u"RENAME", u"a.txt", u"b.txt"}, Options());
  EXPECT_NE(r.exitCode, 0);
  EXPECT_TRUE(fs::exists(caller / "a.txt"));
  EXPECT_FALSE(fs::exists(caller / "b.txt"));
  EXPECT_FALSE(fs::exists(data / "Vexmoor"));
}

}  // namespace
