#include "tarncore/png_convert.h"

#include "tarncore/image_reader.h"

namespace tarncore {

std::optional<PngBytes> EncodeAsPng(std::FILE* image) {
  std::optional<Image> decoded = ReadImage(image);
  if (!decoded) return std::nullopt;
  PngBytes png = EncodePng(*decoded);
  if (png.empty()) return std::nullopt;
  return png;
}

}  // namespace tarncore
