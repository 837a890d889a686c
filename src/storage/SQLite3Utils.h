// UTF-8 helpers of the storage layer: the program's texts are UTF-16, SQLite's are UTF-8. Thin
// names over the lossless conversion of platform/text_encoding.h.
//
// The conversion is lossless for bytes, the way the platform layer converts paths on POSIX: a byte
// that is not part of well-formed UTF-8 decodes to U+DC80..U+DCFF, and such a lone surrogate
// encodes back to that very byte. A path that came from the OS therefore reaches SQLite (and comes
// back from a text column) as the same bytes. Any other lone surrogate encodes as its three-byte
// form. Nothing here raises.
#pragma once

#include <string>
#include <string_view>

namespace storage {

// UTF-16 to UTF-8. The result carries its length in bytes and, being a std::string, is followed by
// a terminating zero byte: c_str() can be handed to SQLite as a zero-terminated string, and for an
// empty text it points to a single zero byte, never null.
std::string EncodeUTF8(std::u16string_view text);

// UTF-8 to UTF-16.
//  - length < 0: decodes the bytes up to the first zero byte (a null pointer gives an empty text);
//  - length = 0: empty text; the bytes are not read;
//  - length > 0: decodes exactly that many bytes; a zero byte inside is decoded as U+0000.
// Ill-formed bytes decode one by one to U+DC80..U+DCFF.
std::u16string DecodeUTF8(const void* bytes, int length);

}  // namespace storage
