// SPDX-License-Identifier: MIT
// What the system sees of JThread's threads: exit codes, handles released,
// thousands of runs ending or killed at varied moments, and calls that race
// each other on one object.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/kernel.h"
#include "support/test_support.h"

namespace kernel = velkor::kernel;
using velkor_test::WaitUntil;

namespace {

// Hands the test a handle to its own thread before it signals Start.
class SelfReportingThread : public JThread {
 public:
  std::atomic<kernel::Handle> self{nullptr};
  std::atomic<bool> released{true};

 protected:
  void* Run() override {
    self = kernel::ThreadOpenCurrent();
    ThreadStarted();
    velkor_test::SpinUntil(released);
    return this;
  }
};

kernel::UInt32 ExitCodeOnceEnded(kernel::Handle thread) {
  kernel::ThreadWait(thread);
  kernel::UInt32 code = 12345;
  EXPECT_TRUE(kernel::ThreadExitCode(thread, &code));
  kernel::HandleClose(thread);
  return code;
}

// Guards the leak checks below against a count that never moves.
bool HandleCountSeesNewHandles() {
  std::size_t before = kernel::OpenHandleCount();
  JMutex probe;
  return kernel::OpenHandleCount() > before;
}

TEST(JThreadExitCodes, EndedAndKilledThreadsExitWithZero) {
  SelfReportingThread ended;
  ASSERT_EQ(ended.Start(), 0);
  ASSERT_NE(ended.self.load(), nullptr);
  EXPECT_EQ(ExitCodeOnceEnded(ended.self), 0u);

  SelfReportingThread killed;
  killed.released = false;
  ASSERT_EQ(killed.Start(), 0);
  ASSERT_EQ(killed.Kill(), 0);
  EXPECT_EQ(ExitCodeOnceEnded(killed.self), 0u);

  auto* destroyed = new SelfReportingThread;
  destroyed->released = false;
  ASSERT_EQ(destroyed->Start(), 0);
  kernel::Handle destroyedSelf = destroyed->self;
  delete destroyed;
  EXPECT_EQ(ExitCodeOnceEnded(destroyedSelf), 0u);
}

// A body whose end the test picks per cycle: return at once, spin a while,
// or wait on a mutex that the test holds.
class VariedThread : public JThread {
 public:
  JMutex gate;
  int mode = 0;

 protected:
  // Reads its members before ThreadStarted: afterwards the object may be
  // under destruction, its derived part already gone.
  void* Run() override {
    const int myMode = mode;
    JMutex* myGate = &gate;
    if (myMode != 3) {
      ThreadStarted();  // mode 3 leaves Start waiting for the end
    }
    if (myMode == 1) {
      for (volatile int i = 0; i < 20000; i = i + 1) {
      }
    } else if (myMode == 2) {
      myGate->Lock();
      myGate->Unlock();
    }
    return myGate;
  }
};

TEST(JThreadStress, ThousandsOfRunsEndOrAreKilledWithoutLeakingHandles) {
  const int cycles = 150 * velkor_test::StressScale();
  VariedThread thread;
  std::size_t baseline = kernel::OpenHandleCount();
  ASSERT_TRUE(HandleCountSeesNewHandles());

  for (int i = 0; i < cycles; ++i) {
    thread.mode = i % 4;
    bool gateHeld = (thread.mode == 2) && (i % 8 == 2);
    if (gateHeld) thread.gate.Lock();
    ASSERT_EQ(thread.Start(), 0) << "cycle " << i;
    if (gateHeld) {
      if (i % 3 == 0) {
        ASSERT_EQ(thread.Kill(), 0) << "cycle " << i;  // killed while waiting on the gate
      }
      thread.gate.Unlock();
    } else if (i % 3 == 0) {
      int killed = thread.Kill();  // races the body's end
      ASSERT_TRUE(killed == 0 || killed == THREAD_ERR_NOT_RUNNING) << "cycle " << i;
    }
    WaitUntil([&] { return !thread.IsRunning(); });
  }
  // The last run's handle is still held by the object, as a later Kill may
  // need it; nothing else may remain.
  EXPECT_LE(kernel::OpenHandleCount(), baseline + 1);
  EXPECT_EQ(thread.Start(), 0);
  WaitUntil([&] { return !thread.IsRunning(); });
  EXPECT_EQ(thread.GetReturnValue(), &thread.gate);
}

TEST(JThreadStress, ManyObjectsStartedAndDestroyedLeaveNoHandles) {
  const int objects = 50 * velkor_test::StressScale();
  std::size_t baseline = kernel::OpenHandleCount();
  ASSERT_TRUE(HandleCountSeesNewHandles());
  for (int i = 0; i < objects; ++i) {
    VariedThread thread;
    thread.mode = i % 2;  // not the gate: it goes with the derived part, before the kill
    ASSERT_EQ(thread.Start(), 0);
    if (i % 2 == 0) {
      // A copy taken while the thread runs would kill it on destruction,
      // wherever its snapshot went stale (even inside the system's thread
      // exit): copy an ended thread, for its duplicated handles.
      WaitUntil([&] { return !thread.IsRunning(); });
      VariedThread copy(thread);
    }
  }  // each destructor kills or finds ended, then releases everything
  EXPECT_EQ(kernel::OpenHandleCount(), baseline);
}

// Signals, then spins until released; counts the bodies inside at once.
class CountingThread : public JThread {
 public:
  std::atomic<int> inside{0};
  std::atomic<int> mostInside{0};
  std::atomic<int> runs{0};
  std::atomic<bool> released{false};

