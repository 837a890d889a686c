#include "app/IniOptionsUnit.h"

#include "platform/platform.h"

namespace hopgate {

std::u16string ReadIniValue(const std::u16string& file, const std::u16string& section,
                            const std::u16string& key, const std::u16string& fallback) {
  return platform::ReadIniString(file, section, key, fallback);
}

}  // namespace hopgate
