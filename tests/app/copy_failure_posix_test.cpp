// A destination that cannot be written whole is never left half-written: the file-size limit
// makes the write fail part-way.
#include <gtest/gtest.h>

#include "support/program_folder.h"

namespace {

using namespace testsupport;

TEST_F(ProgramFolderTest, AWriteThatFailsPartWayLeavesNoHalfFileAndKeepsTheSource) {
  const std::string content(64 * 1024, 'x');
  WriteFile(caller / "src.bin", content);
  WriteFile(caller / "dst.bin", "old");
  RunOptions o = Options();
  o.fileSizeLimit = 4096;
  Run({u"RENAMEANDDEL", u"src.bin", u"dst.bin"}, o,
      program / (std::string("hopgate") + kExeSuffix));
  EXPECT_EQ(ReadFile(caller / "src.bin"), content);
  // The old destination was replaced by nothing rather than by a part of the source.
  if (fs::exists(caller / "dst.bin")) {
    EXPECT_EQ(ReadFile(caller / "dst.bin"), content);
  }
  EXPECT_FALSE(fs::exists(caller / "dst.bin"));

  // Within the limit the same command goes through.
  WriteFile(caller / "small.bin", "small");
  Run({u"RENAMEANDDEL", u"small.bin", u"dst.bin"}, o,
      program / (std::string("hopgate") + kExeSuffix));
  EXPECT_EQ(ReadFile(caller / "dst.bin"), "small");
  EXPECT_FALSE(fs::exists(caller / "small.bin"));
}

}  // namespace
