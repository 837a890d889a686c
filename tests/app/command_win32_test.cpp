// File commands against what only Windows enforces: sharing modes and short names.
#include <windows.h>

#include <gtest/gtest.h>

#include "support/program_folder.h"
#include "support/show.h"

namespace {

using namespace testsupport;

// A file that another program holds open: RENAMEANDDEL changes neither file.
TEST_F(ProgramFolderTest, RenameAndDeleteWithAFileHeldElsewhereChangesNothing) {
  static const struct {
    const char* name;
    const char* held;  // the file held open
    DWORD access, sharing;
  } cases[] = {
      // Open without sharing for deletion: the destination cannot be deleted, so nothing is
      // written.
      {"destination held without delete sharing", "dst.txt", GENERIC_READ, FILE_SHARE_READ},
      // The source is read with read sharing only: a writer elsewhere makes the copy fail.
      {"source held open for writing", "src.txt", GENERIC_WRITE,
       FILE_SHARE_READ | FILE_SHARE_WRITE},
  };
  for (const auto& c : cases) {
    WriteFile(caller / "src.txt", "new");
    WriteFile(caller / "dst.txt", "old");
    HANDLE held = ::CreateFileW((caller / c.held).wstring().c_str(), c.access, c.sharing, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << c.name;
    Run({u"RENAMEANDDEL", u"src.txt", u"dst.txt"});
    ::CloseHandle(held);
    EXPECT_EQ(ReadFile(caller / "dst.txt"), "old") << c.name;
    EXPECT_EQ(ReadFile(caller / "src.txt"), "new") << c.name;
  }
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
