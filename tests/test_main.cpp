// The main function of every test program. A run in which nothing failed but some test was
// skipped ends with kSkippedExitCode, which CTest reports as skipped (SKIP_RETURN_CODE), so that
// a check that did not run never passes unseen.
#include <gtest/gtest.h>

namespace {
constexpr int kSkippedExitCode = 77;
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  if (result == 0 && ::testing::UnitTest::GetInstance()->skipped_test_count() > 0) {
    return kSkippedExitCode;
  }
  return result;
}
