#include "storage/SQLite3Utils.h"

#include <cstring>

#include "platform/text_encoding.h"

namespace storage {

std::string EncodeUTF8(std::u16string_view text) { return textencoding::EncodeUtf8(text); }

std::u16string DecodeUTF8(const void* bytes, int length) {
  if (length == 0 || bytes == nullptr) return std::u16string();
  const auto* text = static_cast<const char*>(bytes);
  const std::size_t size = length < 0 ? std::strlen(text) : static_cast<std::size_t>(length);
  return textencoding::DecodeUtf8Lossless(std::string_view(text, size));
}

}  // namespace storage
