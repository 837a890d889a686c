// Ordinal 15: an image file becomes a PNG file that decodes to the same pixels; what cannot be
// converted leaves no file at the target and no temporary file beside it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bmp_fixtures.h"
#include "tarncore_test_support.h"

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#include <stb_image.h>
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb_image_write.h>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using tarncore_test::PathText;
using tarncore_test::ReadFile;
using tarncore_test::T;
using tarncore_test::TempFolder;
using tarncore_test::WriteFile;

// Pixels, top row first, `channels` bytes each (1 grey, 2 grey+alpha, 3 RGB, 4 RGBA).
struct Image {
  int width = 0, height = 0, channels = 0;
  Bytes data;
  std::uint8_t* at(int x, int y) {
    return &data[(static_cast<std::size_t>(y) * width + x) * channels];
  }
  const std::uint8_t* at(int x, int y) const {
    return &data[(static_cast<std::size_t>(y) * width + x) * channels];
  }
};

// A pattern whose channel c at (x, y) depends on all three, each channel in its own way, so a
// mirrored, shifted or swapped channel shows and larger images have many colours.
std::uint8_t Pattern(int x, int y, int c) {
  return static_cast<std::uint8_t>(x * (37 + 20 * c) + y * (91 - 30 * c) + (x * y * (c + 1)) % 7);
}

void Put16(Bytes& out, unsigned v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(Bytes& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// ---- BMP, written by hand -------------------------------------------------------------------

enum class BmpKind {
  kPalette,          // 1, 4 or 8 bits per pixel with a colour table
  kRgb555,           // 16 bits, BI_RGB (5 bits per colour)
  kRgb,              // 24 bits
  kRgbZeroReserved,  // 32 bits, BI_RGB, the fourth byte zero: opaque
  kRgbaBitfields,    // 32 bits, BITMAPV4HEADER with an alpha mask
  kGrey,             // 24 bits, every pixel grey
  kGreyAlpha,        // 32 bits as kRgbaBitfields, every pixel grey
  kMixedAlpha,       // 32 bits as kRgbaBitfields, opaque and translucent pixels in turn
  kDistinct,         // 24 bits, every pixel a colour of its own
};

std::uint8_t Expand5(unsigned v) { return static_cast<std::uint8_t>((v << 3) | (v >> 2)); }

// The colour table of the palette BMPs: distinct, not grey.
std::uint8_t PaletteChannel(int index, int c) {
  return static_cast<std::uint8_t>(index * 11 + c * 85 + 7);
}

// The pixels a BMP of this kind holds, as RGBA.
Image BmpPixels(BmpKind kind, int bits, int width, int height) {
  Image image{width, height, 4, Bytes(static_cast<std::size_t>(width) * height * 4)};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = image.at(x, y);
      p[3] = 255;
      switch (kind) {
        case BmpKind::kPalette: {
          const int index = (x * 7 + y * 13) % (1 << bits);
          for (int c = 0; c < 3; ++c) p[c] = PaletteChannel(index, c);
          break;
        }
        case BmpKind::kRgb555:
          for (int c = 0; c < 3; ++c) p[c] = Expand5(Pattern(x, y, c) % 32);
          break;
        case BmpKind::kRgb:
        case BmpKind::kRgbZeroReserved:
          for (int c = 0; c < 3; ++c) p[c] = Pattern(x, y, c);
          break;
        case BmpKind::kRgbaBitfields:
          for (int c = 0; c < 4; ++c) p[c] = Pattern(x, y, c);
          break;
        case BmpKind::kGrey:
          p[0] = p[1] = p[2] = Pattern(x, y, 0);
          break;
        case BmpKind::kGreyAlpha:
          p[0] = p[1] = p[2] = Pattern(x, y, 0);
          p[3] = Pattern(x, y, 3);
          break;
        case BmpKind::kMixedAlpha:
          for (int c = 0; c < 3; ++c) p[c] = static_cast<std::uint8_t>(x * 40 + c * 90);
          p[3] = x % 2 == 0 ? 255 : static_cast<std::uint8_t>(y * 50);
          break;
        case BmpKind::kDistinct: {
          const int n = y * width + x;
          p[0] = static_cast<std::uint8_t>(n), p[1] = static_cast<std::uint8_t>(n >> 8), p[2] = 77;
          break;
        }
      }
    }
  }
  return image;
}

