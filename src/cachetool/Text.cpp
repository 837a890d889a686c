#include "cachetool/Text.h"

#include "platform/native_text.h"
#include "preview/JsonReader.h"

namespace cachetool {

std::string Utf8(std::u16string_view text) { return platform::ToNative(text); }

namespace {

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::string JsonString(std::u16string_view text) {
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  std::u16string quoted;
  preview::AppendQuoted(text, quoted);
  // A surrogate that is not half of a pair has no UTF-8 form: on POSIX it stands for a byte that
  // was not UTF-8 (U+DC80..U+DCFF, which Utf8 would write as that very byte), on Windows for
  // itself. It is written as a \u escape of the unit, so the output stays UTF-8 and still tells
  // which byte or unit it was.
  std::u16string escaped;
  for (std::size_t i = 0; i < quoted.size(); ++i) {
    const char16_t c = quoted[i];
    if (IsHighSurrogate(c) && i + 1 < quoted.size() && IsLowSurrogate(quoted[i + 1])) {
      escaped += c;
      escaped += quoted[++i];
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      escaped += u"\\u";
      for (int shift = 12; shift >= 0; shift -= 4) escaped += kHex[(c >> shift) & 0xF];
    } else {
      escaped += c;
    }
  }
  return Utf8(escaped);
}

std::string HtmlText(std::u16string_view text) {
  std::string out;
  for (const char c : Utf8(text)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = static_cast<unsigned char>(bytes[i]) << 16 |
                            static_cast<unsigned char>(bytes[i + 1]) << 8 |
                            static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kDigits[(v >> shift) & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out.push_back(kDigits[(v >> 18) & 63]);
    out.push_back(kDigits[(v >> 12) & 63]);
    out.push_back(rest == 2 ? kDigits[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

std::string Counted(std::uint64_t count, std::string_view noun) {
  return std::to_string(count) + " " + std::string(noun) + (count == 1 ? "" : "s");
}

std::string PadRight(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string PadLeft(std::string text, std::size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), ' ');
  return text;
}

}  // namespace cachetool
