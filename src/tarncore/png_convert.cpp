// Image decoding with stb_image; PNG encoding here, streaming the rows through zlib's deflate.
//
// The encoder holds nothing but the decoded pixels, zlib's state and the compressed output: no
// filtered copy of the image (stb_image_write keeps one, which doubles the peak memory of a
// conversion). Rows go out unfiltered; see kColourLevel for why.
#include "tarncore/png_convert.h"

#include <zlib.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>

// stb_image: every format it reads except Softimage PIC, which no caller produces.
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_NO_PIC
#include <stb_image.h>

namespace tarncore {
namespace {

// zlib levels, chosen by measurement on rendered 1920x1080 preview images (smooth shading,
// gradient backgrounds, anti-aliased edges) against ImageMagick's convert with its defaults
// (adaptive row filters, level 7):
// - Unfiltered rows compress best on such images: quantised shading leaves runs of identical
//   pixels, which deflate's matches take whole, while the "sub", "up" and Paeth filters turn them
//   into less regular bytes (with a vertical gradient 3% larger than unfiltered, with a radial
//   one 25% to 70% larger; the per-row choice of the adaptive heuristic did worse still there and
//   tripled the encoding time). Only images with pixel noise gain from filters.
// - Level 7 is where the size stops falling quickly for the time spent (level 9: 3% to 4%
//   smaller, 40% slower).
// - Indexed images have a third of the bytes; level 9 costs little on them.
constexpr int kColourLevel = 7;
constexpr int kIndexedLevel = 9;

// PNG colour types.
constexpr std::uint8_t kGrey = 0, kRgb = 2, kIndexed = 3, kGreyAlpha = 4, kRgba = 6;

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

// The colours of an RGB or RGBA image when there are at most 256: a small open-addressing table
// from packed RGBA values to palette indexes.
class Palette {
 public:
  // False once a 257th colour turns up.
  bool Add(std::uint32_t rgba) {
    const std::size_t slot = Find(rgba);
    if (slots_[slot] >= 0) return true;
    if (colours_.size() == 256) return false;
    keys_[slot] = rgba;
    slots_[slot] = static_cast<std::int16_t>(colours_.size());
    colours_.push_back(rgba);
    return true;
  }
  std::uint8_t IndexOf(std::uint32_t rgba) const {
    return static_cast<std::uint8_t>(slots_[Find(rgba)]);
  }
  const std::vector<std::uint32_t>& colours() const { return colours_; }

  // Puts the translucent colours first, keeping the order within each group, so that the tRNS
  // chunk need only list those.
  void TranslucentFirst() {
    std::vector<std::uint32_t> ordered;
    for (const bool translucent : {true, false}) {
      for (const std::uint32_t rgba : colours_) {
        if (((rgba >> 24) < 255) == translucent) ordered.push_back(rgba);
      }
    }
    for (std::size_t i = 0; i < ordered.size(); ++i) {
      slots_[Find(ordered[i])] = static_cast<std::int16_t>(i);
    }
    colours_ = std::move(ordered);
  }

 private:
  static constexpr std::size_t kSlots = 1024;  // keeps 256 colours sparse
  std::size_t Find(std::uint32_t rgba) const {
    std::size_t slot = (rgba * 2654435761u) >> 22;
    while (slots_[slot] >= 0 && keys_[slot] != rgba) slot = (slot + 1) % kSlots;
    return slot;
  }
  std::array<std::uint32_t, kSlots> keys_{};
  std::array<std::int16_t, kSlots> slots_ = [] {
    std::array<std::int16_t, kSlots> empty;
    empty.fill(-1);
    return empty;
  }();
  std::vector<std::uint32_t> colours_;
};

std::uint32_t PackedRgba(const stbi_uc* p, int channels) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{channels == 4 ? p[3] : stbi_uc{255}} << 24;
}

// The palette of an RGB or RGBA image of at most 256 colours; nullopt for more colours.
std::optional<Palette> CollectPalette(const stbi_uc* pixels, std::size_t count, int channels) {
  if (channels < 3) return std::nullopt;  // grey images are as small as they get already
  Palette palette;
  std::uint32_t last = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t rgba =
        PackedRgba(pixels + i * static_cast<std::size_t>(channels), channels);
    if (i > 0 && rgba == last) continue;  // runs of one colour are the common case
    if (!palette.Add(rgba)) return std::nullopt;
    last = rgba;
  }
  return palette;
}

// Replaces the pixels by their palette indexes, one byte each, in place from the front.
void IndexInPlace(stbi_uc* pixels, std::size_t count, int channels, const Palette& palette) {
  std::uint32_t last = 0;
  std::uint8_t lastIndex = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t rgba =
        PackedRgba(pixels + i * static_cast<std::size_t>(channels), channels);
    if (i == 0 || rgba != last) lastIndex = palette.IndexOf(rgba), last = rgba;
    pixels[i] = lastIndex;
  }
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// Appends a chunk: length, type, data and the CRC of type and data.
void AppendChunk(std::vector<std::uint8_t>& png, const char* type, const std::uint8_t* data,
                 std::size_t size) {
  Put32(png, static_cast<std::uint32_t>(size));
  const std::size_t start = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data, data + size);
  Put32(png, static_cast<std::uint32_t>(
                 crc32(0, png.data() + start, static_cast<uInt>(png.size() - start))));
}

