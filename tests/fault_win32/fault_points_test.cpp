// The Win32 backend with one of its calls failed (fault_points.h): a write and a copy are whole or
// absent whatever call fails, and a test that cannot tell never passes for "not there".
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/fault_points.h"
#include "platform/native_text.h"
#include "platform/platform.h"
#include "support/show.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
namespace faults = platform::faultpoints;
using platform::PathKind;
using platform::Text;
using testsupport::OneLine;
using testsupport::ReadBytes;
using testsupport::SetReadOnly;
using testsupport::TempFolder;
using testsupport::WriteBytes;

std::string Reason() { return OneLine(platform::ToNative(platform::LastErrorText())); }

std::string SystemText(DWORD code) {
  return OneLine(std::error_code(static_cast<int>(code), std::system_category()).message());
}

// The calls that `action` makes when nothing fails.
std::vector<std::string> CallsOf(const std::function<void()>& action) {
  faults::Arm(0, faults::Mode::Off);
  action();
  return {faults::Calls().begin(), faults::Calls().end()};
}

// The position (1-based) of the first call named `name`, 0 when there is none.
std::size_t PositionOf(const std::vector<std::string>& calls, const std::string& name) {
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i] == name) return i + 1;
  }
  return 0;
}

// A write fails at any of its calls: the file is then absent, never half-written, and the reason
// is the failed call's.
TEST(FaultPoints, AWriteFailedAtAnyCallLeavesNoFile) {
  TempFolder folder("hopgate-fault-write");
  const Text file = folder.File("new.bin");
  const std::string bytes(100000, 'w');
  const auto write = [&] { platform::WriteNewFile(file, bytes); };
  const auto calls = CallsOf(write);
  ASSERT_EQ(calls, (std::vector<std::string>{"GetFileAttributesW", "CreateFileW", "WriteFile",
                                             "FlushFileBuffers", "CloseHandle", "MoveFileExW"}));
  ASSERT_EQ(ReadBytes(folder.Path() / "new.bin"), bytes);
  ASSERT_EQ(folder.Entries(), std::vector<std::string>{"new.bin"});
  // The reason each kind of call gives: a full disk for the writer's calls, an I/O error else.
  static const DWORD kReasons[] = {ERROR_IO_DEVICE, ERROR_DISK_FULL, ERROR_DISK_FULL,
                                   ERROR_IO_DEVICE, ERROR_IO_DEVICE, ERROR_IO_DEVICE};
  const std::string temporary = "new.bin.part" + std::to_string(::GetCurrentProcessId());
  for (const auto mode : {faults::Mode::Once, faults::Mode::ForGood}) {
    for (std::size_t n = 1; n <= calls.size(); ++n) {
      const std::string what =
          calls[n - 1] + (mode == faults::Mode::Once ? " failed once" : " failed for good");
      fs::remove(folder.Path() / "new.bin");
      fs::remove(folder.Path() / temporary);
      faults::Arm(n, mode);
      EXPECT_FALSE(platform::WriteNewFile(file, bytes)) << what;
      faults::Disarm();
      // Nothing under the name; the temporary file only when its removal failed too.
      const bool created = n > PositionOf(calls, "CreateFileW");
      EXPECT_EQ(folder.Entries(), mode == faults::Mode::ForGood && created
                                      ? std::vector<std::string>{temporary}
                                      : std::vector<std::string>{})
          << what;
      EXPECT_EQ(Reason(), SystemText(kReasons[n - 1])) << what;
    }
  }
}

// A copy fails at any of its calls, once or for good: the target is as it was, and a temporary
// file stays only when its own removal failed too.
TEST(FaultPoints, ACopyFailedAtAnyCallLeavesTheTargetAsItWas) {
  TempFolder folder("hopgate-fault-copy");
  const Text src = folder.File("src.bin");
  const Text dst = folder.File("dst.bin");
  const auto reset = [&] {
    for (const auto& name : folder.Entries()) fs::remove(folder.Path() / name);
    WriteBytes(folder.Path() / "src.bin", "new");
    WriteBytes(folder.Path() / "dst.bin", "old");
  };
  reset();
  const auto calls = CallsOf([&] { platform::CopyFile(src, dst); });
  ASSERT_EQ(ReadBytes(folder.Path() / "dst.bin"), "new");
  ASSERT_NE(PositionOf(calls, "MoveFileExW"), 0u);
  for (const auto mode : {faults::Mode::Once, faults::Mode::ForGood}) {
    for (std::size_t n = 1; n <= calls.size(); ++n) {
      const std::string what =
          calls[n - 1] + (mode == faults::Mode::Once ? " failed once" : " failed for good");
      reset();
      faults::Arm(n, mode);
      const bool copied = platform::CopyFile(src, dst);
      faults::Disarm();
      // The clearing of a leftover temporary file that is not there fails harmlessly.
      const bool harmless =
          calls[n - 1] == "SetFileAttributesW" || n == PositionOf(calls, "DeleteFileW");
      const std::vector<std::string> expected =
          mode == faults::Mode::ForGood && n > PositionOf(calls, "CopyFileW")
              ? std::vector<std::string>{"dst.bin",
                                         "dst.bin.part" + std::to_string(::GetCurrentProcessId()),
                                         "src.bin"}
              : std::vector<std::string>{"dst.bin", "src.bin"};
      if (harmless && mode == faults::Mode::Once) {
        EXPECT_TRUE(copied) << what;
        EXPECT_EQ(ReadBytes(folder.Path() / "dst.bin"), "new") << what;
        continue;
      }
      EXPECT_FALSE(copied) << what;
      EXPECT_EQ(ReadBytes(folder.Path() / "dst.bin"), "old") << what;
      EXPECT_EQ(ReadBytes(folder.Path() / "src.bin"), "new") << what;
      EXPECT_EQ(folder.Entries(), expected) << what;
    }
  }
}

