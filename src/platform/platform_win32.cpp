// Win32 backend of the platform layer: the W functions, handed the program's UTF-16 texts as they
// are.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <algorithm>
#include <cwchar>
#include <new>

#include "platform/module_path.h"
#include "platform/platform.h"
#include "platform/process_entry.h"
#include "platform/scoped_handle.h"
#include "platform/text_encoding.h"
#include "platform/textrules.h"

#ifdef HOPGATE_FAULT_POINTS
#include "platform/fault_points.h"
#endif

// Every call of this backend on a file or folder is made through FS_CALL (or FS_WRITE, for the
// calls that create or write): in the shipped programs the plain call, in the fault harness's
// build (HOPGATE_FAULT_POINTS, fault_points.h) a counted one that fails on demand, without being
// made, with the reason that such a call gives when its disk fails (ERROR_IO_DEVICE) or fills up
// (ERROR_DISK_FULL). `failed` is what the call returns on failure.
#ifdef HOPGATE_FAULT_POINTS
#define FS_FAULT_POINT(function, error, failed, ...) \
  (::platform::faultpoints::Fail(#function, error) ? (failed) : ::function(__VA_ARGS__))
#else
#define FS_FAULT_POINT(function, error, failed, ...) ::function(__VA_ARGS__)
#endif
#define FS_CALL(function, failed, ...) \
  FS_FAULT_POINT(function, ERROR_IO_DEVICE, failed, __VA_ARGS__)
#define FS_WRITE(function, failed, ...) \
  FS_FAULT_POINT(function, ERROR_DISK_FULL, failed, __VA_ARGS__)

namespace platform {
namespace {

const wchar_t* W(const Text& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

Text FromW(const wchar_t* s, size_t n) { return Text(reinterpret_cast<const char16_t*>(s), n); }

// GetLastError's value at the latest failure on this thread; LastErrorText words it.
thread_local DWORD lastError = ERROR_SUCCESS;

// The one place where this backend reports a failed system call: records `code` (GetLastError,
// read at the call, before a clean-up call can change it) for LastErrorText and returns false, the
// calling function's failure.
bool Failed(DWORD code = ::GetLastError()) {
  lastError = code;
  return false;
}

// The errors that mean "nothing stands there": not found, or a name too long or malformed to name
// anything. Every other one means "cannot tell", ERROR_INVALID_DRIVE too: a drive that is not
// there now may come back with the file on it.
bool MeansNotFound(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return true;
    default:
      return false;
  }
}

// Closes a handle whose close is the last word on what was written to it (a counted call).
bool CloseReporting(ScopedHandle& h) {
  const bool closed = h.Close();
#ifdef HOPGATE_FAULT_POINTS
  // Counted after the close: a failed close still closes (fault_points.h says why).
  if (faultpoints::Fail("CloseHandle", ERROR_IO_DEVICE)) return false;
#endif
  return closed;
}

// Flushes an open file's data to the disk; FlushFileBuffers needs write access.
bool FlushOpenedForWriting(const Text& path) {
  ScopedHandle h(FS_CALL(CreateFileW, INVALID_HANDLE_VALUE, W(path), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) return Failed();
  if (!FS_CALL(FlushFileBuffers, FALSE, h.get())) return Failed();
  return CloseReporting(h) || Failed();
}

// Flushes a file to the disk. A read-only file refuses write access, so its attribute is cleared
// for the flush and put back after it.
bool Flush(const Text& path) {
  if (FlushOpenedForWriting(path)) return true;
  const DWORD reason = lastError;
  const DWORD attributes = FS_CALL(GetFileAttributesW, INVALID_FILE_ATTRIBUTES, W(path));
  if (reason != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return Failed(reason);
  }
  if (!FS_CALL(SetFileAttributesW, FALSE, W(path), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
    return Failed();
  }
  const bool flushed = FlushOpenedForWriting(path);
  const DWORD flushReason = lastError;
  // When the attribute cannot be put back the file stays writable; the flush's outcome stands all
  // the same, since the content is what the callers rely on.
  FS_CALL(SetFileAttributesW, FALSE, W(path), attributes);
  return flushed || Failed(flushReason);
}

}  // namespace

void RecordArguments(int, char**) {}

const char16_t kPathSeparator = u'\\';

bool IsPathSeparator(char16_t c) { return c == u'\\' || c == u':'; }

const Text& ExecutableSuffix() {
  static const Text suffix = u".exe";
  return suffix;
}

#ifndef HOPGATE_FAULT_POINTS
// The harness's build answers these two from what the harness sets (fault_points_win32.cpp).
Text ModulePath() {
  return GrowingModulePath([](char16_t* buffer, size_t size) -> size_t {
    return ::GetModuleFileNameW(nullptr, reinterpret_cast<wchar_t*>(buffer),
                                static_cast<DWORD>(size));
  });
}

std::vector<Text> CommandLineArguments() {
  const wchar_t* line = ::GetCommandLineW();
  auto items = textrules::SplitCommandLine(
      line ? std::u16string_view(reinterpret_cast<const char16_t*>(line)) : std::u16string_view());
  // The first item is the program as invoked; argument 0 comes from ModulePath instead.
  if (!items.empty()) items.erase(items.begin());
  return items;
}
#endif

void ShellStart(const Text& file, const std::optional<Text>& parameters, const Text& folder) {
  // The shell may use COM for some file types; initialise it once, as its documentation asks.
  static const HRESULT com =
      ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  (void)com;
  ::ShellExecuteW(nullptr, nullptr, W(file), parameters ? W(*parameters) : nullptr, W(folder),
                  SW_SHOWNORMAL);
}

PathKind Examine(const Text& path) {
  const DWORD a = FS_CALL(GetFileAttributesW, INVALID_FILE_ATTRIBUTES, W(path));
  if (a == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = ::GetLastError();
    Failed(code);
    return MeansNotFound(code) ? PathKind::Missing : PathKind::Unknown;
  }
  return (a & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Folder : PathKind::File;
}

bool SyncFile(const Text& path) { return Flush(path); }

std::optional<FileAttributes> GetAttributes(const Text& path) {
  const DWORD a = FS_CALL(GetFileAttributesW, INVALID_FILE_ATTRIBUTES, W(path));
  if (a == INVALID_FILE_ATTRIBUTES) {
    Failed();
    return std::nullopt;
  }
  FileAttributes r;
  r.folder = (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
  r.readOnly = (a & FILE_ATTRIBUTE_READONLY) != 0;
  // A symbolic link or a junction; other reparse points (a file kept in the cloud, a
  // deduplicated file) are files of their own. Its tag comes with a search for its name; one that
  // cannot be read counts as a link, which only makes repair refuse.
  if ((a & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    WIN32_FIND_DATAW found{};
    const HANDLE search = FS_CALL(FindFirstFileW, INVALID_HANDLE_VALUE, W(path), &found);
    r.link = search == INVALID_HANDLE_VALUE || found.dwReserved0 == IO_REPARSE_TAG_SYMLINK ||
             found.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT;
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
  }
  return r;
}

bool CreateFolder(const Text& path) {
  return FS_WRITE(CreateDirectoryW, FALSE, W(path), nullptr) != 0 || Failed();
}

bool DeleteFile(const Text& path) { return FS_CALL(DeleteFileW, FALSE, W(path)) != 0 || Failed(); }

bool MoveFile(const Text& from, const Text& to) {
  // MoveFileW's own flags, plus write-through: a move across volumes (a copy, then a delete) has
  // its copy flushed to the disk before the original is deleted.
  return FS_CALL(MoveFileExW, FALSE, W(from), W(to),
                 MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH) != 0 ||
         Failed();
}

bool ReplaceKeepingBackup(const Text& target, const Text& replacement, const Text& backup) {
  // ReplaceFileW would overwrite an existing backup, so a backup name that is taken, or that cannot
  // be examined, stops the replacement.
  switch (Examine(backup)) {
    case PathKind::Missing:
      break;
    case PathKind::Unknown:
      return Failed(lastError);
    default:
      return Failed(ERROR_FILE_EXISTS);
  }
  if (FS_CALL(ReplaceFileW, FALSE, W(target), W(replacement), W(backup),
              REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
              nullptr) != 0) {
    return true;
  }
  const DWORD reason = ::GetLastError();
  // ERROR_UNABLE_TO_MOVE_REPLACEMENT_2: the target was moved to the backup name, and the
  // replacement could not take its place; the target goes back.
  if (reason == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) FS_CALL(MoveFileW, FALSE, W(backup), W(target));
  return Failed(reason);
}

bool RemoveFolder(const Text& path) {
  return FS_CALL(RemoveDirectoryW, FALSE, W(path)) != 0 || Failed();
}

Text TemporaryFolder() {
  wchar_t buffer[MAX_PATH + 2];
  const DWORD n = ::GetTempPathW(MAX_PATH + 2, buffer);
  Text folder = n > 0 && n <= MAX_PATH + 1 ? FromW(buffer, n) : Text(u".");
  while (folder.size() > 3 && (folder.back() == u'\\' || folder.back() == u'/')) folder.pop_back();
  return folder;
}

namespace {

// Whether a file written under a temporary name may be renamed over `to`. CopyFileW and
// CreateFileW's CREATE_ALWAYS refuse to overwrite a read-only, hidden or system file
// (ERROR_ACCESS_DENIED, as their documentation says) and a folder; the rename would replace such
// a file, so the target is tested first. A target that cannot be examined is refused too, as
// their own opening of it would fail.
bool MayReplace(const Text& to) {
  const DWORD existing = FS_CALL(GetFileAttributesW, INVALID_FILE_ATTRIBUTES, W(to));
  if (existing == INVALID_FILE_ATTRIBUTES) {
    const DWORD reason = ::GetLastError();
    return MeansNotFound(reason) || Failed(reason);
  }
  constexpr DWORD kRefused = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                             FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY;
  return (existing & kRefused) == 0 || Failed(ERROR_ACCESS_DENIED);
}

// The temporary name beside `to` under which this process writes a file before renaming it over
// `to`: `to` + ".part" + the process id, the name the cache tool knows.
Text TemporaryNameFor(const Text& to) {
  const std::wstring pid = std::to_wstring(::GetCurrentProcessId());
  return to + u".part" + Text(pid.begin(), pid.end());
}

}  // namespace

bool CopyFile(const Text& from, const Text& to) {
  if (!MayReplace(to)) return false;
  // Copied under a temporary name beside the target, flushed, then moved over it: no reader ever
  // sees half a copy under the target's name, and a failed copy leaves the old target as it was.
  // CopyFileW carries the source's attributes to the copy, as it would to the target.
  const Text temp = TemporaryNameFor(to);
  const auto removeTemp = [&temp] {
    FS_CALL(SetFileAttributesW, FALSE, W(temp), FILE_ATTRIBUTE_NORMAL);
    FS_CALL(DeleteFileW, FALSE, W(temp));
  };
  removeTemp();
  if (!FS_WRITE(CopyFileW, FALSE, W(from), W(temp), FALSE)) {
    const DWORD reason = ::GetLastError();
    removeTemp();
    return Failed(reason);
  }
  const bool flushed = Flush(temp);
  if (!flushed || !FS_CALL(MoveFileExW, FALSE, W(temp), W(to),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD reason = flushed ? ::GetLastError() : lastError;
    removeTemp();
    return Failed(reason);
  }
  return true;
}

bool SetNormalAttributes(const Text& path) {
  return FS_CALL(SetFileAttributesW, FALSE, W(path), FILE_ATTRIBUTE_NORMAL) != 0 || Failed();
}

bool MayBeSameFile(const Text& a, const Text& b) {
  // The error of a failed identification; ERROR_SUCCESS when the file was identified.
  auto identify = [](const Text& p, BY_HANDLE_FILE_INFORMATION& info) -> DWORD {
    if (p.empty()) return ERROR_FILE_NOT_FOUND;
    // No access rights are needed to read a file's identity; folders need backup semantics.
    ScopedHandle h(FS_CALL(CreateFileW, INVALID_HANDLE_VALUE, W(p), 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h.valid() || FS_CALL(GetFileInformationByHandle, FALSE, h.get(), &info) == 0) {
      return ::GetLastError();
    }
    return ERROR_SUCCESS;
  };
  BY_HANDLE_FILE_INFORMATION ia{}, ib{};
  // Either test that cannot tell answers "may be the same".
  if (const DWORD e = identify(a, ia); e != ERROR_SUCCESS) return !MeansNotFound(e);
  if (const DWORD e = identify(b, ib); e != ERROR_SUCCESS) return !MeansNotFound(e);
  return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

bool ReadWholeFile(const Text& path, std::string& bytes) {
  bytes.clear();
  ScopedHandle h(FS_CALL(CreateFileW, INVALID_HANDLE_VALUE, W(path), GENERIC_READ, FILE_SHARE_READ,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) return Failed();
  try {
    LARGE_INTEGER size{};
    if (FS_CALL(GetFileSizeEx, FALSE, h.get(), &size) && size.QuadPart > 0) {
      bytes.reserve(static_cast<size_t>(size.QuadPart));
    }
    char buffer[1 << 16];
    for (;;) {
      DWORD got = 0;
      if (!FS_CALL(ReadFile, FALSE, h.get(), buffer, sizeof buffer, &got, nullptr)) {
        Failed();
        break;
      }
      if (got == 0) return true;
      bytes.append(buffer, got);
    }
  } catch (const std::bad_alloc&) {
    Failed(ERROR_NOT_ENOUGH_MEMORY);
  }
  bytes.clear();
  bytes.shrink_to_fit();
  return false;
}

bool WriteNewFile(const Text& path, std::string_view bytes) {
  // Written under a temporary name beside `path`, flushed, then renamed over it: `path` never
  // holds a part of the bytes, not even when the clean-up after a failed write fails too (it would
  // have to delete the part it holds, and a failing disk may refuse that as well).
  if (!MayReplace(path)) return false;
  const Text temp = TemporaryNameFor(path);
  ScopedHandle h(FS_WRITE(CreateFileW, INVALID_HANDLE_VALUE, W(temp), GENERIC_READ | GENERIC_WRITE,
                          0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) return Failed();
  DWORD reason = ERROR_SUCCESS;
  while (reason == ERROR_SUCCESS && !bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!FS_WRITE(WriteFile, FALSE, h.get(), bytes.data(), chunk, &written, nullptr)) {
      reason = ::GetLastError();
    } else if (written == 0) {
      reason = ERROR_WRITE_FAULT;  // no progress, and no error to tell why
    }
    bytes.remove_prefix(written);
  }
  // On disk before the caller acts on it (RENAMEANDDEL deletes its source next).
  if (reason == ERROR_SUCCESS && !FS_CALL(FlushFileBuffers, FALSE, h.get())) {
    reason = ::GetLastError();
  }
  if (!CloseReporting(h) && reason == ERROR_SUCCESS) reason = ::GetLastError();
  if (reason == ERROR_SUCCESS && !FS_CALL(MoveFileExW, FALSE, W(temp), W(path),
                                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    reason = ::GetLastError();
  }
  if (reason == ERROR_SUCCESS) return true;
  FS_CALL(DeleteFileW, FALSE, W(temp));
  return Failed(reason);
}

Text ReadIniString(const Text& file, const Text& section, const Text& key, const Text& fallback) {
  wchar_t buffer[2048];
  const DWORD n =
      ::GetPrivateProfileStringW(W(section), W(key), W(fallback), buffer, 2048, W(file));
  return FromW(buffer, n);
}

Text DecodeAnsi(std::string_view bytes) {
  if (bytes.empty()) return Text();
  const int size = static_cast<int>(bytes.size());
  const int n = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, nullptr, 0);
  if (n <= 0) return Text();
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, out.data(), n);
  return FromW(out.data(), out.size());
}

namespace {

std::int64_t UnixSeconds(const FILETIME& t) {
  // FILETIME counts 100-ns steps from 1601-01-01; 11644473600 seconds lie before 1970.
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000000u) - 11644473600LL;
}

FileStatus StatusOf(DWORD attributes, DWORD sizeHigh, DWORD sizeLow, const FILETIME& written) {
  FileStatus status;
  status.folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  status.size = status.folder ? 0 : (static_cast<std::uint64_t>(sizeHigh) << 32) | sizeLow;
  status.modifiedSeconds = UnixSeconds(written);
  return status;
}

}  // namespace

std::optional<FileStatus> GetFileStatus(const Text& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!FS_CALL(GetFileAttributesExW, FALSE, W(path), GetFileExInfoStandard, &data)) {
    Failed();
    return std::nullopt;
  }
  return StatusOf(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow,
                  data.ftLastWriteTime);
}

std::optional<std::vector<FolderEntry>> ListFolder(const Text& path) {
  WIN32_FIND_DATAW found{};
  const Text pattern = path + u"\\*";
  const HANDLE find = FS_CALL(FindFirstFileW, INVALID_HANDLE_VALUE, W(pattern), &found);
  if (find == INVALID_HANDLE_VALUE) {
    // An empty folder still has "." and ".."; only a folder that cannot be read ends here.
    Failed();
    return std::nullopt;
  }
  std::vector<FolderEntry> entries;
  do {
    const Text name = FromW(found.cFileName, std::wcslen(found.cFileName));
    if (name == u"." || name == u"..") continue;
    entries.push_back({name, StatusOf(found.dwFileAttributes, found.nFileSizeHigh,
                                      found.nFileSizeLow, found.ftLastWriteTime)});
  } while (FS_CALL(FindNextFileW, FALSE, find, &found));
  // The listing ends with ERROR_NO_MORE_FILES; any other error cut it short, and a part of a
  // folder must not pass for all of it (the cache tool would take what it did not see for absent).
  const DWORD reason = ::GetLastError();
  ::FindClose(find);
  if (reason != ERROR_NO_MORE_FILES) {
    Failed(reason);
    return std::nullopt;
  }
  return entries;
}

std::optional<std::vector<Text>> ListFolderNames(const Text& path) {
  // The listing brings each entry's status anyway: nothing is saved by leaving it out here.
  const auto entries = ListFolder(path);
  if (!entries) return std::nullopt;
  std::vector<Text> names;
  names.reserve(entries->size());
  for (const auto& e : *entries) names.push_back(e.name);
  return names;
}

Text LastErrorText() { return ErrorText(static_cast<std::int64_t>(lastError)); }

Text ErrorText(std::int64_t code) {
  if (code == ERROR_SUCCESS) return Text();
  const DWORD error = static_cast<DWORD>(code);
  wchar_t buffer[512];
  DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, buffer, 512, nullptr);
  // The system's texts end with a line break, which a one-line message does not want.
  while (n > 0 && (buffer[n - 1] == L'\r' || buffer[n - 1] == L'\n' || buffer[n - 1] == L' ')) --n;
  if (n == 0) {
    const std::string text = "system error " + std::to_string(error);
    return Text(text.begin(), text.end());
  }
  return FromW(buffer, n);
}

namespace {

HANDLE StandardHandle(StandardStream stream) {
  return ::GetStdHandle(stream == StandardStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

}  // namespace

bool IsTerminal(StandardStream stream) {
  DWORD mode = 0;
  return ::GetConsoleMode(StandardHandle(stream), &mode) != 0;
}

bool WriteToTerminal(StandardStream stream, std::string_view utf8) {
  // A console shows characters: handed UTF-16, it needs no code page of its own. (Bytes written
  // to it, by WriteFile or the C library, are read in its output code page, and Wine's C library
  // reads them in the ANSI code page whatever that is.)
  const std::u16string text = textencoding::DecodeUtf8Lossless(utf8);
  const HANDLE console = StandardHandle(stream);
  std::size_t at = 0;
  while (at < text.size()) {
    // Moderate pieces, never ending inside a surrogate pair.
    std::size_t piece = std::min<std::size_t>(text.size() - at, 8192);
    if (piece > 1 && text[at + piece - 1] >= 0xD800 && text[at + piece - 1] <= 0xDBFF) --piece;
    DWORD written = 0;
    if (!::WriteConsoleW(console, text.data() + at, static_cast<DWORD>(piece), &written, nullptr)) {
      return Failed();
    }
    if (written == 0) return Failed(ERROR_WRITE_FAULT);
    at += written;
  }
  return true;
}

}  // namespace platform