 protected:
  void* Run() override {
    int now = inside.fetch_add(1) + 1;
    if (now > mostInside) mostInside = now;
    runs.fetch_add(1);
    ThreadStarted();
    velkor_test::SpinUntil(released);
    inside.fetch_sub(1);
    return nullptr;
  }
};

// Each round: two threads call Start at once while the first body still runs.
TEST(JThreadMisuse, RacingStartsStartOneThreadAndLoseNoHandle) {
  const int rounds = 5 * velkor_test::StressScale();
  std::size_t baseline = kernel::OpenHandleCount();
  for (int round = 0; round < rounds; ++round) {
    CountingThread thread;
    std::atomic<bool> go{false};
    int codes[2] = {1, 1};
    std::thread starters[2];
    for (int i = 0; i < 2; ++i) {
      starters[i] = std::thread([&, i] {
        velkor_test::SpinUntil(go);
        codes[i] = thread.Start();
      });
    }
    go = true;
    for (std::thread& starter : starters) starter.join();
    EXPECT_EQ(codes[0] + codes[1], THREAD_ERR_ALREADY_RUNNING) << "round " << round;
    EXPECT_TRUE(codes[0] == 0 || codes[1] == 0) << "round " << round;
    EXPECT_EQ(thread.runs, 1) << "round " << round;
    thread.released = true;
    WaitUntil([&] { return !thread.IsRunning(); });
    EXPECT_EQ(thread.mostInside, 1) << "round " << round;
  }
  // A lost handle would be one per round; Wine opens one of its own now and
  // then (a count that rose once, mid-test, and then stayed).
  EXPECT_LE(kernel::OpenHandleCount(), baseline + 1);
}

// Stores `result`, or Kills its own object before or after signalling.
class SelfKillingThread : public JThread {
 public:
  enum When { kNever, kBeforeSignalling, kAfterSignalling };
  std::atomic<When> killsItself{kNever};
  std::atomic<bool> wentOnAfterKill{false};
  int first = 1, second = 2;
  std::atomic<int*> result{&first};

 protected:
  void* Run() override {
    When when = killsItself;
    int* value = result;
    if (when == kBeforeSignalling) GoOnAfterKill();
    ThreadStarted();
    if (when == kAfterSignalling) GoOnAfterKill();
    return value;
  }

 private:
  void GoOnAfterKill() {
    Kill();
    wentOnAfterKill = true;
  }
};

// A killed thread is reclaimed by the layer a moment after its end, off the
// killer's path (always so for a thread that killed itself): wait for the
// count to come back. The bound only stops a failing test from hanging.
bool HandleCountReturnsTo(std::size_t baseline) {
  for (int i = 0; i < 20000 && kernel::OpenHandleCount() != baseline; ++i) {
    kernel::SleepMilliseconds(1);
  }
  return kernel::OpenHandleCount() == baseline;
}

TEST(JThreadMisuse, ABodyThatKillsItsOwnObjectEndsThereAndLeavesItIdle) {
  std::size_t baseline = kernel::OpenHandleCount();
  for (auto when : {SelfKillingThread::kBeforeSignalling, SelfKillingThread::kAfterSignalling}) {
    SelfKillingThread thread;
    ASSERT_EQ(thread.Start(), 0);
    WaitUntil([&] { return !thread.IsRunning(); });

    thread.killsItself = when;
    thread.result = &thread.second;
    ASSERT_EQ(thread.Start(), 0);
    WaitUntil([&] { return !thread.IsRunning(); });
    EXPECT_FALSE(thread.wentOnAfterKill);
    EXPECT_EQ(thread.GetReturnValue(), &thread.first) << "the killed run stored a result";
    EXPECT_EQ(thread.Kill(), THREAD_ERR_NOT_RUNNING);

    thread.killsItself = SelfKillingThread::kNever;
    ASSERT_EQ(thread.Start(), 0);  // no member mutex was left held
    WaitUntil([&] { return !thread.IsRunning(); });
    EXPECT_EQ(thread.GetReturnValue(), &thread.second);
  }
  EXPECT_TRUE(HandleCountReturnsTo(baseline)) << kernel::OpenHandleCount() << " for " << baseline;
}

// Each round: another thread Kills the object a varied moment after Start
// began, often while Start still waits for the new thread to run.
TEST(JThreadMisuse, AKillOverlappingAStartEndsItsThreadAndStartReturns) {
  const int rounds = 10 * velkor_test::StressScale();
  std::size_t baseline = kernel::OpenHandleCount();
  {
    CountingThread thread;
    for (int round = 0; round < rounds; ++round) {
      std::atomic<bool> go{false};
      int killed = 1;
      std::thread killer([&] {
        velkor_test::SpinUntil(go);
        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(round % 8 * 200);
        while (std::chrono::steady_clock::now() < until) {
        }
        killed = thread.Kill();
      });
      go = true;
      EXPECT_EQ(thread.Start(), 0) << "round " << round;
      killer.join();
      if (killed == THREAD_ERR_NOT_RUNNING) {  // it came before the launch
        EXPECT_EQ(thread.Kill(), 0) << "round " << round;
      } else {
        EXPECT_EQ(killed, 0) << "round " << round;
      }
      EXPECT_FALSE(thread.IsRunning()) << "round " << round;
    }
    thread.released = true;
    ASSERT_EQ(thread.Start(), 0);
    WaitUntil([&] { return !thread.IsRunning(); });
  }
  EXPECT_TRUE(HandleCountReturnsTo(baseline)) << kernel::OpenHandleCount() << " for " << baseline;
}

}  // namespace
