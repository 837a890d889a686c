// The command table and forwarding called directly, as the program's entry runs them, over a test
// double of the platform layer and the preview cache (fake_world.h). Every row of the table, every
// way a row is missed, and every forwarding outcome is one case here; the process-level tests keep
// what only a process shows (silence, exit code, what really starts, on both builds).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/hopgate.h"
#include "fake_world.h"
#include "support/show.h"

namespace {

using fakeworld::Entry;
using fakeworld::TheWorld;
using testsupport::Show;
using Log = std::vector<std::string>;
using V = std::vector<std::u16string>;

const std::string kPrepare = "prepare data folders";

std::string Joined(const V& args) {
  std::string out;
  for (const auto& a : args) out += Show(a) + " ";
  return out;
}

// Runs the whole entry with these arguments; what it did after preparing the data folders.
Log RunWith(const V& args) {
  TheWorld().arguments = args;
  EXPECT_EQ(hopgate::Run(), 0);
  Log log = TheWorld().log;
  EXPECT_FALSE(log.empty()) << "the data folders were not prepared";
  if (!log.empty()) {
    EXPECT_EQ(log.front(), kPrepare) << "the data folders come first";
    log.erase(log.begin());
  }
  return log;
}

class CommandTableTest : public ::testing::Test {
 protected:
  void SetUp() override { fakeworld::Reset(); }
  void File(const std::u16string& path, const std::string& bytes = "x", bool readOnly = false) {
    TheWorld().files[path] = Entry{false, readOnly, bytes};
  }
  void Folder(const std::u16string& path) { TheWorld().files[path] = Entry{true, false, {}}; }
};

TEST_F(CommandTableTest, EachRowActsOnItsOwnArgumentsOnly) {
  static const struct {
    V args;
    Log effects;  // after preparing the data folders
  } cases[] = {
      // No arguments, or arguments no row takes: nothing.
      {{}, {}},
      {{u"plain"}, {}},
      {{u""}, {}},
      // Purge of the preview cache: the exact word, one argument.
      {{u"CLEARPNGFILE"}, {"purge"}},
      {{u" CLEARPNGFILE\t"}, {"purge"}},  // trimmed
      {{u"clearpngfile"}, {}},
      {{u"CLEARPNGFILE", u"x"}, {}},
      // Documents go to their sibling program, started from the program folder.
      {{u"model.partsbook"}, {"start partsbook.exe [EXPORT \"model.partsbook\"] in C:\\prog\\"}},
      {{u"Model.PartsBook"}, {"start partsbook.exe [EXPORT \"Model.PartsBook\"] in C:\\prog\\"}},
      {{u"missing folder\\x y.PARTSBOOK"},
       {"start partsbook.exe [EXPORT \"missing folder\\x y.PARTSBOOK\"] in C:\\prog\\"}},
      {{u"drawing.twk"}, {"start divuvivur.exe [\"drawing.twk\"] in C:\\prog\\"}},
      {{u"drawing.Twk"}, {"start divuvivur.exe [\"drawing.Twk\"] in C:\\prog\\"}},
      {{u"drawing.TWK"}, {"start divuvivur.exe [\"drawing.TWK\"] in C:\\prog\\"}},
      {{u"drawing.twk "}, {"start divuvivur.exe [\"drawing.twk\"] in C:\\prog\\"}},  // trimmed
      {{u"drawing.twk.bak"}, {}},
      {{u"folder.twk\\file"}, {}},  // a dot in a folder name is no extension
      {{u"x:y.twk"}, {"start divuvivur.exe [\"x:y.twk\"] in C:\\prog\\"}},
      {{u"a.partsbook", u"b"}, {}},  // documents need exactly one argument
      {{u"a.partsbook", u"b", u"c"}, {}},
      // A request file: imported only when it exists as a file.
      {{u"req.json"}, {"import req.json"}},
      {{u"REQ.JSON"}, {"import REQ.JSON"}},
      {{u"absent.json"}, {}},
      {{u"dir.json"}, {}},
      {{u"req.json", u"x"}, {}},
      // RENAME: exactly three arguments and the exact word; the names trimmed.
      {{u"RENAME", u"a.txt", u"b.txt"}, {"move a.txt -> b.txt"}},
      {{u" RENAME ", u"a.txt", u"b.txt"}, {"move a.txt -> b.txt"}},
      {{u"RENAME", u"  a.txt", u"b.txt\t"}, {"move a.txt -> b.txt"}},
      {{u"RENAME", u"a.txt"}, {}},
      {{u"RENAME", u"a.txt", u"b.txt", u"c"}, {}},
      {{u"rename", u"a.txt", u"b.txt"}, {}},
      {{u"Rename", u"a.txt", u"b.txt"}, {}},
      {{u"RENAMEX", u"a.txt", u"b.txt"}, {}},
      {{u"a.txt", u"RENAME", u"b.txt"}, {}},
      // RENAMEANDDEL: the source's bytes written anew over the destination, then the source
      // deleted.
      {{u"RENAMEANDDEL", u"a.txt", u"new.txt"}, {"write new.txt [A]", "delete a.txt"}},
      {{u"RENAMEANDDEL", u"a.txt", u"b.txt"}, {"delete b.txt", "write b.txt [A]", "delete a.txt"}},
      {{u"RENAMEANDDEL", u"a.txt"}, {}},
      {{u"renameanddel", u"a.txt", u"b.txt"}, {}},
  };
  for (const auto& c : cases) {
    fakeworld::Reset();
    File(u"a.txt", "A");
    File(u"b.txt", "B");
    File(u"req.json", "{}");
    File(u"REQ.JSON", "{}");
    Folder(u"dir.json");
    EXPECT_EQ(RunWith(c.args), c.effects) << Joined(c.args);
  }
}

TEST_F(CommandTableTest, RenameAndDeleteGuardsItsSourceAndDestination) {
  static const struct {
    const char* name;
    V args;
    Log effects;
  } cases[] = {
      {"read-only destination: made normal, replaced",
       {u"RENAMEANDDEL", u"src.txt", u"ro.txt"},
       {"normal attributes ro.txt", "delete ro.txt", "write ro.txt [S]", "delete src.txt"}},
      {"read-only source: copied, then its delete refused",
       {u"RENAMEANDDEL", u"rosrc.txt", u"new.txt"},
       {"write new.txt [R]", "delete rosrc.txt"}},
      {"missing source: nothing", {u"RENAMEANDDEL", u"missing.txt", u"dst.txt"}, {}},
      {"a folder is no source", {u"RENAMEANDDEL", u"folder", u"dst.txt"}, {}},
      {"one file under two names: nothing", {u"RENAMEANDDEL", u"src.txt", u"SRC.TXT"}, {}},
      {"the same spelling: nothing", {u"RENAMEANDDEL", u"src.txt", u"src.txt"}, {}},
  };
  for (const auto& c : cases) {
    fakeworld::Reset();
    File(u"src.txt", "S");
    File(u"rosrc.txt", "R", true);
    File(u"ro.txt", "old", true);
    File(u"dst.txt", "D");
    Folder(u"folder");
    TheWorld().aliases[u"SRC.TXT"] = u"src.txt";
    EXPECT_EQ(RunWith(c.args), c.effects) << c.name;
  }
  // What the replaced destination holds afterwards, and that a refused source stays.
  fakeworld::Reset();
  File(u"src.txt", "S");
  File(u"ro.txt", "old", true);
  RunWith({u"RENAMEANDDEL", u"src.txt", u"ro.txt"});
  ASSERT_TRUE(TheWorld().files.count(u"ro.txt"));
  EXPECT_EQ(TheWorld().files[u"ro.txt"].bytes, "S");
  EXPECT_FALSE(TheWorld().files[u"ro.txt"].readOnly);
  EXPECT_FALSE(TheWorld().files.count(u"src.txt"));
}

TEST_F(CommandTableTest, TheProgramsOwnNameChoosesTheMode) {
  static const struct {
    std::u16string modulePath;
    bool commands;
  } cases[] = {
      {u"C:\\prog\\hopgate.exe", true},      {u"C:\\prog\\HOPGATE.EXE", true},
      {u"C:\\prog\\HopGate.Exe", true},      {u"C:\\prog\\hopgate", false},
      {u"C:\\prog\\hopgate.exe.exe", false}, {u"C:\\prog\\other.exe", false},
  };
  for (const auto& c : cases) {
    fakeworld::Reset();
    TheWorld().modulePath = c.modulePath;
    const Log effects = RunWith({u"CLEARPNGFILE"});
    EXPECT_EQ(effects, c.commands ? Log{"purge"} : Log{}) << Show(c.modulePath);
  }
}

class ForwardingTest : public CommandTableTest {
 protected:
  void SetUp() override {
    CommandTableTest::SetUp();
    TheWorld().modulePath = u"C:\\prog\\fwd.exe";
  }
};

TEST_F(ForwardingTest, TheTargetGetsUpToThreeArgumentsInQuotes) {
  static const struct {
    V args;
    Log effects;
  } cases[] = {
      {{}, {"start t.exe (no parameters) in C:\\prog\\"}},  // no string, not empty quotes
      {{u"one"}, {"start t.exe [\"one\"] in C:\\prog\\"}},
      {{u"with blanks", u"x"}, {"start t.exe [\"with blanks\" \"x\"] in C:\\prog\\"}},
      {{u"  padded  "}, {"start t.exe [\"padded\"] in C:\\prog\\"}},
      {{u"   "}, {"start t.exe [\"\"] in C:\\prog\\"}},  // blanks only: an empty pair of quotes
      {{u"a", u"b", u"c"}, {"start t.exe [\"a\" \"b\" \"c\"] in C:\\prog\\"}},
      {{u"ends\\", u"in\\"}, {"start t.exe [\"ends\\\" \"in\\\"] in C:\\prog\\"}},  // no escaping
      {{u"a", u"b", u"c", u"d"}, {}},  // four arguments: nothing
      {{u"CLEARPNGFILE"}, {"start t.exe [\"CLEARPNGFILE\"] in C:\\prog\\"}},  // no commands
  };
  for (const auto& c : cases) {
    fakeworld::Reset();
    TheWorld().modulePath = u"C:\\prog\\fwd.exe";
    File(u"C:\\prog\\debug.ini", "[Forward]\nfwd.exe=t.exe\n");
    File(u"C:\\prog\\\\t.exe");
    EXPECT_EQ(RunWith(c.args), c.effects) << Joined(c.args);
  }
}

TEST_F(ForwardingTest, TheValueIsTestedInTheProgramFolderAndHandedOnAsRead) {
  static const struct {
    const char* name;
    const char* ini;  // nullptr: no debug.ini
    Log effects;
  } cases[] = {
      {"plain", "[Forward]\nfwd.exe=t.exe\n", {"start t.exe [\"x\"] in C:\\prog\\"}},
      {"section and key in any case",
       "[FORWARD]\nFWD.EXE=t.exe\n",
       {"start t.exe [\"x\"] in C:\\prog\\"}},
      {"blanks around",
       "; c\n[Other]\nx=y\n[forward]\n  Fwd.exe  =  t.exe  \n",
       {"start t.exe [\"x\"] in C:\\prog\\"}},
      {"subfolder",
       "[Forward]\nfwd.exe=sub\\tool.exe\n",
       {"start sub\\tool.exe [\"x\"] in C:\\prog\\"}},
      {"no debug.ini", nullptr, {}},
      {"no section", "[Other]\nfwd.exe=t.exe\n", {}},
      {"no key", "[Forward]\nsomeone.exe=t.exe\n", {}},
      {"empty value: the folder itself is tested", "[Forward]\nfwd.exe=\n", {}},
      {"missing target", "[Forward]\nfwd.exe=absent.exe\n", {}},
      {"target is a folder", "[Forward]\nfwd.exe=folder\n", {}},
      {"absolute path: joined, never found", "[Forward]\nfwd.exe=C:\\prog\\t.exe\n", {}},
      // A leading separator is tested below the program folder and handed on as read (the
      // Windows shell then looks from the root of the drive).
      {"leading separator",
       "[Forward]\nfwd.exe=\\sub\\tool.exe\n",
       {"start \\sub\\tool.exe [\"x\"] in C:\\prog\\"}},
      {"..", "[Forward]\nfwd.exe=..\\up.exe\n", {"start ..\\up.exe [\"x\"] in C:\\prog\\"}},
  };
  for (const auto& c : cases) {
    fakeworld::Reset();
    TheWorld().modulePath = u"C:\\prog\\fwd.exe";
    if (c.ini) File(u"C:\\prog\\debug.ini", c.ini);
    File(u"C:\\prog\\\\t.exe");
    File(u"C:\\prog\\\\sub\\tool.exe");
    File(u"C:\\prog\\\\\\sub\\tool.exe");
    File(u"C:\\prog\\\\..\\up.exe");
    Folder(u"C:\\prog\\\\folder");
    Folder(u"C:\\prog\\\\");
    EXPECT_EQ(RunWith({u"x"}), c.effects) << c.name;
  }
}

}  // namespace
