// The conversion behind the core library's image-to-PNG operation: reading (image_reader.h) and
// encoding (png_writer.h), without any file system call: the caller opens the image and places
// the PNG.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

#include "tarncore/png_writer.h"

namespace tarncore {

// The image that `image` holds, from its current position, encoded as PNG (see EncodePng).
// nullopt when the image cannot be read or encoded.
std::optional<PngBytes> EncodeAsPng(std::FILE* image);

}  // namespace tarncore
