// faultfs: an interposer on the C library's file-system calls, loaded with LD_PRELOAD into the
// native hopgate and hopgate-cache by tests/fault/fault_harness.py. It counts the calls made on
// paths under a few folders (and on the descriptors, streams and folder listings opened there) and
// fails one of them, fails it and every later one, or ends the process right after it, as a kill
// or a power cut would. The programs themselves read nothing of this: the settings are the
// environment variables below, read here only.
//
//   FAULTFS_ROOTS  colon-separated absolute folders; only calls under them are counted
//   FAULTFS_MODE   count | once | persist | kill | power (unset: count)
//   FAULTFS_N      the counted call that the mode acts on (1 = the first)
//   FAULTFS_TRACE  a file to which every counted call appends "N kind function path"
//   FAULTFS_EXDEV  a folder taken as another file system: a rename or link with one name in it
//                  and one outside answers EXDEV
//
// A failed call is not made (a close is made, then reported failed, since a descriptor is released
// by any close). Reads, stats, opens of existing files, locks, closes, syncs, deletes, renames and
// links fail with EIO; writes and creations (an open with O_CREAT, mkdir, a growing ftruncate) with
// ENOSPC. Never "not found" nor "busy": the first would only ask for what a missing file does, the
// second makes SQLite wait.
//
// The power cut: every inode opened for writing under the roots keeps the content it had at its
// last fsync (a file that existed before counts as synced; a new one as empty). At the cut, each
// one that still has a name gets that content back, and the process is killed. Folder operations
// (create, rename, delete, link) stay as made, in order, as on a journaling file system.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

enum class Mode { kCount, kOnce, kPersist, kKill, kPower };

// What one counted call comes to.
enum class Verdict { kRun, kFail, kRunThenKill, kRunThenPowerCut };

struct Settings {
  std::vector<std::string> roots;
  Mode mode = Mode::kCount;
  long long target = 0;
  std::string trace;
  std::string otherDevice;  // FAULTFS_EXDEV
};

// One inode written under the roots, for the power cut: a descriptor of its own (so that renames
// and deletions do not lose it) and the content it had at its last sync.
struct Written {
  int handle = -1;
  std::string synced;
};

// Everything the interposer knows. Made once and never destroyed: the programs' own destructors
// may still make calls after this library's would have run.
struct State {
  std::mutex lock;
  Settings settings;
  long long counted = 0;
  int traceFd = -1;
  std::map<int, std::string> fds;           // descriptors opened under the roots
  std::map<std::FILE*, std::string> files;  // streams opened under the roots
  std::map<DIR*, std::string> folders;      // folder listings opened under the roots
  std::map<std::pair<dev_t, ino_t>, Written> written;
};

template <typename F>
F Real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The real functions this file needs for its own work, never counted.
int RealOpen(const char* path, int flags, mode_t mode = 0) {
  static const auto real = Real<int (*)(const char*, int, ...)>("open");
  return real(path, flags, mode);
}
ssize_t RealPread(int fd, void* buffer, size_t size, off_t at) {
  static const auto real = Real<ssize_t (*)(int, void*, size_t, off_t)>("pread64");
  return real(fd, buffer, size, at);
}
ssize_t RealPwrite(int fd, const void* buffer, size_t size, off_t at) {
  static const auto real = Real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite64");
  return real(fd, buffer, size, at);
}
ssize_t RealWrite(int fd, const void* buffer, size_t size) {
  static const auto real = Real<ssize_t (*)(int, const void*, size_t)>("write");
  return real(fd, buffer, size);
}
int RealFstat(int fd, struct stat* st) {
  static const auto real = Real<int (*)(int, struct stat*)>("fstat");
  return real(fd, st);
}
int RealStat(const char* path, struct stat* st) {
  static const auto real = Real<int (*)(const char*, struct stat*)>("stat");
  return real(path, st);
}
int RealClose(int fd) {
  static const auto real = Real<int (*)(int)>("close");
  return real(fd);
}
int RealFtruncate(int fd, off_t size) {
  static const auto real = Real<int (*)(int, off_t)>("ftruncate64");
  return real(fd, size);
}

std::vector<std::string> Split(const char* text, char separator) {
  std::vector<std::string> parts;
  if (text == nullptr) return parts;
  std::string_view rest = text;
  while (!rest.empty()) {
    const size_t at = rest.find(separator);
    std::string part(rest.substr(0, at));
    if (!part.empty()) parts.push_back(std::move(part));
    if (at == std::string_view::npos) break;
    rest.remove_prefix(at + 1);
  }
  return parts;
}

