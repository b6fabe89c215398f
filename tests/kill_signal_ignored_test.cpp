// SPDX-License-Identifier: MIT
// Linux: the kill signal sent from outside to a program that never handled it
// itself. The library must ignore it, never end a thread for it, and the
// signal's default action (ending the process) must not happen either.
#include <gtest/gtest.h>
#include <jthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/test_support.h"

namespace {

// The process-wide pending set, from /proc: a signal sent to the process
// stays there until a thread has taken it.
bool ProcessHasPending(int signal) {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) {
    return true;
  }
  char line[256];
  unsigned long long pending = 0;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "ShdPnd:", 7) == 0) {
      pending = std::strtoull(line + 7, nullptr, 16);
    }
  }
  std::fclose(status);
  return (pending >> (signal - 1)) & 1u;
}

class Counter : public JThread {
 public:
  std::atomic<bool> release{false};
  std::atomic<unsigned long> progress{0};
  long result = 0;

 protected:
  void* Run() override {
    ThreadStarted();
    while (!release.load()) {
      progress.fetch_add(1);
    }
    result = 1;
    return &result;
  }
};

void SendFromAnotherProcess(int signal) {
  pid_t parent = getpid();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    _exit(kill(parent, signal) != 0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  velkor_test::WaitUntil([signal] { return !ProcessHasPending(signal); });
}

TEST(KillSignalFromOutside, IsIgnoredAndEndsNoThread) {
  const int killSignal = SIGRTMIN + 6;
  Counter counter;
  ASSERT_EQ(counter.Start(), 0);  // the library now handles the signal

  for (int i = 0; i < 3; ++i) {
    SendFromAnotherProcess(killSignal);
  }
  // The sending thread (this one) and the body both go on.
  unsigned long seen = counter.progress.load();
  velkor_test::WaitUntil([&] { return counter.progress.load() > seen; });
  EXPECT_TRUE(counter.IsRunning());
  counter.release = true;
  velkor_test::WaitUntil([&] { return !counter.IsRunning(); });
  EXPECT_EQ(counter.GetReturnValue(), &counter.result);

  // Kill still ends a running body at once.
  Counter victim;
  ASSERT_EQ(victim.Start(), 0);
  SendFromAnotherProcess(killSignal);
  EXPECT_TRUE(victim.IsRunning());
  EXPECT_EQ(victim.Kill(), 0);
  EXPECT_FALSE(victim.IsRunning());
  EXPECT_EQ(victim.result, 0);
}

}  // namespace
