// Helpers for tests: printable forms of UTF-16 texts.
#pragma once

#include <cstdio>
#include <string>

// The text as ASCII, with every other unit as \uXXXX, for failure messages.
inline std::string Show(const std::u16string& s) {
  std::string out = "\"";
  for (char16_t c : s) {
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
      out += buf;
    }
  }
  return out + "\"";
}