Mode ModeNamed(const char* name) {
  const std::string_view text = name == nullptr ? "count" : name;
  if (text == "once") return Mode::kOnce;
  if (text == "persist") return Mode::kPersist;
  if (text == "kill") return Mode::kKill;
  if (text == "power") return Mode::kPower;
  return Mode::kCount;
}

// A path made absolute against the current folder, with "." and ".." and repeated separators
// resolved by their text (the roots are given resolved, so no link is followed).
std::string Absolute(std::string_view path, const std::string& base) {
  std::string joined;
  if (!path.empty() && path.front() == '/') {
    joined = path;
  } else {
    joined = base + "/" + std::string(path);
  }
  std::vector<std::string> parts;
  for (std::string& part : Split(joined.c_str(), '/')) {
    if (part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(std::move(part));
  }
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  return out.empty() ? std::string("/") : out;
}

std::string CurrentFolder() {
  std::string buffer(4096, '\0');
  if (getcwd(buffer.data(), buffer.size()) == nullptr) return "/";
  buffer.resize(std::strlen(buffer.c_str()));
  return buffer;
}

State& TheState() {
  static State* state = [] {
    auto* made = new State;
    made->settings.roots = Split(std::getenv("FAULTFS_ROOTS"), ':');
    made->settings.mode = ModeNamed(std::getenv("FAULTFS_MODE"));
    const char* n = std::getenv("FAULTFS_N");
    made->settings.target = n == nullptr ? 0 : std::atoll(n);
    const char* trace = std::getenv("FAULTFS_TRACE");
    made->settings.trace = trace == nullptr ? "" : trace;
    const char* exdev = std::getenv("FAULTFS_EXDEV");
    made->settings.otherDevice = exdev == nullptr ? "" : exdev;
    return made;
  }();
  return *state;
}

bool Inside(const std::string& path, const std::string& folder) {
  return path.size() >= folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         (path.size() == folder.size() || path[folder.size()] == '/' || folder == "/");
}

bool UnderRoots(const State& state, const std::string& path) {
  for (const std::string& root : state.settings.roots) {
    if (Inside(path, root)) return true;
  }
  return false;
}

// The watched path that `path` names (relative to the folder of `dirfd`), or nothing when the call
// is not on the roots.
std::optional<std::string> Watched(const char* path, int dirfd = AT_FDCWD) {
  if (path == nullptr) return std::nullopt;
  State& state = TheState();
  std::string base;
  if (path[0] != '/') {
    if (dirfd == AT_FDCWD) {
      base = CurrentFolder();
    } else {
      std::lock_guard guard(state.lock);
      const auto found = state.fds.find(dirfd);
      if (found == state.fds.end()) return std::nullopt;
      base = found->second;
    }
  }
  std::string absolute = Absolute(path, base);
  if (!UnderRoots(state, absolute)) return std::nullopt;
  return absolute;
}

template <typename Key>
std::optional<std::string> Lookup(const std::map<Key, std::string>& table, Key key) {
  State& state = TheState();
  std::lock_guard guard(state.lock);
  const auto found = table.find(key);
  if (found == table.end()) return std::nullopt;
  return found->second;
}

std::optional<std::string> WatchedFd(int fd) { return Lookup(TheState().fds, fd); }
std::optional<std::string> WatchedFile(std::FILE* file) { return Lookup(TheState().files, file); }
std::optional<std::string> WatchedFolder(DIR* dir) { return Lookup(TheState().folders, dir); }

template <typename Key>
void Remember(std::map<Key, std::string>& table, Key key, const std::string& path) {
  State& state = TheState();
  std::lock_guard guard(state.lock);
  table[key] = path;
}

template <typename Key>
void Forget(std::map<Key, std::string>& table, Key key) {
  State& state = TheState();
  std::lock_guard guard(state.lock);
  table.erase(key);
}

void AppendTrace(State& state, long long number, const char* kind, const char* function,
                 const std::string& path) {
  if (state.settings.trace.empty()) return;
  if (state.traceFd < 0) {
    state.traceFd =
        RealOpen(state.settings.trace.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (state.traceFd < 0) return;
  }
  const std::string line = std::to_string(number) + " " + kind + " " + function + " " + path + "\n";
  (void)RealWrite(state.traceFd, line.data(), line.size());
}

// Counts one call on the roots and says what becomes of it.
Verdict Count(const char* kind, const char* function, const std::string& path) {
  State& state = TheState();
  std::lock_guard guard(state.lock);
  const long long number = ++state.counted;
  AppendTrace(state, number, kind, function, path);
  const long long target = state.settings.target;
  switch (state.settings.mode) {
    case Mode::kCount:
      return Verdict::kRun;
    case Mode::kOnce:
      return number == target ? Verdict::kFail : Verdict::kRun;
    case Mode::kPersist:
      return number >= target ? Verdict::kFail : Verdict::kRun;
    case Mode::kKill:
      return number == target ? Verdict::kRunThenKill : Verdict::kRun;
    case Mode::kPower:
      return number == target ? Verdict::kRunThenPowerCut : Verdict::kRun;
  }
  return Verdict::kRun;
}

bool Tracking() { return TheState().settings.mode == Mode::kPower; }

std::string ReadAllOf(int fd) {
  std::string content;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = RealPread(fd, buffer, sizeof buffer, static_cast<off_t>(content.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return content;
    content.append(buffer, static_cast<size_t>(n));
  }
}

void WriteAllOf(int fd, const std::string& content) {
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n =
        RealPwrite(fd, content.data() + done, content.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Before an open for writing: the content that a file already there had, which counts as synced.
struct Before {
  bool existed = false;
  std::pair<dev_t, ino_t> key{};
  std::string content;
};

Before ContentBeforeWriting(const std::string& path) {
  Before before;
  if (!Tracking()) return before;
  struct stat st {};
  if (RealStat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return before;
  before.key = {st.st_dev, st.st_ino};
  {
    State& state = TheState();
    std::lock_guard guard(state.lock);
    if (state.written.count(before.key) != 0) return before;  // known already
  }
  const int fd = RealOpen(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return before;
  before.existed = true;
  before.content = ReadAllOf(fd);
  RealClose(fd);
  return before;
}

// After an open for writing succeeded on `fd`: the inode is tracked from now on.
void TrackWritten(int fd, const Before& before) {
  if (!Tracking() || fd < 0) return;
  struct stat st {};
  if (RealFstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
  const std::pair<dev_t, ino_t> key{st.st_dev, st.st_ino};
  State& state = TheState();
  {
    std::lock_guard guard(state.lock);
    if (state.written.count(key) != 0) return;
  }
  // A descriptor of our own on the same inode, also when it is renamed or deleted later.
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  Written entry;
  entry.handle = RealOpen(self.c_str(), O_RDWR | O_CLOEXEC);
  if (before.existed && before.key == key) entry.synced = before.content;
  std::lock_guard guard(state.lock);
  state.written.emplace(key, std::move(entry));
}

// After a successful fsync or fdatasync: the inode's content so far survives a power cut.
void MarkSynced(int fd) {
  if (!Tracking()) return;
  struct stat st {};
  if (RealFstat(fd, &st) != 0) return;
  State& state = TheState();
  std::lock_guard guard(state.lock);
  const auto found = state.written.find({st.st_dev, st.st_ino});
  if (found == state.written.end() || found->second.handle < 0) return;
  found->second.synced = ReadAllOf(found->second.handle);
}

[[noreturn]] void Die() {
  kill(getpid(), SIGKILL);
  _exit(137);
}

// Every written inode that still has a name gets its synced content back; then the process dies.
[[noreturn]] void CutPower() {
  State& state = TheState();
  for (auto& [key, entry] : state.written) {
    struct stat st {};
    if (entry.handle < 0 || RealFstat(entry.handle, &st) != 0 || st.st_nlink == 0) continue;
    (void)RealFtruncate(entry.handle, 0);
    WriteAllOf(entry.handle, entry.synced);
    (void)RealFtruncate(entry.handle, static_cast<off_t>(entry.synced.size()));
  }
  Die();
}

void Finish(Verdict verdict) {
  if (verdict == Verdict::kRunThenKill) Die();
  if (verdict == Verdict::kRunThenPowerCut) CutPower();
}

void NoHook() {}

// The common shape of a wrapped call: counted when `where` is on the roots; failed with `error`
// (returning `failed`, after `onFail`), or made and then, when due, followed by the kill or the
// power cut. `released` is for the closes: the call is made even when it is to fail, since any
// close releases what it closes.
template <typename Result, typename Call, typename OnFail = void (*)()>
Result Guarded(const std::optional<std::string>& where, const char* kind, const char* function,
               int error, Result failed, Call&& call, OnFail onFail = NoHook,
               bool released = false) {
  if (!where) return call();
  const Verdict verdict = Count(kind, function, *where);
  if (verdict == Verdict::kFail) {
    if (released) call();
    onFail();
    errno = error;
    return failed;
  }
  Result result = call();
  const int saved = errno;
  Finish(verdict);
  errno = saved;
  return result;
}

bool WritesOrCreates(int flags) { return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0; }

bool TakesMode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

// An open, by any of its names: counted as a creation (ENOSPC) when it may create the file, else
// as an open (EIO). What it opens under the roots (a descriptor, a stream) is watched until its
// close, and tracked for the power cut when it may write.
template <typename Handle, typename Call, typename Watch>
Handle OpenCall(const std::optional<std::string>& where, const char* function, bool creates,
                bool writes, Handle failed, Call&& call, Watch&& watch) {
  if (!where) return call();
  const Before before = writes ? ContentBeforeWriting(*where) : Before{};
  Handle handle =
      Guarded(where, creates ? "create" : "open", function, creates ? ENOSPC : EIO, failed, [&] {
        Handle opened = call();
        if (opened != failed) watch(opened, *where, before);
        return opened;
      });
  return handle;
}

template <typename Call>
int OpenFd(const char* path, int dirfd, const char* function, int flags, Call&& call) {
  const bool writes = WritesOrCreates(flags);
  return OpenCall(Watched(path, dirfd), function, (flags & O_CREAT) != 0, writes, -1, call,
                  [writes](int fd, const std::string& where, const Before& before) {
                    Remember(TheState().fds, fd, where);
                    if (writes) TrackWritten(fd, before);
                  });
}

bool IsLockCommand(int command) {
  switch (command) {
    case F_SETLK:
    case F_SETLKW:
    case F_GETLK:
    case F_OFD_SETLK:
    case F_OFD_SETLKW:
    case F_OFD_GETLK:
      return true;
    default:
      return false;
  }
}

// Marks a stream as failed, as a failed read or write inside stdio would.
void SetStreamError(std::FILE* file) { file->_flags |= _IO_ERR_SEEN; }

bool StreamWrites(const char* mode) {
  return mode != nullptr && (std::strpbrk(mode, "wa+") != nullptr);
}

template <typename Call>
std::FILE* FopenCall(const char* function, const char* path, const char* mode, Call&& call) {
  const bool writes = StreamWrites(mode);
  const bool creates = mode != nullptr && (mode[0] == 'w' || mode[0] == 'a');
  return OpenCall(Watched(path), function, creates, writes, static_cast<std::FILE*>(nullptr), call,
                  [writes](std::FILE* file, const std::string& where, const Before& before) {
                    Remember(TheState().files, file, where);
                    if (writes) TrackWritten(fileno(file), before);
                  });
}

// A stream call that reads or writes: on failure it returns `failed`, sets errno and the stream's
// error flag.
template <typename Result, typename Call>
Result StreamCall(std::FILE* file, const char* kind, const char* function, int error, Result failed,
                  Call&& call) {
  return Guarded(WatchedFile(file), kind, function, error, failed, call,
                 [file] { SetStreamError(file); });
}

int ModeArgument(int flags, va_list args) { return TakesMode(flags) ? va_arg(args, int) : 0; }

// A close of a descriptor, a stream or a listing, which the caller has stopped watching: made in
// every case, then reported failed when the fault falls on it.
template <typename Result, typename Call>
Result CloseCall(const std::optional<std::string>& where, const char* function, Result failed,
                 Call&& call) {
  return Guarded(where, "close", function, EIO, failed, call, NoHook, true);
}

// A sync: what it put on disk is taken as the inode's content before a power cut right after it.
template <typename Call>
int SyncCall(int fd, const char* function, Call&& call) {
  return Guarded(WatchedFd(fd), "sync", function, EIO, -1, [&] {
    const int result = call();
    if (result == 0) MarkSynced(fd);
    return result;
  });
}

// A call on two names (rename, link): counted when either is on the roots, and traced with both.
// Between the folder FAULTFS_EXDEV names and any other place it answers EXDEV, as between two file
// systems; that answer is a counted call like any other.
template <typename Call>
int TwoNamesCall(const char* from, int fromDir, const char* to, int toDir, const char* kind,
                 const char* function, Call&& call) {
  const std::optional<std::string> a = Watched(from, fromDir);
  const std::optional<std::string> b = Watched(to, toDir);
  if (!a && !b) return call();
  const std::string where = (a ? *a : std::string(from)) + " -> " + (b ? *b : std::string(to));
  const std::string& other = TheState().settings.otherDevice;
  if (!other.empty() && a && b && Inside(*a, other) != Inside(*b, other)) {
    return Guarded(std::optional<std::string>(where), kind, function, EIO, -1, [] {
      errno = EXDEV;
      return -1;
    });
  }
  return Guarded(std::optional<std::string>(where), kind, function, EIO, -1, call);
}

template <typename Call>
int TruncateCall(int fd, off_t length, const char* function, Call&& call) {
  const std::optional<std::string> where = WatchedFd(fd);
  struct stat st {};
  const bool grows = where && RealFstat(fd, &st) == 0 && length > st.st_size;
  return Guarded(where, "truncate", function, grows ? ENOSPC : EIO, -1, call);
}

template <typename Call>
int FcntlCall(int fd, int command, const char* function, Call&& call) {
  if (!IsLockCommand(command)) return call();
  return Guarded(WatchedFd(fd), "lock", function, EIO, -1, call);
}

}  // namespace

extern "C" {

// ---- opens and closes

int open(const char* path, int flags, ...) {
  static const auto real = Real<int (*)(const char*, int, ...)>("open");
  va_list args;
  va_start(args, flags);
  const int mode = ModeArgument(flags, args);
  va_end(args);
  return OpenFd(path, AT_FDCWD, "open", flags, [&] { return real(path, flags, mode); });
}

int open64(const char* path, int flags, ...) {
  static const auto real = Real<int (*)(const char*, int, ...)>("open64");
  va_list args;
  va_start(args, flags);
  const int mode = ModeArgument(flags, args);
  va_end(args);
  return OpenFd(path, AT_FDCWD, "open64", flags, [&] { return real(path, flags, mode); });
}

int openat(int dirfd, const char* path, int flags, ...) {
  static const auto real = Real<int (*)(int, const char*, int, ...)>("openat");
  va_list args;
  va_start(args, flags);
  const int mode = ModeArgument(flags, args);
  va_end(args);
  return OpenFd(path, dirfd, "openat", flags, [&] { return real(dirfd, path, flags, mode); });
}

int openat64(int dirfd, const char* path, int flags, ...) {
  static const auto real = Real<int (*)(int, const char*, int, ...)>("openat64");
  va_list args;
  va_start(args, flags);
  const int mode = ModeArgument(flags, args);
  va_end(args);
  return OpenFd(path, dirfd, "openat64", flags, [&] { return real(dirfd, path, flags, mode); });
}

int creat(const char* path, mode_t mode) {
  static const auto real = Real<int (*)(const char*, mode_t)>("creat");
  return OpenFd(path, AT_FDCWD, "creat", O_CREAT | O_WRONLY | O_TRUNC,
                [&] { return real(path, mode); });
}

int creat64(const char* path, mode_t mode) {
  static const auto real = Real<int (*)(const char*, mode_t)>("creat64");
  return OpenFd(path, AT_FDCWD, "creat64", O_CREAT | O_WRONLY | O_TRUNC,
                [&] { return real(path, mode); });
}

int close(int fd) {
  static const auto real = Real<int (*)(int)>("close");
  const std::optional<std::string> where = WatchedFd(fd);
  if (where) Forget(TheState().fds, fd);
  return CloseCall(where, "close", -1, [&] { return real(fd); });
}

// ---- reads and writes

ssize_t read(int fd, void* buffer, size_t size) {
  static const auto real = Real<ssize_t (*)(int, void*, size_t)>("read");
  return Guarded(WatchedFd(fd), "read", "read", EIO, ssize_t{-1},
                 [&] { return real(fd, buffer, size); });
}

ssize_t pread(int fd, void* buffer, size_t size, off_t at) {
  static const auto real = Real<ssize_t (*)(int, void*, size_t, off_t)>("pread");
  return Guarded(WatchedFd(fd), "read", "pread", EIO, ssize_t{-1},
                 [&] { return real(fd, buffer, size, at); });
}

ssize_t pread64(int fd, void* buffer, size_t size, off_t at) {
  static const auto real = Real<ssize_t (*)(int, void*, size_t, off_t)>("pread64");
  return Guarded(WatchedFd(fd), "read", "pread64", EIO, ssize_t{-1},
                 [&] { return real(fd, buffer, size, at); });
}

ssize_t readv(int fd, const struct iovec* vectors, int count) {
  static const auto real = Real<ssize_t (*)(int, const struct iovec*, int)>("readv");
  return Guarded(WatchedFd(fd), "read", "readv", EIO, ssize_t{-1},
                 [&] { return real(fd, vectors, count); });
}

ssize_t write(int fd, const void* buffer, size_t size) {
  static const auto real = Real<ssize_t (*)(int, const void*, size_t)>("write");
  return Guarded(WatchedFd(fd), "write", "write", ENOSPC, ssize_t{-1},
                 [&] { return real(fd, buffer, size); });
}

ssize_t pwrite(int fd, const void* buffer, size_t size, off_t at) {
  static const auto real = Real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  return Guarded(WatchedFd(fd), "write", "pwrite", ENOSPC, ssize_t{-1},
                 [&] { return real(fd, buffer, size, at); });
}

ssize_t pwrite64(int fd, const void* buffer, size_t size, off_t at) {
  static const auto real = Real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite64");
  return Guarded(WatchedFd(fd), "write", "pwrite64", ENOSPC, ssize_t{-1},
                 [&] { return real(fd, buffer, size, at); });
}

ssize_t writev(int fd, const struct iovec* vectors, int count) {
  static const auto real = Real<ssize_t (*)(int, const struct iovec*, int)>("writev");
  return Guarded(WatchedFd(fd), "write", "writev", ENOSPC, ssize_t{-1},
                 [&] { return real(fd, vectors, count); });
}

int fsync(int fd) {
  static const auto real = Real<int (*)(int)>("fsync");
  return SyncCall(fd, "fsync", [&] { return real(fd); });
}

int fdatasync(int fd) {
  static const auto real = Real<int (*)(int)>("fdatasync");
  return SyncCall(fd, "fdatasync", [&] { return real(fd); });
}

int ftruncate(int fd, off_t length) {
  static const auto real = Real<int (*)(int, off_t)>("ftruncate");
  return TruncateCall(fd, length, "ftruncate", [&] { return real(fd, length); });
}

int ftruncate64(int fd, off_t length) {
  static const auto real = Real<int (*)(int, off_t)>("ftruncate64");
  return TruncateCall(fd, length, "ftruncate64", [&] { return real(fd, length); });
}

int fcntl(int fd, int command, ...) {
  static const auto real = Real<int (*)(int, int, ...)>("fcntl");
  va_list args;
  va_start(args, command);
  void* argument = va_arg(args, void*);
  va_end(args);
  return FcntlCall(fd, command, "fcntl", [&] { return real(fd, command, argument); });
}

int fcntl64(int fd, int command, ...) {
  static const auto real = Real<int (*)(int, int, ...)>("fcntl64");
  va_list args;
  va_start(args, command);
  void* argument = va_arg(args, void*);
  va_end(args);
  return FcntlCall(fd, command, "fcntl64", [&] { return real(fd, command, argument); });
}

// ---- stats and tests

int stat(const char* path, struct stat* st) {
  static const auto real = Real<int (*)(const char*, struct stat*)>("stat");
  return Guarded(Watched(path), "stat", "stat", EIO, -1, [&] { return real(path, st); });
}

int stat64(const char* path, struct stat64* st) {
  static const auto real = Real<int (*)(const char*, struct stat64*)>("stat64");
  return Guarded(Watched(path), "stat", "stat64", EIO, -1, [&] { return real(path, st); });
}

int lstat(const char* path, struct stat* st) {
  static const auto real = Real<int (*)(const char*, struct stat*)>("lstat");
  return Guarded(Watched(path), "stat", "lstat", EIO, -1, [&] { return real(path, st); });
}

int lstat64(const char* path, struct stat64* st) {
  static const auto real = Real<int (*)(const char*, struct stat64*)>("lstat64");
  return Guarded(Watched(path), "stat", "lstat64", EIO, -1, [&] { return real(path, st); });
}

int fstat(int fd, struct stat* st) {
  static const auto real = Real<int (*)(int, struct stat*)>("fstat");
  return Guarded(WatchedFd(fd), "stat", "fstat", EIO, -1, [&] { return real(fd, st); });
}

int fstat64(int fd, struct stat64* st) {
  static const auto real = Real<int (*)(int, struct stat64*)>("fstat64");
  return Guarded(WatchedFd(fd), "stat", "fstat64", EIO, -1, [&] { return real(fd, st); });
}

int fstatat(int dirfd, const char* path, struct stat* st, int flags) {
  static const auto real = Real<int (*)(int, const char*, struct stat*, int)>("fstatat");
  return Guarded(Watched(path, dirfd), "stat", "fstatat", EIO, -1,
                 [&] { return real(dirfd, path, st, flags); });
}

int fstatat64(int dirfd, const char* path, struct stat64* st, int flags) {
  static const auto real = Real<int (*)(int, const char*, struct stat64*, int)>("fstatat64");
  return Guarded(Watched(path, dirfd), "stat", "fstatat64", EIO, -1,
                 [&] { return real(dirfd, path, st, flags); });
}

int statx(int dirfd, const char* path, int flags, unsigned int mask, struct statx* st) {
  static const auto real =
      Real<int (*)(int, const char*, int, unsigned int, struct statx*)>("statx");
  return Guarded(Watched(path, dirfd), "stat", "statx", EIO, -1,
                 [&] { return real(dirfd, path, flags, mask, st); });
}

int access(const char* path, int how) {
  static const auto real = Real<int (*)(const char*, int)>("access");
  return Guarded(Watched(path), "stat", "access", EIO, -1, [&] { return real(path, how); });
}

int faccessat(int dirfd, const char* path, int how, int flags) {
  static const auto real = Real<int (*)(int, const char*, int, int)>("faccessat");
  return Guarded(Watched(path, dirfd), "stat", "faccessat", EIO, -1,
                 [&] { return real(dirfd, path, how, flags); });
}

ssize_t readlink(const char* path, char* buffer, size_t size) {
  static const auto real = Real<ssize_t (*)(const char*, char*, size_t)>("readlink");
  return Guarded(Watched(path), "stat", "readlink", EIO, ssize_t{-1},
                 [&] { return real(path, buffer, size); });
}

// ---- names: delete, rename, link, folders, attributes

int unlink(const char* path) {
  static const auto real = Real<int (*)(const char*)>("unlink");
  return Guarded(Watched(path), "delete", "unlink", EIO, -1, [&] { return real(path); });
}

int unlinkat(int dirfd, const char* path, int flags) {
  static const auto real = Real<int (*)(int, const char*, int)>("unlinkat");
  return Guarded(Watched(path, dirfd), "delete", "unlinkat", EIO, -1,
                 [&] { return real(dirfd, path, flags); });
}

int rename(const char* from, const char* to) {
  static const auto real = Real<int (*)(const char*, const char*)>("rename");
  return TwoNamesCall(from, AT_FDCWD, to, AT_FDCWD, "rename", "rename",
                      [&] { return real(from, to); });
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  static const auto real = Real<int (*)(int, const char*, int, const char*)>("renameat");
  return TwoNamesCall(from, fromDir, to, toDir, "rename", "renameat",
                      [&] { return real(fromDir, from, toDir, to); });
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags) {
  static const auto real =
      Real<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2");
  return TwoNamesCall(from, fromDir, to, toDir, "rename", "renameat2",
                      [&] { return real(fromDir, from, toDir, to, flags); });
}

int link(const char* from, const char* to) {
  static const auto real = Real<int (*)(const char*, const char*)>("link");
  return TwoNamesCall(from, AT_FDCWD, to, AT_FDCWD, "link", "link", [&] { return real(from, to); });
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
  static const auto real = Real<int (*)(int, const char*, int, const char*, int)>("linkat");
  return TwoNamesCall(from, fromDir, to, toDir, "link", "linkat",
                      [&] { return real(fromDir, from, toDir, to, flags); });
}

int mkdir(const char* path, mode_t mode) {
  static const auto real = Real<int (*)(const char*, mode_t)>("mkdir");
  return Guarded(Watched(path), "mkdir", "mkdir", ENOSPC, -1, [&] { return real(path, mode); });
}

int mkdirat(int dirfd, const char* path, mode_t mode) {
  static const auto real = Real<int (*)(int, const char*, mode_t)>("mkdirat");
  return Guarded(Watched(path, dirfd), "mkdir", "mkdirat", ENOSPC, -1,
                 [&] { return real(dirfd, path, mode); });
}

int rmdir(const char* path) {
  static const auto real = Real<int (*)(const char*)>("rmdir");
  return Guarded(Watched(path), "rmdir", "rmdir", EIO, -1, [&] { return real(path); });
}

int chmod(const char* path, mode_t mode) {
  static const auto real = Real<int (*)(const char*, mode_t)>("chmod");
  return Guarded(Watched(path), "attr", "chmod", EIO, -1, [&] { return real(path, mode); });
}

int fchmod(int fd, mode_t mode) {
  static const auto real = Real<int (*)(int, mode_t)>("fchmod");
  return Guarded(WatchedFd(fd), "attr", "fchmod", EIO, -1, [&] { return real(fd, mode); });
}

int fchown(int fd, uid_t owner, gid_t group) {
  static const auto real = Real<int (*)(int, uid_t, gid_t)>("fchown");
  return Guarded(WatchedFd(fd), "attr", "fchown", EIO, -1, [&] { return real(fd, owner, group); });
}

int utimes(const char* path, const struct timeval times[2]) {
  static const auto real = Real<int (*)(const char*, const struct timeval[2])>("utimes");
  return Guarded(Watched(path), "attr", "utimes", EIO, -1, [&] { return real(path, times); });
}

// ---- folder listings

DIR* opendir(const char* path) {
  static const auto real = Real<DIR* (*)(const char*)>("opendir");
  const std::optional<std::string> where = Watched(path);
  DIR* dir =
      Guarded(where, "dir", "opendir", EIO, static_cast<DIR*>(nullptr), [&] { return real(path); });
  if (where && dir != nullptr) {
    Remember(TheState().folders, dir, *where);
    // fstatat on dirfd(dir) names its entries relative to this folder.
    Remember(TheState().fds, dirfd(dir), *where);
  }
  return dir;
}

DIR* fdopendir(int fd) {
  static const auto real = Real<DIR* (*)(int)>("fdopendir");
  const std::optional<std::string> where = WatchedFd(fd);
  DIR* dir =
      Guarded(where, "dir", "fdopendir", EIO, static_cast<DIR*>(nullptr), [&] { return real(fd); });
  if (where && dir != nullptr) Remember(TheState().folders, dir, *where);
  return dir;
}

struct dirent* readdir(DIR* dir) {
  static const auto real = Real<struct dirent* (*)(DIR*)>("readdir");
  return Guarded(WatchedFolder(dir), "dir", "readdir", EIO, static_cast<struct dirent*>(nullptr),
                 [&] { return real(dir); });
}

struct dirent64* readdir64(DIR* dir) {
  static const auto real = Real<struct dirent64* (*)(DIR*)>("readdir64");
  return Guarded(WatchedFolder(dir), "dir", "readdir64", EIO,
                 static_cast<struct dirent64*>(nullptr), [&] { return real(dir); });
}

int closedir(DIR* dir) {
  static const auto real = Real<int (*)(DIR*)>("closedir");
  const std::optional<std::string> where = WatchedFolder(dir);
  if (where) {
    Forget(TheState().folders, dir);
    Forget(TheState().fds, dirfd(dir));
  }
  return CloseCall(where, "closedir", -1, [&] { return real(dir); });
}

// ---- stdio, for the core library's image reading: its inner reads escape an interposer, so
// the stream calls themselves are counted.

std::FILE* fopen(const char* path, const char* mode) {
  static const auto real = Real<std::FILE* (*)(const char*, const char*)>("fopen");
  return FopenCall("fopen", path, mode, [&] { return real(path, mode); });
}

std::FILE* fopen64(const char* path, const char* mode) {
  static const auto real = Real<std::FILE* (*)(const char*, const char*)>("fopen64");
  return FopenCall("fopen64", path, mode, [&] { return real(path, mode); });
}

size_t fread(void* buffer, size_t size, size_t count, std::FILE* file) {
  static const auto real = Real<size_t (*)(void*, size_t, size_t, std::FILE*)>("fread");
  return StreamCall(file, "read", "fread", EIO, size_t{0},
                    [&] { return real(buffer, size, count, file); });
}

size_t fwrite(const void* buffer, size_t size, size_t count, std::FILE* file) {
  static const auto real = Real<size_t (*)(const void*, size_t, size_t, std::FILE*)>("fwrite");
  return StreamCall(file, "write", "fwrite", ENOSPC, size_t{0},
                    [&] { return real(buffer, size, count, file); });
}

int fgetc(std::FILE* file) {
  static const auto real = Real<int (*)(std::FILE*)>("fgetc");
  return StreamCall(file, "read", "fgetc", EIO, EOF, [&] { return real(file); });
}

int getc(std::FILE* file) {
  static const auto real = Real<int (*)(std::FILE*)>("getc");
  return StreamCall(file, "read", "getc", EIO, EOF, [&] { return real(file); });
}

int fseek(std::FILE* file, long offset, int whence) {
  static const auto real = Real<int (*)(std::FILE*, long, int)>("fseek");
  return StreamCall(file, "seek", "fseek", EIO, -1, [&] { return real(file, offset, whence); });
}

int fseeko(std::FILE* file, off_t offset, int whence) {
  static const auto real = Real<int (*)(std::FILE*, off_t, int)>("fseeko");
  return StreamCall(file, "seek", "fseeko", EIO, -1, [&] { return real(file, offset, whence); });
}

int fseeko64(std::FILE* file, off64_t offset, int whence) {
  static const auto real = Real<int (*)(std::FILE*, off64_t, int)>("fseeko64");
  return StreamCall(file, "seek", "fseeko64", EIO, -1, [&] { return real(file, offset, whence); });
}

long ftell(std::FILE* file) {
  static const auto real = Real<long (*)(std::FILE*)>("ftell");
  return StreamCall(file, "seek", "ftell", EIO, -1L, [&] { return real(file); });
}

off_t ftello(std::FILE* file) {
  static const auto real = Real<off_t (*)(std::FILE*)>("ftello");
  return StreamCall(file, "seek", "ftello", EIO, off_t{-1}, [&] { return real(file); });
}

off64_t ftello64(std::FILE* file) {
  static const auto real = Real<off64_t (*)(std::FILE*)>("ftello64");
  return StreamCall(file, "seek", "ftello64", EIO, off64_t{-1}, [&] { return real(file); });
}

int fflush(std::FILE* file) {
  static const auto real = Real<int (*)(std::FILE*)>("fflush");
  if (file == nullptr) return real(file);
  return StreamCall(file, "write", "fflush", ENOSPC, EOF, [&] { return real(file); });
}

int fclose(std::FILE* file) {
  static const auto real = Real<int (*)(std::FILE*)>("fclose");
  const std::optional<std::string> where = WatchedFile(file);
  if (where) Forget(TheState().files, file);
  return CloseCall(where, "fclose", EOF, [&] { return real(file); });
}

}  // extern "C"
