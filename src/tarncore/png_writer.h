// PNG encoding, without any file system call: the caller places the PNG.
#pragma once

#include <cstdint>
#include <vector>

#include "tarncore/image.h"

namespace tarncore {

// Encodes `image` as a PNG file of 8 bits per sample, in the smallest of these forms that holds
// every pixel exactly: grey, grey and alpha, indexed (at most 256 colours, with tRNS for
// translucent ones), RGB, RGBA. An alpha channel that is opaque everywhere is left out. The
// pixels are reworked in place on the way (channels packed, colours indexed). Empty when the
// encoding fails.
std::vector<std::uint8_t> EncodePng(Image& image);

}  // namespace tarncore
