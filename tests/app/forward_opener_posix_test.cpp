// A forwarding target that is no program file goes to the desktop's opener (xdg-open) when the
// PATH offers one, and to nothing otherwise. The opener on PATH is a recorder here, so the test
// never depends on whether the machine has xdg-open (a browser package brings it) nor launches
// whatever the machine would open a file with.
#include <gtest/gtest.h>

#include "support/program_folder.h"

namespace {

using namespace testsupport;

TEST_F(ProgramFolderTest, ATargetThatIsNoProgramGoesToTheOpenerOnThePath) {
  Install(program, "fwd");
  WriteFile(program / "notes.txt", "not a program");
  fs::permissions(program / "notes.txt",
                  fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::remove);
  WriteFile(program / "debug.ini", "[Forward]\nfwd=notes.txt\n");
  const fs::path bin = root / "bin";
  const fs::path opener = PlaceRecorder("xdg-open", bin);

  RunOptions o = Options();
  o.environment["PATH"] = bin.string();
  Run({u"x"}, o, program / "fwd");
  const auto record = WaitForRecord(opener, kPresenceWait);
  ASSERT_TRUE(record);
  ASSERT_EQ(record->received.size(), 1u);
  EXPECT_TRUE(fs::equivalent(fs::path(record->received[0]), program / "notes.txt"));
  EXPECT_TRUE(fs::equivalent(record->workingFolder, program));

  // No opener on the PATH: nothing is started, and the run is as silent as ever.
  fs::remove(opener.string() + ".rec");
  o.environment["PATH"] = (root / "empty").string();
  Run({u"x"}, o, program / "fwd");
  EXPECT_FALSE(WaitForRecord(opener, kAbsenceWait));
}

}  // namespace
