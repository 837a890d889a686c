// The system's reason for a failed call of the platform layer: each failure records its own
// reason, in the system's words, and a later success leaves it standing.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <system_error>

#include "platform/native_text.h"
#include "platform/platform.h"
#include "platform/textrules.h"
#include "support/show.h"
#include "support/temp_folder.h"

namespace {

using testsupport::OneLine;
using testsupport::TempFolder;

std::string Reason() { return OneLine(platform::ToNative(platform::LastErrorText())); }

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

TEST(LastErrorText, EachFailureRecordsItsOwnReason) {
  TempFolder folder("hopgate-last-error");
  const platform::Text file = folder.Write("file.txt", "x");
  const platform::Text readOnly = folder.Write("read-only.txt", "x");
  testsupport::SetReadOnly(folder.Path() / "read-only.txt", true);
  const platform::Text missing = folder.File("missing");
  const platform::Text inMissing = textrules::JoinPath(missing, u"file.txt");
  std::string bytes;

  // Windows' codes: 2 file not found, 3 path not found, 5 access denied.
  static const struct {
    const char* what;
    bool (*fails)(const platform::Text& file, const platform::Text& readOnly,
                  const platform::Text& missing, const platform::Text& inMissing);
    std::errc posix;
    int windows;
  } cases[] = {
      {"delete a missing file",
       [](auto&, auto&, auto& m, auto&) { return !platform::DeleteFile(m); },
       std::errc::no_such_file_or_directory, 2},
      {"delete a read-only file",
       [](auto&, auto& r, auto&, auto&) { return !platform::DeleteFile(r); },
       std::errc::permission_denied, 5},
      {"write into a missing folder",
       [](auto&, auto&, auto&, auto& im) { return !platform::WriteNewFile(im, "x"); },
       std::errc::no_such_file_or_directory, 3},
      {"list a missing folder",
       [](auto&, auto&, auto& m, auto&) { return !platform::ListFolder(m); },
       std::errc::no_such_file_or_directory, 3},
      {"list the names in a missing folder",
       [](auto&, auto&, auto& m, auto&) { return !platform::ListFolderNames(m); },
       std::errc::no_such_file_or_directory, 3},
      {"move a missing file",
       [](auto& f, auto&, auto& m, auto&) { return !platform::MoveFile(m, f + u"2"); },
       std::errc::no_such_file_or_directory, 2},
      {"copy into a missing folder",
       [](auto& f, auto&, auto&, auto& im) { return !platform::CopyFile(f, im); },
       std::errc::no_such_file_or_directory, 3},
      {"replace keeping a backup under a name that is taken",
       [](auto& f, auto& r, auto&, auto&) { return !platform::ReplaceKeepingBackup(f, r, r); },
       std::errc::file_exists, 80},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(c.fails(file, readOnly, missing, inMissing)) << c.what;
    const std::error_code expected = kWindows ? std::error_code(c.windows, std::system_category())
                                              : std::make_error_code(c.posix);
    EXPECT_EQ(Reason(), OneLine(expected.message())) << c.what;
    // A success does not clear the reason: it stays for the message that follows the failure.
    ASSERT_TRUE(platform::ReadWholeFile(file, bytes));
    EXPECT_EQ(Reason(), OneLine(expected.message())) << c.what << ", after a success";
  }
}

// The replacement takes the target's place and the old target is kept under the backup name; a
// backup name that is taken is refused and everything stays as it was.
TEST(ReplaceKeepingBackup, PutsTheNewFileInPlaceAndKeepsTheOldOne) {
  TempFolder folder("hopgate-replace");
  const platform::Text target = folder.Write("index", "old");
  const platform::Text replacement = folder.Write("index.new", "new");
  const platform::Text backup = folder.File("index.kept");
  ASSERT_TRUE(platform::ReplaceKeepingBackup(target, replacement, backup)) << Reason();
  std::string bytes;
  ASSERT_TRUE(platform::ReadWholeFile(target, bytes));
  EXPECT_EQ(bytes, "new");
  ASSERT_TRUE(platform::ReadWholeFile(backup, bytes));
  EXPECT_EQ(bytes, "old");
  EXPECT_FALSE(platform::FileExists(replacement));

  const platform::Text another = folder.Write("index.newer", "newer");
  EXPECT_FALSE(platform::ReplaceKeepingBackup(target, another, backup));
  ASSERT_TRUE(platform::ReadWholeFile(target, bytes));
  EXPECT_EQ(bytes, "new");
  ASSERT_TRUE(platform::ReadWholeFile(backup, bytes));
  EXPECT_EQ(bytes, "old");
  EXPECT_TRUE(platform::FileExists(another));

  // A replacement that cannot take the target's place (here: it is not there) after the old one
  // was already kept: the target stays as it was and the backup name is free again, so that a
  // second try can take it.
  const platform::Text fresh = folder.File("index.fresh");
  const platform::Text backup2 = folder.File("index.kept2");
  EXPECT_FALSE(platform::ReplaceKeepingBackup(target, fresh, backup2));
  ASSERT_TRUE(platform::ReadWholeFile(target, bytes));
  EXPECT_EQ(bytes, "new");
  EXPECT_EQ(platform::Examine(backup2), platform::PathKind::Missing);
}

}  // namespace
