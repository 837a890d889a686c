// The Win32 backend's file operations against Windows' own: the copy through a temporary name
// keeps what CopyFileW carries and refuses, the flush, what stands at a path, and whether two
// paths may name one file.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/show.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using platform::PathKind;
using platform::Text;
using testsupport::ReadBytes;
using testsupport::SetReadOnly;
using testsupport::Show;
using testsupport::TempFolder;
using testsupport::WriteBytes;

const wchar_t* W(const Text& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

bool IsReadOnly(const fs::path& p) {
  const DWORD a = ::GetFileAttributesW(p.wstring().c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) != 0;
}

// The names in the folder that hold ".part": what a copy's temporary file would leave.
std::vector<std::string> Leftovers(const TempFolder& folder) {
  std::vector<std::string> found;
  for (const auto& name : folder.Entries()) {
    if (name.find(".part") != std::string::npos) found.push_back(name);
  }
  return found;
}

// What the copy left at its target, to compare with what CopyFileW leaves.
struct Outcome {
  bool copied;
  bool targetIsFile;
  std::string bytes;
  bool readOnly;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  return os << "{copied " << o.copied << ", file " << o.targetIsFile << ", \"" << o.bytes
            << "\", read-only " << o.readOnly << "}";
}

enum class Target {
  None,
  File,
  ReadOnlyFile,
  HiddenFile,
  SystemFile,
  Folder,
  HeldWithoutDeleteSharing
};

// One copy of "src" (holding "new", read-only when asked) over "dst" (as `target` says) in the
// folder.
Outcome CopyInFolder(const TempFolder& folder, Target target, bool readOnlySource) {
  const fs::path src = folder.Path() / "src.bin";
  const fs::path dst = folder.Path() / "dst.bin";
  WriteBytes(src, "new");
  SetReadOnly(src, readOnlySource);
  if (target == Target::Folder) {
    fs::create_directory(dst);
  } else if (target != Target::None) {
    WriteBytes(dst, "old");
    SetReadOnly(dst, target == Target::ReadOnlyFile);
    if (target == Target::HiddenFile) ::SetFileAttributesW(dst.c_str(), FILE_ATTRIBUTE_HIDDEN);
    if (target == Target::SystemFile) ::SetFileAttributesW(dst.c_str(), FILE_ATTRIBUTE_SYSTEM);
  }
  HANDLE held = INVALID_HANDLE_VALUE;
  if (target == Target::HeldWithoutDeleteSharing) {
    held = ::CreateFileW(dst.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(held, INVALID_HANDLE_VALUE);
  }
  Outcome o{};
  o.copied = platform::CopyFile(src.u16string(), dst.u16string());
  if (held != INVALID_HANDLE_VALUE) ::CloseHandle(held);
  o.targetIsFile = fs::is_regular_file(dst);
  o.bytes = o.targetIsFile ? ReadBytes(dst) : "";
  o.readOnly = o.targetIsFile && IsReadOnly(dst);
  return o;
}

// The outcomes are those that CopyFileW's documentation gives (it carries the source's
// attributes, and fails with ERROR_ACCESS_DENIED over a read-only, hidden or system file); Wine's
// own CopyFileW is no oracle here, since it writes over a read-only file and does not carry the
// read-only attribute onto an existing target.
TEST(Win32CopyFile, CarriesAndRefusesWhatCopyFileWDoesAndLeavesNoTemporaryFile) {
  static const struct {
    const char* what;
    Target target;
    bool readOnlySource;
    Outcome expected;
  } cases[] = {
      {"new target", Target::None, false, {true, true, "new", false}},
      {"existing target replaced", Target::File, false, {true, true, "new", false}},
      {"read-only source: the copy is read-only too",
       Target::None,
       true,
       {true, true, "new", true}},
      {"read-only source over an existing target", Target::File, true, {true, true, "new", true}},
      {"read-only target refused", Target::ReadOnlyFile, false, {false, true, "old", true}},
      {"hidden target refused", Target::HiddenFile, false, {false, true, "old", false}},
      {"system target refused", Target::SystemFile, false, {false, true, "old", false}},
      {"folder target refused", Target::Folder, false, {false, false, "", false}},
      // Here the copy parts from CopyFileW: a target that another program holds open, sharing
      // writing but not deletion, cannot be renamed over, so it is kept, where CopyFileW would
      // write into it in place (and that program could read it half-written).
      {"target held open without delete sharing",
       Target::HeldWithoutDeleteSharing,
       false,
       {false, true, "old", false}},
  };
  for (const auto& c : cases) {
    TempFolder folder("hopgate-copy");
    EXPECT_EQ(CopyInFolder(folder, c.target, c.readOnlySource), c.expected) << c.what;
    EXPECT_EQ(Leftovers(folder), std::vector<std::string>()) << c.what;
    EXPECT_EQ(ReadBytes(folder.Path() / "src.bin"), "new") << c.what << ": the source changed";
  }
}

TEST(Win32CopyFile, AFailedCopyLeavesNoTemporaryFile) {
  TempFolder folder("hopgate-copy-fails");
  const Text src = folder.Write("src.bin", "new");
  const Text dst = folder.Write("dst.bin", "old");
  static const struct {
    const char* what;
    const char* from;
    bool held;  // the source held open by a writer that shares nothing
  } cases[] = {
      {"missing source", "missing.bin", false},
      // The copy needs to read the source, which such a writer keeps it from.
      {"source held by a writer that shares nothing", "src.bin", true},
  };
  for (const auto& c : cases) {
    HANDLE held = c.held
                      ? ::CreateFileW(W(src), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)
                      : INVALID_HANDLE_VALUE;
    if (c.held) {
      ASSERT_NE(held, INVALID_HANDLE_VALUE) << c.what;
    }
    EXPECT_FALSE(platform::CopyFile(folder.File(c.from), dst)) << c.what;
    if (c.held) ::CloseHandle(held);
    EXPECT_EQ(ReadBytes(folder.Path() / "dst.bin"), "old") << c.what;
    EXPECT_EQ(Leftovers(folder), std::vector<std::string>()) << c.what;
  }
}

TEST(Win32SyncFile, FlushesNormalAndReadOnlyFilesAndFailsOnAMissingOne) {
  TempFolder folder("hopgate-sync");
  static const struct {
    const char* name;
    bool create, readOnly, synced;
  } cases[] = {
      {"normal.bin", true, false, true},
      // Flushing needs write access, which a read-only file refuses: the attribute is lifted for
      // the flush and put back.
      {"read-only.bin", true, true, true},
      {"missing.bin", false, false, false},
  };
  for (const auto& c : cases) {
    const fs::path file = folder.Path() / c.name;
    if (c.create) {
      WriteBytes(file, "content");
      SetReadOnly(file, c.readOnly);
    }
    EXPECT_EQ(platform::SyncFile(file.u16string()), c.synced) << c.name;
    if (c.create) {
      EXPECT_EQ(ReadBytes(file), "content") << c.name;
      EXPECT_EQ(IsReadOnly(file), c.readOnly) << c.name;
    } else {
      EXPECT_FALSE(fs::exists(file)) << c.name << " was created";
    }
  }
}

TEST(Win32Examine, TellsEachKindAndMissingFromCannotTell) {
  TempFolder folder("hopgate-examine");
  folder.Write("file.bin", "x");
  fs::create_directory(folder.Path() / "folder");
  const std::u16string longName(300, u'n');
  static const struct {
    const char* what;
    std::u16string path;  // inside the folder
    PathKind kind;
  } cases[] = {
      {"a file", u"file.bin", PathKind::File},
      {"a folder", u"folder", PathKind::Folder},
      {"nothing", u"missing.bin", PathKind::Missing},
      {"under a missing folder", u"missing\\file.bin", PathKind::Missing},
      {"under a file", u"file.bin\\inside.bin", PathKind::Missing},
      {"an invalid name", u"a<b>|c?.bin", PathKind::Missing},
      {"a name too long for any file system", longName, PathKind::Missing},
  };
  for (const auto& c : cases) {
    const Text path = folder.Path().u16string() + u"\\" + c.path;
    EXPECT_EQ(platform::Examine(path), c.kind) << c.what << ": " << Show(path);
  }
  EXPECT_EQ(platform::Examine(Text()), PathKind::Missing) << "the empty path";
}

TEST(Win32MayBeSameFile, OneFileUnderAnySpellingAndNoOtherFile) {
  TempFolder folder("hopgate-same");
  const Text file = folder.Write("a rather long file name.bin", "one");
  const Text other = folder.Write("other.bin", "one");  // same bytes, another file
  const Text base = folder.Path().u16string();
  wchar_t shortName[MAX_PATH];
  const DWORD n = ::GetShortPathNameW(W(file), shortName, MAX_PATH);
  const Text shortSpelling =
      n > 0 && n < MAX_PATH ? Text(reinterpret_cast<const char16_t*>(shortName), n) : file;
  Text slashes = file;
  for (auto& ch : slashes) {
    if (ch == u'\\') ch = u'/';
  }
  std::u16string upper = file;
  for (auto& ch : upper) {
    if (ch >= u'a' && ch <= u'z') ch = static_cast<char16_t>(ch - u'a' + u'A');
  }
  static const struct {
    const char* what;
    Text a, b;
    bool same;
  } cases[] = {
      {"the same spelling", file, file, true},
      {"upper case", file, upper, true},
      {"the short name", file, shortSpelling, true},
      {"forward slashes", file, slashes, true},
      {"a dot folder on the way", file, base + u"\\.\\a rather long file name.bin", true},
      {"another file with the same bytes", file, other, false},
      {"the folder that holds it", file, base, false},
      {"a missing second file", file, base + u"\\missing.bin", false},
      {"a missing first file", base + u"\\missing.bin", file, false},
      {"both missing, one spelling", base + u"\\missing.bin", base + u"\\missing.bin", false},
      {"under a missing folder", file, base + u"\\missing\\x.bin", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::MayBeSameFile(c.a, c.b), c.same)
        << c.what << ": " << Show(c.a) << " and " << Show(c.b);
  }
}

}  // namespace
