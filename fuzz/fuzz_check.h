// The fuzz targets' own assertion: a failed check stops the run with its line, so libFuzzer keeps
// the input that caused it (assert would vanish under NDEBUG).
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                      \
  do {                                                                             \
    if (!(condition)) {                                                            \
      std::fprintf(stderr, "check failed at line %d: %s\n", __LINE__, #condition); \
      std::abort();                                                                \
    }                                                                              \
  } while (false)
