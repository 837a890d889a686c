// BMP decoding, after Microsoft's documentation of BITMAPFILEHEADER, BITMAPCOREHEADER,
// BITMAPINFOHEADER, BITMAPV4HEADER, BITMAPV5HEADER and of bitmap compression. See bmp_reader.h
// for what is accepted and the rules applied.
#include "tarncore/bmp_reader.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <vector>

namespace tarncore {
namespace {

constexpr std::uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitfields = 3, kAlphaBitfields = 6;

std::uint32_t Le16(const std::uint8_t* p) { return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8; }
std::uint32_t Le32(const std::uint8_t* p) { return Le16(p) | Le16(p + 2) << 16; }

// Sequential reading through a buffer of its own, counting the bytes taken since the start.
class Input {
 public:
  explicit Input(std::FILE* file) : file_(file) {}

  // Exactly `size` bytes, or false at the end of the file.
  bool Read(void* to, std::size_t size) {
    auto* out = static_cast<std::uint8_t*>(to);
    const std::size_t buffered = std::min(size, end_ - at_);
    std::memcpy(out, buffer_.data() + at_, buffered);
    at_ += buffered;
    position_ += buffered;
    if (buffered == size) return true;
    const std::size_t rest = size - buffered;
    if (rest >= buffer_.size()) {
      const std::size_t got = std::fread(out + buffered, 1, rest, file_);
      position_ += got;
      return got == rest;
    }
    if (!Fill()) return false;
    return Read(out + buffered, rest);
  }

  // The next byte, or -1 at the end of the file.
  int Byte() {
    if (at_ == end_ && !Fill()) return -1;
    ++position_;
    return buffer_[at_++];
  }

  bool Skip(std::uint64_t size) {
    while (size > 0) {
      if (at_ == end_ && !Fill()) return false;
      const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(size, end_ - at_));
      at_ += step;
      position_ += step;
      size -= step;
    }
    return true;
  }

  std::uint64_t position() const { return position_; }

 private:
  bool Fill() {
    at_ = 0;
    end_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
    return end_ > 0;
  }

  std::FILE* file_;
  std::array<std::uint8_t, 1 << 14> buffer_{};
  std::size_t at_ = 0, end_ = 0;
  std::uint64_t position_ = 0;
};

// The bytes from the current position to the end of the file, when the file can tell; the
// position is left as it was.
std::optional<std::uint64_t> BytesLeft(std::FILE* file) {
  const long start = std::ftell(file);
  if (start < 0 || std::fseek(file, 0, SEEK_END) != 0) return std::nullopt;
  const long end = std::ftell(file);
  if (std::fseek(file, start, SEEK_SET) != 0) return std::nullopt;  // cannot read on: refuse
  if (end < start) return std::nullopt;
  return static_cast<std::uint64_t>(end - start);
}

// One channel of a bit-field pixel: its mask, and the table that widens a narrow value to 8 bits
// by repeating its top bits.
class Channel {
 public:
  Channel() = default;
  explicit Channel(std::uint32_t mask) : mask_(mask) {
    if (mask == 0) return;
    while ((mask >> shift_ & 1) == 0) ++shift_;
    while (shift_ + bits_ < 32 && (mask >> (shift_ + bits_) & 1) != 0) ++bits_;
    if (bits_ > 8) return;
    for (std::uint32_t v = 0; v < (1u << bits_); ++v) {
      std::uint32_t wide = v << (8 - bits_);
      for (int filled = bits_; filled < 8; filled += bits_) wide |= wide >> filled;
      widen_[v] = static_cast<std::uint8_t>(wide);
    }
  }

  // One run of set bits (or none).
  bool contiguous() const { return mask_ == 0 || (mask_ >> shift_) == ((1ull << bits_) - 1); }
  std::uint32_t mask() const { return mask_; }

  std::uint8_t operator()(std::uint32_t pixel) const {
    const std::uint32_t v = (pixel & mask_) >> shift_;
    return bits_ <= 8 ? widen_[v] : static_cast<std::uint8_t>(v >> (bits_ - 8));
  }

