// Ordinal 28 without TARNCORE_DATA_ROOT on Windows: the known folder LocalAppData.
#include <windows.h>
// windows.h first: the shell headers need its types.
#include <knownfolders.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include "tarncore_test_support.h"

namespace {

using tarncore_test::ScopedEnvironment;
using tarncore_test::Show;

TEST(DataRootWin32, IsTheLocalAppDataKnownFolder) {
  PWSTR path = nullptr;
  ASSERT_TRUE(SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &path)));
  tarncore_test::Text expected = path;
  CoTaskMemFree(path);
  while (!expected.empty() && expected.back() == L'\\') expected.pop_back();
  ASSERT_FALSE(expected.empty());

  const ScopedEnvironment root("TARNCORE_DATA_ROOT", std::nullopt);
  const tarncore_test::Text answer = TarnDataRoot();
  EXPECT_EQ(Show(answer), Show(expected));
  EXPECT_NE(answer.back(), L'\\');
}

}  // namespace
