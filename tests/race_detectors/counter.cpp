// SPDX-License-Identifier: MIT
// Two threads add to one counter under one JMutex, taking it twice each time
// (recursion); main reads the total once neither runs. Built with
// VELKOR_PLANT_RACE, the same program leaves the lock out: a race every tool
// must report.
#include <jmutex.h>
#include <jthread.h>

#include "client.h"

namespace {

constexpr int kAdditions = 2000;

// Shared by the two threads; not on a stack, where DRD by default does not look.
long counter = 0;

class Adder : public JThread {
 public:
  Adder(JMutex& guard, long& counter) : guard_(guard), counter_(counter) {}

 protected:
  void* Run() override {
    ThreadStarted();
    for (int i = 0; i < kAdditions; ++i) {
#if defined(VELKOR_PLANT_RACE)
      ++counter_;
#else
      guard_.Lock();
      guard_.Lock();
      ++counter_;
      guard_.Unlock();
      guard_.Unlock();
#endif
    }
    return nullptr;
  }

 private:
  JMutex& guard_;
  long& counter_;
};

}  // namespace

int main() {
  JMutex guard;
  Adder first(guard, counter);
  Adder second(guard, counter);
  CLIENT_EXPECT(first.Start() == 0);
  CLIENT_EXPECT(second.Start() == 0);
  while (first.IsRunning() || second.IsRunning()) {
    SleepOs(1);
  }
#if !defined(VELKOR_PLANT_RACE)
  CLIENT_EXPECT(counter == 2 * kAdditions);
#endif
  std::printf("counter %ld\n", counter);
  return 0;
}
