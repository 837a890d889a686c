// The core library's OS calls on POSIX. Paths and environment values are UTF-8 bytes at the OS,
// converted with the platform layer's lossless rules (platform/native_text.h, compiled into the
// library), so a path reaches the same file that hopgate itself would open.
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "platform/native_text.h"
#include "platform/scoped_fd.h"
#include "tarncore/system.h"
#include "tarncore/temporary_name.h"

namespace tarncore::sys {
namespace {

std::string NativePath(const Char* path) { return platform::ToNative(path); }

const char* NonEmptyEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

std::string HomeFolder() {
  if (const char* home = NonEmptyEnvironment("HOME")) return home;
  // No HOME: the account's home folder from the user database.
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && *found->pw_dir != '\0') {
    return found->pw_dir;
  }
  throw std::runtime_error("no home folder");
}

bool WriteAll(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

std::atomic<unsigned> temporaryCounter{0};

}  // namespace

std::optional<Text> Environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return platform::FromNative(value);
}

Text LocalDataFolder() {
  // XDG: an unset or empty XDG_DATA_HOME means $HOME/.local/share.
  const auto trimmed = [](std::string folder) {
    while (!folder.empty() && folder.back() == '/') folder.pop_back();
    return folder;
  };
  if (const char* xdg = NonEmptyEnvironment("XDG_DATA_HOME"))
    return platform::FromNative(trimmed(xdg));
  return platform::FromNative(trimmed(HomeFolder()) + "/.local/share");
}

File OpenForReading(const Char* path) {
  return File(std::fopen(NativePath(path).c_str(), "rbe"));  // "e": close on exec
}

bool ReplaceFile(const Char* target, const void* data, std::size_t size) {
  const std::string native = NativePath(target);
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Beside the target, so the rename stays within one file system and is atomic.
    const std::string temporary = TemporaryName(native, static_cast<unsigned long long>(getpid()),
                                                temporaryCounter.fetch_add(1));
    platform::ScopedFd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd.valid()) {
      if (errno == EEXIST) continue;
      return false;
    }
    // On disk before the rename: after a power cut the target holds the old file or the whole
    // new one, never a name over data that never reached the disk.
    const bool written =
        WriteAll(fd.get(), static_cast<const unsigned char*>(data), size) && fsync(fd.get()) == 0;
    const bool closed = fd.Close();
    if (written && closed && std::rename(temporary.c_str(), native.c_str()) == 0) return true;
    unlink(temporary.c_str());
    return false;
  }
  return false;
}

void RemoveFile(const Char* path) { unlink(NativePath(path).c_str()); }

}  // namespace tarncore::sys
