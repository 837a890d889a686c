// Windows side of the test helpers: the process environment of the W functions, which is the one
// the library reads (the C runtime's copy is not updated by SetEnvironmentVariableW).
#include <windows.h>
#include <cstring>

#include "tarncore_test_support.h"

namespace tarncore_test {
namespace {

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

}  // namespace

ScopedEnvironment::ScopedEnvironment(const char* name, std::optional<std::u16string> value)
    : name_(name) {
  const std::wstring wideName = Wide(name_);
  const DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  if (size > 0) {
    std::wstring old(size, L'\0');
    old.resize(GetEnvironmentVariableW(wideName.c_str(), old.data(), size));
    previous_ =
        std::string(reinterpret_cast<const char*>(old.data()), old.size() * sizeof(wchar_t));
  }
  const std::wstring wideValue =
      value ? std::wstring(value->begin(), value->end()) : std::wstring();
  SetEnvironmentVariableW(wideName.c_str(), value ? wideValue.c_str() : nullptr);
}

ScopedEnvironment::~ScopedEnvironment() {
  std::wstring old;
  if (previous_) {
    old.resize(previous_->size() / sizeof(wchar_t));
    std::memcpy(old.data(), previous_->data(), old.size() * sizeof(wchar_t));
  }
  SetEnvironmentVariableW(Wide(name_).c_str(), previous_ ? old.c_str() : nullptr);
}

}  // namespace tarncore_test
