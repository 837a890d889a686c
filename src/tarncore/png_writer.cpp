// PNG encoding: rows filtered in place, then the whole image compressed by libdeflate in one call.
//
// How the rows are filtered (PngFilter::kMeasured): the encoder compresses a sample of the image,
// eight bands of eight rows spread over its height (the whole image when it is no taller), with
// every row unfiltered and with every row "up", and keeps the smaller. Only when that sample still
// compresses to more than an eighth of its size does it try the per-row heuristic as a third form
// (per row, the filter whose output has the least sum of absolute values as signed bytes, as
// libpng and ImageMagick do). The form chosen applies to the whole image. Measured on 1920x1080
// 24-bit images made by bench/make_model_bmp.cpp (libdeflate level 7; PNG sizes in kB):
//
//   image                                        unfiltered    up   per-row heuristic   chosen
//   rendered assembly on a flat background          72.9      70.8        72.1            up
//   the same on a gradient background, blurred     173.4     232.1       211.4        unfiltered
//   seeded fractal texture (photo-like)           4,620     2,936       2,736       heuristic
//   the flat render in 216 colours (indexed)       12.4      15.1        14.7         unfiltered
//
// - Unfiltered rows win on smooth renders: quantised shading leaves runs of identical pixels, and
//   each row's sequence of colours recurs in the next rows a few pixels on, which deflate takes as
//   long matches; filters turn both into less regular bytes. Filters win where pixels are noisy.
// - The sample ranks unfiltered rows against "up" as the whole image does on all four images. The
//   trial runs at the final level: a faster one ranked less reliably (at level 5 it put the
//   heuristic first on the blurred render). The sample costs about a tenth of the encoding time.
// - The heuristic is left out where matches carry the compression (the sample compresses to less
//   than an eighth): it breaks them, as the table shows, although on the flat render's sample it
//   came out first; and computing it over the whole image costs about as much as compressing it.
// - Choosing per band of rows, each band by trial, did worse on the blurred render (194 kB):
//   switching filters between bands breaks the matches across rows.
//
// Deflate: libdeflate at level 7. On those images it took 0.2 to 0.6 of zlib's time at level 7
// (the fractal texture with the heuristic: 0.6 s against 3.3 s, on a loaded machine), with PNGs
// within 0.1% of zlib's or up to 3% smaller. Level 6 loses the long matches of the blurred render
// (193 kB); levels 8 and 9 take 1.5 to 3 times as long for 1% to 4% (bench/README.md).
//
// Memory: the pixel buffer is widened by one filter byte per row (realloc) and filtered in place,
// last row first, so no filtered copy of the image exists; the compressed output is written into a
// block sized to libdeflate's bound, of which only the pages written are touched, and the pixels
// are freed as soon as they are compressed.
#include "tarncore/png_writer.h"

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace tarncore {
namespace {

constexpr int kLevel = 7;

// The sample that chooses the filtering: kSampleBands bands of kSampleRows rows.
constexpr int kSampleBands = 8;
constexpr int kSampleRows = 8;

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

void Put32(std::uint8_t* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

// PNG row filter types.
enum FilterType : std::uint8_t { kTypeNone = 0, kTypeSub, kTypeUp, kTypeAverage, kTypePaeth };

std::uint8_t PaethPredictor(int a, int b, int c) {
  const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
  return static_cast<std::uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Filters bytes [begin, end) of a row with `type`; `prior` is the unfiltered row above (zeros for
// the first row), `bpp` the bytes per pixel. The first pixel has nothing to its left (zeros).
void FilterRange(FilterType type, const std::uint8_t* row, const std::uint8_t* prior,
                 std::size_t begin, std::size_t end, std::size_t bpp, std::uint8_t* out) {
  const std::size_t lead = std::clamp(bpp, begin, end);
  switch (type) {
    case kTypeNone:
      std::memcpy(out + begin, row + begin, end - begin);
      return;
    case kTypeSub:
      for (std::size_t i = begin; i < lead; ++i) out[i] = row[i];
      for (std::size_t i = lead; i < end; ++i) out[i] = row[i] - row[i - bpp];
      return;
    case kTypeUp:
      for (std::size_t i = begin; i < end; ++i) out[i] = row[i] - prior[i];
      return;
    case kTypeAverage:
      for (std::size_t i = begin; i < lead; ++i) out[i] = row[i] - (prior[i] >> 1);
      for (std::size_t i = lead; i < end; ++i)
        out[i] = row[i] - static_cast<std::uint8_t>((row[i - bpp] + prior[i]) >> 1);
      return;
    case kTypePaeth:
      for (std::size_t i = begin; i < lead; ++i) out[i] = row[i] - prior[i];  // predicts "up"
      for (std::size_t i = lead; i < end; ++i)
        out[i] = row[i] - PaethPredictor(row[i - bpp], prior[i], prior[i - bpp]);
      return;
  }
}

// Filters rows one at a time the way PngFilter asks, into scratch rows of its own.
class RowFilter {
 public:
  RowFilter(PngFilter filter, std::size_t rowBytes, std::size_t bpp)
      : filter_(filter),
        size_(rowBytes),
        bpp_(bpp),
        zeros_(rowBytes, 0),
        scratch_(filter == PngFilter::kAdaptive ? 2 * rowBytes : rowBytes) {}

  // The filter type and the filtered bytes (valid until the next call) of `row`; `prior` is the
  // row above, null for the first row.
  std::pair<FilterType, const std::uint8_t*> Filter(const std::uint8_t* row,
                                                    const std::uint8_t* prior) {
    if (prior == nullptr) prior = zeros_.data();
    if (filter_ != PngFilter::kAdaptive) {
      const FilterType type = FixedType();
      FilterRange(type, row, prior, 0, size_, bpp_, scratch_.data());
      return {type, scratch_.data()};
    }
    // The best so far in the first half of the scratch, the candidate in the second. A candidate
    // is dropped as soon as its partial cost reaches the best one's.
    std::uint8_t* best = scratch_.data();
    std::uint8_t* candidate = best + size_;
    FilterType bestType = kTypeNone;
    std::uint64_t bestCost = std::numeric_limits<std::uint64_t>::max();
    constexpr std::size_t kStretch = 1024;
    for (const FilterType type : {kTypeNone, kTypeSub, kTypeUp, kTypeAverage, kTypePaeth}) {
      std::uint64_t cost = 0;
      for (std::size_t begin = 0; begin < size_ && cost < bestCost; begin += kStretch) {
        const std::size_t end = std::min(size_, begin + kStretch);
        FilterRange(type, row, prior, begin, end, bpp_, candidate);
        unsigned stretchCost = 0;
        for (std::size_t i = begin; i < end; ++i) {
          stretchCost += static_cast<unsigned>(std::abs(static_cast<std::int8_t>(candidate[i])));
        }
        cost += stretchCost;
      }
      if (cost < bestCost) bestCost = cost, bestType = type, std::swap(best, candidate);
    }
    return {bestType, best};
  }

 private:
  FilterType FixedType() const {
    switch (filter_) {
      case PngFilter::kSub:
        return kTypeSub;
      case PngFilter::kUp:
        return kTypeUp;
      case PngFilter::kAverage:
        return kTypeAverage;
      case PngFilter::kPaeth:
        return kTypePaeth;
      default:
        return kTypeNone;
    }
  }
  PngFilter filter_;
  std::size_t size_, bpp_;
  std::vector<std::uint8_t> zeros_, scratch_;
};

struct FreeCompressor {
  void operator()(libdeflate_compressor* compressor) const {
    libdeflate_free_compressor(compressor);
  }
};
using Compressor = std::unique_ptr<libdeflate_compressor, FreeCompressor>;

// The filtering of the whole image that compresses best on a sample of its rows, from the
// candidates above (unfiltered, "up", per-row heuristic); see the opening comment.
PngFilter MeasuredFilter(const std::uint8_t* rows, std::size_t rowBytes, int height,
                         std::size_t bpp, libdeflate_compressor* compressor) {
  // The bands' first rows; the whole image is one band when it is no taller than the sample.
  std::vector<int> starts;
  int bandRows = height;
  if (height <= kSampleBands * kSampleRows) {
    starts.push_back(0);
  } else {
    bandRows = kSampleRows;
    for (int band = 0; band < kSampleBands; ++band) {
      starts.push_back(static_cast<int>(static_cast<long long>(height - kSampleRows) * band /
                                        (kSampleBands - 1)));
    }
  }
  const std::size_t sampleBytes =
      starts.size() * static_cast<std::size_t>(bandRows) * (rowBytes + 1);
  std::vector<std::uint8_t> sample(sampleBytes);
  std::vector<std::uint8_t> compressed(libdeflate_zlib_compress_bound(compressor, sampleBytes));
  const auto compressedSize = [&](PngFilter candidate) {
    RowFilter filter(candidate, rowBytes, bpp);
    std::uint8_t* out = sample.data();
    for (const int start : starts) {
      for (int y = start; y < start + bandRows; ++y) {
        const std::uint8_t* row = rows + static_cast<std::size_t>(y) * rowBytes;
        const auto [type, bytes] = filter.Filter(row, y > 0 ? row - rowBytes : nullptr);
        *out++ = type;
        std::memcpy(out, bytes, rowBytes);
        out += rowBytes;
      }
    }
    const std::size_t size = libdeflate_zlib_compress(compressor, sample.data(), sampleBytes,
                                                      compressed.data(), compressed.size());
    return size > 0 ? size : sampleBytes;  // 0 cannot happen with a buffer of the bound's size
  };
  const std::size_t none = compressedSize(PngFilter::kNone);
  const std::size_t up = compressedSize(PngFilter::kUp);
  PngFilter best = up < none ? PngFilter::kUp : PngFilter::kNone;
  const std::size_t bestSize = std::min(none, up);
  // Where matches carry the compression (to less than an eighth), the per-row heuristic breaks
  // them; it is tried only on images whose rows compress less, and it costs more than the others.
  if (bestSize > sampleBytes / 8 && compressedSize(PngFilter::kAdaptive) < bestSize) {
    best = PngFilter::kAdaptive;
  }
  return best;
}

// Widens the rows of `pixels` (height rows of rowBytes) in place to the filtered image data of a
// PNG: each row led by its filter type. Returns the widened buffer, or null (`pixels` freed)
// when the memory is not there.
PixelBuffer FilterInPlace(PixelBuffer pixels, std::size_t rowBytes, int height, std::size_t bpp,
                          PngFilter filter) {
  const std::size_t rows = static_cast<std::size_t>(height);
  auto* widened = static_cast<std::uint8_t*>(std::realloc(pixels.get(), rows * (rowBytes + 1)));
  if (widened == nullptr) return nullptr;
  static_cast<void>(pixels.release());
  PixelBuffer data(widened);
  RowFilter rowFilter(filter, rowBytes, bpp);
  // Last row first: row y moves to y * (rowBytes + 1) + 1, after the unfiltered row y - 1 that
  // its filter reads, so every row still to come is intact.
  for (std::size_t y = rows; y-- > 0;) {
    std::uint8_t* row = widened + y * rowBytes;
    std::uint8_t* to = widened + y * (rowBytes + 1);
    if (filter == PngFilter::kNone) {
      std::memmove(to + 1, row, rowBytes);
      to[0] = kTypeNone;
      continue;
    }
    const auto [type, bytes] = rowFilter.Filter(row, y > 0 ? row - rowBytes : nullptr);
    std::memcpy(to + 1, bytes, rowBytes);
    to[0] = type;
  }
  return data;
}

// Appends a chunk of `size` data bytes already in place at `at + 8`: its length, type and CRC.
// Returns the end of the chunk.
std::uint8_t* FinishChunk(std::uint8_t* at, const char* type, std::size_t size) {
  Put32(at, static_cast<std::uint32_t>(size));
  std::memcpy(at + 4, type, 4);
  Put32(at + 8 + size, libdeflate_crc32(0, at + 4, size + 4));
  return at + 12 + size;
}

std::uint8_t* PutChunk(std::uint8_t* at, const char* type, const std::uint8_t* data,
                       std::size_t size) {
  if (size > 0) std::memcpy(at + 8, data, size);
  return FinishChunk(at, type, size);
}

// Writes the PNG of `image`, whose pixels hold `channels` bytes each (one palette index each
// when `palette` is given).
PngBytes WritePng(Image& image, int channels, std::uint8_t colourType, const Palette* palette,
                  PngFilter filter) {
  const int height = image.height;
  const std::size_t rowBytes =
      static_cast<std::size_t>(image.width) * static_cast<std::size_t>(channels);
  const std::size_t bpp = static_cast<std::size_t>(channels);
  const Compressor compressor(libdeflate_alloc_compressor(kLevel));
  if (!compressor) return {};
  if (filter == PngFilter::kMeasured) {
    filter = MeasuredFilter(image.pixels.get(), rowBytes, height, bpp, compressor.get());
  }
  PixelBuffer data = FilterInPlace(std::move(image.pixels), rowBytes, height, bpp, filter);
  if (!data) return {};
  const std::size_t dataBytes = static_cast<std::size_t>(height) * (rowBytes + 1);

  std::vector<std::uint8_t> colours, alphas;
  if (palette != nullptr) {
    for (const std::uint32_t rgba : palette->colours()) {
      for (int shift = 0; shift < 24; shift += 8)
        colours.push_back(static_cast<std::uint8_t>(rgba >> shift));
      if ((rgba >> 24) < 255) alphas.push_back(static_cast<std::uint8_t>(rgba >> 24));
    }
  }
  // Signature, IHDR, PLTE and tRNS when there are colours, one IDAT, IEND: 12 bytes of framing
  // per chunk. Only the pages written are touched, so the bound costs no memory.
  const std::size_t bound = libdeflate_zlib_compress_bound(compressor.get(), dataBytes);
  const std::size_t capacity = 8 + (12 + 13) + 4 * 12 + colours.size() + alphas.size() + bound;
  PixelBuffer png(static_cast<std::uint8_t*>(std::malloc(capacity)));
  if (!png) return {};
  std::uint8_t* at = png.get();
  static constexpr std::uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::memcpy(at, kSignature, sizeof kSignature);
  at += sizeof kSignature;
  std::uint8_t header[13];
  Put32(header, static_cast<std::uint32_t>(image.width));
  Put32(header + 4, static_cast<std::uint32_t>(height));
  // 8 bits per sample, colour type, deflate, adaptive filtering method, no interlace.
  const std::uint8_t rest[] = {8, colourType, 0, 0, 0};
  std::memcpy(header + 8, rest, sizeof rest);
  at = PutChunk(at, "IHDR", header, sizeof header);
  if (!colours.empty()) at = PutChunk(at, "PLTE", colours.data(), colours.size());
  if (!alphas.empty()) at = PutChunk(at, "tRNS", alphas.data(), alphas.size());
  const std::size_t compressed =
      libdeflate_zlib_compress(compressor.get(), data.get(), dataBytes, at + 8, bound);
  data.reset();
  // One IDAT chunk holds at most 2^31 - 1 bytes: far more than any image this library reads.
  if (compressed == 0 || compressed > 0x7FFFFFFF) return {};
  at = FinishChunk(at, "IDAT", compressed);
  at = PutChunk(at, "IEND", nullptr, 0);
  const auto size = static_cast<std::size_t>(at - png.get());
  return PngBytes(std::move(png), size);
}

}  // namespace

PngBytes EncodePng(Image& image, PngFilter filter) {
  const int width = image.width, height = image.height;
  if (width <= 0 || height <= 0 || !image.pixels) return {};
  std::uint8_t* pixels = image.pixels.get();
  const auto count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  const int channels = ReduceChannels(pixels, count, image.channels);
  image.channels = channels;

  if (std::optional<Palette> palette = CollectPalette(pixels, count, channels)) {
    palette->TranslucentFirst();
    IndexInPlace(pixels, count, channels, *palette);
    image.channels = 1;
    return WritePng(image, 1, kIndexed, &*palette, filter);
  }
  static constexpr std::uint8_t kColourTypes[] = {0, kGrey, kGreyAlpha, kRgb, kRgba};
  return WritePng(image, channels, kColourTypes[channels], nullptr, filter);
}

}  // namespace tarncore
