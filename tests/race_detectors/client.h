// SPDX-License-Identifier: MIT
// What the race-detector client programs share. They are written as a user of
// the installed library would write them: public headers only.
#ifndef VELKORTHREAD_TESTS_RACE_DETECTORS_CLIENT_H
#define VELKORTHREAD_TESTS_RACE_DETECTORS_CLIENT_H

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

// A failed expectation ends the program at once with a message: the test
// then fails whatever the tool says.
#define CLIENT_EXPECT(condition)                                                    \
  do {                                                                              \
    if (!(condition)) {                                                             \
      std::fprintf(stderr, "%s:%d: expected %s\n", __FILE__, __LINE__, #condition); \
      std::exit(1);                                                                 \
    }                                                                               \
  } while (false)

// The system's own sleep, with no C library lock on the way: a body that may
// be killed sleeps this way.
inline void SleepOs(long ms) {
  timespec request = {ms / 1000, (ms % 1000) * 1000000L};
  syscall(SYS_nanosleep, &request, nullptr);
}

inline double NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

#endif  // VELKORTHREAD_TESTS_RACE_DETECTORS_CLIENT_H