// The image data: every row, led by its filter byte (0, none), through one deflate stream, cut
// into IDAT chunks as the compressed bytes come.
bool AppendImageData(std::vector<std::uint8_t>& png, const stbi_uc* rows, std::size_t rowBytes,
                     int height, int level) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  const std::unique_ptr<z_stream, int (*)(z_stream*)> ending(&stream, &deflateEnd);
  std::vector<std::uint8_t> chunk(1 << 16);
  Bytef filterNone = 0;
  // Feeds `size` bytes (none for the end) and moves every full chunk of output into IDAT chunks.
  const auto feed = [&](const Bytef* data, std::size_t size, int flush) {
    stream.next_in = const_cast<Bytef*>(data);  // zlib's interface is not const-correct
    stream.avail_in = static_cast<uInt>(size);
    for (;;) {
      stream.next_out = chunk.data();
      stream.avail_out = static_cast<uInt>(chunk.size());
      const int result = deflate(&stream, flush);
      if (result == Z_STREAM_ERROR) return false;
      const std::size_t produced = chunk.size() - stream.avail_out;
      if (produced > 0) AppendChunk(png, "IDAT", chunk.data(), produced);
      if (flush == Z_FINISH ? result == Z_STREAM_END : stream.avail_out != 0) return true;
    }
  };
  for (int y = 0; y < height; ++y) {
    if (!feed(&filterNone, 1, Z_NO_FLUSH) ||
        !feed(rows + static_cast<std::size_t>(y) * rowBytes, rowBytes, Z_NO_FLUSH)) {
      return false;
    }
  }
  return feed(nullptr, 0, Z_FINISH);
}

std::vector<std::uint8_t> EncodePng(const stbi_uc* samples, int width, int height,
                                    std::uint8_t colourType, int channels, const Palette* palette,
                                    int level) {
  std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<std::uint8_t> header;
  Put32(header, static_cast<std::uint32_t>(width));
  Put32(header, static_cast<std::uint32_t>(height));
  // 8 bits per sample, colour type, deflate, adaptive filtering method, no interlace.
  header.insert(header.end(), {8, colourType, 0, 0, 0});
  AppendChunk(png, "IHDR", header.data(), header.size());
  if (palette != nullptr) {
    std::vector<std::uint8_t> colours, alphas;
    for (const std::uint32_t rgba : palette->colours()) {
      for (int shift = 0; shift < 24; shift += 8)
        colours.push_back(static_cast<std::uint8_t>(rgba >> shift));
      if ((rgba >> 24) < 255) alphas.push_back(static_cast<std::uint8_t>(rgba >> 24));
    }
    AppendChunk(png, "PLTE", colours.data(), colours.size());
    if (!alphas.empty()) AppendChunk(png, "tRNS", alphas.data(), alphas.size());
  }
  const std::size_t rowBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(channels);
  if (!AppendImageData(png, samples, rowBytes, height, level)) return {};
  AppendChunk(png, "IEND", nullptr, 0);
  return png;
}

std::uint32_t Le32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

// The exported previews are uncompressed 24-bit BMPs. Those are read here, a row per read, which
// takes a sixth of the time of the general decoder; the pixels are the same as stb_image gives
// (RGB, top row first, in memory that stbi_image_free releases). Anything else, and anything this
// reader does not find whole, goes to stb_image.
std::unique_ptr<stbi_uc, ImageFree> ReadPlainBmp24(std::FILE* image, int& width, int& height) {
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
  std::unique_ptr<stbi_uc, ImageFree> pixels(static_cast<stbi_uc*>(std::malloc(cols * rows * 3)));
  std::vector<unsigned char> row(stride);
  if (!pixels) return nullptr;
  for (std::size_t y = 0; y < rows; ++y) {
    if (std::fread(row.data(), 1, stride, image) != stride) return nullptr;
    stbi_uc* to = pixels.get() + (bottomUp ? rows - 1 - y : y) * cols * 3;
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

std::optional<std::vector<std::uint8_t>> EncodeAsPng(std::FILE* image) {
  int width = 0, height = 0, channels = 3;
  std::unique_ptr<stbi_uc, ImageFree> pixels = ReadPlainBmp24(image, width, height);
  if (!pixels) {
    std::rewind(image);
    pixels.reset(stbi_load_from_file(image, &width, &height, &channels, 0));
  }
  if (!pixels || width <= 0 || height <= 0 || channels < 1 || channels > 4) return std::nullopt;
  const auto count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  channels = ReduceChannels(pixels.get(), count, channels);

  std::vector<std::uint8_t> png;
  if (std::optional<Palette> palette = CollectPalette(pixels.get(), count, channels)) {
    palette->TranslucentFirst();
    IndexInPlace(pixels.get(), count, channels, *palette);
    png = EncodePng(pixels.get(), width, height, kIndexed, 1, &*palette, kIndexedLevel);
  } else {
    static constexpr std::uint8_t kColourTypes[] = {0, kGrey, kGreyAlpha, kRgb, kRgba};
    png = EncodePng(pixels.get(), width, height, kColourTypes[channels], channels, nullptr,
                    kColourLevel);
  }
  if (png.empty()) return std::nullopt;
  return png;
}

}  // namespace tarncore
