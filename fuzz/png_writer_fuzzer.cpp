// Arbitrary small images through the PNG writer. The first three bytes choose the width (1 to 64),
// the channels (1 to 4) and the row filtering; the rest are the pixels, as many whole rows as
// there are. Checked: the writer gives a PNG, and stb_image decodes it to exactly those pixels.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "tarncore/png_writer.h"

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#include <stb_image.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const int width = 1 + data[0] % 64;
  const int channels = 1 + data[1] % 4;
  const auto filter = static_cast<tarncore::PngFilter>(data[2] % 7);
  data += 3;
  size -= 3;
  const std::size_t rowBytes = static_cast<std::size_t>(width) * channels;
  const int height = static_cast<int>(std::min<std::size_t>(size / rowBytes, 256));
  if (height == 0) return 0;

  tarncore::Image image;
  image.width = width;
  image.height = height;
  image.channels = channels;
  image.pixels.reset(static_cast<std::uint8_t*>(std::malloc(rowBytes * height)));
  std::memcpy(image.pixels.get(), data, rowBytes * height);
  const tarncore::PngBytes png = tarncore::EncodePng(image, filter);
  FUZZ_CHECK(!png.empty());

  int w = 0, h = 0, n = 0;
  stbi_uc* decoded = stbi_load_from_memory(png.data(), static_cast<int>(png.size()), &w, &h, &n, 4);
  FUZZ_CHECK(decoded != nullptr);
  FUZZ_CHECK(w == width && h == height);
  // The input as RGBA, as stb_image gives every PNG when asked for four channels.
  for (std::size_t i = 0; i < static_cast<std::size_t>(width) * height; ++i) {
    const std::uint8_t* from = data + i * channels;
    const std::uint8_t* to = decoded + i * 4;
    for (int c = 0; c < 3; ++c) FUZZ_CHECK(to[c] == from[channels >= 3 ? c : 0]);
    FUZZ_CHECK(to[3] == (channels == 2 || channels == 4 ? from[channels - 1] : 255));
  }
  stbi_image_free(decoded);
  return 0;
}
