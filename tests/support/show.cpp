#include "support/show.h"

#include <cstdio>

namespace testsupport {

std::string Show(std::u16string_view text) {
  std::string shown = "\"";
  for (const char16_t c : text) {
    if (c == u'"' || c == u'\\') {
      shown += '\\';
      shown += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      shown += static_cast<char>(c);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
      shown += escape;
    }
  }
  return shown + "\"";
}

std::string OneLine(std::string text) {
  while (!text.empty() && std::string_view("\r\n. ").find(text.back()) != std::string_view::npos) {
    text.pop_back();
  }
  return text;
}

std::string Show(const char16_t* text) {
  return text == nullptr ? "(null)" : Show(std::u16string_view(text));
}

#ifdef _WIN32
std::string Show(std::wstring_view text) {
  return Show(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

std::string Show(const wchar_t* text) {
  return text == nullptr ? "(null)" : Show(std::wstring_view(text));
}
#endif

}  // namespace testsupport
