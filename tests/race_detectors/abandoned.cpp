// SPDX-License-Identifier: MIT
// A mutex whose owner ends holding it goes to the next thread that locks it,
// along with what the owner wrote: an owner that returns holding it (twice:
// recursion) while another thread waits for it, and an owner that is killed
// holding it.
#include <jmutex.h>
#include <jthread.h>

#include <atomic>

#include "client.h"

namespace {

class Owner : public JThread {
 public:
  Owner(JMutex& guard, long& shared, bool spins) : guard_(guard), shared_(shared), spins_(spins) {}
  std::atomic<bool> go{false};

 protected:
  void* Run() override {
    guard_.Lock();
    guard_.Lock();
    if (spins_) {
      shared_ = 2;
      ThreadStarted();
      for (volatile long spin = 0;; spin = spin + 1) {
      }
    }
    ThreadStarted();
    while (!go.load()) {
      SleepOs(1);
    }
    shared_ = 1;
    return nullptr;  // still holding guard_, twice
  }

 private:
  JMutex& guard_;
  long& shared_;
  bool spins_;
};

class Waiter : public JThread {
 public:
  Waiter(JMutex& guard, long& shared) : guard_(guard), shared_(shared) {}
  long seen = 0;

 protected:
  void* Run() override {
    ThreadStarted();
    guard_.Lock();
    seen = shared_;
    shared_ = 10;
    guard_.Unlock();
    return &seen;
  }

 private:
  JMutex& guard_;
  long& shared_;
};

}  // namespace

int main() {
  JMutex guard;
  long shared = 0;

  Owner returning(guard, shared, false);
  Waiter waiter(guard, shared);
  CLIENT_EXPECT(returning.Start() == 0);
  CLIENT_EXPECT(waiter.Start() == 0);
  SleepOs(20);  // the waiter is now blocked in Lock
  returning.go.store(true);
  while (returning.IsRunning() || waiter.IsRunning()) {
    SleepOs(1);
  }
  CLIENT_EXPECT(waiter.seen == 1);

  Owner killed(guard, shared, true);
  CLIENT_EXPECT(killed.Start() == 0);
  SleepOs(20);
  CLIENT_EXPECT(killed.Kill() == 0);
  CLIENT_EXPECT(guard.Lock() == 0);
  CLIENT_EXPECT(shared == 2);
  shared = 3;
  CLIENT_EXPECT(guard.Unlock() == 0);
  std::printf("abandoned mutexes taken over\n");
  return 0;
}
