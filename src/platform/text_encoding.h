// The one text-encoding unit: UTF-16 texts to and from UTF-8 and UTF-16 bytes, and the byte-order
// marks that tell them apart. Pure functions, built on every OS; every other conversion in the
// program (the POSIX paths, the storage layer's texts, the request files, debug.ini) is a thin name
// over these.
//
// Lossless UTF-8 (EncodeUtf8 with DecodeUtf8Lossless): a byte that is not part of well-formed UTF-8
// decodes to U+DC80..U+DCFF and such a lone surrogate encodes back to that very byte (as Python's
// "surrogateescape"), so every byte string survives the round trip unchanged: a path from the OS
// reaches the same file, and reaches SQLite as the same bytes. Any other lone surrogate encodes as
// its three-byte form. Well-formed UTF-8 is Unicode's table of well-formed byte sequences: no
// overlong forms, no encoded surrogates, nothing above U+10FFFF, no cut-off sequences.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace textencoding {

// UTF-16 to UTF-8: pairs as one code point, U+DC80..U+DCFF alone as the byte they stand for, any
// other lone surrogate in its three-byte form.
std::string EncodeUtf8(std::u16string_view text);

// UTF-8 to UTF-16, every ill-formed byte as U+DC80..U+DCFF (one unit per byte). Never fails.
std::u16string DecodeUtf8Lossless(std::string_view bytes);

// UTF-8 to UTF-16; nothing when any byte is not part of well-formed UTF-8.
std::optional<std::u16string> DecodeUtf8Strict(std::string_view bytes);

// Two bytes per code unit, in the given byte order; an odd last byte is left out. Unpaired
// surrogates stay as they are.
std::u16string DecodeUtf16(std::string_view bytes, bool bigEndian);

// The byte-order marks, tested in this order: EF BB BF, FF FE, FE FF.
enum class ByteOrderMark { None, Utf8, Utf16LittleEndian, Utf16BigEndian };
ByteOrderMark DetectMark(std::string_view bytes);
// The mark's length in bytes: 3, 2, 2, or 0 for None.
std::size_t MarkLength(ByteOrderMark mark);

}  // namespace textencoding
