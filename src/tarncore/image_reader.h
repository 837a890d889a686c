// Reading the image file handed to the conversion, without any file system call of its own: the
// caller opens the file.
//
// What the file holds is decided by its first bytes, never by its name:
// - "BM": the library's own BMP reader (bmp_reader.h);
// - the PNG signature, a JPEG start-of-image marker followed by a marker, "GIF87a" or "GIF89a":
//   stb_image, after the size in the header was checked against the cap. A PNG whose chunks do
//   not all lie within the file is refused before decoding; a GIF gives its first frame; a JPEG or
//   GIF whose data ends early comes out as stb_image completes it;
// - anything else is refused (no HDR, PIC, PSD, PNM or TGA: those decoders are not compiled in).
// While stb_image decodes, no single allocation may exceed the image at four channels of its
// sample size, and the buffers that PNG decoding grows (its compressed and inflated data) may not
// exceed the larger of its rows as the header declares them (filter bytes included) and twice its
// compressed data; each limit has a little more per row and column, plus 1 MiB. Data that inflates
// beyond what the header declares ends in a refusal instead of taking memory without bound.
// Reading the header alone takes at most 1 MiB per allocation.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

#include "tarncore/image.h"

namespace tarncore {

// The most pixels (width times height) an image may have: above 8K UHD (7680x4320 = 33,177,600).
inline constexpr std::uint64_t kPixelCap = 40'000'000;

// Decodes the image that `file` holds from its current position. nullopt when it cannot be
// decoded or is refused.
std::optional<Image> ReadImage(std::FILE* file);

}  // namespace tarncore
