// A decoded image as it passes from the readers to the PNG writer.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace tarncore {

// Pixel memory comes from malloc (stb_image's allocator too), so one deleter serves every reader.
struct FreePixels {
  void operator()(std::uint8_t* pixels) const { std::free(pixels); }
};
using PixelBuffer = std::unique_ptr<std::uint8_t, FreePixels>;

// `height` rows of `width` pixels, top row first, each pixel `channels` 8-bit samples with no
// padding: 1 grey, 2 grey and alpha, 3 RGB, 4 RGBA.
struct Image {
  int width = 0;
  int height = 0;
  int channels = 0;
  PixelBuffer pixels;
};

}  // namespace tarncore
