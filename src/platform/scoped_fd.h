// A POSIX file descriptor that closes itself: the holder of every fd the platform layer and the
// core library's POSIX side open. Only for the POSIX files.
#pragma once

#include <unistd.h>

namespace platform {

class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  bool valid() const { return fd_ >= 0; }
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded (a delayed write error shows here).
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

}  // namespace platform
