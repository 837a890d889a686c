// The BMP reader on its own: every fixture decodes to its pixels exactly, with the channel count
// the reader promises, or is refused; the pixel cap is checked before anything else.
#include "tarncore/bmp_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "bmp_fixtures.h"
#include "tarncore_test_support.h"

namespace {

namespace fs = std::filesystem;
using tarncore_test::TempFolder;
using tarncore_test::WriteFile;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

std::optional<tarncore::Image> Read(const fs::path& path, std::uint64_t cap) {
  const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.string().c_str(), "rb"));
  if (!file) ADD_FAILURE() << "cannot open " << path.string();
  return file ? tarncore::ReadBmp(file.get(), cap) : std::nullopt;
}

TEST(BmpReader, EveryFixtureDecodesExactlyOrIsRefused) {
  const TempFolder folder;
  const fs::path path = folder.Path() / "in.bmp";
  for (const bmp_fixtures::Fixture& f : bmp_fixtures::All()) {
    WriteFile(path, f.file);
    const std::optional<tarncore::Image> image = Read(path, 1u << 20);
    if (!f.expected) {
      EXPECT_FALSE(image) << f.name << ": must be refused";
      continue;
    }
    ASSERT_TRUE(image) << f.name << ": refused";
    EXPECT_EQ(image->width, f.expected->width) << f.name;
    EXPECT_EQ(image->height, f.expected->height) << f.name;
    ASSERT_EQ(image->channels, f.expected->channels) << f.name;
    const bmp_fixtures::Bytes pixels(image->pixels.get(),
                                     image->pixels.get() + static_cast<std::size_t>(image->width) *
                                                               image->height * image->channels);
    EXPECT_TRUE(pixels == f.expected->data) << f.name << ": pixels differ";
  }
}

TEST(BmpReader, ThePixelCapIsCheckedOnTheHeader) {
  const TempFolder folder;
  const fs::path whole = folder.Path() / "whole.bmp", empty = folder.Path() / "empty.bmp";
  WriteFile(whole, bmp_fixtures::Bmp24Header(4, -3, 3 * 12));
  EXPECT_TRUE(Read(whole, 12)) << "at the cap";
  EXPECT_FALSE(Read(whole, 11)) << "one pixel over the cap";
  // Over the cap and without pixels: refused on the header, whatever the file holds.
  WriteFile(empty, bmp_fixtures::Bmp24Header(16384, 16384, 0));
  EXPECT_FALSE(Read(empty, 40'000'000));
}

}  // namespace