 private:
  std::uint32_t mask_ = 0;
  int shift_ = 0;
  int bits_ = 0;
  std::array<std::uint8_t, 256> widen_{};
};

// The colour table as RGB triples, always 256 of them.
using Palette = std::array<std::uint8_t, std::size_t{256} * 3>;

struct Header {
  std::uint32_t width = 0, height = 0;  // height: rows, whatever the direction
  bool topDown = false;
  unsigned bits = 0;
  std::uint32_t compression = kRgb;
  std::array<std::uint32_t, 4> masks{};  // red, green, blue, alpha (bit fields only)
  bool core = false;                     // 3-byte palette entries
  std::uint32_t paletteEntries = 0;      // declared
  std::uint64_t headersEnd = 0;          // file offset after the headers and their masks
  std::uint64_t pixelsAt = 0;            // bfOffBits
};

constexpr std::size_t kFileHeader = 14;

std::optional<Header> ReadHeaders(Input& in) {
  // The file header, the info header's size, and up to 124 header bytes plus trailing masks.
  std::array<std::uint8_t, kFileHeader + 124 + 16> b{};
  if (!in.Read(b.data(), kFileHeader + 4) || b[0] != 'B' || b[1] != 'M') return std::nullopt;
  Header h;
  h.pixelsAt = Le32(&b[10]);
  const std::uint32_t infoSize = Le32(&b[14]);
  if (infoSize != 12 && infoSize != 40 && infoSize != 52 && infoSize != 56 && infoSize != 108 &&
      infoSize != 124) {
    return std::nullopt;
  }
  if (!in.Read(&b[18], infoSize - 4)) return std::nullopt;
  unsigned planes = 0;
  if (infoSize == 12) {
    h.core = true;
    h.width = Le16(&b[18]);
    h.height = Le16(&b[20]);
    planes = Le16(&b[22]);
    h.bits = Le16(&b[24]);
    if (h.bits != 1 && h.bits != 2 && h.bits != 4 && h.bits != 8 && h.bits != 24) {
      return std::nullopt;
    }
  } else {
    const auto width = static_cast<std::int32_t>(Le32(&b[18]));
    const auto height = static_cast<std::int32_t>(Le32(&b[22]));
    planes = Le16(&b[26]);
    h.bits = Le16(&b[28]);
    h.compression = Le32(&b[30]);
    h.paletteEntries = Le32(&b[46]);
    if (width <= 0 || height == 0 || height == INT32_MIN) return std::nullopt;
    h.width = static_cast<std::uint32_t>(width);
    h.topDown = height < 0;
    h.height = static_cast<std::uint32_t>(h.topDown ? -height : height);
  }
  if (planes != 1 || h.width == 0 || h.height == 0) return std::nullopt;

  switch (h.compression) {
    case kRgb:
      if (h.bits != 1 && h.bits != 2 && h.bits != 4 && h.bits != 8 && h.bits != 16 &&
          h.bits != 24 && h.bits != 32) {
        return std::nullopt;
      }
      break;
    case kRle8:
    case kRle4:
      if (h.bits != (h.compression == kRle8 ? 8u : 4u) || h.topDown) return std::nullopt;
      break;
    case kBitfields:
    case kAlphaBitfields: {
      if (h.bits != 16 && h.bits != 32) return std::nullopt;
      // With the 40-byte header the masks follow it; the longer headers hold them.
      const std::size_t masks = h.compression == kAlphaBitfields ? 4 : 3;
      if (infoSize == 40 && !in.Read(&b[kFileHeader + 40], masks * 4)) return std::nullopt;
      const std::size_t held = infoSize == 40 ? masks : infoSize == 52 ? 3 : 4;
      for (std::size_t i = 0; i < held; ++i) h.masks[i] = Le32(&b[kFileHeader + 40 + 4 * i]);
      break;
    }
    default:  // BI_JPEG, BI_PNG, and what Windows does not document for files
      return std::nullopt;
  }
  h.headersEnd = in.position();
  if (h.pixelsAt < h.headersEnd) return std::nullopt;
  return h;
}

// The colour table as RGB triples, 256 of them whatever the table holds: the entries past it
// stay opaque black.
bool ReadPalette(Input& in, const Header& h, Palette& rgb) {
  rgb.fill(0);
  if (h.bits > 8) return true;
  const std::uint32_t most = 1u << h.bits;
  const std::uint32_t declared = h.paletteEntries == 0 ? most : std::min(h.paletteEntries, most);
  const std::uint32_t entrySize = h.core ? 3 : 4;
  const auto room = static_cast<std::uint32_t>((h.pixelsAt - h.headersEnd) / entrySize);
  const std::uint32_t entries = std::min(declared, room);
  std::array<std::uint8_t, std::size_t{256} * 4> table{};
  if (!in.Read(table.data(), std::size_t{entries} * entrySize)) return false;
  for (std::size_t i = 0; i < entries; ++i) {
    const std::uint8_t* entry = &table[i * entrySize];  // blue, green, red (, unused)
    rgb[3 * i] = entry[2];
    rgb[3 * i + 1] = entry[1];
    rgb[3 * i + 2] = entry[0];
  }
  return true;
}

PixelBuffer Allocate(std::size_t bytes, bool zeroed) {
  void* memory = zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
  return PixelBuffer(static_cast<std::uint8_t*>(memory));
}

// Uncompressed rows (BI_RGB and bit fields), a row per read.
bool ReadRows(Input& in, const Header& h, const Palette& palette, Image& image) {
  const std::size_t width = h.width;
  const std::size_t stride = (width * h.bits + 31) / 32 * 4;
  const auto channels = static_cast<std::size_t>(image.channels);
  const std::size_t rowBytes = width * channels;
  std::vector<std::uint8_t> row(stride);

  std::array<Channel, 4> fields;
  if (h.bits == 16 || h.bits == 32) {
    std::array<std::uint32_t, 4> masks = h.masks;
    if (h.compression == kRgb) {
      masks = h.bits == 16 ? std::array<std::uint32_t, 4>{0x7C00, 0x03E0, 0x001F, 0}
                           : std::array<std::uint32_t, 4>{0xFF0000, 0xFF00, 0xFF, 0};
    }
    for (std::size_t c = 0; c < 4; ++c) fields[c] = Channel(masks[c]);
  }
  bool anyAlpha = false;

  for (std::size_t r = 0; r < h.height; ++r) {
    const std::size_t y = h.topDown ? r : h.height - 1 - r;
    std::uint8_t* out = image.pixels.get() + y * rowBytes;
    if (h.bits == 24) {
      // The common case: straight into place, then blue and red swapped.
      if (!in.Read(out, rowBytes) || !in.Skip(stride - rowBytes)) return false;
      for (std::size_t x = 0; x < rowBytes; x += 3) std::swap(out[x], out[x + 2]);
      continue;
    }
    if (!in.Read(row.data(), stride)) return false;
    if (h.bits <= 8) {
      const unsigned bits = h.bits;
      const unsigned perByte = 8 / bits;
      const unsigned valueMask = (1u << bits) - 1;
      for (std::size_t x = 0; x < width; ++x) {
        const unsigned shift = 8 - bits * (static_cast<unsigned>(x % perByte) + 1);
        const std::size_t index = (row[x / perByte] >> shift) & valueMask;
        std::memcpy(out + 3 * x, &palette[3 * index], 3);
      }
    } else if (h.bits == 32 && h.compression == kRgb) {
      for (std::size_t x = 0; x < width; ++x) {
        out[3 * x] = row[4 * x + 2];
        out[3 * x + 1] = row[4 * x + 1];
        out[3 * x + 2] = row[4 * x];
      }
    } else {
      const std::size_t bytesPerPixel = h.bits / 8;
      for (std::size_t x = 0; x < width; ++x) {
        const std::uint8_t* p = &row[x * bytesPerPixel];
        const std::uint32_t pixel = bytesPerPixel == 2 ? Le16(p) : Le32(p);
        std::uint8_t* to = out + x * channels;
        for (std::size_t c = 0; c < channels; ++c) to[c] = fields[c](pixel);
        if (channels == 4) anyAlpha = anyAlpha || to[3] != 0;
      }
    }
  }
  if (channels == 4 && !anyAlpha) {
    const std::size_t pixels = width * h.height;
    for (std::size_t i = 0; i < pixels; ++i) image.pixels.get()[4 * i + 3] = 255;
  }
  return true;
}

// BI_RLE8 and BI_RLE4 into RGBA pixels that start fully transparent.
bool ReadRle(Input& in, const Header& h, const Palette& palette, Image& image) {
  const bool four = h.compression == kRle4;
  std::uint64_t x = 0, line = 0;  // line 0 is the bottom row
  const auto put = [&](std::size_t index) {
    if (x < h.width && line < h.height) {
      std::uint8_t* to = image.pixels.get() + ((h.height - 1 - line) * h.width + x) * 4;
      std::memcpy(to, &palette[3 * index], 3);
      to[3] = 255;
    }
    ++x;
  };
  while (line < h.height) {
    const int count = in.Byte();
    const int value = in.Byte();
    if (value < 0) return false;  // the stream ends before its end-of-bitmap code
    if (count > 0) {
      for (int i = 0; i < count; ++i) {
        put(static_cast<std::size_t>(four ? (i % 2 == 0 ? value >> 4 : value & 0x0F) : value));
      }
    } else if (value == 0) {  // end of line
      x = 0;
      ++line;
    } else if (value == 1) {  // end of bitmap
      return true;
    } else if (value == 2) {  // delta: right and up
      const int dx = in.Byte();
      const int dy = in.Byte();
      if (dy < 0) return false;
      x += static_cast<unsigned>(dx);
      line += static_cast<unsigned>(dy);
    } else {  // an absolute run of `value` indexes, padded to a 16-bit boundary
      const auto length = static_cast<std::size_t>(value);
      const std::size_t bytes = four ? (length + 1) / 2 : length;
      std::array<std::uint8_t, 256> run{};
      if (!in.Read(run.data(), bytes + bytes % 2)) return false;
      for (std::size_t i = 0; i < length; ++i) {
        put(four ? (i % 2 == 0 ? run[i / 2] >> 4 : run[i / 2] & 0x0F) : run[i]);
      }
    }
  }
  return true;
}

}  // namespace

