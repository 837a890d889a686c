#include "app/commonfunction.h"

#include "platform/platform.h"

namespace hopgate {

bool CopyFileOver(const std::u16string& source, const std::u16string& destination,
                  bool clearReadOnly) {
  try {
    if (!platform::FileExists(source)) return false;
    std::string content;
    if (!platform::ReadWholeFile(source, content)) return false;
    if (platform::FileExists(destination)) {
      const auto attributes = platform::GetAttributes(destination);
      if (clearReadOnly && attributes && attributes->readOnly) {
        platform::SetNormalAttributes(destination);
      }
      if (!platform::DeleteFile(destination)) return false;
    }
    // WriteNewFile removes what it created when writing fails: never a half-written destination.
    return platform::WriteNewFile(destination, content);
  } catch (...) {
    return false;
  }
}

}  // namespace hopgate