// The BMP file for the pixels that BmpPixels(kind, bits, ...) made.
Bytes MakeBmp(const Image& image, BmpKind kind, int bits, bool topDown) {
  const bool v4 = kind == BmpKind::kRgbaBitfields || kind == BmpKind::kGreyAlpha ||
                  kind == BmpKind::kMixedAlpha;
  const int headerSize = v4 ? 108 : 40;
  const int colours = kind == BmpKind::kPalette ? 1 << bits : 0;
  const std::size_t rowBytes = ((static_cast<std::size_t>(image.width) * bits + 31) / 32) * 4;
  const std::uint32_t offset = 14 + headerSize + colours * 4;
  const auto fileSize = static_cast<std::uint32_t>(offset + rowBytes * image.height);

  Bytes out;
  out.push_back('B');
  out.push_back('M');
  Put32(out, fileSize);
  Put32(out, 0);
  Put32(out, offset);
  Put32(out, headerSize);
  Put32(out, static_cast<std::uint32_t>(image.width));
  Put32(out, static_cast<std::uint32_t>(topDown ? -image.height : image.height));
  Put16(out, 1);
  Put16(out, static_cast<unsigned>(bits));
  Put32(out, v4 ? 3 : 0);  // BI_BITFIELDS or BI_RGB
  Put32(out, static_cast<std::uint32_t>(rowBytes * image.height));
  Put32(out, 2835);
  Put32(out, 2835);
  Put32(out, static_cast<std::uint32_t>(colours));
  Put32(out, 0);
  if (v4) {
    Put32(out, 0x00FF0000);
    Put32(out, 0x0000FF00);
    Put32(out, 0x000000FF);
    Put32(out, 0xFF000000);
    Put32(out, 0x73524742);             // 'sRGB'
    out.insert(out.end(), 36 + 12, 0);  // end points and gamma, unused with sRGB
  }
  for (int i = 0; i < colours; ++i) {
    out.push_back(PaletteChannel(i, 2));
    out.push_back(PaletteChannel(i, 1));
    out.push_back(PaletteChannel(i, 0));
    out.push_back(0);
  }
  for (int row = 0; row < image.height; ++row) {
    const int y = topDown ? row : image.height - 1 - row;
    Bytes line(rowBytes, 0);
    for (int x = 0; x < image.width; ++x) {
      const std::uint8_t* p = image.at(x, y);
      const auto i = static_cast<std::size_t>(x);
      switch (kind) {
        case BmpKind::kPalette: {
          const int index = (x * 7 + y * 13) % (1 << bits);
          const std::size_t bit = static_cast<std::size_t>(x) * bits;
          line[bit / 8] |= static_cast<std::uint8_t>(index << (8 - bits - bit % 8));
          break;
        }
        case BmpKind::kRgb555: {
          const unsigned v = ((p[0] >> 3) << 10) | ((p[1] >> 3) << 5) | (p[2] >> 3);
          line[i * 2] = static_cast<std::uint8_t>(v);
          line[i * 2 + 1] = static_cast<std::uint8_t>(v >> 8);
          break;
        }
        case BmpKind::kRgb:
        case BmpKind::kGrey:
        case BmpKind::kDistinct:
          line[i * 3] = p[2], line[i * 3 + 1] = p[1], line[i * 3 + 2] = p[0];
          break;
        case BmpKind::kRgbZeroReserved:
        case BmpKind::kRgbaBitfields:
        case BmpKind::kGreyAlpha:
        case BmpKind::kMixedAlpha:
          line[i * 4] = p[2], line[i * 4 + 1] = p[1], line[i * 4 + 2] = p[0];
          line[i * 4 + 3] = v4 ? p[3] : 0;
          break;
      }
    }
    out.insert(out.end(), line.begin(), line.end());
  }
  return out;
}

