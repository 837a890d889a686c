// Image decoding (stb_image) and PNG encoding (stb_image_write over zlib's deflate), without any
// file system call: the caller opens the image and places the PNG.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

namespace tarncore {

// A PNG file's bytes, allocated with malloc as stb_image_write returns them.
struct PngBytes {
  struct Free {
    void operator()(unsigned char* bytes) const { std::free(bytes); }
  };
  std::unique_ptr<unsigned char, Free> bytes;
  std::size_t size = 0;
};

// Decodes the image that `image` holds from its current position (BMP, PNG, JPEG, GIF, TGA, PSD,
// PNM, HDR) and encodes it as an 8-bit PNG: grey, grey and alpha, RGB or RGBA, whichever holds
// every pixel exactly (an alpha channel that is opaque everywhere is left out). nullopt when the
// image cannot be decoded or encoded.
std::optional<PngBytes> EncodeAsPng(std::FILE* image);

}  // namespace tarncore
