// Writes the BMP fixtures of the tests into a folder, one file each, as the BMP fuzzer's seeds.
// Usage: bmp_seeds FOLDER
#include <cstdio>
#include <string>

#include "tarncore/bmp_fixtures.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bmp_seeds FOLDER\n");
    return 2;
  }
  int n = 0;
  for (const bmp_fixtures::Fixture& f : bmp_fixtures::All()) {
    const std::string path = std::string(argv[1]) + "/fixture-" + std::to_string(n++) + ".bmp";
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return 1;
    const bool written = std::fwrite(f.file.data(), 1, f.file.size(), out) == f.file.size();
    if (std::fclose(out) != 0 || !written) return 1;
  }
  return 0;
}
