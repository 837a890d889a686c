// The tokens that the validation grammar (JsonOptionsUnit) and the reading grammar (JsonReader)
// share: whitespace, hexadecimal digits and numbers. Strings differ between the two grammars and
// are read by each parser itself.
#pragma once

#include <cstddef>
#include <string_view>

namespace preview::jsontokens {

// Space, tab, LF and CR; nothing else counts as whitespace in either grammar.
constexpr bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }

constexpr bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// The value of a hexadecimal digit (either case), or -1.
constexpr int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

constexpr std::size_t kNoNumber = static_cast<std::size_t>(-1);

// Scans a number that begins at `pos`: "-"?, then "0" or 1-9 followed by digits, then optionally
// "." and digits, then optionally e/E, a sign and digits. Returns the position after it, or
// kNoNumber. A "0" followed by a digit ends the number after the "0"; what follows is the caller's
// business (and makes both grammars fail there).
constexpr std::size_t ScanNumber(std::u16string_view s, std::size_t pos) {
  const std::size_t n = s.size();
  std::size_t i = pos;
  if (i < n && s[i] == u'-') ++i;
  if (i >= n || !IsDigit(s[i])) return kNoNumber;
  if (s[i] == u'0') {
    ++i;
  } else {
    while (i < n && IsDigit(s[i])) ++i;
  }
  if (i < n && s[i] == u'.') {
    ++i;
    if (i >= n || !IsDigit(s[i])) return kNoNumber;
    while (i < n && IsDigit(s[i])) ++i;
  }
  if (i < n && (s[i] == u'e' || s[i] == u'E')) {
    ++i;
    if (i < n && (s[i] == u'+' || s[i] == u'-')) ++i;
    if (i >= n || !IsDigit(s[i])) return kNoNumber;
    while (i < n && IsDigit(s[i])) ++i;
  }
  return i;
}

// True when the literal `word` stands at `pos`.
constexpr bool LiteralAt(std::u16string_view s, std::size_t pos, std::u16string_view word) {
  return s.substr(pos, word.size()) == word;
}

}  // namespace preview::jsontokens
