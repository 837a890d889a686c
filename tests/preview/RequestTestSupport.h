// Helpers of the request-reading tests: a file held open as another program could hold it, and
// the shared temporary folder and printable texts under this folder's names.
#pragma once

#include <string>

#include "support/show.h"
#include "support/temp_folder.h"

namespace requesttest {

using testsupport::Show;
using testsupport::TempFolder;

// Holds a file open the way another program could, for the sharing tests. On Windows a real
// handle with the given access and sharing; POSIX does not enforce sharing modes, so there
// Supported() is false and the tests that need it are skipped.
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

  static bool Supported();
  bool Held() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;
};

}  // namespace requesttest
