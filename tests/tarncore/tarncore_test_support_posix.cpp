// POSIX side of the test helpers: the C library's environment, in UTF-8.
#include <cstdlib>

#include "tarncore_test_support.h"

namespace tarncore_test {
namespace {

// The test texts are ASCII or plain BMP letters; UTF-8 without surrogate handling suffices.
std::string Utf8(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

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
  Set(name_, value ? std::optional<std::string>(Utf8(*value)) : std::nullopt);
}

ScopedEnvironment::~ScopedEnvironment() { Set(name_, previous_); }

}  // namespace tarncore_test
