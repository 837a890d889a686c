// Small images for tests: BMP files written by hand, PNG files decoded with stb_image.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

struct Rgb {
  std::uint8_t r, g, b;
  bool operator==(const Rgb&) const = default;
};

struct Image {
  int width = 0, height = 0;
  std::vector<Rgb> pixels;  // row by row, top row first
  bool operator==(const Image&) const = default;
};

// A test pattern with distinct pixels (gradients and a diagonal).
Image Pattern(int width, int height);

// The bytes of a 24-bit bottom-up BMP of the image.
std::string Bmp24(const Image& image);

// Decodes a PNG (or any image stb_image reads) into RGB; width 0 when it cannot be read.
Image DecodeImage(const std::filesystem::path& file);

}  // namespace testsupport
