// The operating-system layer: everything hopgate asks of the OS goes through these functions.
//
// One implementation per OS (platform_win32.cpp, platform_posix.cpp), picked by CMake; callers
// never see an OS type or an #ifdef. Texts are UTF-16 throughout; the POSIX backend converts to
// UTF-8 at the OS call (losslessly, see native_text.h). On POSIX the functions stand in for the
// Win32 calls named beside them, with the same observable behaviour where the program relies on it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// <windows.h> defines DeleteFile, MoveFile and CopyFile as macros for their A and W variants, so
// in a file that includes it before this header the layer's functions below would silently be
// declared and called as platform::DeleteFileW and so on. The macros are undefined here, once for
// every such file (the Win32 backend calls the W functions by their full names); a file that
// includes <windows.h> after this header must not call these three.
#ifdef _WIN32
#undef DeleteFile
#undef MoveFile
#undef CopyFile
#endif

namespace platform {

using Text = std::u16string;

// ---- Paths -------------------------------------------------------------------------------------

// The separator used to join paths: "\" on Windows, "/" on POSIX.
extern const char16_t kPathSeparator;

// True for the characters after which a file name begins: "\" and ":" on Windows, "/" on POSIX.
bool IsPathSeparator(char16_t c);

// ".exe" on Windows, "" on POSIX: program file names are a base name plus this suffix.
const Text& ExecutableSuffix();

// ---- Process -----------------------------------------------------------------------------------

// Full path of the running executable (GetModuleFileNameW, grown for long paths; POSIX: the
// resolved /proc/self/exe).
Text ModulePath();

// Arguments 1..n of the process, split and unquoted by the command-line rules (textrules.h),
// untrimmed, empty ones not counted. Windows: GetCommandLineW; POSIX: argv as recorded by the
// entry.
std::vector<Text> CommandLineArguments();

// Starts `file` through the shell's default action, not waiting for it (ShellExecuteW with no
// window, no verb, SW_SHOWNORMAL). `parameters` absent means no parameter string at all. The
// started program gets `folder` as its working folder. The outcome is not reported.
// POSIX: `file` is joined to `folder` (textrules::JoinPath, even when it is absolute, as the
// callers' existence tests join it); an executable file is started detached with the
// parameter string split into argv by the command-line rules; any other existing file goes to
// xdg-open when present.
void ShellStart(const Text& file, const std::optional<Text>& parameters, const Text& folder);

// ---- File system -------------------------------------------------------------------------------

// What stands at a path when it is neither a file nor a folder.
enum class SpecialFile { None, Device, Fifo, Socket };

struct FileAttributes {
  bool folder = false;
  bool readOnly = false;  // FILE_ATTRIBUTE_READONLY; POSIX: the owner-write bit is clear
  // POSIX: a device, a FIFO or a socket, which FileExists counts as a file but which no program
  // of the suite may open as one of its own files (opening a FIFO waits for a writer). Windows
  // keeps none of these in a folder: always None.
  SpecialFile special = SpecialFile::None;
  // The name itself is a symbolic link (POSIX lstat; the members above describe what it leads
  // to), or on Windows a symbolic link or a junction (the members above are the link's own).
  bool link = false;
};

// Attributes of whatever stands at `path` (links followed); nothing when nothing is there (a link
// that leads nowhere included).
std::optional<FileAttributes> GetAttributes(const Text& path);

// True when a file, not a folder, stands at `path`; a link counts when it leads to a file.
// False also when the test cannot tell: a caller that would delete something on "not there" asks
// Examine instead.
bool FileExists(const Text& path);

// What stands at a path (links followed), for decisions that delete something on "not there".
// Missing only when the system says so: POSIX ENOENT, ENOTDIR, ENAMETOOLONG (and the empty path);
// Windows ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_INVALID_NAME, ERROR_BAD_PATHNAME,
// ERROR_FILENAME_EXCED_RANGE. Any other failure (an I/O error, a folder without permission, a
// network drive offline, a drive that is not there, ERROR_INVALID_DRIVE) is Unknown: the test
// could not tell, and the caller must not take it for "gone". The reason of a failure is recorded
// as below.
enum class PathKind { Missing, File, Folder, Unknown };
PathKind Examine(const Text& path);

// True when a folder (or a link to one) stands at `path`.
bool FolderExists(const Text& path);

// Creates one folder inside an existing parent (CreateDirectoryW, default security).
bool CreateFolder(const Text& path);

// Deletes a file; refuses a read-only file and a folder (DeleteFileW).
bool DeleteFile(const Text& path);

// Moves or renames a file or folder; refuses when `to` exists (MoveFileW). Across file systems a
// file is copied, the copy put on disk (as SyncFile), and only then the original deleted (POSIX
// copies under the copy's temporary name and renames it into place, as CopyFile does).
bool MoveFile(const Text& from, const Text& to);

// Copies a file over `to`, replacing an existing file (CopyFileW, fail-if-exists false; it carries
// the attributes and refuses a read-only, hidden, system or folder `to`). The copy is written under
// a temporary name beside `to` (`to` + ".part" + the process id), synced, and renamed over `to`, so
// `to` is either as it was or the whole copy, also after a power cut; a failed copy removes its
// temporary file. Unlike CopyFileW, it also refuses a `to` that another program holds open
// without sharing deletion (a rename cannot replace it). True only once the copy is in place and
// on disk.
bool CopyFile(const Text& from, const Text& to);

// Puts the file's content on disk (POSIX fsync, then fsync of its folder so that the name is on
// disk too; Windows FlushFileBuffers). False when that fails or the file cannot be opened; the
// content may then be lost in a power cut.
bool SyncFile(const Text& path);

// Puts the file `replacement` in the place of `target` and keeps the file that stood there as
// `backup`, so that at no moment does no file stand at `target` (ReplaceFileW with a backup name;
// POSIX: a hard link of `target` named `backup`, then `replacement` renamed over `target`). All
// three lie in one folder. Refuses when `backup` exists; on failure `target` is as it was.
bool ReplaceKeepingBackup(const Text& target, const Text& replacement, const Text& backup);

// Removes an empty folder (RemoveDirectoryW).
bool RemoveFolder(const Text& path);

// The folder for temporary files, without a final separator (GetTempPathW; POSIX: TMPDIR when set
// and not empty, else /tmp).
Text TemporaryFolder();

// Resets the attributes to normal (SetFileAttributesW with FILE_ATTRIBUTE_NORMAL); POSIX: sets the
// owner-write bit.
bool SetNormalAttributes(const Text& path);

// True when both paths may name one file or folder: they do (volume and file id on Windows,
// device and inode on POSIX; different spellings, links and short names of one file are the same
// file), or either cannot be examined for a reason other than "not found" (see Examine). False
// only when both were examined and differ, or either is missing. Callers delete one of the two
// only on false: nothing is deleted on a guess.
bool MayBeSameFile(const Text& a, const Text& b);

// Reads the whole file into `bytes`. The file is opened for reading only and shared for reading
// only (CreateFileW GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), so on Windows it fails while
// another process holds the file open for writing; POSIX has no sharing modes, so there it reads
// whatever the file holds at the time. Closed again before returning. On failure `bytes` is left
// empty.
bool ReadWholeFile(const Text& path, std::string& bytes);

// Creates `path` anew (create-always, read and write access, no sharing, normal attributes),
// writes `bytes` into it and puts it on disk (as SyncFile). When creating, writing or syncing
// fails, whatever was created is removed again, so the file is either whole and on disk or absent.
// Both builds write under the copy's temporary name beside `path` and rename it into place, so
// that not even a cut-off run, nor a removal that fails too (which leaves the temporary file),
// leaves half a file under `path`. Windows refuses a read-only, hidden, system or folder `path`,
// as CREATE_ALWAYS does.
bool WriteNewFile(const Text& path, std::string_view bytes);

// ---- Settings and text -------------------------------------------------------------------------

// One value of an INI file (GetPrivateProfileStringW with a 2048-character buffer): at most 2047
// characters; `fallback` when the file, section or key is missing.
Text ReadIniString(const Text& file, const Text& section, const Text& key, const Text& fallback);

// Decodes bytes in the system's ANSI code page (GetACP; POSIX: Windows-1252 as Windows decodes it).
// Every byte sequence decodes.
Text DecodeAnsi(std::string_view bytes);

// ---- Looking into folders (hopgate-cache only; hopgate never lists) ----------------------------

struct FileStatus {
  bool folder = false;
  std::uint64_t size = 0;            // in bytes; 0 for a folder
  std::int64_t modifiedSeconds = 0;  // last write, in seconds since 1970-01-01 UTC
};

// Status of whatever stands at `path` (links followed); nothing when nothing is there.
std::optional<FileStatus> GetFileStatus(const Text& path);

struct FolderEntry {
  Text name;  // the file name alone
  FileStatus status;
};

// The entries of the folder `path` ("." and ".." left out), in no particular order; nothing when
// the folder cannot be read.
std::optional<std::vector<FolderEntry>> ListFolder(const Text& path);

// The names alone of the entries of the folder `path` ("." and ".." left out), in no particular
// order: on POSIX without a stat of each entry, which ListFolder makes; nothing when the folder
// cannot be read.
std::optional<std::vector<Text>> ListFolderNames(const Text& path);

// ---- Why a call failed -------------------------------------------------------------------------

// The system's reason for the latest failed system call of this layer on this thread, in the
// system's words (POSIX: strerror's text for errno; Windows: FormatMessageW's text for
// GetLastError), for messages that name a path and say why, e.g. "Permission denied". Each
// function of the file-system sections above that reports a failure (false, or nothing) has
// recorded its reason before it returns; a later success does not clear it. Empty before the
// first failure. hopgate never asks for it; the cache tool puts it into its messages.
Text LastErrorText();

// The system's words for the error code `code` (POSIX: an errno value; Windows: a GetLastError
// value), as LastErrorText words its own; empty for 0. For the codes that other code recorded,
// such as SQLite's sqlite3_system_errno.
Text ErrorText(std::int64_t code);

// ---- The console (hopgate-cache only) ----------------------------------------------------------

enum class StandardStream { Output, Error };

// True when the stream is a terminal (a console on Windows), not a file or a pipe.
bool IsTerminal(StandardStream stream);

// Writes UTF-8 text whole to a stream that IsTerminal, unbuffered. Windows hands the console the
// characters the text encodes (WriteConsoleW), so that it shows them whatever its code page, and
// leaves that code page as it is; POSIX writes the bytes, which a terminal takes as UTF-8. False
// when the text could not be written whole (the reason is recorded as above).
bool WriteToTerminal(StandardStream stream, std::string_view utf8);

}  // namespace platform
