// A fresh folder under the system's temporary folder for one test, removed with everything in it
// when the test ends.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace storagetest {

class TempFolder {
 public:
  TempFolder() {
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
      path_ = base / ("hopgate-storage-" + std::to_string(random()));
      if (std::filesystem::create_directory(path_)) break;  // false: the name was taken
    }
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // The full path of `name` inside the folder, as the storage layer takes it.
  std::u16string File(const std::string& name) const { return (path_ / name).u16string(); }

 private:
  std::filesystem::path path_;
};

// The first `count` bytes of a file (fewer when it is shorter).
inline std::string ReadHead(const std::filesystem::path& file, std::size_t count) {
  std::ifstream in(file, std::ios::binary);
  std::string head(count, '\0');
  in.read(head.data(), static_cast<std::streamsize>(count));
  head.resize(static_cast<std::size_t>(in.gcount()));
  return head;
}

}  // namespace storagetest
