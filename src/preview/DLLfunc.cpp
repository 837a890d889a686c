#include "preview/DLLfunc.h"

#include <new>

// On Windows the core library's header brings <windows.h>: its VARIANT and BSTR are OLE
// Automation's, whose header needs the Windows types. This is the one file of the program that
// handles them, and it includes no header of the platform layer, whose names those macros would
// change (platform.h undefines them for the files that include both).
#include "tarncore/tarncore.h"

namespace preview {
namespace {

using tarncore::Char;

std::u16string Copy(const Char* text) {
  if (text == nullptr) return std::u16string();
  return std::u16string(reinterpret_cast<const char16_t*>(text));
}

const Char* ToCore(const std::u16string& text) {
  return reinterpret_cast<const Char*>(text.c_str());
}

// A VARIANT that is cleared, freeing its string, whatever way the scope is left.
class ScopedVariant {
 public:
  ScopedVariant() { VariantInit(&value_); }
  ~ScopedVariant() { VariantClear(&value_); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
  VARIANT* get() { return &value_; }

 private:
  VARIANT value_;
};

}  // namespace

std::u16string CoreDataRoot() { return Copy(TarnDataRoot()); }

std::u16string HashText(const std::u16string& text) {
  ScopedVariant value;
  value.get()->vt = VT_BSTR;
  value.get()->bstrVal = nullptr;
  if (!text.empty()) {
    value.get()->bstrVal = SysAllocStringLen(ToCore(text), static_cast<unsigned>(text.size()));
    if (value.get()->bstrVal == nullptr) throw std::bad_alloc();
  }
  return Copy(TarnDigest(value.get()));
}

void CoreImageToPng(const std::u16string& image, const std::u16string& png) {
  TarnImageToPng(ToCore(image), ToCore(png));
}

}  // namespace preview
