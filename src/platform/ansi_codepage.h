// Windows-1252 decoding as Windows itself performs it, for the POSIX stand-in of the ANSI code
// page.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Decodes `bytes` as Windows-1252, one UTF-16 unit per byte, the way MultiByteToWideChar(1252)
// does: 0x80..0x9F follow the code page's table, and the five bytes the code page leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) become the C1 controls U+0081, U+008D, U+008F, U+0090
// and U+009D. Every other byte is its own code point. Every byte sequence decodes; nothing fails.
std::u16string DecodeWindows1252(std::string_view bytes);

}  // namespace platform
