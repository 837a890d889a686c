// Lossless conversion between the program's UTF-16 texts and the UTF-8 bytes of POSIX calls.
//
// Bytes that are not valid UTF-8 decode to U+DC80..U+DCFF and encode back to the same bytes (as
// Python's "surrogateescape"), so a path from the command line always reaches the same file. Any
// other unpaired surrogate encodes as its three-byte form. Pure functions, built on every OS.
#pragma once

#include <string>
#include <string_view>

namespace platform {

std::string ToNative(std::u16string_view text);
std::u16string FromNative(std::string_view bytes);

}  // namespace platform
