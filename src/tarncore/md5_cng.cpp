// MD5 through Windows CNG (bcrypt.dll, present since Vista).
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarncore/md5.h"

namespace tarncore {
namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

[[noreturn]] void Fail(const char* step) {
  throw std::runtime_error(std::string("MD5 through CNG failed in ") + step);
}

// Owns an algorithm provider and a hash object; closes both on every path.
class Hash {
 public:
  Hash() {
    if (!Succeeded(BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_MD5_ALGORITHM, nullptr, 0))) {
      Fail("BCryptOpenAlgorithmProvider");
    }
    // Vista and 7 want the caller to supply the hash object's memory (a null buffer is allowed
    // only from Windows 8 on), so ask for its size.
    DWORD objectSize = 0;
    ULONG written = 0;
    if (!Succeeded(BCryptGetProperty(algorithm_, BCRYPT_OBJECT_LENGTH,
                                     reinterpret_cast<PUCHAR>(&objectSize), sizeof objectSize,
                                     &written, 0))) {
      Fail("BCryptGetProperty");
    }
    object_.resize(objectSize);
    if (!Succeeded(
            BCryptCreateHash(algorithm_, &hash_, object_.data(), objectSize, nullptr, 0, 0))) {
      Fail("BCryptCreateHash");
    }
  }
  ~Hash() {
    if (hash_ != nullptr) BCryptDestroyHash(hash_);
    if (algorithm_ != nullptr) BCryptCloseAlgorithmProvider(algorithm_, 0);
  }
  Hash(const Hash&) = delete;
  Hash& operator=(const Hash&) = delete;

  BCRYPT_HASH_HANDLE handle() const { return hash_; }

 private:
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
  std::vector<UCHAR> object_;
};

}  // namespace

Md5Digest Md5(const void* data, std::size_t size) {
  Hash hash;
  // BCryptHashData takes a ULONG length: feed larger inputs in pieces.
  auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
  while (size > 0) {
    const auto piece = static_cast<ULONG>(std::min<std::size_t>(size, 0x40000000));
    if (!Succeeded(BCryptHashData(hash.handle(), bytes, piece, 0))) Fail("BCryptHashData");
    bytes += piece;
    size -= piece;
  }
  Md5Digest digest{};
  if (!Succeeded(BCryptFinishHash(hash.handle(), digest.data(), digest.size(), 0))) {
    Fail("BCryptFinishHash");
  }
  return digest;
}

}  // namespace tarncore
