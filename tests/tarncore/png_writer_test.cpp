// The PNG writer on its own: every colour form and every row filtering decodes (by stb_image, an
// independent decoder) to exactly the pixels it was given, whatever the image's shape.
#include "tarncore/png_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#include <stb_image.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using tarncore::PngFilter;

// A sample of channel c (of `channels`) at (x, y).
using Generator = std::function<std::uint8_t(int x, int y, int c)>;

tarncore::Image MakeImage(int width, int height, int channels, const Generator& sample) {
  tarncore::Image image;
  image.width = width;
  image.height = height;
  image.channels = channels;
  const std::size_t size = static_cast<std::size_t>(width) * height * channels;
  image.pixels.reset(static_cast<std::uint8_t*>(std::malloc(size)));
  std::uint8_t* p = image.pixels.get();
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < channels; ++c) *p++ = sample(x, y, c);
  return image;
}

// The pixels as RGBA, the form stb_image gives every PNG in when asked for four channels.
Bytes AsRgba(int width, int height, int channels, const Generator& sample) {
  Bytes rgba;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < 3; ++c) rgba.push_back(sample(x, y, channels >= 3 ? c : 0));
      rgba.push_back(channels == 2 || channels == 4 ? sample(x, y, channels - 1) : 255);
    }
  }
  return rgba;
}

std::uint32_t Get32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// CRC-32 as PNG chunks carry it, bit by bit (independent of the writer's table-driven one).
std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// What the file says about itself (every chunk's CRC checked on the way): its chunks' types in
// order, its colour type and the filter type of each row (from the inflated image data).
struct Layout {
  std::vector<std::string> chunks;
  int colourType = -1;
  std::vector<int> rowFilters;
};

Layout Inspect(const tarncore::PngBytes& png, int width, int height) {
  Layout layout;
  const std::uint8_t* p = png.data();
  const std::uint8_t* end = p + png.size();
  static constexpr std::uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  EXPECT_EQ(0, std::memcmp(p, kSignature, 8));
  p += 8;
  Bytes idat;
  while (end - p >= 12) {
    const std::uint32_t size = Get32(p);
    const std::string type(reinterpret_cast<const char*>(p + 4), 4);
    layout.chunks.push_back(type);
    if (static_cast<std::size_t>(end - p) < 12 + std::size_t{size}) {
      ADD_FAILURE() << type << " runs past the end of the file";
      break;
    }
    EXPECT_EQ(Get32(p + 8 + size), Crc32(p + 4, 4 + std::size_t{size})) << "CRC of " << type;
    if (type == "IHDR") layout.colourType = p[8 + 9];
    if (type == "IDAT") idat.insert(idat.end(), p + 8, p + 8 + size);
    p += 12 + size;
  }
  EXPECT_EQ(p, end);
  int inflatedSize = 0;
  char* inflated = stbi_zlib_decode_malloc(reinterpret_cast<const char*>(idat.data()),
                                           static_cast<int>(idat.size()), &inflatedSize);
  if (inflated == nullptr) {
    ADD_FAILURE() << "the image data does not inflate";
    return layout;
  }
  const int channels = layout.colourType == 0 || layout.colourType == 3 ? 1
                       : layout.colourType == 4                         ? 2
                       : layout.colourType == 2                         ? 3
                                                                        : 4;
  const std::size_t rowBytes = static_cast<std::size_t>(width) * channels + 1;
  EXPECT_EQ(static_cast<std::size_t>(inflatedSize), rowBytes * height);
  for (int y = 0; y < height && (y + 1) * rowBytes <= static_cast<std::size_t>(inflatedSize); ++y)
    layout.rowFilters.push_back(static_cast<std::uint8_t>(inflated[y * rowBytes]));
  std::free(inflated);
  return layout;
}

// Encodes, checks that the PNG decodes to exactly `sample`, and returns its layout.
Layout EncodeAndCheck(int width, int height, int channels, const Generator& sample,
                      PngFilter filter) {
  tarncore::Image image = MakeImage(width, height, channels, sample);
  const tarncore::PngBytes png = tarncore::EncodePng(image, filter);
  if (png.empty()) {
    ADD_FAILURE() << "no PNG";
    return {};
  }
  int w = 0, h = 0, n = 0;
  stbi_uc* decoded = stbi_load_from_memory(png.data(), static_cast<int>(png.size()), &w, &h, &n, 4);
  if (decoded == nullptr) {
    ADD_FAILURE() << "stb_image cannot decode the PNG: " << stbi_failure_reason();
    return {};
  }
  EXPECT_EQ(w, width);
  EXPECT_EQ(h, height);
  const Bytes expected = AsRgba(width, height, channels, sample);
  EXPECT_TRUE(w == width && h == height &&
              std::memcmp(decoded, expected.data(), expected.size()) == 0)
      << "the PNG does not decode to the image's pixels";
  stbi_image_free(decoded);
  return Inspect(png, width, height);
}

// Many colours: a hash of the position, so that neighbouring samples take every relation to one
// another (the Paeth predictor's ties among them) and wrap around in every filter.
std::uint8_t Many(int x, int y, int c) {
  std::uint32_t h = static_cast<std::uint32_t>(x) * 73856093u ^
                    static_cast<std::uint32_t>(y) * 19349663u ^
                    static_cast<std::uint32_t>(c + 1) * 83492791u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  return static_cast<std::uint8_t>(h >> 24);
}
// An alpha that takes many values, 0 and 255 among them.
std::uint8_t Alpha(int x, int y) { return static_cast<std::uint8_t>((x * 29 + y * 53) % 256); }
// At most 40 colours, from a table of distinct ones.
std::uint8_t Few(int x, int y, int c) {
  return static_cast<std::uint8_t>(((x + 3 * y) % 40) * 6 + c * 70);
}

