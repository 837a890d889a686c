// What the cache tool's tests share: a whole PNG to place in caches, the snapshot of a folder tree
// that shows whether a command changed anything, and path texts as the tool prints them.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>

namespace testsupport {

namespace fs = std::filesystem;

// A 1x1 RGB PNG: signature, IHDR, IDAT, IEND, each chunk with its CRC.
inline const std::string kSamplePng(
    "\x89\x50\x4E\x47\x0D\x0A\x1A\x0A\x00\x00\x00\x0D\x49\x48\x44\x52\x00\x00\x00\x01\x00\x00\x00"
    "\x01\x08\x02\x00\x00\x00\x90\x77\x53\xDE\x00\x00\x00\x0C\x49\x44\x41\x54\x78\x9C\x63\xF8\xCF"
    "\xC0\x00\x00\x03\x01\x01\x00\xC9\xFE\x92\xEF\x00\x00\x00\x00\x49\x45\x4E\x44\xAE\x42\x60\x82",
    69);

// The path in UTF-8, as the tool prints it.
inline std::string Utf8(const fs::path& p) {
  const auto u8 = p.u8string();
  return std::string(u8.begin(), u8.end());
}

// The path as it stands inside a JSON string (a Windows path's backslashes doubled).
inline std::string JsonPath(const fs::path& p) {
  std::string out;
  for (char c : Utf8(p)) {
    if (c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

// Sets the file's time two hours back: older than the hour after which the tool takes a file
// for abandoned.
inline void MakeOld(const fs::path& file) {
  fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::hours(2));
}

// Everything under a folder: relative path, size and write time of each file, and each folder.
using Tree = std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>>;
inline Tree Snapshot(const fs::path& root) {
  Tree tree;
  if (!fs::exists(root)) return tree;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string name = Utf8(fs::relative(e.path(), root));
    tree[name] = e.is_regular_file() ? std::make_pair(e.file_size(), e.last_write_time())
                                     : std::make_pair(std::uintmax_t{0}, fs::file_time_type{});
  }
  return tree;
}

}  // namespace testsupport