// ---- other formats ---------------------------------------------------------------------------

Image Pixels(int width, int height, int channels) {
  Image image{width, height, channels, Bytes(static_cast<std::size_t>(width) * height * channels)};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < channels; ++c) image.at(x, y)[c] = Pattern(x, y, c);
    }
  }
  return image;
}

void AppendTo(void* context, void* data, int size) {
  auto* out = static_cast<Bytes*>(context);
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  out->insert(out->end(), bytes, bytes + size);
}

// stb_image_write's own encoder (its built-in deflate): independent of the library's zlib path.
Bytes MakePng(const Image& image) {
  Bytes out;
  stbi_write_png_to_func(AppendTo, &out, image.width, image.height, image.channels,
                         image.data.data(), 0);
  return out;
}

Bytes MakePpm(const Image& rgb) {
  const std::string header =
      "P6\n" + std::to_string(rgb.width) + " " + std::to_string(rgb.height) + "\n255\n";
  Bytes out(header.begin(), header.end());
  out.insert(out.end(), rgb.data.begin(), rgb.data.end());
  return out;
}

// An uncompressed 8-bit RGB Photoshop file with one composite image. (stb_image takes a PSD's
// alpha as matted against white, so the test keeps to opaque pixels.)
Bytes MakePsd(const Image& image) {
  Bytes out = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0};
  const auto put16be = [&out](unsigned v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
  };
  const auto put32be = [&](std::uint32_t v) { put16be(v >> 16), put16be(v & 0xFFFF); };
  put16be(static_cast<unsigned>(image.channels));
  put32be(static_cast<std::uint32_t>(image.height));
  put32be(static_cast<std::uint32_t>(image.width));
  put16be(8);                          // bits per channel
  put16be(3);                          // RGB
  put32be(0), put32be(0), put32be(0);  // colour mode data, resources, layers: none
  put16be(0);                          // raw planes
  for (int c = 0; c < image.channels; ++c) {
    for (int y = 0; y < image.height; ++y) {
      for (int x = 0; x < image.width; ++x) out.push_back(image.at(x, y)[c]);
    }
  }
  return out;
}

// A GIF of at most 256 colours; its LZW stream sends every pixel as a literal 9-bit code and a
// clear code before the table would outgrow 9 bits.
Bytes MakeGif(const Image& rgb, const std::vector<int>& indexes, const Bytes& palette) {
  Bytes out = {'G', 'I', 'F', '8', '9', 'a'};
  Put16(out, static_cast<unsigned>(rgb.width));
  Put16(out, static_cast<unsigned>(rgb.height));
  out.insert(out.end(), {0xF7, 0, 0});  // a global table of 256 colours
  out.insert(out.end(), palette.begin(), palette.end());
  out.insert(out.end(), {0x2C, 0, 0, 0, 0});
  Put16(out, static_cast<unsigned>(rgb.width));
  Put16(out, static_cast<unsigned>(rgb.height));
  out.insert(out.end(), {0, 8});  // no local table; LZW minimum code size 8
  Bytes codes;
  std::uint32_t buffer = 0;
  int held = 0;
  const auto emit = [&](unsigned code) {
    buffer |= code << held;
    for (held += 9; held >= 8; held -= 8, buffer >>= 8) {
      codes.push_back(static_cast<std::uint8_t>(buffer));
    }
  };
  for (std::size_t i = 0; i < indexes.size(); ++i) {
    if (i % 250 == 0) emit(256);
    emit(static_cast<unsigned>(indexes[i]));
  }
  emit(257);
  if (held > 0) codes.push_back(static_cast<std::uint8_t>(buffer));
  for (std::size_t i = 0; i < codes.size(); i += 255) {
    const std::size_t n = std::min<std::size_t>(255, codes.size() - i);
    out.push_back(static_cast<std::uint8_t>(n));
    out.insert(out.end(), codes.begin() + static_cast<std::ptrdiff_t>(i),
               codes.begin() + static_cast<std::ptrdiff_t>(i + n));
  }
  out.insert(out.end(), {0, 0x3B});
  return out;
}

