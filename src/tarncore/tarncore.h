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
// "digest", "convert"), that operation throws tarncore::Failure, a C++ exception. Callers and the
// library are built by the same g++ with libgcc and libstdc++ linked statically into each; on
// x86_64 Windows the exception travels by the system's table-based (SEH) unwinding, which crosses
// from the DLL into the program, so a catch (...) there receives it.
#pragma once

#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
// windows.h first: oleauto.h needs its types.
#include <oleauto.h>
// The DLL exports by ordinal only, through tarncore.def; a dllexport here would add named exports.
#ifdef TARNCORE_BUILDING
#define TARNCORE_API extern "C"
#else
#define TARNCORE_API extern "C" __declspec(dllimport)
#endif
#define TARNCORE_VISIBLE
namespace tarncore {
using Char = wchar_t;
}
#else
#include <cstdint>
#define TARNCORE_API extern "C" __attribute__((visibility("default")))
#define TARNCORE_VISIBLE __attribute__((visibility("default")))
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
// A new BSTR of `length` units copied from `text` (zero units when `text` is null); null when
// memory runs out. Free it with SysFreeString.
TARNCORE_API BSTR SysAllocStringLen(const char16_t* text, std::uint32_t length);
// Frees a BSTR; the null BSTR is ignored.
TARNCORE_API void SysFreeString(BSTR text);
// The number of UTF-16 units of a BSTR; 0 for the null BSTR.
TARNCORE_API std::uint32_t SysStringLen(BSTR text);
// Makes the variant empty (VT_EMPTY) without looking at what it held.
TARNCORE_API void VariantInit(VARIANT* v);
// Frees what the variant holds (the BSTR of a VT_BSTR) and makes it empty; returns 0 (S_OK).
TARNCORE_API long VariantClear(VARIANT* v);
#endif

namespace tarncore {

// The exception the test switch throws (TARNCORE_FAIL).
class TARNCORE_VISIBLE Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tarncore

// Ordinal 28. The value of TARNCORE_DATA_ROOT when it is set (even empty), unchanged; otherwise
// the user's local application data folder (Windows: the known folder LocalAppData; POSIX:
// $XDG_DATA_HOME when set and not empty, else $HOME/.local/share) without a trailing separator.
// Never null. Valid until the next call on the same thread.
TARNCORE_API const tarncore::Char* TarnDataRoot();

// Ordinal 7. MD5 of the string's UTF-16LE code units as 32 upper-case hexadecimal digits; the null
// BSTR digests as the empty text, and so do a null pointer and a variant that holds no BSTR. The
// VARIANT stays the caller's. Never null. Valid until the next call on the same thread.
TARNCORE_API const tarncore::Char* TarnDigest(VARIANT* value);

// Ordinal 15. Decodes the image (BMP, PNG, JPEG, GIF, TGA, PSD, PNM, HDR) and writes an 8-bit PNG
// to a temporary file beside `png`, renamed into place when whole. When the image cannot be read
// or the PNG cannot be written, no file is left at `png` (an earlier one is removed) and no
// temporary file remains. Raises nothing but the test switch's Failure. Returns only when both
// files are released.
TARNCORE_API void TarnImageToPng(const tarncore::Char* image, const tarncore::Char* png);
