// The conversion behind the core library's image-to-PNG operation: reading (image_reader.h: BMP
// with the library's own reader, PNG, JPEG and GIF with stb_image, everything else refused; the
// size checked against a pixel cap on the header, truncated files refused) and encoding
// (png_writer.h), without any file system call: the caller opens the image and places the PNG.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

#include "tarncore/png_writer.h"

namespace tarncore {

// The image that `image` holds, from its current position, encoded as PNG (see EncodePng).
// nullopt when the image is refused or cannot be read or encoded.
std::optional<PngBytes> EncodeAsPng(std::FILE* image);

}  // namespace tarncore
