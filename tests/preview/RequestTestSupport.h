// Helpers of the request-reading tests: a file held open as another program could hold it, and
// the shared temporary folder and printable texts under this folder's names.
#pragma once

#include <string>

#include "support/show.h"
#include "support/temp_folder.h"

namespace requesttest {

using testsupport::Show;
using testsupport::TempFolder;

// The number of files this process holds open where the system lists them (Linux's /proc/self/fd);
// -1 elsewhere. On Windows a test sees an open file by failing to remove it instead.
int OpenFileCount();

#ifdef _WIN32
// Holds a file open the way another program could, for the sharing tests: a handle with the given
// access and sharing. POSIX does not enforce sharing modes, so those tests exist on Windows only.
class HeldFile {
 public:
  enum class Mode {
    WriteSharingReadWrite,  // a writer that lets others read and write
    ReadSharingNothing,     // a reader that lets nobody else in
    ReadSharingRead,        // a reader that lets others read
  };
  HeldFile(const std::u16string& path, Mode mode);
  ~HeldFile();
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  bool Held() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;
};
#endif

}  // namespace requesttest
