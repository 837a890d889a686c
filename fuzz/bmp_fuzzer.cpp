// Arbitrary bytes through the BMP reader, as a file in memory. Checked: an accepted image has a
// size within the cap, 3 or 4 channels, and decodes to the same pixels a second time (a pixel
// left unwritten would show as a difference sooner or later).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include "fuzz_check.h"
#include "tarncore/bmp_reader.h"

namespace {

// Small enough that every accepted image decodes in well under a second under the sanitizers.
constexpr std::uint64_t kCap = 1 << 20;

std::optional<tarncore::Image> Decode(const std::uint8_t* data, std::size_t size) {
  std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (file == nullptr) return std::nullopt;
  std::optional<tarncore::Image> image = tarncore::ReadBmp(file, kCap);
  std::fclose(file);
  return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;  // fmemopen refuses an empty buffer
  const std::optional<tarncore::Image> first = Decode(data, size);
  if (!first) return 0;
  FUZZ_CHECK(first->width > 0 && first->height > 0);
  FUZZ_CHECK(static_cast<std::uint64_t>(first->width) * first->height <= kCap);
  FUZZ_CHECK(first->channels == 3 || first->channels == 4);
  const std::optional<tarncore::Image> second = Decode(data, size);
  FUZZ_CHECK(second && second->width == first->width && second->height == first->height &&
             second->channels == first->channels);
  const std::size_t bytes =
      static_cast<std::size_t>(first->width) * first->height * first->channels;
  FUZZ_CHECK(std::memcmp(first->pixels.get(), second->pixels.get(), bytes) == 0);
  return 0;
}
