// Image decoding: uncompressed 24-bit BMPs here, a row per read; everything else with stb_image.
#include "tarncore/image_reader.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

// stb_image: every format it reads except Softimage PIC, which no caller produces.
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_NO_PIC
#include <stb_image.h>

namespace tarncore {
namespace {

std::uint32_t Le32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

// The exported previews are uncompressed 24-bit BMPs. Those are read here, a row per read, which
// takes a sixth of the time of the general decoder; the pixels are the same as stb_image gives
// (RGB, top row first, in memory that stbi_image_free releases). Anything else, and anything this
// reader does not find whole, goes to stb_image.
PixelBuffer ReadPlainBmp24(std::FILE* image, int& width, int& height) {
  unsigned char header[54];
  if (std::fread(header, 1, sizeof header, image) != sizeof header) return nullptr;
  if (header[0] != 'B' || header[1] != 'M') return nullptr;
  const std::uint32_t offset = Le32(header + 10);
  const std::uint32_t infoSize = Le32(header + 14);
  const auto w = static_cast<std::int32_t>(Le32(header + 18));
  const auto h = static_cast<std::int32_t>(Le32(header + 22));
  const unsigned planes = header[26] | header[27] << 8;
  const unsigned bits = header[28] | header[29] << 8;
  const std::uint32_t compression = Le32(header + 30);
  // Only the plain 40-byte header: later header versions may carry colour masks or profiles.
  if (infoSize != 40 || planes != 1 || bits != 24 || compression != 0) return nullptr;
  if (w <= 0 || h == 0 || h == INT32_MIN || w > (1 << 24) || std::abs(h) > (1 << 24))
    return nullptr;
  const bool bottomUp = h > 0;
  const std::size_t cols = static_cast<std::size_t>(w);
  const std::size_t rows = static_cast<std::size_t>(bottomUp ? h : -h);
  if (cols * rows > (std::size_t{1} << 28) || offset < sizeof header) return nullptr;
  if (std::fseek(image, static_cast<long>(offset), SEEK_SET) != 0) return nullptr;

  const std::size_t stride = (cols * 3 + 3) & ~std::size_t{3};
  PixelBuffer pixels(static_cast<std::uint8_t*>(std::malloc(cols * rows * 3)));
  std::vector<unsigned char> row(stride);
  if (!pixels) return nullptr;
  for (std::size_t y = 0; y < rows; ++y) {
    if (std::fread(row.data(), 1, stride, image) != stride) return nullptr;
    std::uint8_t* to = pixels.get() + (bottomUp ? rows - 1 - y : y) * cols * 3;
    for (std::size_t x = 0; x < cols; ++x) {
      to[3 * x] = row[3 * x + 2];
      to[3 * x + 1] = row[3 * x + 1];
      to[3 * x + 2] = row[3 * x];
    }
  }
  width = w;
  height = static_cast<int>(rows);
  return pixels;
}

}  // namespace

std::optional<Image> ReadImage(std::FILE* file) {
  Image image;
  image.channels = 3;
  image.pixels = ReadPlainBmp24(file, image.width, image.height);
  if (!image.pixels) {
    std::rewind(file);
    image.pixels.reset(stbi_load_from_file(file, &image.width, &image.height, &image.channels, 0));
  }
  if (!image.pixels || image.width <= 0 || image.height <= 0 || image.channels < 1 ||
      image.channels > 4) {
    return std::nullopt;
  }
  return image;
}

}  // namespace tarncore
