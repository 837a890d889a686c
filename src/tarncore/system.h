// What the core library asks of the operating system, one implementation file per OS
// (system_posix.cpp, system_win32.cpp). Paths are the library's UTF-16 texts; the POSIX side
// converts them to UTF-8 only at the call.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "tarncore/tarncore.h"

namespace tarncore::sys {

using Text = std::basic_string<Char>;

// The value of an environment variable (an ASCII name); nullopt when it is not set, an empty text
// when it is set to nothing.
std::optional<Text> Environment(const char* name);

// The user's local application data folder, without a trailing separator. Throws
// std::runtime_error when the OS names none.
Text LocalDataFolder();

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Opens a file for reading in binary mode; null when it cannot be opened.
File OpenForReading(const Char* path);

// Writes `size` bytes into a new temporary file beside `target` and renames it onto `target`,
// replacing a file there. False when any step fails; no temporary file remains either way.
bool ReplaceFile(const Char* target, const void* data, std::size_t size);

// Removes the file at `path` if there is one; failures are ignored.
void RemoveFile(const Char* path);

}  // namespace tarncore::sys
