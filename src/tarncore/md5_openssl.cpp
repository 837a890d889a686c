// MD5 through OpenSSL's EVP interface (libcrypto).
#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

#include "tarncore/md5.h"

namespace tarncore {

Md5Digest Md5(const void* data, std::size_t size) {
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        &EVP_MD_CTX_free);
  Md5Digest digest{};
  unsigned int length = 0;
  if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), data, size) != 1 ||
      EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size()) {
    throw std::runtime_error("MD5 is not available from libcrypto");
  }
  return digest;
}

}  // namespace tarncore
