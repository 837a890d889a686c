#include "app/IniOptionsUnit.h"

#include "platform/platform.h"

namespace hopgate {

std::u16string IniFilePath(const std::u16string& programFolder) {
  return programFolder + kIniFileName;
}

std::u16string ReadForwardTarget(const std::u16string& programFolder,
                                 const std::u16string& ownFileName) {
  return platform::ReadIniString(IniFilePath(programFolder), kForwardSection, ownFileName, u"");
}

}  // namespace hopgate
