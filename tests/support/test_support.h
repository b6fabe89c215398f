// SPDX-License-Identifier: MIT
// Helpers shared by the test executables.
#ifndef VELKORTHREAD_TESTS_TEST_SUPPORT_H
#define VELKORTHREAD_TESTS_TEST_SUPPORT_H

#include <jmutex.h>
#include <jthread.h>

#include <atomic>
#include <cstdlib>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <time.h>
#endif

namespace velkor_test {

// Multiplier of the loop counts of stress cases. Under Wine every mutex
// operation is a round trip to the Wine server, so Windows builds run fewer
// iterations; so do runs under valgrind (VELKOR_SLOW_RUNNER set).
inline int StressScale() {
#if defined(_WIN32)
  return 7;
#else
  return std::getenv("VELKOR_SLOW_RUNNER") != nullptr ? 1 : 20;
#endif
}

// The operating system's own sleep. Bodies that may be killed use this (or
// spin) rather than the C++ runtime, whose locks a killed thread would keep.
inline void PauseMs(unsigned ms) {
#if defined(_WIN32)
  Sleep(ms);
#else
  timespec delay{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&delay, &delay) != 0) {
  }
#endif
}

// Polls until `done` holds. A hang is caught by the test runner's time-out.
template <typename Predicate>
void WaitUntil(Predicate done) {
  while (!done()) {
    PauseMs(1);
  }
}

inline void SpinUntil(const std::atomic<bool>& flag) {
  while (!flag.load(std::memory_order_acquire)) {
  }
}

// JMutex::Init is private. An explicit instantiation may name a private
// member, which lets the tests reach it without touching the public header.
int CallInit(JMutex& mutex);
template <int (JMutex::*Member)()>
struct InitAccess {
  friend int CallInit(JMutex& mutex) { return (mutex.*Member)(); }
};
template struct InitAccess<&JMutex::Init>;

// A thread class whose body the test scripts through flags: it can call
// ThreadStarted or not, wait to be released, and return a chosen value.
class ScriptedThread : public JThread {
 public:
  std::atomic<bool> signalStarted{true};
  std::atomic<bool> entered{false};
  std::atomic<bool> released{true};
  std::atomic<bool> finished{false};
  std::atomic<int> runs{0};
  std::atomic<int> startFromBody{0};
  void* result = nullptr;
  unsigned pauseBeforeReturnMs = 0;

  // ThreadStarted for tests that call it from a thread other than the body's.
  void SignalStartedFromOutside() { ThreadStarted(); }

 protected:
  void* Run() override {
    runs.fetch_add(1);
    startFromBody = Start();
    entered = true;
    if (signalStarted) {
      ThreadStarted();
    }
    SpinUntil(released);
    if (pauseBeforeReturnMs != 0) {
      PauseMs(pauseBeforeReturnMs);
    }
    finished = true;
    return result;
  }
};

}  // namespace velkor_test

#endif  // VELKORTHREAD_TESTS_TEST_SUPPORT_H
