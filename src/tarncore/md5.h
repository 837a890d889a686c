// MD5 through the platform's crypto: OpenSSL's libcrypto on POSIX, CNG (bcrypt) on Windows. The
// library digests texts with it; the tests check it against RFC 1321's vectors on bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarncore {

using Md5Digest = std::array<std::uint8_t, 16>;

// The MD5 of `size` bytes at `data` (`data` may be null when `size` is 0). Throws
// std::runtime_error when the platform's crypto cannot compute it.
Md5Digest Md5(const void* data, std::size_t size);

}  // namespace tarncore
