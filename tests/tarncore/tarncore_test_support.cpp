#include "tarncore_test_support.h"

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>

#include "support/temp_folder.h"

namespace tarncore_test {

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  testsupport::WriteBytes(
      path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace tarncore_test