// ---- checks ----------------------------------------------------------------------------------

void Convert(const fs::path& image, const fs::path& png) {
  TarnImageToPng(PathText(image).c_str(), PathText(png).c_str());
}

// PNG colour types, as IHDR states them.
constexpr int kGreyPng = 0, kRgbPng = 2, kIndexedPng = 3, kGreyAlphaPng = 4, kRgbaPng = 6;
constexpr int kAnyPng = -1;

// The PNG at `path` is an 8-bit PNG of the colour type, holding exactly the pixels of `expected`
// (read back with as many channels as `expected` has).
void ExpectPng(const fs::path& path, const Image& expected, int colourType,
               const std::string& what) {
  ASSERT_TRUE(fs::is_regular_file(path)) << what << ": no PNG made";
  const Bytes png = ReadFile(path);
  ASSERT_GT(png.size(), 26u) << what;
  ASSERT_EQ(std::memcmp(png.data(), "\x89PNG\r\n\x1a\n", 8), 0) << what;
  EXPECT_EQ(png[24], 8) << what << ": bit depth";
  if (colourType != kAnyPng) {
    EXPECT_EQ(png[25], colourType) << what << ": colour type";
  }
  int width = 0, height = 0, channels = 0;
  stbi_uc* pixels = stbi_load_from_memory(png.data(), static_cast<int>(png.size()), &width, &height,
                                          &channels, expected.channels);
  ASSERT_NE(pixels, nullptr) << what << ": " << stbi_failure_reason();
  const Bytes decoded(pixels,
                      pixels + static_cast<std::size_t>(width) * height * expected.channels);
  stbi_image_free(pixels);
  EXPECT_EQ(width, expected.width) << what;
  EXPECT_EQ(height, expected.height) << what;
  EXPECT_TRUE(decoded == expected.data) << what << ": pixels differ";
}

Image ReducedTo(const Image& rgba, int channels) {
  Image out{rgba.width, rgba.height, channels, {}};
  for (std::size_t i = 0; i < rgba.data.size(); i += 4) {
    if (channels <= 2) out.data.push_back(rgba.data[i]);
    if (channels >= 3) out.data.insert(out.data.end(), &rgba.data[i], &rgba.data[i] + 3);
    if (channels == 2 || channels == 4) out.data.push_back(rgba.data[i + 3]);
  }
  return out;
}

class ImageToPng : public ::testing::Test {
 protected:
  TempFolder folder_;
  fs::path Path(const std::u16string& name) const { return folder_.Path() / name; }
};

