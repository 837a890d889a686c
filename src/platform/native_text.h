// The UTF-8 bytes of POSIX calls: the lossless conversion of text_encoding.h under the names the
// platform layer uses at each OS call.
#pragma once

#include <string>
#include <string_view>

#include "platform/text_encoding.h"

namespace platform {

inline std::string ToNative(std::u16string_view text) { return textencoding::EncodeUtf8(text); }
inline std::u16string FromNative(std::string_view bytes) {
  return textencoding::DecodeUtf8Lossless(bytes);
}

}  // namespace platform
