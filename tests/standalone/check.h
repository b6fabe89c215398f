// A test harness with no C++ standard library: plain functions as cases, a
// CHECK that reports and counts failures, and a runner. For builds where
// GoogleTest cannot exist (Visual C++ ABI built here without a C++ library).
#ifndef VELKORTHREAD_TESTS_STANDALONE_CHECK_H
#define VELKORTHREAD_TESTS_STANDALONE_CHECK_H

#include <stdio.h>

namespace standalone {

struct Case {
  const char* name;
  void (*run)();
};

// Failures of the case that runs now, and of the whole program.
int& CaseFailures();

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
  fflush(0);  // all streams: the headers here name stdout through a UCRT-only call
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

#endif  // VELKORTHREAD_TESTS_STANDALONE_CHECK_H
