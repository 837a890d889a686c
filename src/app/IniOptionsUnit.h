// Reading the settings file debug.ini.
#pragma once

#include <string>

namespace hopgate {

// One value of an INI file: at most 2047 characters; `fallback` when the file, the section or the
// key is missing. Section and key are matched without regard to letter case.
std::u16string ReadIniValue(const std::u16string& file, const std::u16string& section,
                            const std::u16string& key, const std::u16string& fallback);

}  // namespace hopgate
