#include "support/images.h"

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_BMP
#include <stb_image.h>

#include <fstream>
#include <sstream>

namespace testsupport {

Image Pattern(int width, int height) {
  Image img{width, height, {}};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      img.pixels.push_back({static_cast<std::uint8_t>(x * 255 / (width > 1 ? width - 1 : 1)),
                            static_cast<std::uint8_t>(y * 255 / (height > 1 ? height - 1 : 1)),
                            static_cast<std::uint8_t>(x == y ? 255 : 40)});
    }
  }
  return img;
}

std::string Bmp24(const Image& image) {
  const int rowBytes = (image.width * 3 + 3) & ~3;
  const std::uint32_t dataSize = static_cast<std::uint32_t>(rowBytes * image.height);
  std::string out;
  auto u16 = [&](std::uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
  };
  auto u32 = [&](std::uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  };
  out += "BM";
  u32(54 + dataSize);
  u32(0);
  u32(54);
  u32(40);
  u32(static_cast<std::uint32_t>(image.width));
  u32(static_cast<std::uint32_t>(image.height));  // positive: bottom-up
  u16(1);
  u16(24);
  u32(0);
  u32(dataSize);
  u32(2835);
  u32(2835);
  u32(0);
  u32(0);
  for (int y = image.height - 1; y >= 0; --y) {
    std::string row;
    for (int x = 0; x < image.width; ++x) {
      const Rgb& p = image.pixels[static_cast<size_t>(y * image.width + x)];
      row.push_back(static_cast<char>(p.b));
      row.push_back(static_cast<char>(p.g));
      row.push_back(static_cast<char>(p.r));
    }
    row.resize(static_cast<size_t>(rowBytes), '\0');
    out += row;
  }
  return out;
}

Image DecodeImage(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string bytes = ss.str();
  int w = 0, h = 0, n = 0;
  unsigned char* data = stbi_load_from_memory(reinterpret_cast<const unsigned char*>(bytes.data()),
                                              static_cast<int>(bytes.size()), &w, &h, &n, 3);
  Image img;
  if (!data) return img;
  img.width = w;
  img.height = h;
  for (int i = 0; i < w * h; ++i)
    img.pixels.push_back({data[3 * i], data[3 * i + 1], data[3 * i + 2]});
  stbi_image_free(data);
  return img;
}

}  // namespace testsupport
