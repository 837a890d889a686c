// A copy of the program under another name forwards its call to the program that debug.ini names:
// what really starts, on each build. The forwarding rules case by case are in
// command_table_test.cpp.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/program_folder.h"
#include "support/show.h"

namespace {

using namespace testsupport;

class ForwardTest : public ProgramFolderTest {
 protected:
  void SetUp() override {
    ProgramFolderTest::SetUp();
    Install(program, OwnName());
  }
  static std::string OwnName() { return std::string("fwd") + kExeSuffix; }
  static std::string Upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  }
  static std::string Sep() { return fs::path("a/b").make_preferred().string().substr(1, 1); }

  RunResult Forward(const std::u16string& tail) {
    RunResult r = RunCommandLine(program / OwnName(), tail, Options());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, "");
    return r;
  }
};

TEST_F(ForwardTest, TheNamedTargetIsStartedWithItsArgumentsInQuotes) {
  static const struct {
    std::u16string tail;                     // the caller's command line after the program
    std::optional<std::u16string> expected;  // the target's parameter string
    std::vector<std::u16string> posix;       // the arguments a POSIX target receives
  } cases[] = {
      {u"", std::nullopt, {}},  // no parameter string at all, not an empty pair of quotes
      {u" one", u"\"one\"", {u"one"}},
      {u" \"with blanks\" x", u"\"with blanks\" \"x\"", {u"with blanks", u"x"}},
      {u" \"  padded  \"", u"\"padded\"", {u"padded"}},
      {u" \"   \"", u"\"\"", {}},  // blanks only: an empty quoted argument
      {u" a b c", u"\"a\" \"b\" \"c\"", {u"a", u"b", u"c"}},
      // backslashes stay, nothing escaped
      {u" ends\\ \"in\\\"", u"\"ends\\\" \"in\\\"", {u"ends\\", u"in\\"}},
  };
  WriteFile(program / "debug.ini", "[Forward]\n" + OwnName() + "=target" + kExeSuffix + "\n");
  const fs::path target = PlaceRecorder("target");
  for (const auto& c : cases) {
    fs::remove(target.string() + ".rec");
    Forward(c.tail);
    const auto record = WaitForRecord(target, kPresenceWait);
    ASSERT_TRUE(record) << Show(c.tail);
    EXPECT_TRUE(fs::equivalent(record->workingFolder, program)) << Show(c.tail);
    EXPECT_EQ(record->received, ExpectedReceived(c.expected, c.posix)) << Show(c.tail);
  }
}

TEST_F(ForwardTest, SectionAndKeyAreFoundInAnyLetterCase) {
  static const char* const inis[] = {
      "[FORWARD]\n%KEY%=target%SUFFIX%\n",
      "[forward]\n%UPPERKEY%=target%SUFFIX%\n",
      "; comment\n[Other]\nx=y\n[Forward]\n  %UPPERKEY%  =  target%SUFFIX%  \n",
  };
  const fs::path target = PlaceRecorder("target");
  for (const char* ini : inis) {
    std::string text = ini;
    auto replace = [&](const std::string& from, const std::string& to) {
      for (size_t at; (at = text.find(from)) != std::string::npos;)
        text.replace(at, from.size(), to);
    };
    replace("%UPPERKEY%", Upper(OwnName()));
    replace("%KEY%", OwnName());
    replace("%SUFFIX%", kExeSuffix);
    WriteFile(program / "debug.ini", text);
    fs::remove(target.string() + ".rec");
    Forward(u" x");
    EXPECT_TRUE(WaitForRecord(target, kPresenceWait)) << text;
  }
}

// Which values start nothing is tested directly (command_table_test.cpp); a forwarding copy with
// nothing to start still prepares the cache folders.
TEST_F(ForwardTest, ACopyWithNothingToStartPreparesTheCacheFolders) {
  Forward(u" x");
  EXPECT_TRUE(fs::is_directory(PreviewFolder()));
}

TEST_F(ForwardTest, ATargetInASubfolderRunsInTheProgramFolder) {
  const fs::path target = PlaceRecorder("tool", program / "sub");
  WriteFile(program / "debug.ini",
            "[Forward]\n" + OwnName() + "=sub" + Sep() + "tool" + kExeSuffix + "\n");
  Forward(u" x");
  const auto record = WaitForRecord(target, kPresenceWait);
  ASSERT_TRUE(record);
  EXPECT_TRUE(fs::equivalent(record->workingFolder, program));
  EXPECT_EQ(record->received, ExpectedReceived(u"\"x\"", {u"x"}));
}

// The value is joined to the program folder for the existence test and handed to the shell as
// read. With a leading separator the test finds the file below the program folder; the POSIX
// build starts that same file, while Windows' shell takes the value from the root of the drive,
// where nothing stands (docs/forwarding.md).
TEST_F(ForwardTest, ALeadingSeparatorIsTestedBelowTheProgramFolder) {
  const fs::path target = PlaceRecorder("tool", program / "sub");
  WriteFile(program / "debug.ini",
            "[Forward]\n" + OwnName() + "=" + Sep() + "sub" + Sep() + "tool" + kExeSuffix + "\n");
  Forward(u" x");
#ifdef _WIN32
  EXPECT_FALSE(WaitForRecord(target, kAbsenceWait));
#else
  const auto record = WaitForRecord(target, kPresenceWait);
  ASSERT_TRUE(record);
  EXPECT_TRUE(fs::equivalent(record->workingFolder, program));
#endif
}

}  // namespace

namespace {

using namespace testsupport;

TEST_F(ProgramFolderTest, AHugeOrBinaryDebugIniNeverBreaksTheRun) {
#ifdef _WIN32
  constexpr size_t kJunk = 4u << 20;
#else
  constexpr size_t kJunk = 100u << 20;
#endif
  Install(program, std::string("fwd") + kExeSuffix);
  const fs::path target = PlaceRecorder("target");
  std::string junk;
  junk.reserve(kJunk);
  unsigned state = 12345;
  while (junk.size() < kJunk) {
    state = state * 1103515245u + 12345u;
    const char c = static_cast<char>(state >> 16);
    junk.push_back(c == '=' || c == '[' ? 'x' : c);  // no key and no section in the junk
  }
  // Binary junk alone: nothing to forward to.
  WriteFile(program / "debug.ini", junk);
  Run({u"x"}, Options(), program / (std::string("fwd") + kExeSuffix));
  EXPECT_FALSE(WaitForRecord(target, kAbsenceWait));
  // The same junk before a real section: it is read through to the end.
  WriteFile(program / "debug.ini",
            junk + "\r\n[Forward]\r\nfwd" + kExeSuffix + "=target" + kExeSuffix + "\r\n");
  Run({u"x"}, Options(), program / (std::string("fwd") + kExeSuffix));
  EXPECT_TRUE(WaitForRecord(target, kPresenceWait));
}

}  // namespace