// Where a test that cannot tell decides a deletion or an overwrite, it counts as "there".
TEST(FaultPoints, ATestThatCannotTellIsNeverNotThere) {
  TempFolder folder("hopgate-fault-tell");
  const fs::path base = folder.Path();
  const Text file = folder.File("file.bin");
  const Text other = folder.File("other.bin");
  const Text target = folder.File("index");
  const Text replacement = folder.File("index.new");
  const Text backup = folder.File("index.kept");
  const Text readOnly = folder.File("read-only.bin");
  const auto reset = [&] {
    for (const auto& name : folder.Entries()) {
      SetReadOnly(base / name, false);
      fs::remove(base / name);
    }
    WriteBytes(base / "file.bin", "file");
    WriteBytes(base / "other.bin", "other");
    WriteBytes(base / "index", "old index");
    WriteBytes(base / "index.new", "new index");
    WriteBytes(base / "index.kept", "kept earlier");
    WriteBytes(base / "read-only.bin", "read-only");
    SetReadOnly(base / "read-only.bin", true);
  };
  static const struct {
    const char* what;
    const char* failed;  // the first call of this name fails, once
    bool recordsReason;  // the function reports the failure (LastErrorText)
    std::function<bool(const Text&, const Text&, const Text&, const Text&, const Text&,
                       const Text&)>
        holds;
  } cases[] = {
      {"Examine of a file that cannot be read: Unknown", "GetFileAttributesW", true,
       [](auto& f, auto&, auto&, auto&, auto&, auto&) {
         return platform::Examine(f) == PathKind::Unknown;
       }},
      {"two files, the first cannot be opened: may be the same", "CreateFileW", false,
       [](auto& f, auto& o, auto&, auto&, auto&, auto&) { return platform::MayBeSameFile(f, o); }},
      {"two files, the first cannot be identified: may be the same", "GetFileInformationByHandle",
       false,
       [](auto& f, auto& o, auto&, auto&, auto&, auto&) { return platform::MayBeSameFile(f, o); }},
      {"a backup name that cannot be examined is not overwritten", "GetFileAttributesW", true,
       [](auto&, auto&, auto& t, auto& r, auto& b, auto&) {
         return !platform::ReplaceKeepingBackup(t, r, b) &&
                ReadBytes(fs::path(b)) == "kept earlier" && ReadBytes(fs::path(t)) == "old index";
       }},
      {"a copy's target that cannot be examined is not overwritten", "GetFileAttributesW", true,
       [](auto& f, auto&, auto&, auto&, auto&, auto& ro) {
         return !platform::CopyFile(f, ro) && ReadBytes(fs::path(ro)) == "read-only";
       }},
      {"a listing cut short is no listing", "FindNextFileW", true,
       [](auto& f, auto&, auto&, auto&, auto&, auto&) {
         return !platform::ListFolder(fs::path(f).parent_path().u16string());
       }},
  };
  for (const auto& c : cases) {
    reset();
    const auto calls =
        CallsOf([&] { c.holds(file, other, target, replacement, backup, readOnly); });
    const std::size_t n = PositionOf(calls, c.failed);
    ASSERT_NE(n, 0u) << c.what << ": no call " << c.failed;
    reset();
    faults::Arm(n, faults::Mode::Once);
    const bool held = c.holds(file, other, target, replacement, backup, readOnly);
    faults::Disarm();
    EXPECT_TRUE(held) << c.what;
    if (c.recordsReason) {
      EXPECT_EQ(Reason(), SystemText(ERROR_IO_DEVICE)) << c.what;
    }
  }
}

}  // namespace
