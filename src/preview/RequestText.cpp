#include "preview/RequestText.h"

#include "platform/platform.h"

namespace preview {
namespace {

bool StartsWith(std::string_view bytes, std::string_view mark) {
  return bytes.substr(0, mark.size()) == mark;
}

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no cut-off sequences.
std::u16string DecodeUtf8(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size());
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    if (b0 < 0x80) {
      text += static_cast<char16_t>(b0);
      ++i;
      continue;
    }
    // The length of the sequence, and the range its second byte must fall in.
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      length = 3;
      if (b0 == 0xE0) low = 0xA0;   // overlong below U+0800
      if (b0 == 0xED) high = 0x9F;  // U+D800..U+DFFF
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      length = 4;
      if (b0 == 0xF0) low = 0x90;   // overlong below U+10000
      if (b0 == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      throw ERequestReadError("The request file is not valid UTF-8");
    }
    if (n - i < length) throw ERequestReadError("The request file is not valid UTF-8");
    const auto b1 = static_cast<unsigned char>(bytes[i + 1]);
    if (b1 < low || b1 > high) throw ERequestReadError("The request file is not valid UTF-8");
    char32_t cp = b0 & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
      const auto b = static_cast<unsigned char>(bytes[i + k]);
      if (!IsContinuation(b)) throw ERequestReadError("The request file is not valid UTF-8");
      cp = (cp << 6) | (b & 0x3F);
    }
    i += length;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      text += static_cast<char16_t>(0xD800 + (cp >> 10));
      text += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      text += static_cast<char16_t>(cp);
    }
  }
  return text;
}

// Two bytes per code unit; an odd last byte is left out. Unpaired surrogates stay as they are.
std::u16string DecodeUtf16(std::string_view bytes, bool bigEndian) {
  if (bytes.size() == 1) throw ERequestReadError("The request file ends inside a UTF-16 unit");
  std::u16string text(bytes.size() / 2, u'\0');
  for (std::size_t k = 0; k < text.size(); ++k) {
    const auto first = static_cast<unsigned char>(bytes[2 * k]);
    const auto second = static_cast<unsigned char>(bytes[2 * k + 1]);
    text[k] = static_cast<char16_t>(bigEndian ? (first << 8) | second : (second << 8) | first);
  }
  return text;
}

}  // namespace

std::u16string DecodeTextBytes(std::string_view bytes) {
  if (StartsWith(bytes, "\xEF\xBB\xBF")) return DecodeUtf8(bytes.substr(3));
  if (StartsWith(bytes, "\xFF\xFE")) return DecodeUtf16(bytes.substr(2), false);
  if (StartsWith(bytes, "\xFE\xFF")) return DecodeUtf16(bytes.substr(2), true);
  return platform::DecodeAnsi(bytes);
}

std::u16string JoinLinesCrLf(std::u16string_view text) {
  text = text.substr(0, text.find(u'\0'));
  std::u16string joined;
  joined.reserve(text.size() + 2);
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const std::size_t start = i;
    while (i < n && text[i] != u'\r' && text[i] != u'\n') ++i;
    joined.append(text.substr(start, i - start));
    joined += u"\r\n";
    if (i < n && text[i] == u'\r') ++i;
    if (i < n && text[i] == u'\n') ++i;
  }
  return joined;
}

std::u16string LoadTextFile(const std::u16string& path) {
  std::string bytes;
  if (!platform::ReadWholeFile(path, bytes)) {
    throw ERequestReadError("The request file cannot be opened for reading");
  }
  return JoinLinesCrLf(DecodeTextBytes(bytes));
}

}  // namespace preview
