// File helpers of the command entry.
#pragma once

#include <string>

namespace hopgate {

// Puts the content of the file `source` in place of the file `destination`: reads the source
// whole (shared for reading only), deletes an existing destination (clearing its read-only
// attribute first when `clearReadOnly`), then creates the destination anew with normal attributes
// and writes the content. True when the destination was written completely. Never throws; on
// false the source is untouched and the destination is either as it was, absent, or whole.
bool CopyFileOver(const std::u16string& source, const std::u16string& destination,
                  bool clearReadOnly);

}  // namespace hopgate
