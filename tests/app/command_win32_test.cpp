// File commands against what only Windows enforces: sharing modes and short names.
#include <windows.h>

#include <gtest/gtest.h>

#include "support/program_folder.h"
#include "support/show.h"

namespace {

using namespace testsupport;

TEST_F(ProgramFolderTest, ADestinationThatCannotBeDeletedGetsNothingWritten) {
  WriteFile(caller / "src.txt", "new");
  WriteFile(caller / "dst.txt", "old");
  // Open without sharing for deletion, as another program may hold it.
  HANDLE held = ::CreateFileW((caller / "dst.txt").wstring().c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  Run({u"RENAMEANDDEL", u"src.txt", u"dst.txt"});
  ::CloseHandle(held);
  EXPECT_EQ(ReadFile(caller / "dst.txt"), "old");
  EXPECT_EQ(ReadFile(caller / "src.txt"), "new");
}

TEST_F(ProgramFolderTest, ASourceHeldOpenForWritingIsNotCopied) {
  WriteFile(caller / "src.txt", "new");
  WriteFile(caller / "dst.txt", "old");
  // The source is read with read sharing only: a writer elsewhere makes the copy fail.
  HANDLE held =
      ::CreateFileW((caller / "src.txt").wstring().c_str(), GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  Run({u"RENAMEANDDEL", u"src.txt", u"dst.txt"});
  ::CloseHandle(held);
  EXPECT_EQ(ReadFile(caller / "dst.txt"), "old");
  EXPECT_EQ(ReadFile(caller / "src.txt"), "new");
}

TEST_F(ProgramFolderTest, RenameAndDeleteOfAFileOntoItsShortNameKeepsIt) {
  const fs::path file = caller / "a rather long file name.text";
  WriteFile(file, "only copy");
  wchar_t shortName[MAX_PATH];
  const DWORD n = ::GetShortPathNameW(file.wstring().c_str(), shortName, MAX_PATH);
  if (n == 0 || n >= MAX_PATH || file.wstring() == shortName) {
    GTEST_SKIP() << "this file system gives no short names";
  }
  Run({file.u16string(), fs::path(shortName).u16string()});  // two arguments: nothing
  Run({u"RENAMEANDDEL", file.u16string(), fs::path(shortName).u16string()});
  EXPECT_EQ(ReadFile(file), "only copy") << fs::path(shortName).string();
}

}  // namespace
