// Reading the running executable's path through a call with GetModuleFileNameW's contract: it
// writes at most `size` characters and returns their count, and when the path does not fit it
// returns `size` with the path cut. The buffer starts at 261 characters (every classic path) and
// doubles until the whole path fits, so long paths come back whole.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

template <class Query>  // std::size_t Query(char16_t* buffer, std::size_t size)
std::u16string GrowingModulePath(Query query, std::size_t limit = 65536) {
  std::u16string buffer(261, u'\0');
  for (;;) {
    const std::size_t n = query(buffer.data(), buffer.size());
    if (n < buffer.size() || buffer.size() >= limit) {
      buffer.resize(n < buffer.size() ? n : buffer.size());
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace platform
