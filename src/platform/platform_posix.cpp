// POSIX backend of the platform layer: stands in for the Win32 calls the program was made for.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1  // renameat2
#endif

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/ansi_codepage.h"
#include "platform/ini_reader.h"
#include "platform/native_text.h"
#include "platform/platform.h"
#include "platform/process_entry.h"
#include "platform/scoped_fd.h"
#include "platform/textrules.h"

namespace platform {
namespace {

// errno's value at the latest failure on this thread; LastErrorText words it.
thread_local int lastError = 0;

// The one place where this backend reports a failed system call: records `code` (errno, read at
// the call, before a clean-up call can change it) for LastErrorText and returns false, the
// calling function's failure.
bool Failed(int code = errno) {
  lastError = code;
  return false;
}

std::vector<Text>& RecordedArgv() {
  static std::vector<Text> argv;
  return argv;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool ReadAll(int fd, std::string& out) {
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out.append(buffer, static_cast<size_t>(n));
  }
}

// The errors that mean "nothing stands there"; every other one means "cannot tell".
bool MeansNotFound(int code) { return code == ENOENT || code == ENOTDIR || code == ENAMETOOLONG; }

// fsync, retried when a signal interrupts it.
bool SyncDescriptor(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Puts the folder that holds `path` on disk, so that a name made or changed in it survives a power
// cut.
bool SyncFolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string(".")
                             : slash == 0               ? std::string("/")
                                                        : path.substr(0, slash);
  ScopedFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0 || !SyncDescriptor(fd.get())) return Failed();
  return true;
}

// Copies a regular file's content into a new file `to` (which must not exist yet), carrying the
// permission bits as Windows carries the attributes. A failed copy leaves no `to` behind; its
// reason is recorded.
bool CopyInto(const std::string& from, const std::string& to, int extraFlags) {
  ScopedFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (in.get() < 0 || ::fstat(in.get(), &st) != 0) return Failed();
  if (S_ISDIR(st.st_mode)) return Failed(EISDIR);
  ScopedFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | extraFlags, st.st_mode & 07777));
  if (out.get() < 0) return Failed();
  int reason = 0;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      reason = errno;
      break;
    }
    if (!WriteAll(out.get(), std::string_view(buffer, static_cast<size_t>(n)))) {
      reason = errno;
      break;
    }
  }
  // The copy goes on disk before anyone renames it into place or deletes its original.
  if (reason == 0 && !SyncDescriptor(out.get())) reason = errno;
  if (!out.Close() && reason == 0) reason = errno;
  if (reason == 0) return true;
  ::unlink(to.c_str());
  return Failed(reason);
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string FindOnPath(const char* name) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path ? path : "/usr/local/bin:/usr/bin:/bin";
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    std::string dir(rest.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    if (dir.empty()) continue;
    std::string candidate = dir + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
  }
  return {};
}

