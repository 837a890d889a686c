// Reading the image file handed to the conversion, without any file system call of its own: the
// caller opens the file.
#pragma once

#include <cstdio>
#include <optional>

#include "tarncore/image.h"

namespace tarncore {

// Decodes the image that `file` holds from its current position. nullopt when it cannot be
// decoded.
std::optional<Image> ReadImage(std::FILE* file);

}  // namespace tarncore
