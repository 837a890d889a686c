#include "support/temp_folder.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

namespace testsupport {

namespace fs = std::filesystem;

TempFolder::TempFolder(std::string_view prefix) {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  const fs::path base = fs::temp_directory_path();
  for (;;) {
    path_ = base / (std::string(prefix) + "-" + std::to_string(random()) + "-" +
                    std::to_string(++counter));
    if (fs::create_directory(path_)) break;  // false: the name was taken
  }
}

TempFolder::~TempFolder() {
  std::error_code ec;
  // Read-only files would keep the folder from going away on Windows.
  for (fs::recursive_directory_iterator it(path_, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec)) SetReadOnly(it->path(), false);
  }
  fs::remove_all(path_, ec);
}

std::u16string TempFolder::File(const fs::path& name) const { return (path_ / name).u16string(); }

std::u16string TempFolder::Write(const fs::path& name, std::string_view bytes) const {
  const fs::path file = path_ / name;
  WriteBytes(file, bytes);
  return file.u16string();
}

std::vector<std::string> TempFolder::Entries() const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(path_)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void WriteBytes(const fs::path& file, std::string_view bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write the test file " + file.string());
}

std::string ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string ReadHead(const fs::path& file, std::size_t count) {
  std::ifstream in(file, std::ios::binary);
  std::string head(count, '\0');
  in.read(head.data(), static_cast<std::streamsize>(count));
  head.resize(static_cast<std::size_t>(in.gcount()));
  return head;
}

}  // namespace testsupport
