// Public interface of the core library tarnCore (the project's stand-in for the maker's closed
// library). hopgate imports the three operations by ordinal on Windows (see tarncore.def):
//   28  TarnDataRoot     the data root folder
//    7  TarnDigest       the MD5 digest of the text in a VARIANT holding a BSTR
//   15  TarnImageToPng   an image file converted into a PNG file
//
// The header also gives callers the VARIANT/BSTR type and the helpers to make and clear one: on
// Windows those of OLE Automation (oleaut32), on POSIX a minimal stand-in of the same shape (a
// type tag and a length-prefixed UTF-16 string), so calling code needs no #ifdef.
//
// Test switch: when the environment variable TARNCORE_FAIL names an operation ("dataroot",
// "digest", "convert"), that operation throws tarncore::Failure, a C++ exception.
#pragma once

#include <stdexcept>

#ifdef _WIN32
#include <oleauto.h>
#include <windows.h>
#define TARNCORE_API extern "C" __declspec(dllimport)
#ifdef TARNCORE_BUILDING
#undef TARNCORE_API
#define TARNCORE_API extern "C" __declspec(dllexport)
#endif
namespace tarncore {
using Char = wchar_t;
}
#else
#include <cstdint>
#define TARNCORE_API extern "C" __attribute__((visibility("default")))
namespace tarncore {
using Char = char16_t;
}
// A minimal VARIANT/BSTR of the same shape as OLE's: a BSTR points at UTF-16 units preceded by
// their length in bytes (4 bytes) and followed by a zero unit; the null BSTR is the empty text.
using BSTR = char16_t*;
using VARTYPE = std::uint16_t;
constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_BSTR = 8;
struct VARIANT {
  VARTYPE vt;
  std::uint16_t wReserved1, wReserved2, wReserved3;
  union {
    BSTR bstrVal;
    std::int64_t llVal;
  };
};
TARNCORE_API BSTR SysAllocStringLen(const char16_t* text, std::uint32_t length);
TARNCORE_API void SysFreeString(BSTR text);
TARNCORE_API std::uint32_t SysStringLen(BSTR text);
TARNCORE_API void VariantInit(VARIANT* v);
TARNCORE_API long VariantClear(VARIANT* v);
#endif

namespace tarncore {

// The exception the test switch throws (TARNCORE_FAIL).
class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tarncore

// Ordinal 28. The value of TARNCORE_DATA_ROOT when it is set (even empty), otherwise the user's
// local application data folder; no trailing separator. Valid until the next call on the thread.
TARNCORE_API const tarncore::Char* TarnDataRoot();

// Ordinal 7. MD5 of the string's UTF-16LE code units as 32 upper-case hexadecimal digits; the null
// BSTR digests as the empty text. The VARIANT stays the caller's. Valid until the next call on the
// same thread.
TARNCORE_API const tarncore::Char* TarnDigest(VARIANT* value);

// Ordinal 15. Decodes the image (BMP, PNG, JPEG, GIF, TGA, PSD, PNM, HDR) and writes an 8-bit PNG
// to a temporary file beside `png`, renamed into place when whole. An image that cannot be read
// leaves no file at `png`. Returns only when both files are released.
TARNCORE_API void TarnImageToPng(const tarncore::Char* image, const tarncore::Char* png);
