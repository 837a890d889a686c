// The POSIX stand-in for OLE's BSTR and VARIANT helpers. A BSTR is allocated as a 4-byte length
// in bytes, the UTF-16 units and a zero unit; the BSTR points at the first unit, as OLE's does.
#include <cstdlib>
#include <cstring>
#include <limits>

#include "tarncore/tarncore.h"

namespace {
constexpr std::size_t kPrefix = sizeof(std::uint32_t);
}

TARNCORE_API BSTR SysAllocStringLen(const char16_t* text, std::uint32_t length) {
  // The prefix holds the length in bytes as 32 bits.
  if (length > std::numeric_limits<std::uint32_t>::max() / 2 - 1) return nullptr;
  const std::size_t bytes = std::size_t{length} * sizeof(char16_t);
  auto* block = static_cast<unsigned char*>(std::malloc(kPrefix + bytes + sizeof(char16_t)));
  if (block == nullptr) return nullptr;
  const auto prefix = static_cast<std::uint32_t>(bytes);
  std::memcpy(block, &prefix, kPrefix);
  auto* units = reinterpret_cast<char16_t*>(block + kPrefix);
  if (text != nullptr) {
    std::memcpy(units, text, bytes);
  } else {
    std::memset(units, 0, bytes);
  }
  units[length] = 0;
  return units;
}

TARNCORE_API void SysFreeString(BSTR text) {
  if (text != nullptr) std::free(reinterpret_cast<unsigned char*>(text) - kPrefix);
}

TARNCORE_API std::uint32_t SysStringLen(BSTR text) {
  if (text == nullptr) return 0;
  std::uint32_t bytes = 0;
  std::memcpy(&bytes, reinterpret_cast<const unsigned char*>(text) - kPrefix, kPrefix);
  return bytes / sizeof(char16_t);
}

TARNCORE_API void VariantInit(VARIANT* v) {
  if (v == nullptr) return;
  std::memset(v, 0, sizeof *v);
  v->vt = VT_EMPTY;
}

TARNCORE_API long VariantClear(VARIANT* v) {
  if (v == nullptr) return 0;
  if (v->vt == VT_BSTR) SysFreeString(v->bstrVal);
  VariantInit(v);
  return 0;
}
