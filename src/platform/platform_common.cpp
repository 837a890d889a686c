// The parts of the platform layer that are the same on every OS, built on each backend's calls.
#include "platform/platform.h"

namespace platform {

bool FileExists(const Text& path) {
  const auto a = GetAttributes(path);
  return a && !a->folder;
}

bool FolderExists(const Text& path) {
  const auto a = GetAttributes(path);
  return a && a->folder;
}

}  // namespace platform
