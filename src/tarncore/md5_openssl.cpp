// MD5 through libcrypto's one-shot MD5 function. It hashes directly, unlike the EVP interface,
// which on first use loads OpenSSL's configuration file and its default provider: that costs
// about 1.9 MB of resident memory and several milliseconds per process, for one short digest
// (bench/README.md, "The process floor"). The function is deprecated in OpenSSL 3 in favour of
// EVP, hence the define, but it is still part of libcrypto's interface.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include <stdexcept>

#include "tarncore/md5.h"

namespace tarncore {

Md5Digest Md5(const void* data, std::size_t size) {
  static_assert(MD5_DIGEST_LENGTH == sizeof(Md5Digest));
  Md5Digest digest{};
  if (MD5(static_cast<const unsigned char*>(data), size, digest.data()) == nullptr) {
    throw std::runtime_error("MD5 is not available from libcrypto");
  }
  return digest;
}

}  // namespace tarncore
