// Helpers for the core library's tests: texts in the library's character type, environment
// variables set for one scope, a fresh folder per test, and file contents.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarncore/tarncore.h"

namespace tarncore_test {

using Text = std::basic_string<tarncore::Char>;

// A UTF-16 text in the library's character type (wchar_t on Windows, char16_t on POSIX).
inline Text T(std::u16string_view text) { return Text(text.begin(), text.end()); }
inline Text PathText(const std::filesystem::path& path) { return path.string<tarncore::Char>(); }

// The text as ASCII with every other unit as \uXXXX, for failure messages.
std::string Show(const tarncore::Char* text);
inline std::string Show(const Text& text) { return Show(text.c_str()); }

// Sets (or with nullopt removes) an environment variable of the process for the object's
// lifetime, in the environment the library reads; the earlier state comes back afterwards.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, std::optional<std::u16string> value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  // The earlier value in the OS's own form: UTF-8 bytes on POSIX, UTF-16 units on Windows.
  std::optional<std::string> previous_;
};

// A new empty folder for one test, removed with everything in it at the end.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // The names of the entries in the folder, sorted.
  std::vector<std::string> Entries() const;

 private:
  std::filesystem::path path_;
};

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

}  // namespace tarncore_test
