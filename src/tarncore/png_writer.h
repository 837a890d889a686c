// PNG encoding, without any file system call: the caller places the PNG.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "tarncore/image.h"

namespace tarncore {

// How the rows are filtered before compression (the PNG filter types of each row).
enum class PngFilter {
  kMeasured,  // the form that compresses best on a sample of the image's rows (see png_writer.cpp)
  kNone,      // every row unfiltered
  kSub,
  kUp,
  kAverage,
  kPaeth,
  kAdaptive,  // per row, the filter whose output bytes are smallest as signed values
};

// A finished PNG file in one malloc'd block, of which only the written bytes are touched.
class PngBytes {
 public:
  PngBytes() = default;
  PngBytes(PixelBuffer bytes, std::size_t size) : bytes_(std::move(bytes)), size_(size) {}
  const std::uint8_t* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  PixelBuffer bytes_;
  std::size_t size_ = 0;
};

// Encodes `image` as a PNG file of 8 bits per sample, in the smallest of these forms that holds
// every pixel exactly: grey, grey and alpha, indexed (at most 256 colours, with tRNS for
// translucent ones), RGB, RGBA. An alpha channel that is opaque everywhere is left out. The
// encoding consumes the pixels: they are reworked in place (channels packed, colours indexed,
// rows filtered) and freed before the PNG is returned. Empty when the encoding fails.
PngBytes EncodePng(Image& image, PngFilter filter = PngFilter::kMeasured);

}  // namespace tarncore
