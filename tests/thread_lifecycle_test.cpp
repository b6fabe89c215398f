// SPDX-License-Identifier: MIT
// What the system sees of JThread's threads: exit codes, handles released,
// and thousands of runs ending or killed at varied moments.
#include <gtest/gtest.h>

#include <atomic>

#include "kernel.h"
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

}  // namespace
