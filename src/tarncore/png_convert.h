// Image decoding (stb_image) and PNG encoding (zlib's deflate), without any file system call:
// the caller opens the image and places the PNG.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

namespace tarncore {

// Decodes the image that `image` holds from its current position (BMP, PNG, JPEG, GIF, TGA, PSD,
// PNM, HDR) and returns it encoded as a PNG file of 8 bits per sample, in the smallest of these
// forms that holds every pixel exactly: grey, grey and alpha, indexed (at most 256 colours, with
// tRNS for translucent ones), RGB, RGBA. An alpha channel that is opaque everywhere is left out.
// nullopt when the image cannot be decoded or encoded.
std::optional<std::vector<std::uint8_t>> EncodeAsPng(std::FILE* image);

}  // namespace tarncore
