// SPDX-License-Identifier: MIT
// JMutex against the shipped library: ownership, recursion, abandonment,
// copies and mutual exclusion.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/test_support.h"

using velkor_test::PauseMs;
using velkor_test::WaitUntil;

namespace {

// Starts a thread that locks `mutex`, records that it got it, and unlocks it
// at once or, if `hold`, when the Contender is destroyed.
class Contender {
 public:
  explicit Contender(JMutex& mutex, bool hold = true)
      : thread_([this, &mutex, hold] {
          lockResult_ = mutex.Lock();
          acquired_ = true;
          if (hold) {
            WaitUntil([this] { return release_.load(); });
          }
          mutex.Unlock();
        }) {}
  ~Contender() {
    release_ = true;
    thread_.join();
  }
  bool Acquired() const { return acquired_; }
  int LockResult() const { return lockResult_; }
  void WaitForIt() const {
    WaitUntil([this] { return acquired_.load(); });
  }

 private:
  std::atomic<bool> acquired_{false};
  std::atomic<bool> release_{false};
  std::atomic<int> lockResult_{1};
  std::thread thread_;
};

// Long enough for a thread that is able to take the mutex to have taken it.
constexpr unsigned kSettleMs = 50;

TEST(JMutexOwnership, RecursiveLockBlocksOthersUntilTheLastUnlock) {
  JMutex mutex;
  ASSERT_TRUE(mutex.IsInitialized());
  EXPECT_EQ(mutex.Lock(), 0);
  EXPECT_EQ(mutex.Lock(), 0);

  Contender other(mutex);
  PauseMs(kSettleMs);
  EXPECT_FALSE(other.Acquired());

  EXPECT_EQ(mutex.Unlock(), 0);
  PauseMs(kSettleMs);
  EXPECT_FALSE(other.Acquired()) << "one Unlock must not free a mutex locked twice";

  EXPECT_EQ(mutex.Unlock(), 0);
  other.WaitForIt();
  EXPECT_EQ(other.LockResult(), 0);
}

TEST(JMutexOwnership, UnlockByANonOwnerChangesNothing) {
  JMutex mutex;
  ASSERT_EQ(mutex.Lock(), 0);

  int foreignUnlock = 1;
  std::thread([&] { foreignUnlock = mutex.Unlock(); }).join();
  EXPECT_EQ(foreignUnlock, 0);

  Contender other(mutex);
  PauseMs(kSettleMs);
  EXPECT_FALSE(other.Acquired()) << "the owner must still hold the mutex";

  EXPECT_EQ(mutex.Unlock(), 0);
  other.WaitForIt();
}

TEST(JMutexOwnership, AThreadThatEndsHoldingTheMutexAbandonsItToTheNextLock) {
  JMutex mutex;
  std::thread([&] {
    mutex.Lock();
    mutex.Lock();
  }).join();

  ASSERT_EQ(mutex.Lock(), 0);  // would hang if the ended owner still held it

  // The caller now owns it: others wait until it unlocks.
  Contender other(mutex);
  PauseMs(kSettleMs);
  EXPECT_FALSE(other.Acquired());
  EXPECT_EQ(mutex.Unlock(), 0);
  other.WaitForIt();
}

TEST(JMutexRefusals, InitOnAReadyMutexRefusesAndKeepsTheHandle) {
  JMutex mutex;
  ASSERT_TRUE(mutex.IsInitialized());
  EXPECT_EQ(velkor_test::CallInit(mutex), MUTEX_ERR_ALREADY_INIT);
  EXPECT_TRUE(mutex.IsInitialized());

  // Still the same mutex: a lock held here keeps another thread out.
  ASSERT_EQ(mutex.Lock(), 0);
  Contender other(mutex);
  PauseMs(kSettleMs);
  EXPECT_FALSE(other.Acquired());
  EXPECT_EQ(mutex.Unlock(), 0);
  other.WaitForIt();
}

TEST(JMutexCopies, ACopyLocksTheSameMutex) {
  JMutex original;
  JMutex constructed(original);
  JMutex assigned;
  assigned = original;
  ASSERT_TRUE(constructed.IsInitialized());
  ASSERT_TRUE(assigned.IsInitialized());

  for (JMutex* holder : {&original, &constructed, &assigned}) {
    ASSERT_EQ(holder->Lock(), 0);
    Contender viaOriginal(original, false);
    Contender viaCopy(assigned, false);
    PauseMs(kSettleMs);
    EXPECT_FALSE(viaOriginal.Acquired());
    EXPECT_FALSE(viaCopy.Acquired());
    EXPECT_EQ(holder->Unlock(), 0);
    viaOriginal.WaitForIt();
    viaCopy.WaitForIt();
  }
}

TEST(JMutexCopies, CopiesOutliveTheirSourceAndSelfAssignmentIsHarmless) {
  JMutex* source = new JMutex;
  JMutex copy(*source);
  JMutex second;
  second = copy;
  delete source;  // closes only the source's own handle

  copy = copy;
  ASSERT_TRUE(copy.IsInitialized());
  ASSERT_EQ(copy.Lock(), 0);
  Contender other(second);
  PauseMs(kSettleMs);
  EXPECT_FALSE(other.Acquired());
  EXPECT_EQ(copy.Unlock(), 0);
  other.WaitForIt();
}

TEST(JMutexLoad, ConcurrentIncrementsAreExact) {
  constexpr int kThreads = 4;
  const int increments = 500 * velkor_test::StressScale();
  JMutex mutex;
  long counter = 0;  // deliberately not atomic: only the mutex protects it

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < increments; ++i) {
        mutex.Lock();
        mutex.Lock();  // recursion under contention
        long seen = counter;
        counter = seen + 1;
        mutex.Unlock();
        mutex.Unlock();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, static_cast<long>(kThreads) * increments);
}

}  // namespace
