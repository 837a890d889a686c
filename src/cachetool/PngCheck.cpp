#include "cachetool/PngCheck.h"

#include <zlib.h>

#include <cstdint>

namespace cachetool {
namespace {

constexpr std::string_view kSignature("\x89PNG\r\n\x1A\n", 8);

std::uint32_t BigEndian32(std::string_view bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i)
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

}  // namespace

bool IsWholePng(std::string_view bytes) {
  if (bytes.substr(0, kSignature.size()) != kSignature) return false;
  std::size_t at = kSignature.size();
  bool first = true;
  for (;;) {
    // Length, type, data, CRC of type and data.
    if (bytes.size() - at < 12) return false;
    const std::uint32_t length = BigEndian32(bytes, at);
    if (length > 0x7FFFFFFFu || bytes.size() - at - 12 < length) return false;
    const std::string_view type = bytes.substr(at + 4, 4);
    if (first && type != "IHDR") return false;
    first = false;
    const auto* typeAndData = reinterpret_cast<const Bytef*>(bytes.data() + at + 4);
    const uLong crc = crc32(crc32(0, Z_NULL, 0), typeAndData, static_cast<uInt>(length + 4));
    if (crc != BigEndian32(bytes, at + 8 + length)) return false;
    at += 12 + length;
    if (type == "IEND") return true;
  }
}

}  // namespace cachetool
