// The three operations of the core library. Everything that touches the OS goes through
// system.h; MD5 through md5.h; decoding and encoding through png_convert.h.
#include "tarncore/tarncore.h"

#include <array>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "tarncore/md5.h"
#include "tarncore/png_convert.h"
#include "tarncore/system.h"

namespace {

using tarncore::Char;

static_assert(sizeof(Char) == 2, "texts are UTF-16 code units");

// The test switch: TARNCORE_FAIL naming the operation makes it throw.
void FailIfSwitched(const char* operation) {
  const auto value = tarncore::sys::Environment("TARNCORE_FAIL");
  if (!value || value->size() != std::strlen(operation)) return;
  for (std::size_t i = 0; i < value->size(); ++i) {
    if ((*value)[i] != static_cast<Char>(operation[i])) return;
  }
  throw tarncore::Failure(std::string("tarnCore: TARNCORE_FAIL=") + operation);
}

// The MD5 of UTF-16 code units taken as little-endian bytes.
tarncore::Md5Digest DigestUtf16Le(const Char* text, std::size_t length) {
  if constexpr (std::endian::native == std::endian::little) {
    return tarncore::Md5(text, length * sizeof(Char));
  } else {
    std::vector<unsigned char> bytes(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
      bytes[2 * i] = static_cast<unsigned char>(text[i] & 0xFF);
      bytes[2 * i + 1] = static_cast<unsigned char>(text[i] >> 8);
    }
    return tarncore::Md5(bytes.data(), bytes.size());
  }
}

// The data root text of the calling thread: it stays readable until the thread's next call.
tarncore::sys::Text& ThreadDataRoot() {
  thread_local tarncore::sys::Text root;
  return root;
}

}  // namespace

TARNCORE_API const Char* TarnDataRoot() {
  FailIfSwitched("dataroot");
  tarncore::sys::Text& root = ThreadDataRoot();
  auto configured = tarncore::sys::Environment("TARNCORE_DATA_ROOT");
  root = configured ? std::move(*configured) : tarncore::sys::LocalDataFolder();
  return root.c_str();
}

TARNCORE_API const Char* TarnDigest(VARIANT* value) {
  FailIfSwitched("digest");
  const Char* text = nullptr;
  std::size_t length = 0;
  if (value != nullptr && value->vt == VT_BSTR && value->bstrVal != nullptr) {
    text = value->bstrVal;
    length = SysStringLen(value->bstrVal);
  }
  const tarncore::Md5Digest digest = DigestUtf16Le(text, length);
  thread_local std::array<Char, 2 * std::tuple_size_v<tarncore::Md5Digest> + 1> hex;
  constexpr char kDigits[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < digest.size(); ++i) {
    hex[2 * i] = static_cast<Char>(kDigits[digest[i] >> 4]);
    hex[2 * i + 1] = static_cast<Char>(kDigits[digest[i] & 0x0F]);
  }
  hex.back() = 0;
  return hex.data();
}

TARNCORE_API void TarnImageToPng(const Char* image, const Char* png) {
  FailIfSwitched("convert");
  if (png == nullptr) return;
  bool placed = false;
  try {
    if (image != nullptr) {
      std::optional<tarncore::PngBytes> encoded;
      if (const tarncore::sys::File file = tarncore::sys::OpenForReading(image)) {
        encoded = tarncore::EncodeAsPng(file.get());
      }  // the image is closed here, before the PNG is placed (the two may be one path)
      if (encoded) placed = tarncore::sys::ReplaceFile(png, encoded->data(), encoded->size());
    }
  } catch (...) {
    // Out of memory and the like: the conversion failed, which shows as a missing PNG.
    placed = false;
  }
  // A failed conversion shows only as no file at the PNG path, whatever stood there before.
  if (!placed) tarncore::sys::RemoveFile(png);
}
