#include "platform/module_path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

// Answers as GetModuleFileNameW does for a program stored at `path`.
struct FakeModule {
  std::u16string path;
  int calls = 0;
  size_t operator()(char16_t* buffer, size_t size) {
    ++calls;
    const size_t n = std::min(path.size(), size);
    std::copy_n(path.begin(), n, buffer);
    return n == size ? size : n;
  }
};

TEST(ModulePath, PathsOfAnyLengthComeBackWhole) {
  for (size_t length : {1u, 100u, 259u, 260u, 261u, 262u, 521u, 600u, 5000u, 32767u}) {
    std::u16string path(length, u'a');
    path[0] = u'C';
    path[length - 1] = u'z';
    FakeModule fake{path};
    EXPECT_EQ(platform::GrowingModulePath(std::ref(fake)), path) << length;
    EXPECT_GE(fake.calls, 1) << length;
  }
}

TEST(ModulePath, AFailedQueryGivesTheEmptyText) {
  EXPECT_EQ(platform::GrowingModulePath([](char16_t*, size_t) -> size_t { return 0; }), u"");
}

TEST(ModulePath, GrowthStopsAtTheLimit) {
  FakeModule fake{std::u16string(100000, u'x')};
  EXPECT_EQ(platform::GrowingModulePath(std::ref(fake), 1000).size(), 1044u);
}

}  // namespace
