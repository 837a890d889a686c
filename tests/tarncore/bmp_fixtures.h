// Small BMP files built byte by byte, each with the pixels it must decode to, or none when it
// must be refused: one fixture per header, depth, compression and reading rule. Shared by the
// reader's own tests, the conversion's tests through the library, and the fuzzer's seeds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bmp_fixtures {

using Bytes = std::vector<std::uint8_t>;

// Pixels top row first; `channels` is 3 (RGB) or 4 (RGBA), as the reader gives them.
struct Pixels {
  int width = 0, height = 0, channels = 0;
  Bytes data;
  // The same pixels as RGBA (opaque when there is no alpha).
  Bytes Rgba() const;
};

struct Fixture {
  std::string name;
  Bytes file;
  std::optional<Pixels> expected;  // nullopt: the file must be refused
};

std::vector<Fixture> All();

// A valid 24-bit BMP header declaring width x height, followed by `dataBytes` bytes of pixels
// (zeros), whatever the declared size needs.
Bytes Bmp24Header(std::int32_t width, std::int32_t height, std::size_t dataBytes);

}  // namespace bmp_fixtures