TEST_F(ImageToPng, BmpOfEveryCommonDepthKeepsItsPixels) {
  // The PNG is grey when every pixel is grey, indexed for at most 256 colours, else RGB or RGBA;
  // an alpha channel stays only when some pixel is not opaque.
  static const struct {
    const char* name;
    BmpKind kind;
    int bits;
    int width, height;
    bool topDown;
    int pngType;
    int channels;  // of the pixels to compare
  } cases[] = {
      {"24-bit bottom-up, odd width", BmpKind::kRgb, 24, 7, 5, false, kIndexedPng, 3},
      {"24-bit top-down, odd width", BmpKind::kRgb, 24, 5, 4, true, kIndexedPng, 3},
      {"24-bit, one pixel wide", BmpKind::kRgb, 24, 1, 3, false, kIndexedPng, 3},
      {"24-bit, many colours, odd width", BmpKind::kRgb, 24, 301, 203, false, kRgbPng, 3},
      {"24-bit, many colours, top-down", BmpKind::kRgb, 24, 131, 67, true, kRgbPng, 3},
      {"24-bit, 256 colours", BmpKind::kDistinct, 24, 16, 16, false, kIndexedPng, 3},
      {"24-bit, 257 colours", BmpKind::kDistinct, 24, 257, 1, false, kRgbPng, 3},
      {"24-bit grey", BmpKind::kGrey, 24, 9, 6, false, kGreyPng, 1},
      {"24-bit grey, many shades", BmpKind::kGrey, 24, 300, 20, false, kGreyPng, 1},
      {"32-bit BI_RGB, fourth byte zero", BmpKind::kRgbZeroReserved, 32, 5, 3, false, kIndexedPng,
       3},
      {"32-bit BI_RGB, many colours, top-down", BmpKind::kRgbZeroReserved, 32, 99, 40, true,
       kRgbPng, 3},
      {"32-bit with alpha", BmpKind::kRgbaBitfields, 32, 7, 5, false, kIndexedPng, 4},
      {"32-bit with alpha, many colours", BmpKind::kRgbaBitfields, 32, 61, 33, false, kRgbaPng, 4},
      {"32-bit with alpha, many colours, top-down", BmpKind::kRgbaBitfields, 32, 45, 20, true,
       kRgbaPng, 4},
      {"32-bit, opaque and translucent in turn", BmpKind::kMixedAlpha, 32, 6, 4, false, kIndexedPng,
       4},
      {"32-bit grey with alpha", BmpKind::kGreyAlpha, 32, 5, 3, false, kGreyAlphaPng, 2},
      {"16-bit 5-5-5, odd width", BmpKind::kRgb555, 16, 3, 4, false, kIndexedPng, 3},
      {"16-bit 5-5-5, many colours", BmpKind::kRgb555, 16, 77, 41, false, kRgbPng, 3},
      {"8-bit palette, odd width", BmpKind::kPalette, 8, 5, 7, false, kIndexedPng, 3},
      {"8-bit palette, 256 colours used", BmpKind::kPalette, 8, 101, 37, false, kIndexedPng, 3},
      {"4-bit palette, odd width", BmpKind::kPalette, 4, 9, 3, false, kIndexedPng, 3},
      {"1-bit palette, odd width", BmpKind::kPalette, 1, 13, 4, true, kIndexedPng, 3},
  };
  for (const auto& c : cases) {
    const Image pixels = BmpPixels(c.kind, c.bits, c.width, c.height);
    const fs::path bmp = Path(u"in.bmp"), png = Path(u"out.png");
    WriteFile(bmp, MakeBmp(pixels, c.kind, c.bits, c.topDown));
    Convert(bmp, png);
    ExpectPng(png, ReducedTo(pixels, c.channels), c.pngType, c.name);
    EXPECT_EQ(folder_.Entries(), (std::vector<std::string>{"in.bmp", "out.png"})) << c.name;
    fs::remove(png);
  }
}

TEST_F(ImageToPng, OtherFormatsKeepTheirPixels) {
  const Image rgb = Pixels(11, 7, 3);
  Bytes gifPalette;
  std::vector<int> gifIndexes;
  Image gifPixels{rgb.width, rgb.height, 3, {}};
  for (int i = 0; i < 256; ++i) {
    for (int c = 0; c < 3; ++c) gifPalette.push_back(static_cast<std::uint8_t>(i * 3 + c * 70));
  }
  for (int i = 0; i < rgb.width * rgb.height; ++i) {
    gifIndexes.push_back((i * 29) % 256);
    const auto entry = static_cast<std::size_t>(gifIndexes.back()) * 3;
    gifPixels.data.insert(gifPixels.data.end(), &gifPalette[entry], &gifPalette[entry] + 3);
  }
  const Image greyAlpha = Pixels(6, 5, 2), rgba = Pixels(8, 3, 4), grey = Pixels(7, 7, 1);
  Bytes jpeg;
  stbi_write_jpg_to_func(AppendTo, &jpeg, rgb.width, rgb.height, 3, rgb.data.data(), 90);

  static const struct {
    const char* name;
    std::u16string file;
  } formats[] = {
      {"PNG RGB", u"rgb.png"},       {"PNG RGBA", u"rgba.png"}, {"PNG grey", u"grey.png"},
      {"PNG grey+alpha", u"ga.png"}, {"GIF", u"in.gif"},        {"JPEG", u"in.jpg"},
  };
  WriteFile(Path(u"rgb.png"), MakePng(rgb));
  WriteFile(Path(u"rgba.png"), MakePng(rgba));
  WriteFile(Path(u"grey.png"), MakePng(grey));
  WriteFile(Path(u"ga.png"), MakePng(greyAlpha));
  WriteFile(Path(u"in.gif"), MakeGif(rgb, gifIndexes, gifPalette));
  WriteFile(Path(u"in.jpg"), jpeg);
  // Lossless sources must come back as written; JPEG as stb_image itself reads it.
  const auto expectedFor = [&](const std::u16string& file) -> Image {
    if (file == u"rgb.png") return rgb;
    if (file == u"rgba.png") return rgba;
    if (file == u"grey.png") return grey;
    if (file == u"ga.png") return greyAlpha;
    if (file == u"in.gif") return gifPixels;
    const Bytes bytes = ReadFile(Path(file));
    Image read;
    stbi_uc* pixels = stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()),
                                            &read.width, &read.height, &read.channels, 3);
    if (pixels == nullptr) return read;
    read.channels = 3;
    read.data.assign(pixels, pixels + static_cast<std::size_t>(read.width) * read.height * 3);
    stbi_image_free(pixels);
    return read;
  };
  for (const auto& f : formats) {
    const fs::path png = Path(u"out.png");
    Convert(Path(f.file), png);
    ExpectPng(png, expectedFor(f.file), kAnyPng, f.name);
    fs::remove(png);
  }
}

