// Image decoding and PNG encoding with stb_image and stb_image_write; deflate is zlib's.
#include "tarncore/png_convert.h"

#include <zlib.h>

#include <climits>
#include <cstdint>

// stb_image: every format it reads except Softimage PIC, which no caller produces.
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_NO_PIC
#include <stb_image.h>

namespace {

// The PNG encoder's settings. Measured on a rendered 1920x1080 preview image (smooth shading,
// flat background, anti-aliased edges): see CompressForPng and kPngFilter.
constexpr int kDeflateLevel = 6;

// stb_image_write's deflate replaced by zlib's (stb's own is slower and compresses worse). The
// returned buffer is freed by stb_image_write with free().
unsigned char* CompressForPng(unsigned char* data, int size, int* compressedSize, int /*quality*/) {
  uLongf capacity = compressBound(static_cast<uLong>(size));
  auto* out = static_cast<unsigned char*>(std::malloc(capacity));
  if (out == nullptr) return nullptr;
  if (compress2(out, &capacity, data, static_cast<uLong>(size), kDeflateLevel) != Z_OK ||
      capacity > static_cast<uLongf>(INT_MAX)) {
    std::free(out);
    return nullptr;
  }
  *compressedSize = static_cast<int>(capacity);
  return out;
}

}  // namespace

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#define STBIW_ZLIB_COMPRESS CompressForPng
#define STBIW_CRC32(buffer, length) static_cast<unsigned int>(crc32(0, buffer, length))
#include <stb_image_write.h>

namespace tarncore {
namespace {

// The PNG row filter: -1 lets stb_image_write pick, per row, the filter with the smallest sum
// of absolute differences (libpng's adaptive heuristic).
constexpr int kPngFilter = -1;

// stb_image_write reads its settings from globals of this file (STB_IMAGE_WRITE_STATIC); they
// are set once, when the library loads, and never change afterwards.
const bool kSettingsApplied = [] {
  stbi_write_png_compression_level = kDeflateLevel;
  stbi_write_force_png_filter = kPngFilter;
  return true;
}();

struct ImageFree {
  void operator()(stbi_uc* pixels) const { stbi_image_free(pixels); }
};

// Leaves out what the pixels do not need: an alpha channel that is 255 everywhere, and the
// colour channels of an image whose pixels are all grey. Packs the pixels in place and returns
// the new channel count.
int ReduceChannels(stbi_uc* pixels, std::size_t count, int channels) {
  const bool hasAlpha = channels == 2 || channels == 4;
  const bool hasColour = channels >= 3;
  bool opaque = hasAlpha;
  bool grey = hasColour;
  for (std::size_t i = 0; i < count && (opaque || grey); ++i) {
    const stbi_uc* p = pixels + i * static_cast<std::size_t>(channels);
    if (opaque && p[channels - 1] != 255) opaque = false;
    if (grey && (p[0] != p[1] || p[0] != p[2])) grey = false;
  }
  const int colours = hasColour && !grey ? 3 : 1;
  const int reduced = colours + (hasAlpha && !opaque ? 1 : 0);
  if (reduced == channels) return channels;
  // Forward packing is safe: each pixel's new place never lies after its old place.
  for (std::size_t i = 0; i < count; ++i) {
    const stbi_uc* from = pixels + i * static_cast<std::size_t>(channels);
    stbi_uc* to = pixels + i * static_cast<std::size_t>(reduced);
    const stbi_uc alpha = from[channels - 1];
    for (int c = 0; c < colours; ++c) to[c] = from[c];
    if (reduced > colours) to[colours] = alpha;
  }
  return reduced;
}

}  // namespace

std::optional<PngBytes> EncodeAsPng(std::FILE* image) {
  (void)kSettingsApplied;
  int width = 0, height = 0, channels = 0;
  const std::unique_ptr<stbi_uc, ImageFree> pixels(
      stbi_load_from_file(image, &width, &height, &channels, 0));
  if (!pixels || width <= 0 || height <= 0 || channels < 1 || channels > 4) return std::nullopt;
  const auto count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  channels = ReduceChannels(pixels.get(), count, channels);
  // stb_image_write sizes its buffers with int: refuse what would not fit.
  if ((static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(channels) + 1) *
          static_cast<std::uint64_t>(height) >
      static_cast<std::uint64_t>(INT_MAX) / 2) {
    return std::nullopt;
  }
  int size = 0;
  PngBytes png;
  png.bytes.reset(stbi_write_png_to_mem(pixels.get(), 0, width, height, channels, &size));
  if (!png.bytes || size <= 0) return std::nullopt;
  png.size = static_cast<std::size_t>(size);
  return png;
}

}  // namespace tarncore
