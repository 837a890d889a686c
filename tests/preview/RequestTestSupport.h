// Helpers of the request-reading tests: a temporary folder with files of given bytes, and a
// printable form of UTF-16 texts for failure messages.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

namespace requesttest {

// A text with everything outside printable ASCII written as \uXXXX, for failure messages.
inline std::string Show(std::u16string_view text) {
  std::string shown;
  for (const char16_t c : text) {
    if (c >= 0x20 && c < 0x7F && c != u'\\') {
      shown += static_cast<char>(c);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
      shown += escape;
    }
  }
  return shown;
}

// A folder of its own under the system's temporary folder, removed with everything in it.
class TempFolder {
 public:
  TempFolder() {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("hopgate-request-test-" + std::to_string(stamp) + "-" + std::to_string(++counter));
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }

  // Writes `bytes` to the file `name` in the folder and returns its full path as program text.
  std::u16string Write(const std::filesystem::path& name, std::string_view bytes) const {
    const std::filesystem::path file = path_ / name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write the test file " + file.string());
    return file.u16string();
  }

 private:
  std::filesystem::path path_;
};

// Holds a file open the way another program could, for the sharing tests. On Windows a real
// handle with the given access and sharing; POSIX does not enforce sharing modes, so there
// Supported() is false and the tests that need it are skipped.
class HeldFile {
 public:
  enum class Mode {
    WriteSharingReadWrite,  // a writer that lets others read and write
    ReadSharingNothing,     // a reader that lets nobody else in
    ReadSharingRead,        // a reader that lets others read
  };
  HeldFile(const std::u16string& path, Mode mode);
  ~HeldFile();
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  static bool Supported();
  bool Held() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;
};

}  // namespace requesttest
