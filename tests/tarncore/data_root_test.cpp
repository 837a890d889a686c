// Ordinal 28 with TARNCORE_DATA_ROOT set: its value comes back unchanged, the empty one included.
#include <gtest/gtest.h>

#include "tarncore_test_support.h"

namespace {

using tarncore_test::ScopedEnvironment;
using tarncore_test::Show;
using tarncore_test::T;

TEST(DataRoot, TheVariableWinsEvenWhenEmptyAndIsTakenVerbatim) {
  static const struct {
    std::u16string value;
  } cases[] = {
      {u""},           {u"C:\\Data"}, {u"/srv/data"},
      {u"C:\\Data\\"},  // a trailing separator stays: the caller's concern
      {u"/srv/data/"}, {u" padded "}, {u"C:\\D\u00e4ten\\\u6f22\u5b57"},
  };
  for (const auto& c : cases) {
    const ScopedEnvironment root("TARNCORE_DATA_ROOT", c.value);
    const tarncore::Char* answer = TarnDataRoot();
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(Show(answer), Show(T(c.value)));
  }
}

}  // namespace
