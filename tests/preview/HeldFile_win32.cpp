#include <windows.h>

#include "RequestTestSupport.h"

namespace requesttest {

HeldFile::HeldFile(const std::u16string& path, Mode mode) {
  DWORD access = GENERIC_READ, share = FILE_SHARE_READ;
  switch (mode) {
    case Mode::WriteSharingReadWrite:
      access = GENERIC_WRITE;
      share = FILE_SHARE_READ | FILE_SHARE_WRITE;
      break;
    case Mode::ReadSharingNothing:
      share = 0;
      break;
    case Mode::ReadSharingRead:
      break;
  }
  const std::wstring wide(path.begin(), path.end());
  const HANDLE h = ::CreateFileW(wide.c_str(), access, share, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) handle_ = h;
}

HeldFile::~HeldFile() {
  if (handle_ != nullptr) ::CloseHandle(static_cast<HANDLE>(handle_));
}

int OpenFileCount() { return -1; }

}  // namespace requesttest
