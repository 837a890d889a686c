// The text of a preview request file: LoadTextFile and its two pure steps.
#pragma once

#include <string>
#include <string_view>

#include "preview/RequestErrors.h"

namespace preview {

// Decodes a file's bytes by their byte-order mark, tested in this order:
//   EF BB BF  UTF-8, strictly: bytes that are not valid UTF-8 raise ERequestReadError;
//   FF FE     UTF-16 little-endian; FE FF  UTF-16 big-endian: two bytes per code unit, an odd last
//             byte ignored, except that exactly one byte after the mark raises ERequestReadError;
//   otherwise the system's ANSI code page (platform::DecodeAnsi), no bytes skipped; never fails.
// The mark is not part of the text.
std::u16string DecodeTextBytes(std::string_view bytes);

// Cuts the text at its first U+0000, splits it into lines and joins them again, each followed by
// CR LF. A line ends at CR LF, CR or LF; after a line one CR and then one LF are passed over, so
// CR CR LF ends two lines. A break at the very end starts no further line; no lines give the empty
// text.
std::u16string JoinLinesCrLf(std::u16string_view text);

// Reads the whole file (for reading only, shared for reading only, closed again on every path) and
// returns JoinLinesCrLf(DecodeTextBytes(bytes)). Raises ERequestReadError when the file cannot be
// opened or read, or its bytes cannot be decoded.
std::u16string LoadTextFile(const std::u16string& path);

}  // namespace preview
