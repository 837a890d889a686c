#include "platform/module_path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Answers as GetModuleFileNameW does for a program stored at `path`, and notes the buffer sizes it
// was asked with.
struct FakeModule {
  std::u16string path;
  std::vector<size_t> sizes;
  size_t operator()(char16_t* buffer, size_t size) {
    sizes.push_back(size);
    const size_t n = std::min(path.size(), size);
    std::copy_n(path.begin(), n, buffer);
    return n == size ? size : n;
  }
};

// The buffer starts at 261 characters and doubles while the answer fills it: a path that fits
// exactly is asked again in a larger buffer, as the answer cannot tell it from a cut one.
TEST(ModulePath, PathsOfAnyLengthComeBackWhole) {
  static const struct {
    size_t length;
    std::vector<size_t> sizes;
  } cases[] = {
      {1, {261}},
      {100, {261}},
      {259, {261}},
      {260, {261}},
      {261, {261, 522}},
      {262, {261, 522}},
      {521, {261, 522}},
      {522, {261, 522, 1044}},
      {600, {261, 522, 1044}},
      {5000, {261, 522, 1044, 2088, 4176, 8352}},
      {32767, {261, 522, 1044, 2088, 4176, 8352, 16704, 33408}},
  };
  for (const auto& c : cases) {
    std::u16string path(c.length, u'a');
    path[0] = u'C';
    path[c.length - 1] = u'z';
    FakeModule fake{path, {}};
    EXPECT_EQ(platform::GrowingModulePath(std::ref(fake)), path) << c.length;
    EXPECT_EQ(fake.sizes, c.sizes) << c.length;
  }
}

TEST(ModulePath, AFailedQueryGivesTheEmptyText) {
  EXPECT_EQ(platform::GrowingModulePath([](char16_t*, size_t) -> size_t { return 0; }), u"");
}

TEST(ModulePath, GrowthStopsAtTheLimit) {
  FakeModule fake{std::u16string(100000, u'x'), {}};
  EXPECT_EQ(platform::GrowingModulePath(std::ref(fake), 1000), std::u16string(1044, u'x'));
  EXPECT_EQ(fake.sizes, (std::vector<size_t>{261, 522, 1044}));
}

}  // namespace