// Starts argv[0] detached: a child starts a grandchild in a new session and exits at once, so the
// program neither waits for the started one nor leaves a zombie. The started program's streams
// are /dev/null, its working folder `folder`.
void SpawnDetached(const std::vector<std::string>& argv, const std::string& folder) {
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t child = ::fork();
  if (child < 0) return;
  if (child == 0) {
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(0);
    if (::chdir(folder.c_str()) != 0) ::_exit(127);
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      if (null > 2) ::close(null);
    }
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

void RecordArguments(int argc, char** argv) {
  // A write beyond the file-size limit must fail with EFBIG like any other write error, so that
  // the program can say so and clean up, instead of being killed half-way through a file.
  std::signal(SIGXFSZ, SIG_IGN);
  auto& recorded = RecordedArgv();
  recorded.clear();
  for (int i = 1; i < argc; ++i) recorded.push_back(FromNative(argv[i]));
}

const char16_t kPathSeparator = u'/';

bool IsPathSeparator(char16_t c) { return c == u'/'; }

const Text& ExecutableSuffix() {
  static const Text suffix;
  return suffix;
}

Text ModulePath() {
  // /proc/self/exe resolves links, so a forwarding copy sees its own file name. The buffer grows
  // until the whole path fits.
  std::string buffer(PATH_MAX, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return Text();
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      return FromNative(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::vector<Text> CommandLineArguments() { return textrules::ArgumentsFromArgv(RecordedArgv()); }

void ShellStart(const Text& file, const std::optional<Text>& parameters, const Text& folder) {
  // The file is always joined to the folder, an absolute one included, exactly as the callers'
  // existence tests join it: the file tested is the file started.
  const std::string path = ToNative(textrules::JoinPath(folder, file));
  const std::string dir = ToNative(folder);
  struct stat st {};
  if (file.empty() || ::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return;
  std::vector<std::string> argv;
  if (IsExecutableFile(path)) {
    argv.push_back(path);
    if (parameters) {
      for (const auto& a : textrules::SplitCommandLine(*parameters)) argv.push_back(ToNative(a));
    }
  } else {
    // Any other file: the desktop's default action for its type, when the desktop offers one.
    std::string opener = FindOnPath("xdg-open");
    if (opener.empty()) return;
    argv = {opener, path};
  }
  SpawnDetached(argv, dir);
}

PathKind Examine(const Text& path) {
  struct stat st {};
  if (path.empty()) {
    Failed(ENOENT);
    return PathKind::Missing;
  }
  if (::stat(ToNative(path).c_str(), &st) != 0) {
    const int code = errno;
    Failed(code);
    return MeansNotFound(code) ? PathKind::Missing : PathKind::Unknown;
  }
  return S_ISDIR(st.st_mode) ? PathKind::Folder : PathKind::File;
}

bool SyncFile(const Text& path) {
  const std::string p = ToNative(path);
  ScopedFd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0 || !SyncDescriptor(fd.get())) return Failed();
  if (!fd.Close()) return Failed();
  return SyncFolderOf(p);
}

std::optional<FileAttributes> GetAttributes(const Text& path) {
  struct stat st {};
  const std::string p = ToNative(path);
  if (path.empty() || ::lstat(p.c_str(), &st) != 0) {
    Failed(path.empty() ? ENOENT : errno);
    return std::nullopt;
  }
  FileAttributes a;
  // Only a link costs a second call: the name's own status is the target's otherwise.
  if (S_ISLNK(st.st_mode)) {
    a.link = true;
    if (::stat(p.c_str(), &st) != 0) {
      Failed();
      return std::nullopt;
    }
  }
  a.folder = S_ISDIR(st.st_mode);
  a.readOnly = (st.st_mode & S_IWUSR) == 0;
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) a.special = SpecialFile::Device;
  if (S_ISFIFO(st.st_mode)) a.special = SpecialFile::Fifo;
  if (S_ISSOCK(st.st_mode)) a.special = SpecialFile::Socket;
  return a;
}

bool CreateFolder(const Text& path) {
  return ::mkdir(ToNative(path).c_str(), 0777) == 0 || Failed();
}

bool DeleteFile(const Text& path) {
  const std::string p = ToNative(path);
  struct stat st {};
  if (::lstat(p.c_str(), &st) != 0) return Failed();
  if (S_ISDIR(st.st_mode)) return Failed(EISDIR);
  // DeleteFileW refuses a read-only file; root may unlink anything, so the bit is checked here.
  if (!S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0) return Failed(EACCES);
  return ::unlink(p.c_str()) == 0 || Failed();
}

namespace {

// rename that refuses an existing `to`, as MoveFileW does.
bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return Failed();
  // A file system without RENAME_NOREPLACE: test, then rename.
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) return Failed(EEXIST);
  return ::rename(from.c_str(), to.c_str()) == 0 || Failed();
}

// The temporary name beside `target` under which a copy or a new file is written before it is
// renamed into place (hopgate-cache knows it as a leftover).
std::string TemporaryBeside(const std::string& target) {
  return target + ".part" + std::to_string(::getpid());
}

}  // namespace

bool MoveFile(const Text& from, const Text& to) {
  const std::string f = ToNative(from);
  const std::string t = ToNative(to);
  if (RenameNoReplace(f, t)) return true;
  if (lastError != EXDEV) return false;
  // Across file systems a file is copied, then the original deleted; folders are refused. The copy
  // is made under a temporary name, synced and renamed into place, so `to` never names half a
  // file, and the copy and its name are on disk before the original goes.
  struct stat st {};
  if (::lstat(f.c_str(), &st) != 0) return Failed();
  if (!S_ISREG(st.st_mode)) return Failed(EXDEV);
  const std::string temp = TemporaryBeside(t);
  ::unlink(temp.c_str());
  if (!CopyInto(f, temp, O_EXCL)) return false;
  if (!RenameNoReplace(temp, t)) {
    const int reason = lastError;
    ::unlink(temp.c_str());
    return Failed(reason);
  }
  int reason = SyncFolderOf(t) ? 0 : lastError;
  if (reason == 0 && ::unlink(f.c_str()) != 0) reason = errno;
  if (reason != 0) {
    ::unlink(t.c_str());  // the original stays; the copy goes
    return Failed(reason);
  }
  return true;
}

bool ReplaceKeepingBackup(const Text& target, const Text& replacement, const Text& backup) {
  const std::string t = ToNative(target);
  const std::string b = ToNative(backup);
  // link refuses an existing name, so a backup is never overwritten.
  if (::link(t.c_str(), b.c_str()) != 0) return Failed();
  if (::rename(ToNative(replacement).c_str(), t.c_str()) != 0) {
    const int reason = errno;
    ::unlink(b.c_str());
    return Failed(reason);
  }
  return true;
}

bool RemoveFolder(const Text& path) { return ::rmdir(ToNative(path).c_str()) == 0 || Failed(); }

Text TemporaryFolder() {
  const char* folder = std::getenv("TMPDIR");
  std::string text = folder != nullptr && *folder != '\0' ? folder : "/tmp";
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return FromNative(text);
}

bool CopyFile(const Text& from, const Text& to) {
  const std::string f = ToNative(from);
  const std::string t = ToNative(to);
  // CopyFileW refuses to overwrite a read-only file.
  struct stat st {};
  if (::stat(t.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || (st.st_mode & S_IWUSR) == 0)) {
    return Failed(S_ISDIR(st.st_mode) ? EISDIR : EACCES);
  }
  // Copy to a temporary name beside the target and rename it into place: no reader ever sees a
  // half-copied file, and a failed copy leaves the old target as it was.
  const std::string temp = TemporaryBeside(t);
  ::unlink(temp.c_str());
  if (!CopyInto(f, temp, O_EXCL)) return false;
  if (::rename(temp.c_str(), t.c_str()) != 0) {
    const int reason = errno;
    ::unlink(temp.c_str());
    return Failed(reason);
  }
  // The copy was synced before the rename; the folder holds its new name.
  return SyncFolderOf(t);
}

bool SetNormalAttributes(const Text& path) {
  const std::string p = ToNative(path);
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0) return Failed();
  return ::chmod(p.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0 || Failed();
}

bool MayBeSameFile(const Text& a, const Text& b) {
  // Either test that cannot tell answers "may be the same".
  struct stat sa {
  }, sb{};
  if (a.empty() || b.empty()) return false;
  if (::stat(ToNative(a).c_str(), &sa) != 0) return !MeansNotFound(errno);
  if (::stat(ToNative(b).c_str(), &sb) != 0) return !MeansNotFound(errno);
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool ReadWholeFile(const Text& path, std::string& bytes) {
  bytes.clear();
  // Linux does not enforce Windows' sharing modes; reading is all that is asked here.
  ScopedFd fd(::open(ToNative(path).c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) return Failed();
  if (S_ISDIR(st.st_mode)) return Failed(EISDIR);
  try {
    if (S_ISREG(st.st_mode)) bytes.reserve(static_cast<size_t>(st.st_size));
    if (ReadAll(fd.get(), bytes)) return true;
    Failed();
  } catch (const std::bad_alloc&) {
    Failed(ENOMEM);
  }
  bytes.clear();
  bytes.shrink_to_fit();
  return false;
}

bool WriteNewFile(const Text& path, std::string_view bytes) {
  const std::string p = ToNative(path);
  struct stat st {};
  // Creating over a read-only file is refused, as CreateFileW does (root would be let through).
  if (::stat(p.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || (st.st_mode & S_IWUSR) == 0)) {
    return Failed(S_ISDIR(st.st_mode) ? EISDIR : EACCES);
  }
  // Written under a temporary name, synced, then renamed into place: `path` never names half a
  // file, also when the run is cut off, and the file is on disk before the caller acts on it
  // (RENAMEANDDEL deletes its source next).
  const std::string temp = TemporaryBeside(p);
  ::unlink(temp.c_str());
  ScopedFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (fd.get() < 0) return Failed();
  int reason = WriteAll(fd.get(), bytes) ? 0 : errno;
  if (reason == 0 && !SyncDescriptor(fd.get())) reason = errno;
  if (!fd.Close() && reason == 0) reason = errno;
  if (reason == 0 && ::rename(temp.c_str(), p.c_str()) != 0) reason = errno;
  if (reason != 0) {
    ::unlink(temp.c_str());  // whole or absent, never half-written
    return Failed(reason);
  }
  return SyncFolderOf(p);
}

Text ReadIniString(const Text& file, const Text& section, const Text& key, const Text& fallback) {
  return ReadIniValueFromFile(ToNative(file), section, key, fallback);
}

Text DecodeAnsi(std::string_view bytes) { return DecodeWindows1252(bytes); }

namespace {

FileStatus StatusOf(const struct stat& st) {
  FileStatus status;
  status.folder = S_ISDIR(st.st_mode);
  status.size = status.folder ? 0 : static_cast<std::uint64_t>(st.st_size);
  status.modifiedSeconds = static_cast<std::int64_t>(st.st_mtim.tv_sec);
  return status;
}

}  // namespace

std::optional<FileStatus> GetFileStatus(const Text& path) {
  struct stat st {};
  if (path.empty() || ::stat(ToNative(path).c_str(), &st) != 0) {
    Failed(path.empty() ? ENOENT : errno);
    return std::nullopt;
  }
  return StatusOf(st);
}

namespace {

// Calls `each` with the open folder `path` and the name of each of its entries ("." and ".." left
// out); false when the folder cannot be read.
template <typename Each>
bool EachEntry(const Text& path, Each each) {
  const std::string folder = ToNative(path);
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return Failed();
  while (const dirent* e = ::readdir(dir)) {
    const std::string_view name = e->d_name;
    if (name != "." && name != "..") each(dir, e->d_name);
  }
  ::closedir(dir);
  return true;
}

}  // namespace

std::optional<std::vector<FolderEntry>> ListFolder(const Text& path) {
  std::vector<FolderEntry> entries;
  const bool listed = EachEntry(path, [&entries](DIR* dir, const char* name) {
    struct stat st {};
    // An entry that vanished between the listing and the stat is left out.
    if (::fstatat(::dirfd(dir), name, &st, 0) != 0) return;
    entries.push_back({FromNative(name), StatusOf(st)});
  });
  if (!listed) return std::nullopt;
  return entries;
}

std::optional<std::vector<Text>> ListFolderNames(const Text& path) {
  std::vector<Text> names;
  if (!EachEntry(path, [&names](DIR*, const char* name) { names.push_back(FromNative(name)); })) {
    return std::nullopt;
  }
  return names;
}

Text LastErrorText() { return ErrorText(lastError); }

Text ErrorText(std::int64_t code) {
  if (code == 0) return Text();
  // The GNU strerror_r (_GNU_SOURCE): it returns the text, in `buffer` or in a static string.
  char buffer[256];
  return FromNative(::strerror_r(static_cast<int>(code), buffer, sizeof buffer));
}

namespace {

int Descriptor(StandardStream stream) { return stream == StandardStream::Output ? 1 : 2; }

}  // namespace

bool IsTerminal(StandardStream stream) { return ::isatty(Descriptor(stream)) == 1; }

bool WriteToTerminal(StandardStream stream, std::string_view utf8) {
  return WriteAll(Descriptor(stream), utf8) || Failed();
}

}  // namespace platform