TEST_F(ImageToPng, WhatCannotBeConvertedLeavesNoFileAtTheTarget) {
  const Image pixels = BmpPixels(BmpKind::kRgb, 24, 4, 4);
  Bytes truncatedHeader = MakeBmp(pixels, BmpKind::kRgb, 24, false);
  truncatedHeader.resize(20);
  static const struct {
    const char* name;
    bool imageExists;
    const char* imageText;  // used when imageText is not null
    bool usesTruncatedBmp;
    bool targetFolderExists;
    bool targetIsFolder = false;
  } cases[] = {
      {"missing image", false, nullptr, false, true},
      {"text, not an image", true, "not an image at all", false, true},
      {"empty file", true, "", false, true},
      {"BMP cut inside its header", true, nullptr, true, true},
      {"target folder missing", true, nullptr, false, false},
      {"a folder holds the target's name", true, nullptr, false, true, true},
  };
  for (const auto& c : cases) {
    for (const bool targetExisted : {false, true}) {
      const std::string what = std::string(c.name) + (targetExisted ? ", target existed" : "");
      const TempFolder folder;
      const fs::path image = folder.Path() / "in.bmp";
      const fs::path targetFolder = c.targetFolderExists ? folder.Path() : folder.Path() / "no";
      const fs::path png = targetFolder / "out.png";
      std::vector<std::string> expected;
      if (c.imageExists) {
        if (c.imageText != nullptr) {
          const std::string text = c.imageText;
          WriteFile(image, Bytes(text.begin(), text.end()));
        } else {
          WriteFile(image, c.usesTruncatedBmp ? truncatedHeader
                                              : MakeBmp(pixels, BmpKind::kRgb, 24, false));
        }
        expected.push_back("in.bmp");
      }
      if (c.targetIsFolder) {
        fs::create_directory(png);
        expected.push_back("out.png");
      } else if (targetExisted && c.targetFolderExists) {
        WriteFile(png, Bytes{'o', 'l', 'd'});
      }
      const Bytes imageBefore = c.imageExists ? ReadFile(image) : Bytes();

      Convert(image, png);

      EXPECT_FALSE(fs::is_regular_file(png)) << what;
      EXPECT_EQ(folder.Entries(), expected) << what << ": no temporary file may remain";
      if (c.imageExists) {
        EXPECT_TRUE(ReadFile(image) == imageBefore) << what;
      }
    }
  }
}

