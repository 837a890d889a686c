#include "app/IniOptionsUnit.h"

#include "platform/platform.h"

namespace hopgate {

std::u16string ReadForwardTarget(const std::u16string& programFolder,
                                 const std::u16string& ownFileName) {
  // The folder already ends in its separator: the name is appended as it is.
  return platform::ReadIniString(programFolder + kIniFileName, kForwardSection, ownFileName, u"");
}

}  // namespace hopgate
