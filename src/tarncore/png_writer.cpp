// PNG encoding, streaming the rows through zlib's deflate.
//
// The encoder holds nothing but the decoded pixels, zlib's state and the compressed output: no
// filtered copy of the image (stb_image_write keeps one, which doubles the peak memory of a
// conversion). Rows go out unfiltered; see kColourLevel for why.
#include "tarncore/png_writer.h"

#include <zlib.h>

#include <array>
#include <memory>
#include <optional>

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

// Leaves out what the pixels do not need: an alpha channel that is 255 everywhere, and the
// colour channels of an image whose pixels are all grey. Packs the pixels in place and returns
// the new channel count.
int ReduceChannels(std::uint8_t* pixels, std::size_t count, int channels) {
  const bool hasAlpha = channels == 2 || channels == 4;
  const bool hasColour = channels >= 3;
  bool opaque = hasAlpha;
  bool grey = hasColour;
  for (std::size_t i = 0; i < count && (opaque || grey); ++i) {
    const std::uint8_t* p = pixels + i * static_cast<std::size_t>(channels);
    if (opaque && p[channels - 1] != 255) opaque = false;
    if (grey && (p[0] != p[1] || p[0] != p[2])) grey = false;
  }
  const int colours = hasColour && !grey ? 3 : 1;
  const int reduced = colours + (hasAlpha && !opaque ? 1 : 0);
  if (reduced == channels) return channels;
  // Forward packing is safe: each pixel's new place never lies after its old place.
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* from = pixels + i * static_cast<std::size_t>(channels);
    std::uint8_t* to = pixels + i * static_cast<std::size_t>(reduced);
    const std::uint8_t alpha = from[channels - 1];
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

std::uint32_t PackedRgba(const std::uint8_t* p, int channels) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{channels == 4 ? p[3] : std::uint8_t{255}} << 24;
}

// The palette of an RGB or RGBA image of at most 256 colours; nullopt for more colours.
std::optional<Palette> CollectPalette(const std::uint8_t* pixels, std::size_t count, int channels) {
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
void IndexInPlace(std::uint8_t* pixels, std::size_t count, int channels, const Palette& palette) {
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
bool AppendImageData(std::vector<std::uint8_t>& png, const std::uint8_t* rows, std::size_t rowBytes,
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

std::vector<std::uint8_t> WritePng(const std::uint8_t* samples, int width, int height,
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

}  // namespace

std::vector<std::uint8_t> EncodePng(Image& image) {
  const int width = image.width, height = image.height;
  std::uint8_t* pixels = image.pixels.get();
  const auto count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  const int channels = ReduceChannels(pixels, count, image.channels);
  image.channels = channels;

  if (std::optional<Palette> palette = CollectPalette(pixels, count, channels)) {
    palette->TranslucentFirst();
    IndexInPlace(pixels, count, channels, *palette);
    image.channels = 1;
    return WritePng(pixels, width, height, kIndexed, 1, &*palette, kIndexedLevel);
  }
  static constexpr std::uint8_t kColourTypes[] = {0, kGrey, kGreyAlpha, kRgb, kRgba};
  return WritePng(pixels, width, height, kColourTypes[channels], channels, nullptr, kColourLevel);
}

}  // namespace tarncore