TEST_F(ImageToPng, AnEmptyImagePathLeavesNoFile) {
  const fs::path png = Path(u"out.png");
  WriteFile(png, Bytes{'o', 'l', 'd'});
  TarnImageToPng(T(u"").c_str(), PathText(png).c_str());
  EXPECT_FALSE(fs::exists(png));
  EXPECT_TRUE(folder_.Entries().empty());
}

TEST_F(ImageToPng, AnExistingTargetIsReplaced) {
  const fs::path bmp = Path(u"in.bmp"), png = Path(u"out.png");
  WriteFile(png, Bytes(5000, 'x'));  // longer than the new PNG: nothing of it may remain
  for (const int width : {3, 6}) {
    const Image pixels = BmpPixels(BmpKind::kRgb, 24, width, 2);
    WriteFile(bmp, MakeBmp(pixels, BmpKind::kRgb, 24, false));
    Convert(bmp, png);
    ExpectPng(png, ReducedTo(pixels, 3), kIndexedPng, "width " + std::to_string(width));
    EXPECT_EQ(folder_.Entries(), (std::vector<std::string>{"in.bmp", "out.png"}));
  }
}

TEST_F(ImageToPng, PathsBeyondAsciiReachTheirFiles) {
  const fs::path sub = Path(u"Ordner \u00e4\u00f6\u00fc \u6f22\u5b57");
  fs::create_directory(sub);
  const fs::path bmp = sub / u"Bild \u00c4 \U0001F600.bmp", png = sub / u"Vorschau \u00e4.png";
  const Image pixels = BmpPixels(BmpKind::kRgb, 24, 5, 5);
  WriteFile(bmp, MakeBmp(pixels, BmpKind::kRgb, 24, true));
  Convert(bmp, png);
  ExpectPng(png, ReducedTo(pixels, 3), kIndexedPng, "non-ASCII paths");
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(sub)) ++entries;
  EXPECT_EQ(entries, 2u) << "no temporary file may remain";
}

TEST_F(ImageToPng, BmpFixturesKeepTheirPixelsOrLeaveNoFile) {
  const fs::path bmp = Path(u"in.bmp"), png = Path(u"out.png");
  for (const bmp_fixtures::Fixture& f : bmp_fixtures::All()) {
    WriteFile(bmp, f.file);
    Convert(bmp, png);
    if (f.expected) {
      const Image rgba{f.expected->width, f.expected->height, 4, f.expected->Rgba()};
      ExpectPng(png, rgba, kAnyPng, f.name);
      EXPECT_EQ(folder_.Entries(), (std::vector<std::string>{"in.bmp", "out.png"})) << f.name;
    } else {
      EXPECT_FALSE(fs::exists(png)) << f.name << ": must be refused";
      EXPECT_EQ(folder_.Entries(), std::vector<std::string>{"in.bmp"}) << f.name;
    }
    fs::remove(png);
  }
}

// A PNG made of the given chunks' data, with correct CRCs.
Bytes PngOf(const Bytes& header, const Bytes& data) {
  Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  const auto chunk = [&out](const char* type, const Bytes& body) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      out.push_back(static_cast<std::uint8_t>(body.size() >> shift));
    }
    Bytes typed(type, type + 4);
    typed.insert(typed.end(), body.begin(), body.end());
    out.insert(out.end(), typed.begin(), typed.end());
    const unsigned crc = stbiw__crc32(typed.data(), static_cast<int>(typed.size()));
    for (int shift = 24; shift >= 0; shift -= 8)
      out.push_back(static_cast<std::uint8_t>(crc >> shift));
  };
  chunk("IHDR", header);
  chunk("IDAT", data);
  chunk("IEND", {});
  return out;
}

Bytes Zlib(const Bytes& raw) {
  int size = 0;
  unsigned char* packed = stbi_zlib_compress(const_cast<unsigned char*>(raw.data()),
                                             static_cast<int>(raw.size()), &size, 8);
  Bytes out(packed, packed + size);
  STBIW_FREE(packed);
  return out;
}

void PutBe16(Bytes& bytes, std::size_t at, unsigned v) {
  bytes[at] = static_cast<std::uint8_t>(v >> 8);
  bytes[at + 1] = static_cast<std::uint8_t>(v);
}

