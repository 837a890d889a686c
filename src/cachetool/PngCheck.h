// Whether a file's bytes are a whole PNG, as far as the file format itself can tell without
// decoding the pixels.
#pragma once

#include <string_view>

namespace cachetool {

// True when `bytes` begin with the PNG signature, the first chunk is IHDR, every chunk up to and
// including IEND is complete and carries the right CRC. Bytes after IEND are allowed (decoders
// ignore them, and a PNG given for import is copied as it is).
bool IsWholePng(std::string_view bytes);

}  // namespace cachetool
