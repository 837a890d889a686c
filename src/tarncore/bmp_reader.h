// The library's own BMP reader: every BMP that Windows itself displays, read from the file a row
// (or an RLE code) at a time, so that the only large allocation is the decoded image.
//
// Accepted:
// - headers: BITMAPCOREHEADER (12 bytes, OS/2 1.x: 16-bit sizes, 3-byte palette entries) and the
//   40-, 52-, 56-, 108- and 124-byte info headers (BITMAPINFOHEADER, its V2 and V3 extensions with
//   colour masks, BITMAPV4HEADER, BITMAPV5HEADER). OS/2 2.x headers (16 or 64 bytes) and every
//   other size are refused.
// - 1, 2, 4, 8, 16, 24 and 32 bits per pixel; BI_RGB, BI_RLE8 (8 bits), BI_RLE4 (4 bits),
//   BI_BITFIELDS and BI_ALPHABITFIELDS (16 and 32 bits; with a 40-byte header the three or four
//   masks follow it). BI_JPEG, BI_PNG and every other compression are refused.
// - bottom-up (positive height) and top-down (negative height) rows; RLE bottom-up only.
// - the pixels start at bfOffBits, whatever lies between the headers and there (a colour table, a
//   gap); bfOffBits inside the headers (or the masks that follow them) is refused.
//
// Fixed rules:
// - A colour channel narrower than 8 bits is widened by repeating its top bits (5 bits:
//   v<<3 | v>>2, 1 bit: 0 or 255); a wider one keeps its top 8 bits. A zero mask gives 0.
// - 16-bit BI_RGB is 5-5-5 (the top bit unused); 32-bit BI_RGB is 8-8-8 with the fourth byte
//   unused: the image is opaque whatever that byte holds.
// - The colour table holds the entries that the header declares (biClrUsed, else 2^bits) as far as
//   they fit before bfOffBits; an index past them is opaque black.
// - Pixels that RLE skips (delta, early end of line, early end of bitmap) are fully transparent
//   (0, 0, 0, 0); run pixels past the end of a line are dropped.
// - An alpha mask (V3, V4 and V5 headers with BI_BITFIELDS, or BI_ALPHABITFIELDS) is used, except
//   that an image whose alpha is 0 everywhere is opaque, so that no picture becomes invisible.
// - Masks must be contiguous, must not overlap and must lie within the pixel's bits; planes must
//   be 1, the width positive, the height not 0.
// - The width times the height is checked against the pixel cap before any pixel memory is taken.
//   A file that ends before its declared pixels (uncompressed rows, or an RLE stream that ends
//   before its end-of-bitmap code and before its last line) is refused, never padded.
//
// The image comes out top row first with 3 channels (RGB), or 4 (RGBA) for RLE and for an alpha
// mask.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

#include "tarncore/image.h"

namespace tarncore {

// Decodes the BMP that `file` holds from its current position (the "BM" signature first).
// nullopt when it is refused or when width * height exceeds `pixelCap`.
std::optional<Image> ReadBmp(std::FILE* file, std::uint64_t pixelCap);

}  // namespace tarncore
