// POSIX side of the test helpers: the C library's environment, in UTF-8.
#include <cstdlib>

#include "platform/text_encoding.h"
#include "tarncore_test_support.h"

namespace tarncore_test {
namespace {

void Set(const std::string& name, const std::optional<std::string>& value) {
  if (value) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
}

}  // namespace

ScopedEnvironment::ScopedEnvironment(const char* name, std::optional<std::u16string> value)
    : name_(name) {
  if (const char* old = std::getenv(name)) previous_ = std::string(old);
  Set(name_, value ? std::optional<std::string>(textencoding::EncodeUtf8(*value)) : std::nullopt);
}

ScopedEnvironment::~ScopedEnvironment() { Set(name_, previous_); }

}  // namespace tarncore_test
