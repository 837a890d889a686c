// IniOptionsUnit: the settings file debug.ini, the program's only settings. It lies in the program
// folder; its section "Forward" maps a forwarding copy's own file name to the program it starts.
#pragma once

#include <string>

namespace hopgate {

// The settings file's name inside the program folder, and the forwarding section.
inline constexpr char16_t kIniFileName[] = u"debug.ini";
inline constexpr char16_t kForwardSection[] = u"Forward";

// debug.ini in `programFolder`, which ends in a separator: the name is appended as it is.
std::u16string IniFilePath(const std::u16string& programFolder);

// The forwarding target that debug.ini in `programFolder` (which ends in a separator) names for
// `ownFileName`, exactly as read: at most 2047 characters, section and key matched without regard
// to letter case; the empty text when the file, the section or the key is missing.
std::u16string ReadForwardTarget(const std::u16string& programFolder,
                                 const std::u16string& ownFileName);

}  // namespace hopgate
