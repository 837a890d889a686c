#include "storage/SQLite3Utils.h"

#include <cstddef>
#include <cstring>

namespace storage {

namespace {

bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendUTF8(std::string& out, char32_t code) {
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

void AppendUTF16(std::u16string& out, char32_t code) {
  if (code < 0x10000) {
    out += static_cast<char16_t>(code);
  } else {
    code -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (code >> 10));
    out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
  }
}

// Length of the well-formed UTF-8 sequence at p (of at most `left` bytes) and its code point, or 0
// when the bytes there are not well-formed (Unicode's table of well-formed byte sequences: no
// overlong forms, no surrogates, nothing above U+10FFFF).
std::size_t DecodeOne(const unsigned char* p, std::size_t left, char32_t& code) {
  const unsigned char b0 = p[0];
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
    if (b0 == 0xE0) low = 0xA0;   // overlong
    if (b0 == 0xED) high = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    code = b0 & 0x07;
    if (b0 == 0xF0) low = 0x90;   // overlong
    if (b0 == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (left < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char b = p[i];
    const unsigned char lo = i == 1 ? low : 0x80;
    const unsigned char hi = i == 1 ? high : 0xBF;
    if (b < lo || b > hi) return 0;
    code = (code << 6) | (b & 0x3F);
  }
  return length;
}

}  // namespace

std::string EncodeUTF8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char32_t unit = text[i];
    if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      const char32_t low = text[++i];
      AppendUTF8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
    } else if (unit >= 0xDC80 && unit <= 0xDCFF) {
      // A lone escape surrogate stands for the byte that could not be decoded.
      out += static_cast<char>(unit - 0xDC00);
    } else {
      AppendUTF8(out, unit);  // other lone surrogates in their three-byte form
    }
  }
  return out;
}

std::u16string DecodeUTF8(const void* bytes, int length) {
  std::u16string out;
  if (length == 0 || bytes == nullptr) return out;
  const auto* p = static_cast<const unsigned char*>(bytes);
  const std::size_t size =
      length < 0 ? std::strlen(static_cast<const char*>(bytes)) : static_cast<std::size_t>(length);
  out.reserve(size);
  std::size_t i = 0;
  while (i < size) {
    char32_t code = 0;
    const std::size_t used = DecodeOne(p + i, size - i, code);
    if (used == 0) {
      out += static_cast<char16_t>(0xDC00 + p[i]);  // only bytes >= 0x80 can fail
      ++i;
    } else {
      AppendUTF16(out, code);
      i += used;
    }
  }
  return out;
}

}  // namespace storage