struct Form {
  const char* name;
  int channels;
  Generator sample;
  int colourType;
  bool transparency;  // a tRNS chunk
};

const std::vector<Form>& Forms() {
  static const std::vector<Form> forms = {
      {"grey", 1, [](int x, int y, int) { return Many(x, y, 0); }, 0, false},
      {"grey given as RGB", 3, [](int x, int y, int) { return Many(x, y, 0); }, 0, false},
      {"grey and alpha", 2,
       [](int x, int y, int c) { return c == 0 ? Many(x, y, 0) : Alpha(x, y); }, 4, false},
      {"grey and alpha given as RGBA", 4,
       [](int x, int y, int c) { return c < 3 ? Many(x, y, 0) : Alpha(x, y); }, 4, false},
      {"indexed", 3, Few, 3, false},
      {"indexed, opaque alpha left out", 4,
       [](int x, int y, int c) { return c < 3 ? Few(x, y, c) : std::uint8_t{255}; }, 3, false},
      {"indexed with translucent colours", 4,
       [](int x, int y, int c) {
         return c < 3 ? Few(x, y, c) : static_cast<std::uint8_t>((x + 3 * y) % 40 < 10 ? 90 : 255);
       },
       3, true},
      {"RGB", 3, Many, 2, false},
      // Two channels alike everywhere are not grey while the third differs.
      {"RGB, red and green alike, blue not", 3,
       [](int x, int y, int c) { return Many(x, y, c == 2 ? 2 : 0); }, 2, false},
      {"RGB, red and blue alike, green not", 3,
       [](int x, int y, int c) { return Many(x, y, c == 1 ? 1 : 0); }, 2, false},
      {"RGB, opaque alpha left out", 4,
       [](int x, int y, int c) { return c < 3 ? Many(x, y, c) : std::uint8_t{255}; }, 2, false},
      {"RGBA", 4, [](int x, int y, int c) { return c < 3 ? Many(x, y, c) : Alpha(x, y); }, 6,
       false},
  };
  return forms;
}

constexpr PngFilter kFilters[] = {PngFilter::kMeasured, PngFilter::kNone,    PngFilter::kSub,
                                  PngFilter::kUp,       PngFilter::kAverage, PngFilter::kPaeth,
                                  PngFilter::kAdaptive};

// The filter type every row must carry, or -1 where the writer chooses per row.
int FixedRowFilter(PngFilter filter) {
  switch (filter) {
    case PngFilter::kNone:
      return 0;
    case PngFilter::kSub:
      return 1;
    case PngFilter::kUp:
      return 2;
    case PngFilter::kAverage:
      return 3;
    case PngFilter::kPaeth:
      return 4;
    default:
      return -1;
  }
}

TEST(PngWriter, EachColourFormTakesItsSmallestType) {
  for (const Form& form : Forms()) {
    SCOPED_TRACE(form.name);
    const Layout layout = EncodeAndCheck(37, 23, form.channels, form.sample, PngFilter::kMeasured);
    EXPECT_EQ(layout.colourType, form.colourType);
    const bool hasPalette =
        std::find(layout.chunks.begin(), layout.chunks.end(), "PLTE") != layout.chunks.end();
    const bool hasTransparency =
        std::find(layout.chunks.begin(), layout.chunks.end(), "tRNS") != layout.chunks.end();
    EXPECT_EQ(hasPalette, form.colourType == 3);
    EXPECT_EQ(hasTransparency, form.transparency);
    ASSERT_FALSE(layout.chunks.empty());
    EXPECT_EQ(layout.chunks.front(), "IHDR");
    EXPECT_EQ(layout.chunks.back(), "IEND");
  }
}

// Every form, filtering and shape: thin and odd-width images exercise the filters' edges (no
// pixel to the left, no row above), the tall one the sampling of bands of rows.
TEST(PngWriter, EveryFilteringOfEveryShapeDecodesExactly) {
  const struct {
    int width, height;
  } shapes[] = {{1, 1}, {1, 19}, {19, 1}, {2, 2}, {31, 7}, {33, 70}, {5, 301}};
  for (const Form& form : Forms()) {
    for (const PngFilter filter : kFilters) {
      for (const auto& shape : shapes) {
        SCOPED_TRACE(std::string(form.name) + ", filter " +
                     std::to_string(static_cast<int>(filter)) + ", " + std::to_string(shape.width) +
                     "x" + std::to_string(shape.height));
        const Layout layout =
            EncodeAndCheck(shape.width, shape.height, form.channels, form.sample, filter);
        ASSERT_EQ(layout.rowFilters.size(), static_cast<std::size_t>(shape.height));
        const int fixed = FixedRowFilter(filter);
        for (const int rowFilter : layout.rowFilters) {
          if (fixed >= 0) {
            EXPECT_EQ(rowFilter, fixed);
          } else {
            EXPECT_LE(rowFilter, 4);
          }
        }
      }
    }
  }
}

TEST(PngWriter, AnEmptyImageHasNoPng) {
  tarncore::Image image;
  EXPECT_TRUE(tarncore::EncodePng(image).empty());
}

}  // namespace
