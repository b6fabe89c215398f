// SPDX-License-Identifier: MIT
// The simulated kernel and the explorer themselves: each kind of violation is
// found and named, the preemption bound means what it says, a kill stops its
// victim for good, and a replay string reproduces its run.
#include <gtest/gtest.h>
#include <jmutex.h>
#include <jthread.h>
#include <velkorsched.h>

#include <string>

#include "platform/kernel.h"

namespace kernel = velkor::kernel;
namespace sched = velkor::sched;

namespace {

sched::Options Quiet(int bound) {
  sched::Options options;
  options.preemptionBound = bound;
  options.log = nullptr;
  return options;
}

bool Mentions(const sched::Report& report, const char* text) {
  return report.violations > 0 && report.message.find(text) != std::string::npos;
}

TEST(HandleAccounting, DoubleCloseUseAfterCloseAndLeakAreFound) {
  sched::Report doubleClose = sched::Explore(
      "double_close",
      [] {
        kernel::Handle mutex = kernel::MutexCreate();
        kernel::HandleClose(mutex);
        kernel::HandleClose(mutex);
      },
      Quiet(0));
  EXPECT_TRUE(Mentions(doubleClose, "closed already")) << doubleClose.message;

  sched::Report useAfterClose = sched::Explore(
      "use_after_close",
      [] {
        kernel::Handle mutex = kernel::MutexCreate();
        kernel::Handle copy = kernel::HandleDuplicate(mutex);
        kernel::HandleClose(mutex);
        kernel::MutexAcquire(copy);  // fine: the copy is a handle of its own
        kernel::MutexRelease(copy);
        kernel::MutexAcquire(mutex);
      },
      Quiet(0));
  EXPECT_TRUE(Mentions(useAfterClose, "MutexAcquire on handle#1")) << useAfterClose.message;
  EXPECT_TRUE(Mentions(useAfterClose, "after it was closed")) << useAfterClose.message;

  sched::Report leak = sched::Explore(
      "leak", [] { kernel::MutexCreate(); }, Quiet(0));
  EXPECT_TRUE(Mentions(leak, "leak: handle#1 of mutex#1")) << leak.message;

  sched::Report clean = sched::Explore(
      "clean", [] { JMutex mutex; }, Quiet(2));
  EXPECT_EQ(clean.violations, 0) << clean.message;
}

kernel::UInt32 VELKORTHREAD_ENTRY_CALL ReturnZero(void*) { return 0; }

// Each call asks its handle's object for the kind it needs: the other kind
// must be refused, not used as if it were one.
TEST(HandleAccounting, AHandleOfTheWrongKindIsFound) {
  sched::Report waitOnMutex = sched::Explore(
      "wait_on_mutex", [] { kernel::ThreadWait(kernel::MutexCreate()); }, Quiet(0));
  EXPECT_TRUE(Mentions(waitOnMutex, "ThreadWait on handle#1 of mutex#1")) << waitOnMutex.message;
  EXPECT_TRUE(Mentions(waitOnMutex, "which is not a thread")) << waitOnMutex.message;

  sched::Report acquireThread = sched::Explore(
      "acquire_thread",
      [] { kernel::MutexAcquire(kernel::ThreadCreate(ReturnZero, nullptr, nullptr)); }, Quiet(0));
  EXPECT_TRUE(Mentions(acquireThread, "which is not a mutex")) << acquireThread.message;
}

kernel::UInt32 VELKORTHREAD_ENTRY_CALL ReturnSeven(void*) { return 7; }

TEST(ThreadObjects, AnExitCodeOtherThanZeroIsFound) {
  sched::Report report = sched::Explore(
      "exit_code",
      [] {
        kernel::UInt32 id = 0;
        kernel::Handle thread = kernel::ThreadCreate(ReturnSeven, nullptr, &id);
        kernel::ThreadWait(thread);
        kernel::UInt32 code = 0;
        sched::Check(kernel::ThreadExitCode(thread, &code) && code == 7, "the routine's result");
        kernel::HandleClose(thread);
      },
      Quiet(1));
  EXPECT_TRUE(Mentions(report, "thread#1 ended with exit code 7")) << report.message;
}

// Two tasks that take two mutexes in opposite orders: a deadlock that needs
// one preemption (between the two Locks of the first task).
void OppositeOrders() {
  JMutex first, second;
  int done = 0;
  sched::Spawn("forward", [&] {
    first.Lock();
    second.Lock();
    second.Unlock();
    first.Unlock();
    ++done;
  });
  sched::Spawn("backward", [&] {
    second.Lock();
    first.Lock();
    first.Unlock();
    second.Unlock();
    ++done;
  });
  while (done < 2) {
    sched::Yield();
  }
}

TEST(Explorer, TheBoundDecidesWhichFaultsAreReached) {
  sched::Report bound0 = sched::Explore("opposite_orders", OppositeOrders, Quiet(0));
  EXPECT_EQ(bound0.violations, 0) << bound0.message;
  sched::Options all = Quiet(1);
  all.stopAtFirstViolation = false;
  sched::Report bound1 = sched::Explore("opposite_orders", OppositeOrders, all);
  EXPECT_TRUE(Mentions(bound1, "deadlock")) << bound1.message;
  EXPECT_LT(bound0.schedules, bound1.schedules);
  EXPECT_LT(bound1.violations, bound1.schedules);
  EXPECT_EQ(bound1.distinct, bound1.schedules) << "the search runs no schedule twice";
}

TEST(Explorer, PollingThatNothingEndsIsALivelock) {
  sched::Report report = sched::Explore(
      "livelock",
      [] {
        bool never = false;
        while (!never) {
          sched::Yield();
        }
      },
      Quiet(0));
  EXPECT_TRUE(Mentions(report, "livelock")) << report.message;
}

TEST(Explorer, AReplayStringReproducesItsRun) {
  sched::Report found = sched::Explore("opposite_orders", OppositeOrders, Quiet(1));
  ASSERT_TRUE(Mentions(found, "deadlock"));
  EXPECT_EQ(sched::Replay(found.replay, OppositeOrders, nullptr), found.message);

  sched::Options random = Quiet(-1);
  random.randomRuns = 500;
  random.seed = 7;
  sched::Report randomly = sched::Explore("opposite_orders", OppositeOrders, random);
  ASSERT_TRUE(Mentions(randomly, "deadlock")) << "500 random runs missed a depth-2 deadlock";
  EXPECT_EQ(sched::Replay(randomly.replay, OppositeOrders, nullptr), randomly.message);
  sched::Report again = sched::Explore("opposite_orders", OppositeOrders, random);
  EXPECT_EQ(again.replay, randomly.replay);
  EXPECT_EQ(again.schedules, randomly.schedules);
}

// What the kills of one exploration found the body doing; only observed
// across runs, never read by a run.
int stepsSeenAtKill = 0;
JMutex* victimMutex = nullptr;
int victimSteps = 0;

class Stepper : public JThread {
 protected:
  void* Run() override {
    ThreadStarted();
    victimMutex->Lock();
    victimSteps = 1;
    victimMutex->Unlock();
    victimSteps = 2;
    return nullptr;
  }
};

TEST(Termination, AKillStopsTheVictimAtItsPendingCallForGood) {
  sched::Report report = sched::Explore(
      "kill_stops",
      [] {
        JMutex mutex;
        victimMutex = &mutex;
        victimSteps = 0;
        Stepper victim;
        sched::Check(victim.Start() == 0, "Start returns 0");
        sched::Anywhere();
        int code = victim.Kill();
        int atKill = victimSteps;
        for (int i = 0; i < 3; ++i) {
          sched::Yield();
        }
        if (code == 0) {
          stepsSeenAtKill |= 1 << atKill;
          sched::Check(victimSteps == atKill, "a killed body never runs again");
        }
        mutex.Lock();  // abandoned if the victim died holding it
        mutex.Unlock();
      },
      Quiet(1));
  EXPECT_EQ(report.violations, 0) << report.message;
  EXPECT_EQ(stepsSeenAtKill, 0x7) << "kills landed before, inside and after the locked section";
}

}  // namespace
