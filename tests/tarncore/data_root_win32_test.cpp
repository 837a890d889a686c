// Ordinal 28 without TARNCORE_DATA_ROOT on Windows: the known folder LocalAppData.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "tarncore_test_support.h"

namespace {

using tarncore_test::ScopedEnvironment;
using tarncore_test::Show;

// Windows (and Wine) hand every process the same folder as the variable LOCALAPPDATA; the library
// asks the shell for the known folder, so the two routes agree only if it asks for the right one.
TEST(DataRootWin32, IsTheLocalAppDataFolder) {
  const wchar_t* variable = _wgetenv(L"LOCALAPPDATA");
  ASSERT_NE(variable, nullptr) << "LOCALAPPDATA is not set";
  tarncore_test::Text expected = variable;
  while (!expected.empty() && expected.back() == L'\\') expected.pop_back();

  const ScopedEnvironment root("TARNCORE_DATA_ROOT", std::nullopt);
  const tarncore_test::Text answer = TarnDataRoot();
  EXPECT_EQ(Show(answer), Show(expected));
  const tarncore_test::Text tail = L"\\AppData\\Local";
  ASSERT_GT(answer.size(), tail.size());
  EXPECT_EQ(_wcsicmp(answer.substr(answer.size() - tail.size()).c_str(), tail.c_str()), 0)
      << Show(answer);
}

}  // namespace
