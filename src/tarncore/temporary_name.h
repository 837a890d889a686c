// The name of the temporary file that the PNG writer fills beside its target before it renames the
// file into place: the target, ".", the writing process's id, "-", a counter and ".tmp". One rule
// for the writer (system_posix.cpp, system_win32.cpp) and for hopgate-cache, which finds the files
// that a writer left behind when it died before the rename. Header only: the core library exports
// nothing but its three operations.
#pragma once

#include <string>
#include <string_view>

namespace tarncore {

template <typename String>
String TemporaryName(const String& target, unsigned long long process, unsigned counter) {
  String name = target;
  const std::string tail = "." + std::to_string(process) + "-" + std::to_string(counter) + ".tmp";
  for (const char c : tail) name.push_back(static_cast<typename String::value_type>(c));
  return name;
}

// True when `fileName` (a name without folder) has the form TemporaryName gives: a non-empty
// target name, ".", digits, "-", digits, ".tmp".
template <typename Char>
bool IsTemporaryName(std::basic_string_view<Char> fileName) {
  constexpr std::string_view kEnd = ".tmp";
  if (fileName.size() < kEnd.size()) return false;
  size_t end = fileName.size() - kEnd.size();
  for (size_t i = 0; i < kEnd.size(); ++i) {
    if (fileName[end + i] != static_cast<Char>(kEnd[i])) return false;
  }
  // Two runs of digits, the counter after the "-" and the process id before it.
  for (const Char separator : {static_cast<Char>('-'), static_cast<Char>('.')}) {
    const size_t digitsEnd = end;
    while (end > 0 && fileName[end - 1] >= static_cast<Char>('0') &&
           fileName[end - 1] <= static_cast<Char>('9')) {
      --end;
    }
    if (end == digitsEnd || end == 0 || fileName[end - 1] != separator) return false;
    --end;
  }
  return end > 0;
}

}  // namespace tarncore
