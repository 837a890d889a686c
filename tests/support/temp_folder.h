// A fresh folder under the system's temporary folder for one test, removed with everything in it
// (read-only files included) when the object goes; the one temporary-folder helper of the tests.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

class TempFolder {
 public:
  // The folder's name begins with `prefix`; a random part keeps parallel tests apart.
  explicit TempFolder(std::string_view prefix = "hopgate-test");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // The full path of `name` inside the folder as program text (UTF-16).
  std::u16string File(const std::filesystem::path& name) const;
  // Writes `bytes` to the file `name` in the folder; its full path as program text. Throws
  // std::runtime_error when the file cannot be written.
  std::u16string Write(const std::filesystem::path& name, std::string_view bytes) const;
  // The names of the folder's entries, sorted.
  std::vector<std::string> Entries() const;

 private:
  std::filesystem::path path_;
};

// Writes `bytes` to `file`, replacing what it held: the one writer of the tests' files. Throws
// std::runtime_error when the file cannot be written whole, so that a test whose setup failed
// fails too instead of passing without testing anything.
void WriteBytes(const std::filesystem::path& file, std::string_view bytes);

// The whole file's bytes (empty when it cannot be read), and the first `count` of them.
std::string ReadBytes(const std::filesystem::path& file);
std::string ReadHead(const std::filesystem::path& file, std::size_t count);

// Sets or clears the read-only attribute (Windows) / the owner-write bit (POSIX).
void SetReadOnly(const std::filesystem::path& path, bool readOnly);

}  // namespace testsupport
