#include "platform/text_encoding.h"

#include <algorithm>

namespace textencoding {
namespace {

bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

void AppendUtf16(std::u16string& out, char32_t code) {
  if (code < 0x10000) {
    out += static_cast<char16_t>(code);
  } else {
    code -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (code >> 10));
    out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
  }
}

// Length of the well-formed UTF-8 sequence at the start of `bytes` and its code point, or 0 when
// the bytes there are not well-formed. The second byte's range rules out overlong forms (E0, F0),
// surrogates (ED) and code points above U+10FFFF (F4).
std::size_t DecodeOne(std::string_view bytes, char32_t& code) {
  const auto b0 = static_cast<unsigned char>(bytes[0]);
  if (b0 < 0x80) {
    code = b0;
    return 1;
  }
  std::size_t length = 0;
  unsigned char low = 0x80;  // allowed range of the second byte
  unsigned char high = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    code = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    code = b0 & 0x0F;
    if (b0 == 0xE0) low = 0xA0;
    if (b0 == 0xED) high = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    code = b0 & 0x07;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (bytes.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b < (i == 1 ? low : 0x80) || b > (i == 1 ? high : 0xBF)) return 0;
    code = (code << 6) | (b & 0x3F);
  }
  return length;
}

}  // namespace

std::string EncodeUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char32_t unit = text[i];
    if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      const char32_t low = text[++i];
      AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
    } else if (unit >= 0xDC80 && unit <= 0xDCFF) {
      // A lone escape surrogate stands for the byte that could not be decoded.
      out += static_cast<char>(unit - 0xDC00);
    } else {
      AppendUtf8(out, unit);  // other lone surrogates in their three-byte form
    }
  }
  return out;
}

std::u16string DecodeUtf8Lossless(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    // A run of ASCII bytes, most of any path or name, goes over byte for unit in one step.
    const auto ascii = static_cast<std::size_t>(
        std::find_if(bytes.begin(), bytes.end(),
                     [](char c) { return static_cast<unsigned char>(c) >= 0x80; }) -
        bytes.begin());
    const std::size_t at = out.size();
    out.resize(at + ascii);
    std::copy_n(bytes.data(), ascii, out.data() + at);
    bytes.remove_prefix(ascii);
    if (bytes.empty()) break;
    char32_t code = 0;
    const std::size_t used = DecodeOne(bytes, code);
    if (used == 0) {
      out += static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(bytes[0]));  // >= 0x80
      bytes.remove_prefix(1);
    } else {
      AppendUtf16(out, code);
      bytes.remove_prefix(used);
    }
  }
  return out;
}

std::optional<std::u16string> DecodeUtf8Strict(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    char32_t code = 0;
    const std::size_t used = DecodeOne(bytes, code);
    if (used == 0) return std::nullopt;
    AppendUtf16(out, code);
    bytes.remove_prefix(used);
  }
  return out;
}

std::u16string DecodeUtf16(std::string_view bytes, bool bigEndian) {
  std::u16string text(bytes.size() / 2, u'\0');
  for (std::size_t k = 0; k < text.size(); ++k) {
    const auto first = static_cast<unsigned char>(bytes[2 * k]);
    const auto second = static_cast<unsigned char>(bytes[2 * k + 1]);
    text[k] = static_cast<char16_t>(bigEndian ? (first << 8) | second : (second << 8) | first);
  }
  return text;
}

ByteOrderMark DetectMark(std::string_view bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF")) return ByteOrderMark::Utf8;
  if (bytes.starts_with("\xFF\xFE")) return ByteOrderMark::Utf16LittleEndian;
  if (bytes.starts_with("\xFE\xFF")) return ByteOrderMark::Utf16BigEndian;
  return ByteOrderMark::None;
}

std::size_t MarkLength(ByteOrderMark mark) {
  switch (mark) {
    case ByteOrderMark::Utf8:
      return 3;
    case ByteOrderMark::Utf16LittleEndian:
    case ByteOrderMark::Utf16BigEndian:
      return 2;
    case ByteOrderMark::None:
      break;
  }
  return 0;
}

}  // namespace textencoding
