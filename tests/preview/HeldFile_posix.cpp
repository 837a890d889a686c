#include <filesystem>
#include <system_error>

#include "RequestTestSupport.h"

namespace requesttest {

int OpenFileCount() {
  std::error_code error;
  std::filesystem::directory_iterator entries("/proc/self/fd", error);
  if (error) return -1;
  int count = 0;
  for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) ++count;
  return error ? -1 : count;
}

}  // namespace requesttest
