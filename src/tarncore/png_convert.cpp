#include "tarncore/png_convert.h"

#include "tarncore/image_reader.h"
#include "tarncore/png_writer.h"

namespace tarncore {

std::optional<std::vector<std::uint8_t>> EncodeAsPng(std::FILE* image) {
  std::optional<Image> decoded = ReadImage(image);
  if (!decoded) return std::nullopt;
  std::vector<std::uint8_t> png = EncodePng(*decoded);
  if (png.empty()) return std::nullopt;
  return png;
}

}  // namespace tarncore
