// SPDX-License-Identifier: MIT
// One set of test cases for two worlds: plain functions listed in a table,
// checked with CHECK and CHECK_EQ.
//   - With GoogleTest (VELKOR_STANDALONE_WITH_GTEST), each case becomes a test
//     of a parameterised suite and the checks are EXPECT_TRUE / EXPECT_EQ.
//   - Without it (builds with no C++ standard library, such as the Visual C++
//     ABI built here), a small runner of its own prints and counts failures.
// Write the table once and end the file with VELKOR_STANDALONE_RUN(table).
#ifndef VELKORTHREAD_TESTS_STANDALONE_CHECK_H
#define VELKORTHREAD_TESTS_STANDALONE_CHECK_H

namespace standalone {

struct Case {
  const char* name;
  void (*run)();
};

}  // namespace standalone

#if defined(VELKOR_STANDALONE_WITH_GTEST)

#include <gtest/gtest.h>

#define CHECK(expression) EXPECT_TRUE(expression)
#define CHECK_EQ(actual, expected) EXPECT_EQ(static_cast<long>(actual), static_cast<long>(expected))

namespace standalone {

class Cases : public ::testing::TestWithParam<Case> {};

struct CaseName {
  std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
    return info.param.name;
  }
};

}  // namespace standalone

#define VELKOR_STANDALONE_RUN(table)       \
  using ::standalone::Cases;               \
  TEST_P(Cases, Run) { GetParam().run(); } \
  INSTANTIATE_TEST_SUITE_P(WindowsCore, Cases, ::testing::ValuesIn(table), ::standalone::CaseName())

#else

#include <stdio.h>

namespace standalone {

// Failures of the case that runs now.
inline int& CaseFailures() {
  static int failures = 0;
  return failures;
}

inline void Fail(const char* file, int line, const char* expression) {
  printf("  %s(%d): CHECK failed: %s\n", file, line, expression);
  ++CaseFailures();
}

inline void FailEqual(const char* file, int line, const char* expression, long actual,
                      long expected) {
  printf("  %s(%d): CHECK failed: %s (got %ld, expected %ld)\n", file, line, expression, actual,
         expected);
  ++CaseFailures();
}

// Runs every case; returns the number of failed cases.
inline int RunAll(const Case* cases, int count) {
  int failedCases = 0;
  for (int i = 0; i < count; ++i) {
    CaseFailures() = 0;
    printf("[ RUN  ] %s\n", cases[i].name);
    fflush(0);  // all streams: the headers here name stdout through a UCRT-only call
    cases[i].run();
    printf("[ %s ] %s\n", CaseFailures() == 0 ? " OK " : "FAIL", cases[i].name);
    if (CaseFailures() != 0) {
      ++failedCases;
    }
  }
  printf("%d of %d cases passed\n", count - failedCases, count);
  fflush(0);
  return failedCases;
}

}  // namespace standalone

#define CHECK(expression)                                  \
  do {                                                     \
    if (!(expression)) {                                   \
      ::standalone::Fail(__FILE__, __LINE__, #expression); \
    }                                                      \
  } while (0)

#define CHECK_EQ(actual, expected)                                                       \
  do {                                                                                   \
    long actualValue = static_cast<long>(actual);                                        \
    long expectedValue = static_cast<long>(expected);                                    \
    if (actualValue != expectedValue) {                                                  \
      ::standalone::FailEqual(__FILE__, __LINE__, #actual " == " #expected, actualValue, \
                              expectedValue);                                            \
    }                                                                                    \
  } while (0)

#define VELKOR_STANDALONE_RUN(table)                                \
  int main() {                                                      \
    int count = static_cast<int>(sizeof(table) / sizeof(table[0])); \
    return ::standalone::RunAll(table, count) == 0 ? 0 : 1;         \
  }

#endif

#endif  // VELKORTHREAD_TESTS_STANDALONE_CHECK_H
