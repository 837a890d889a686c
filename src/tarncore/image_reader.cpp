// Image decoding: BMP with the library's own reader, PNG, JPEG and GIF with stb_image behind a
// check of their header, nothing else.
#include "tarncore/image_reader.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "tarncore/bmp_reader.h"

namespace tarncore {
namespace {

// The largest single allocation stb_image may make during the current call on this thread. It
// grows buffers with realloc only for PNG's compressed and inflated data, which have a limit of
// their own.
struct StbLimits {
  std::size_t malloc = 0;
  std::size_t realloc = 0;
};
thread_local StbLimits stbLimits;
constexpr std::size_t kHeaderAllocationLimit = 1 << 20;

void* LimitedMalloc(std::size_t size) {
  return size > stbLimits.malloc ? nullptr : std::malloc(size);
}
void* LimitedRealloc(void* memory, std::size_t size) {
  return size > stbLimits.realloc ? nullptr : std::realloc(memory, size);
}

}  // namespace
}  // namespace tarncore

// stb_image for PNG, JPEG and GIF only; its allocations go through the limit above (and its
// pixels still come from malloc, as Image's deleter expects).
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_ONLY_GIF
#define STBI_NO_FAILURE_STRINGS
#define STBI_MALLOC(size) tarncore::LimitedMalloc(size)
#define STBI_REALLOC(memory, size) tarncore::LimitedRealloc(memory, size)
#define STBI_FREE(memory) std::free(memory)
#include <stb_image.h>

namespace tarncore {
namespace {

enum class Format { kUnknown, kBmp, kPng, kJpeg, kGif };

Format Sniff(const std::uint8_t* b, std::size_t size) {
  static constexpr std::uint8_t kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (size >= 2 && b[0] == 'B' && b[1] == 'M') return Format::kBmp;
  if (size >= 8 && std::memcmp(b, kPng, 8) == 0) return Format::kPng;
  if (size >= 3 && b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF) return Format::kJpeg;
  if (size >= 6 && (std::memcmp(b, "GIF87a", 6) == 0 || std::memcmp(b, "GIF89a", 6) == 0)) {
    return Format::kGif;
  }
  return Format::kUnknown;
}

std::uint32_t Be32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// The bytes of the PNG's image data (its IDAT chunks together), when every chunk up to IEND lies
// within the file: a cut PNG is refused here, and no chunk length can make the decoder take
// memory for data that is not there. The position is left where it was.
std::optional<std::uint64_t> PngImageDataBytes(std::FILE* file) {
  const long start = std::ftell(file);
  if (start < 0 || std::fseek(file, 0, SEEK_END) != 0) return std::nullopt;
  const long end = std::ftell(file);
  bool whole = false;
  std::uint64_t imageData = 0;
  long at = start + 8;  // after the signature
  while (end >= 0 && end - at >= 12 && std::fseek(file, at, SEEK_SET) == 0) {
    std::array<std::uint8_t, 8> chunk{};  // length, type
    if (std::fread(chunk.data(), 1, chunk.size(), file) != chunk.size()) break;
    const std::uint32_t length = Be32(chunk.data());
    if (length > static_cast<std::uint64_t>(end - at - 12)) break;
    if (std::memcmp(&chunk[4], "IEND", 4) == 0) {
      whole = true;
      break;
    }
    if (std::memcmp(&chunk[4], "IDAT", 4) == 0) imageData += length;
    at += 12 + static_cast<long>(length);
  }
  if (std::fseek(file, start, SEEK_SET) != 0 || !whole) return std::nullopt;
  return imageData;
}

std::optional<Image> ReadWithStb(std::FILE* file, Format format) {
  std::uint64_t imageData = 0;
  if (format == Format::kPng) {
    const std::optional<std::uint64_t> bytes = PngImageDataBytes(file);
    if (!bytes) return std::nullopt;
    imageData = *bytes;
  }
  int width = 0, height = 0, channels = 0;
  // Reading the header takes only the decoder's own state (tens of kilobytes).
  stbLimits = {kHeaderAllocationLimit, kHeaderAllocationLimit};
  const bool known = stbi_info_from_file(file, &width, &height, &channels) != 0;
  const std::uint64_t sampleBytes = stbi_is_16_bit_from_file(file) != 0 ? 2 : 1;
  stbLimits = {};
  if (!known || width <= 0 || height <= 0 || channels < 1 || channels > 4) return std::nullopt;
  const std::uint64_t w = static_cast<std::uint64_t>(width), h = static_cast<std::uint64_t>(height);
  if (w * h > kPixelCap) return std::nullopt;
  // Rows padded to whole blocks, filter bytes, interlacing passes: a little per row and column.
  const std::uint64_t slack = 64 * (w + h) + (1 << 20);
  // A buffer of whole pixels: at most four channels (a palette expanded, GIF's RGBA canvas).
  const std::uint64_t pixelBuffer = w * h * 4 * sampleBytes + slack;
  // PNG's inflated rows, as the header declares them, or its compressed data, which stb_image
  // grows by doubling: data that inflates beyond the rows fails here.
  const std::uint64_t rows = w * h * static_cast<std::uint64_t>(channels) * sampleBytes + h;
  const std::uint64_t growing = std::max(rows, 2 * imageData) + slack;
  stbLimits = {static_cast<std::size_t>(pixelBuffer), static_cast<std::size_t>(growing)};
  Image image;
  image.pixels.reset(stbi_load_from_file(file, &image.width, &image.height, &image.channels, 0));
  stbLimits = {};
  if (!image.pixels || image.width != width || image.height != height || image.channels < 1 ||
      image.channels > 4) {
    return std::nullopt;
  }
  return image;
}

}  // namespace

std::optional<Image> ReadImage(std::FILE* file) {
  const long start = std::ftell(file);
  std::array<std::uint8_t, 8> signature{};
  const std::size_t got = std::fread(signature.data(), 1, signature.size(), file);
  if (start < 0 || std::fseek(file, start, SEEK_SET) != 0) return std::nullopt;
  const Format format = Sniff(signature.data(), got);
  if (format == Format::kUnknown) return std::nullopt;
  if (format == Format::kBmp) return ReadBmp(file, kPixelCap);
  return ReadWithStb(file, format);
}

}  // namespace tarncore