std::optional<Image> ReadBmp(std::FILE* file, std::uint64_t pixelCap) {
  const std::optional<std::uint64_t> fileSize = BytesLeft(file);
  Input in(file);
  const std::optional<Header> h = ReadHeaders(in);
  if (!h) return std::nullopt;
  const std::uint64_t pixels = std::uint64_t{h->width} * h->height;
  if (pixels > pixelCap) return std::nullopt;

  const bool rle = h->compression == kRle8 || h->compression == kRle4;
  if (!rle && fileSize) {
    // Refused before any pixel memory when the file cannot hold the rows it declares.
    const std::uint64_t stride = (std::uint64_t{h->width} * h->bits + 31) / 32 * 4;
    if (*fileSize < h->pixelsAt || *fileSize - h->pixelsAt < stride * h->height) {
      return std::nullopt;
    }
  }
  Palette palette{};
  if (!ReadPalette(in, *h, palette) || !in.Skip(h->pixelsAt - in.position())) return std::nullopt;

  Image image;
  image.width = static_cast<int>(h->width);
  image.height = static_cast<int>(h->height);
  const bool alpha =
      (h->compression == kBitfields || h->compression == kAlphaBitfields) && h->masks[3] != 0;
  image.channels = rle || alpha ? 4 : 3;
  if (h->compression == kBitfields || h->compression == kAlphaBitfields) {
    std::uint32_t seen = 0;
    const std::uint64_t within = h->bits == 32 ? 0xFFFFFFFFull : (1ull << h->bits) - 1;
    for (const std::uint32_t mask : h->masks) {
      if ((mask & seen) != 0 || mask > within || !Channel(mask).contiguous()) return std::nullopt;
      seen |= mask;
    }
  }
  image.pixels = Allocate(pixels * static_cast<std::size_t>(image.channels), rle);
  if (!image.pixels) return std::nullopt;
  if (!(rle ? ReadRle(in, *h, palette, image) : ReadRows(in, *h, palette, image))) {
    return std::nullopt;
  }
  return image;
}

}  // namespace tarncore
