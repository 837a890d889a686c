// The tokens that the validation grammar (JsonOptionsUnit) and the reading grammar (JsonReader)
// share: whitespace, hexadecimal digits, numbers and strings.
#pragma once

#include <cstddef>
#include <string>
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

// How "\u" takes its four characters: the validation counts a character that is not a
// hexadecimal digit as 0, the reading refuses it.
enum class HexEscapes { NonHexAsZero, Strict };

// Reads the string whose opening quote stands at `pos` and appends its decoded characters to `out`;
// `pos` ends after the closing quote. False when the string is not closed before the end of the
// text, when "\u" has fewer than four characters left (or, strictly, a non-hex one among them), and
// for any other character after a backslash. Characters below U+0020 are taken as they are.
inline bool ScanString(std::u16string_view s, std::size_t& pos, std::u16string& out,
                       HexEscapes hex) {
  ++pos;
  for (;;) {
    std::size_t run = pos;
    while (run < s.size() && s[run] != u'"' && s[run] != u'\\') ++run;
    out.append(s.substr(pos, run - pos));
    pos = run;
    if (pos >= s.size()) return false;  // not closed before the end of the text
    if (s[pos++] == u'"') return true;
    if (pos >= s.size()) return false;
    const char16_t e = s[pos++];
    switch (e) {
      case u'"':
      case u'\\':
      case u'/':
        out += e;
        break;
      case u'b':
        out += u'\b';
        break;
      case u'f':
        out += u'\f';
        break;
      case u'n':
        out += u'\n';
        break;
      case u'r':
        out += u'\r';
        break;
      case u't':
        out += u'\t';
        break;
      case u'u': {
        if (s.size() - pos < 4) return false;
        unsigned unit = 0;
        for (int k = 0; k < 4; ++k) {
          const int digit = HexValue(s[pos++]);
          if (digit < 0 && hex == HexEscapes::Strict) return false;
          unit = unit * 16 + static_cast<unsigned>(digit < 0 ? 0 : digit);
        }
        out += static_cast<char16_t>(unit);
        break;
      }
      default:
        return false;
    }
  }
}

}  // namespace preview::jsontokens