TEST_F(ImageToPng, HostileAndUnsupportedFilesLeaveNoFile) {
  const Image rgb = Pixels(11, 7, 3), rgba = Pixels(8, 3, 4);
  std::vector<std::pair<std::string, Bytes>> files;
  // Formats that are not read at all, whatever their content.
  const std::string radiance = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 16 +X 16\n\x02\x02";
  files.emplace_back("short Radiance HDR", Bytes(radiance.begin(), radiance.end()));
  Bytes tga, hdr;
  stbi_write_tga_to_func(AppendTo, &tga, rgba.width, rgba.height, 4, rgba.data.data());
  std::vector<float> floats(rgb.data.begin(), rgb.data.end());
  stbi_write_hdr_to_func(AppendTo, &hdr, rgb.width, rgb.height, 3, floats.data());
  files.emplace_back("Radiance HDR", hdr);
  files.emplace_back("TGA", tga);
  files.emplace_back("PPM", MakePpm(rgb));
  files.emplace_back("PSD", MakePsd(rgb));
  // Sizes over the pixel cap in the header, with little or no pixel data.
  files.emplace_back("BMP of 16384x16384 without pixels",
                     bmp_fixtures::Bmp24Header(16384, 16384, 0));
  Bytes png = MakePng(rgb);
  for (const std::size_t at : {16u, 20u})
    png[at] = 0, png[at + 1] = 0, png[at + 2] = 0x40, png[at + 3] = 0;
  files.emplace_back("PNG declaring 16384x16384", png);
  Bytes gif = MakeGif(rgb, std::vector<int>(77, 1), Bytes(768, 9));
  for (const std::size_t at : {6u, 786u})
    gif[at] = 0x90, gif[at + 1] = 0x65, gif[at + 2] = 0x90, gif[at + 3] = 0x65;
  files.emplace_back("GIF declaring 26000x26000", gif);
  Bytes jpeg;
  stbi_write_jpg_to_func(AppendTo, &jpeg, rgb.width, rgb.height, 3, rgb.data.data(), 90);
  for (std::size_t i = 2; i + 8 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
      PutBe16(jpeg, i + 5, 26000), PutBe16(jpeg, i + 7, 26000);
      break;
    }
  }
  files.emplace_back("JPEG declaring 26000x26000", jpeg);
  // PNGs whose data is not what their header says.
  Bytes cut = MakePng(Pixels(64, 64, 3));
  cut.resize(cut.size() / 2);
  files.emplace_back("PNG cut in its image data", cut);
  Bytes longChunk = MakePng(rgb);
  longChunk[33] = 0x7F, longChunk[34] = 0xFF, longChunk[35] = 0xFF, longChunk[36] = 0x00;
  files.emplace_back("PNG chunk longer than the file", longChunk);
  const Bytes greyHeader = {0, 0, 0x03, 0xE8, 0, 0, 0x03, 0xE8, 8, 0, 0, 0, 0};  // 1000x1000 grey
  files.emplace_back("PNG whose data inflates to 16 times its size",
                     PngOf(greyHeader, Zlib(Bytes(16u << 20, 0))));

  for (const auto& [name, bytes] : files) {
    const TempFolder folder;
    const fs::path image = folder.Path() / "in.bmp", target = folder.Path() / "out.png";
    WriteFile(image, bytes);
    Convert(image, target);
    EXPECT_FALSE(fs::exists(target)) << name << ": must be refused";
    EXPECT_EQ(folder.Entries(), std::vector<std::string>{"in.bmp"}) << name;
  }
  // The well-formed inflated PNG of the last case's size is read.
  const fs::path image = Path(u"in.png"), target = Path(u"out.png");
  WriteFile(image, PngOf(greyHeader, Zlib(Bytes(1000 * 1001, 0))));
  Convert(image, target);
  ExpectPng(target, Image{1000, 1000, 1, Bytes(1000 * 1000, 0)}, kAnyPng, "1000x1000 grey PNG");
}

}  // namespace
