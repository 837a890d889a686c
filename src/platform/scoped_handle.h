// A Win32 file handle that closes itself: the holder of every handle the platform layer and the
// core library's Windows side open. Only for the Win32 files: it brings <windows.h>.
#pragma once

#include <windows.h>

namespace platform {

class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE h) : h_(h) {}
  ~ScopedHandle() {
    if (valid()) ::CloseHandle(h_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }
  // Closes now and reports whether the close succeeded.
  bool Close() {
    const HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h == INVALID_HANDLE_VALUE || h == nullptr || ::CloseHandle(h) != 0;
  }

 private:
  HANDLE h_;
};

}  // namespace platform
