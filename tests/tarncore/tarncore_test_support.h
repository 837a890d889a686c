// Helpers for the core library's tests: texts in the library's character type, environment
// variables set for one scope, and file contents; the shared temporary folder and printable texts.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/show.h"
#include "support/temp_folder.h"
#include "tarncore/tarncore.h"

namespace tarncore_test {

using Text = std::basic_string<tarncore::Char>;

// A UTF-16 text in the library's character type (wchar_t on Windows, char16_t on POSIX).
inline Text T(std::u16string_view text) { return Text(text.begin(), text.end()); }
inline Text PathText(const std::filesystem::path& path) { return path.string<tarncore::Char>(); }

using testsupport::Show;

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

using testsupport::TempFolder;

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

}  // namespace tarncore_test
