// debug.ini values are read through a 2048-character buffer: a longer value is cut to its first
// 2047 characters. On POSIX a target path of that length can exist, so the cut shows end to end.
#include <gtest/gtest.h>

#include "support/program_folder.h"

namespace {

using namespace testsupport;

TEST_F(ProgramFolderTest, AForwardTargetLongerThan2047CharactersIsCut) {
  Install(program, "fwd");
  std::string value;
  fs::path folder = program;
  for (int i = 0; i < 9; ++i) {
    const std::string name(200, static_cast<char>('a' + i));
    folder /= name;
    value += name + "/";
  }
  const std::string file(2047 - value.size(), 't');
  value += file;
  ASSERT_EQ(value.size(), 2047u);
  const fs::path target = PlaceRecorder(file, folder);

  WriteFile(program / "debug.ini", "[Forward]\nfwd=" + value + "-and-more\n");
  Run({u"x"}, Options(), program / "fwd");
  const auto record = WaitForRecord(target, kPresenceWait);
  ASSERT_TRUE(record);
  EXPECT_TRUE(fs::equivalent(record->workingFolder, program));
  EXPECT_EQ(record->received, std::vector<std::u16string>{u"x"});

  // One character more in the kept part names a file that is not there: nothing starts.
  fs::remove(target.string() + ".rec");
  WriteFile(program / "debug.ini", "[Forward]\nfwd=" + value.substr(0, 2046) + "\n");
  Run({u"x"}, Options(), program / "fwd");
  EXPECT_FALSE(WaitForRecord(target, kAbsenceWait));
}

}  // namespace
