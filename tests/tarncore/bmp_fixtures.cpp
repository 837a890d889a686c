#include "bmp_fixtures.h"

#include <array>
#include <functional>

namespace bmp_fixtures {
namespace {

constexpr std::uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitfields = 3, kJpeg = 4, kPng = 5,
                        kAlphaBitfields = 6;

void Put16(Bytes& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(Bytes& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

using Rgb = std::array<std::uint8_t, 3>;

// How a file is laid out; the pixel array itself comes ready-made.
struct Layout {
  std::uint32_t infoSize = 40;
  int width = 0, height = 0;  // height as stored: negative for top-down
  unsigned bits = 24;
  std::uint32_t compression = kRgb;
  std::vector<std::uint32_t> masks;  // after a 40-byte header, else in the header
  std::vector<Rgb> palette;
  std::uint32_t colorsUsed = 0;
  std::size_t gap = 0;  // bytes between the colour table and the pixels
  std::optional<std::uint32_t> offBits;
  Bytes pixels;
};

Bytes Build(const Layout& l) {
  const bool core = l.infoSize == 12;
  const std::size_t entry = core ? 3 : 4;
  const std::size_t trailingMasks = l.infoSize == 40 ? l.masks.size() * 4 : 0;
  const auto offBits = static_cast<std::uint32_t>(14 + l.infoSize + trailingMasks +
                                                  l.palette.size() * entry + l.gap);
  Bytes out = {'B', 'M'};
  Put32(out, static_cast<std::uint32_t>(offBits + l.pixels.size()));
  Put32(out, 0);
  Put32(out, l.offBits.value_or(offBits));
  Put32(out, l.infoSize);
  if (core) {
    Put16(out, static_cast<std::uint32_t>(l.width));
    Put16(out, static_cast<std::uint32_t>(l.height));
    Put16(out, 1);
    Put16(out, l.bits);
  } else {
    Put32(out, static_cast<std::uint32_t>(l.width));
    Put32(out, static_cast<std::uint32_t>(l.height));
    Put16(out, 1);
    Put16(out, l.bits);
    Put32(out, l.compression);
    Put32(out, static_cast<std::uint32_t>(l.pixels.size()));
    Put32(out, 2835);
    Put32(out, 2835);
    Put32(out, l.colorsUsed);
    Put32(out, 0);
    // V2 and later: the masks in the header (zeros where none is given), then what follows them
    // (colour space, end points, gamma, intent, profile) left zero.
    for (std::uint32_t at = 40; at < l.infoSize; at += 4) {
      const std::size_t i = (at - 40) / 4;
      Put32(out, l.infoSize > 40 && i < 4 && i < l.masks.size() ? l.masks[i] : 0);
    }
    if (l.infoSize == 40) {
      for (const std::uint32_t mask : l.masks) Put32(out, mask);
    }
  }
  for (const Rgb& c : l.palette) {
    out.insert(out.end(), {c[2], c[1], c[0]});
    if (!core) out.push_back(0x5A);  // the unused byte, not zero
  }
  out.insert(out.end(), l.gap, 0xEE);
  out.insert(out.end(), l.pixels.begin(), l.pixels.end());
  return out;
}

// The pixel array of an uncompressed image: value(x, y) of `bits` bits per pixel, y counted from
// the top, rows stored bottom-up unless `topDown`, each padded to 4 bytes.
Bytes Rows(int width, int height, unsigned bits, bool topDown,
           const std::function<std::uint32_t(int, int)>& value) {
  const std::size_t stride = (static_cast<std::size_t>(width) * bits + 31) / 32 * 4;
  Bytes out;
  for (int r = 0; r < height; ++r) {
    const int y = topDown ? r : height - 1 - r;
    Bytes row(stride, 0);
    for (int x = 0; x < width; ++x) {
      const std::uint32_t v = value(x, y);
      if (bits < 8) {
        const std::size_t bit = static_cast<std::size_t>(x) * bits;
        row[bit / 8] |= static_cast<std::uint8_t>(v << (8 - bits - bit % 8));
      } else {
        for (unsigned b = 0; b < bits / 8; ++b) row[x * bits / 8 + b] = (v >> (8 * b)) & 0xFF;
      }
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

// `bits` bits of v as 8: the bits repeated from the top (1 bit gives 0 or 255), or the top 8.
std::uint8_t Widen(std::uint32_t v, int bits) {
  if (bits == 0) return 0;
  if (bits >= 8) return static_cast<std::uint8_t>(v >> (bits - 8));
  unsigned out = 0;
  for (int i = 0; i < 8; ++i) out = out << 1 | (v >> (bits - 1 - i % bits) & 1);
  return static_cast<std::uint8_t>(out);
}

int Bits(std::uint32_t mask) {
  int n = 0;
  for (; mask != 0; mask >>= 1) n += mask & 1;
  return n;
}
std::uint32_t Field(std::uint32_t pixel, std::uint32_t mask) {
  if (mask == 0) return 0;
  while ((mask & 1) == 0) mask >>= 1, pixel >>= 1;
  return pixel & mask;
}

Pixels Make(int width, int height, int channels,
            const std::function<void(int, int, std::uint8_t*)>& pixel) {
  Pixels p{width, height, channels, Bytes(static_cast<std::size_t>(width) * height * channels)};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      pixel(x, y, &p.data[(static_cast<std::size_t>(y) * width + x) * channels]);
    }
  }
  return p;
}

std::vector<Rgb> Palette(int entries) {
  std::vector<Rgb> palette;
  for (int i = 0; i < entries; ++i) {
    palette.push_back({static_cast<std::uint8_t>(i * 37 + 11), static_cast<std::uint8_t>(i * 91),
                       static_cast<std::uint8_t>(255 - i * 13)});
  }
  return palette;
}

// An indexed image: index(x, y) into a table of `entries` (declared `colorsUsed`); an index past
// the table is opaque black.
Fixture Indexed(std::string name, std::uint32_t infoSize, unsigned bits, int width, int height,
                bool topDown, int entries, std::uint32_t colorsUsed, std::size_t gap,
                const std::function<std::uint32_t(int, int)>& index) {
  Layout l;
  l.infoSize = infoSize, l.bits = bits, l.width = width, l.height = topDown ? -height : height;
  l.palette = Palette(entries), l.colorsUsed = colorsUsed, l.gap = gap;
  l.pixels = Rows(width, height, bits, topDown, index);
  const std::vector<Rgb> table = l.palette;
  return {std::move(name), Build(l), Make(width, height, 3, [&](int x, int y, std::uint8_t* p) {
            const std::uint32_t i = index(x, y);
            const Rgb c = i < table.size() ? table[i] : Rgb{0, 0, 0};
            p[0] = c[0], p[1] = c[1], p[2] = c[2];
          })};
}

// A 16- or 32-bit image with bit fields (or BI_RGB's fixed ones): the expected channels come from
// the masks, alpha present when `alpha`; an image whose alpha is zero everywhere is opaque.
Fixture Fields(std::string name, std::uint32_t infoSize, unsigned bits, std::uint32_t compression,
               std::vector<std::uint32_t> masks, bool topDown,
               const std::function<std::uint32_t(int, int)>& value) {
  const int width = 5, height = 3;
  Layout l;
  l.infoSize = infoSize, l.bits = bits, l.compression = compression, l.masks = masks;
  l.width = width, l.height = topDown ? -height : height;
  l.pixels = Rows(width, height, bits, topDown, value);
  std::array<std::uint32_t, 4> used{};
  if (compression == kRgb) {
    used = bits == 16 ? std::array<std::uint32_t, 4>{0x7C00, 0x03E0, 0x001F, 0}
                      : std::array<std::uint32_t, 4>{0xFF0000, 0xFF00, 0xFF, 0};
  } else {
    for (std::size_t i = 0; i < masks.size() && i < 4; ++i) used[i] = masks[i];
  }
  const int channels = used[3] != 0 ? 4 : 3;
  bool anyAlpha = false;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) anyAlpha = anyAlpha || Field(value(x, y), used[3]) != 0;
  }
  return {std::move(name), Build(l), Make(width, height, channels, [&](int x, int y, auto* p) {
            for (int c = 0; c < channels; ++c) {
              p[c] = Widen(Field(value(x, y), used[c]), Bits(used[c]));
            }
            if (channels == 4 && !anyAlpha) p[3] = 255;
          })};
}

std::uint32_t Noise(int x, int y) {
  std::uint32_t v = static_cast<std::uint32_t>(x * 7919 + y * 104729 + 12345);
  v ^= v << 13, v ^= v >> 17, v ^= v << 5;
  return v;
}

// An RLE image: the stream as given, expected pixels as indexes (-1: skipped, transparent).
Fixture Rle(std::string name, std::uint32_t compression, int width, int height, Bytes stream,
            const std::vector<std::vector<int>>& topRowFirst) {
  Layout l;
  l.bits = compression == kRle8 ? 8 : 4, l.compression = compression;
  l.width = width, l.height = height, l.palette = Palette(compression == kRle8 ? 200 : 16);
  l.pixels = std::move(stream);
  const std::vector<Rgb> table = l.palette;
  return {std::move(name), Build(l), Make(width, height, 4, [&](int x, int y, std::uint8_t* p) {
            const int i = topRowFirst[y][x];
            if (i < 0) return;  // zeros: transparent black
            p[0] = table[i][0], p[1] = table[i][1], p[2] = table[i][2], p[3] = 255;
          })};
}

Fixture Refused(std::string name, Bytes file) { return {std::move(name), std::move(file), {}}; }

Layout Plain24(int width, int height) {
  Layout l;
  l.width = width, l.height = height;
  l.pixels = Rows(width, height, 24, false, Noise);
  return l;
}

}  // namespace

Bytes Pixels::Rgba() const {
  if (channels == 4) return data;
  Bytes out;
  for (std::size_t i = 0; i < data.size(); i += 3) {
    out.insert(out.end(), {data[i], data[i + 1], data[i + 2], 255});
  }
  return out;
}

Bytes Bmp24Header(std::int32_t width, std::int32_t height, std::size_t dataBytes) {
  Layout l;
  l.width = width, l.height = height;
  l.pixels.assign(dataBytes, 0);
  return Build(l);
}

std::vector<Fixture> All() {
  const auto mod = [](std::uint32_t n) { return [n](int x, int y) { return Noise(x, y) % n; }; };
  const auto full24 = [](int x, int y) { return Noise(x, y) & 0xFFFFFF; };
  std::vector<Fixture> f;

  // Headers and indexed depths.
  f.push_back(Indexed("core header, 1 bit", 12, 1, 13, 3, false, 2, 0, 0, mod(2)));
  f.push_back(Indexed("core header, 4 bits", 12, 4, 5, 4, false, 16, 0, 0, mod(16)));
  f.push_back(Indexed("core header, 8 bits, the whole 256-entry table", 12, 8, 4, 2, false, 256, 0,
                      0, [](int x, int y) { return static_cast<std::uint32_t>(252 + x - y); }));
  f.push_back(Indexed("info header, 1 bit, odd width", 40, 1, 37, 3, false, 2, 0, 0, mod(2)));
  f.push_back(Indexed("info header, 2 bits", 40, 2, 7, 3, false, 4, 0, 0, mod(4)));
  f.push_back(Indexed("info header, 4 bits, top-down", 40, 4, 9, 3, true, 16, 0, 0, mod(16)));
  f.push_back(Indexed("info header, 8 bits", 40, 8, 6, 5, false, 256, 0, 0, mod(256)));
  f.push_back(Indexed("8 bits, short table: indexes past it are black", 40, 8, 6, 4, false, 5, 5, 0,
                      mod(9)));
  f.push_back(Indexed("8 bits, a gap before the pixels", 40, 8, 3, 3, false, 256, 0, 7, mod(256)));
  // The gap's bytes (0xEE) would read as three more entries were biClrUsed not heeded.
  f.push_back(Indexed("8 bits, 5 colours declared, then a gap: indexes past them are black", 40, 8,
                      6, 4, false, 5, 5, 12, mod(9)));
  f.push_back(Indexed("V5 header, 4 bits", 124, 4, 3, 2, false, 16, 0, 0, mod(16)));
  {
    // bfOffBits leaves room for 3 of the 16 declared entries: the rest are black.
    Fixture cut =
        Indexed("4 bits, table cut short by bfOffBits", 40, 4, 8, 2, false, 3, 16, 0, mod(16));
    f.push_back(std::move(cut));
  }
  {
    Layout l;
    l.infoSize = 12, l.bits = 24, l.width = 3, l.height = 2;
    l.pixels = Rows(3, 2, 24, false, full24);
    f.push_back({"core header, 24 bits", Build(l), Make(3, 2, 3, [&](int x, int y, auto* p) {
                   const std::uint32_t v = full24(x, y);
                   p[0] = v >> 16 & 0xFF, p[1] = v >> 8 & 0xFF, p[2] = v & 0xFF;
                 })});
  }

  // Fixed-layout and bit-field depths.
  const auto val16 = [](int x, int y) { return Noise(x, y) & 0xFFFF; };
  f.push_back(Fields("16 bits BI_RGB: 5-5-5, top bit ignored", 40, 16, kRgb, {}, false, val16));
  f.push_back(Fields("24 bits, top-down", 40, 24, kRgb, {}, true, full24));
  f.push_back(
      Fields("32 bits BI_RGB: opaque whatever the fourth byte", 40, 32, kRgb, {}, false, Noise));
  f.push_back(Fields("32 bits BI_RGB with a V5 alpha mask: still opaque", 124, 32, kRgb,
                     {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, true, Noise));
  f.push_back(Fields("16 bits bit fields 5-6-5", 40, 16, kBitfields, {0xF800, 0x07E0, 0x001F},
                     false, val16));
  f.push_back(Fields("16 bits alpha bit fields 4-4-4-4", 40, 16, kAlphaBitfields,
                     {0x0F00, 0x00F0, 0x000F, 0xF000}, false, val16));
  f.push_back(Fields("16 bits V3 header 1-5-5-5: 1-bit alpha", 56, 16, kBitfields,
                     {0x7C00, 0x03E0, 0x001F, 0x8000}, true, val16));
  f.push_back(Fields("32 bits V2 header 10-10-10: wide channels keep their top bits", 52, 32,
                     kBitfields, {0x3FF00000, 0x000FFC00, 0x000003FF}, false, Noise));
  f.push_back(Fields("32 bits V3 header 2-10-10-10 alpha", 56, 32, kBitfields,
                     {0x000003FF, 0x000FFC00, 0x3FF00000, 0xC0000000}, false, Noise));
  f.push_back(Fields("32 bits V4 header with alpha", 108, 32, kBitfields,
                     {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, false, Noise));
  f.push_back(Fields("32 bits V5 header with alpha, top-down", 124, 32, kBitfields,
                     {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, true, Noise));
  f.push_back(Fields("32 bits V4 alpha zero everywhere: opaque", 108, 32, kBitfields,
                     {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, false,
                     [](int x, int y) { return Noise(x, y) & 0xFFFFFF; }));
  f.push_back(Fields("32 bits alpha bit fields, odd positions and widths", 40, 32, kAlphaBitfields,
                     {0x0000007E, 0x00003F80, 0x03FFC000, 0x1C000000}, false, Noise));
  f.push_back(Fields("32 bits bit fields without a blue mask", 40, 32, kBitfields,
                     {0xFF000000, 0x00FF0000, 0}, false, Noise));
  {
    // 5-bit values widen as v<<3 | v>>2: red 10000 -> 132, green 00001 -> 8, blue 11111 -> 255.
    Layout l;
    l.bits = 16, l.width = 1, l.height = 1;
    l.pixels = Rows(1, 1, 16, false, [](int, int) { return 0x4000u | 0x0020u | 0x001Fu; });
    f.push_back({"16 bits BI_RGB, widening by example", Build(l), Pixels{1, 1, 3, {132, 8, 255}}});
  }
  {
    // A colour table and a gap before 16-bit pixels: bfOffBits tells where they start.
    Layout l;
    l.bits = 16, l.width = 3, l.height = 2, l.palette = Palette(4), l.colorsUsed = 4, l.gap = 6;
    l.pixels = Rows(3, 2, 16, false, [](int x, int y) { return 0x7C00u * (x == y) + 0x1Fu; });
    f.push_back({"16 bits after a colour table and a gap", Build(l),
                 Make(3, 2, 3, [](int x, int y, auto* p) {
                   p[0] = x == y ? 255 : 0, p[1] = 0, p[2] = 255;
                 })});
  }

  // RLE, always bottom-up: the streams start with the bottom line.
  f.push_back(Rle("RLE8: runs, absolute run with padding, end of line and bitmap", kRle8, 6, 3,
                  {3, 7, 3, 9, 0, 0,              // bottom: 7 7 7 9 9 9
                   0, 3, 1, 2, 3, 0, 2, 4, 0, 0,  // middle: 1 2 3 (pad) then 4 4, one left over
                   0, 1},                         // end of bitmap: the top line is skipped
                  {{-1, -1, -1, -1, -1, -1}, {1, 2, 3, 4, 4, -1}, {7, 7, 7, 9, 9, 9}}));
  f.push_back(Rle("RLE8: delta skips pixels, a run past the line's end is cut", kRle8, 4, 3,
                  {2, 5, 0, 2, 1, 1, 1, 6, 0, 0,  // bottom: 5 5, then right 1 and up 1: 6
                   9, 8, 0, 0, 0, 1},             // top: 8 8 8 8 (5 more dropped)
                  {{8, 8, 8, 8}, {-1, -1, -1, 6}, {5, 5, -1, -1}}));
  f.push_back(Rle("RLE8: a delta of 2 right and 1 up", kRle8, 5, 3,
                  {1, 5, 0, 2, 2, 1,  // bottom: 5, then right 2 and up 1 (x = 3 on the middle line)
                   2, 6, 0, 0,        // middle: 6 6 at x = 3 and 4
                   5, 8, 0, 1},       // top: 8 8 8 8 8
                  {{8, 8, 8, 8, 8}, {-1, -1, -1, 6, 6}, {5, -1, -1, -1, -1}}));
  f.push_back(Rle("RLE4: alternating nibbles, absolute run of odd length", kRle4, 5, 2,
                  {5, 0x1A, 0, 0,                  // bottom: 1 10 1 10 1
                   0, 3, 0x23, 0x40, 0, 0, 0, 1},  // top: 2 3 4, two bytes (no pad needed)
                  {{2, 3, 4, -1, -1}, {1, 10, 1, 10, 1}}));
  f.push_back(Rle("RLE4: absolute run of 5 padded to a word; end of line, no end of bitmap", kRle4,
                  5, 1, {0, 5, 0x12, 0x34, 0x50, 0x00, 0, 0}, {{1, 2, 3, 4, 5}}));

  // Refused.
  {
    Layout l = Plain24(4, 3);
    l.pixels.pop_back();
    f.push_back(Refused("24 bits, one byte short", Build(l)));
  }
  {
    Layout l = Plain24(4, 3);
    l.pixels.clear();
    f.push_back(Refused("24 bits, header only", Build(l)));
  }
  {
    Layout l = Plain24(4, 3);
    l.offBits = 40;
    f.push_back(Refused("bfOffBits inside the header", Build(l)));
  }
  for (const std::uint32_t compression : {kJpeg, kPng}) {
    Layout l = Plain24(4, 3);
    l.compression = compression;
    f.push_back(Refused(compression == kJpeg ? "BI_JPEG" : "BI_PNG", Build(l)));
  }
  for (const std::uint32_t size : {16u, 64u, 20u}) {
    Layout l = Plain24(4, 3);
    l.infoSize = size;
    f.push_back(Refused("header of " + std::to_string(size) + " bytes", Build(l)));
  }
  {
    Layout l = Plain24(4, 3);
    l.height = -3, l.bits = 8, l.compression = kRle8, l.palette = Palette(4);
    l.pixels = {4, 1, 0, 0, 4, 1, 0, 0, 4, 1, 0, 1};
    f.push_back(Refused("RLE8 top-down", Build(l)));
  }
  {
    Layout l = Plain24(4, 3);
    l.bits = 8, l.compression = kRle8, l.palette = Palette(4);
    l.pixels = {4, 1, 0, 0, 4, 1};  // the stream ends in the middle line
    f.push_back(Refused("RLE8 stream cut short", Build(l)));
  }
  {
    Layout l = Plain24(4, 3);
    l.bits = 4, l.compression = kRle4, l.palette = Palette(4);
    l.pixels = {0, 7, 0x12, 0x34};  // an absolute run whose bytes are missing
    f.push_back(Refused("RLE4 absolute run cut short", Build(l)));
  }
  {
    Layout l = Plain24(4, 3);
    l.bits = 8, l.compression = kRle4;
    f.push_back(Refused("RLE4 with 8 bits", Build(l)));
  }
  for (const auto& [name, masks] : std::vector<std::pair<std::string, std::vector<std::uint32_t>>>{
           // Each set breaks one rule alone: the others lie within 16 bits, apart and unbroken.
           {"overlapping masks", {0xF800, 0x0FE0, 0x001F}},
           {"a mask with a hole", {0xF800, 0x0760, 0x001F}},
           {"a mask beyond 16 bits", {0x1F0000, 0x07E0, 0x001F}}}) {
    Layout l = Plain24(4, 3);
    l.bits = 16, l.compression = kBitfields, l.masks = masks;
    l.pixels = Rows(4, 3, 16, false, Noise);
    f.push_back(Refused("16 bits, " + name, Build(l)));
  }
  {
    Layout l = Plain24(4, 3);
    l.compression = kBitfields, l.masks = {0xFF0000, 0xFF00, 0xFF};
    f.push_back(Refused("bit fields with 24 bits", Build(l)));
  }
  for (const auto& [w, h] : std::vector<std::pair<int, int>>{{0, 3}, {-4, 3}, {4, 0}}) {
    Layout l = Plain24(4, 3);
    l.width = w, l.height = h;
    f.push_back(Refused("size " + std::to_string(w) + "x" + std::to_string(h), Build(l)));
  }
  {
    Layout l = Plain24(4, 3);
    l.bits = 3;
    f.push_back(Refused("3 bits", Build(l)));
  }
  return f;
}

}  // namespace bmp_fixtures
