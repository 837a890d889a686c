// The calls into the core library tarnCore.
#pragma once

#include <string>

namespace preview {

// Ordinal 28: the data root folder, copied at once; a null answer reads as the empty text.
std::u16string CoreDataRoot();

// Ordinal 7 through an OLE VARIANT holding a BSTR copy of `text` (the empty text is the null
// BSTR); the variant is cleared on every path. A null answer reads as the empty text.
std::u16string HashText(const std::u16string& text);

// Ordinal 15: converts the image file into a PNG file; returns when the library is done with both.
void CoreImageToPng(const std::u16string& image, const std::u16string& png);

}  // namespace preview
