// SPDX-License-Identifier: MIT
// JThread against the shipped library: the start handshake, results,
// restarts, termination and destruction.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/test_support.h"

using velkor_test::PauseMs;
using velkor_test::ScriptedThread;
using velkor_test::WaitUntil;

namespace {

int firstToken = 1;
int secondToken = 2;

void WaitUntilEnded(JThread& thread) {
  WaitUntil([&] { return !thread.IsRunning(); });
}

TEST(JThreadHandshake, StartReturnsWhileTheBodyRunsOnAfterThreadStarted) {
  ScriptedThread thread;
  thread.released = false;
  thread.result = &firstToken;

  ASSERT_EQ(thread.Start(), 0);
  EXPECT_TRUE(thread.entered);
  EXPECT_FALSE(thread.finished);
  EXPECT_TRUE(thread.IsRunning());
  EXPECT_EQ(thread.GetReturnValue(), nullptr);

  thread.released = true;
  WaitUntilEnded(thread);
  EXPECT_TRUE(thread.finished);
  EXPECT_EQ(thread.GetReturnValue(), &firstToken);
}

TEST(JThreadHandshake, StartWaitsForABodyThatNeverSignalsUntilItHasEnded) {
  ScriptedThread thread;
  thread.signalStarted = false;
  thread.pauseBeforeReturnMs = 30;
  thread.result = &firstToken;

  ASSERT_EQ(thread.Start(), 0);
  EXPECT_TRUE(thread.finished);
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_EQ(thread.GetReturnValue(), &firstToken);
}

TEST(JThreadHandshake, ThreadStartedFromAnotherThreadDoesNotReleaseStart) {
  ScriptedThread thread;
  thread.signalStarted = false;
  thread.released = false;

  std::atomic<bool> startReturned{false};
  std::atomic<int> startResult{1};
  std::thread starter([&] {
    startResult = thread.Start();
    startReturned = true;
  });
  WaitUntil([&] { return thread.entered.load(); });

  thread.SignalStartedFromOutside();  // not the owner of startedMutex: no effect
  PauseMs(50);
  EXPECT_FALSE(startReturned);

  thread.released = true;
  starter.join();
  EXPECT_EQ(startResult, 0);
  EXPECT_TRUE(thread.finished) << "Start must have waited for the body to end";
}

TEST(JThreadRefusals, SecondStartWhileRunningIsRefusedAndCreatesNoThread) {
  ScriptedThread thread;
  thread.released = false;
  ASSERT_EQ(thread.Start(), 0);

  EXPECT_EQ(thread.Start(), THREAD_ERR_ALREADY_RUNNING);
  EXPECT_EQ(thread.startFromBody, THREAD_ERR_ALREADY_RUNNING);

  thread.released = true;
  WaitUntilEnded(thread);
  EXPECT_EQ(thread.runs, 1);
}

TEST(JThreadRefusals, KillWithoutARunningThreadIsRefused) {
  ScriptedThread neverStarted;
  EXPECT_EQ(neverStarted.Kill(), THREAD_ERR_NOT_RUNNING);

  ScriptedThread ended;
  ASSERT_EQ(ended.Start(), 0);
  WaitUntilEnded(ended);
  EXPECT_EQ(ended.Kill(), THREAD_ERR_NOT_RUNNING);
}

TEST(JThreadRestart, ANewRunHidesTheOldResultUntilItReturns) {
  ScriptedThread thread;
  thread.result = &firstToken;
  ASSERT_EQ(thread.Start(), 0);
  WaitUntilEnded(thread);
  ASSERT_EQ(thread.GetReturnValue(), &firstToken);

  thread.released = false;
  thread.result = &secondToken;
  ASSERT_EQ(thread.Start(), 0);
  EXPECT_EQ(thread.GetReturnValue(), nullptr);
  thread.released = true;
  WaitUntilEnded(thread);
  EXPECT_EQ(thread.GetReturnValue(), &secondToken);
  EXPECT_EQ(thread.runs, 2);

  // A body that returns null leaves null, as during the run.
  thread.result = nullptr;
  ASSERT_EQ(thread.Start(), 0);
  WaitUntilEnded(thread);
  EXPECT_EQ(thread.GetReturnValue(), nullptr);
}

TEST(JThreadKill, KillEndsTheRunAndKeepsTheLastStoredResult) {
  ScriptedThread thread;
  thread.result = &firstToken;
  ASSERT_EQ(thread.Start(), 0);
  WaitUntilEnded(thread);

  thread.released = false;
  thread.finished = false;
  thread.result = &secondToken;
  ASSERT_EQ(thread.Start(), 0);
  EXPECT_EQ(thread.Kill(), 0);
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_EQ(thread.GetReturnValue(), &firstToken);
  EXPECT_EQ(thread.Kill(), THREAD_ERR_NOT_RUNNING);

  // Released now, a body that was really killed can no longer finish.
  thread.released = true;
  PauseMs(50);
  EXPECT_FALSE(thread.finished);
  EXPECT_EQ(thread.GetReturnValue(), &firstToken);
}

TEST(JThreadKill, AKilledFirstRunLeavesNoResult) {
  ScriptedThread thread;
  thread.released = false;
  thread.result = &firstToken;
  ASSERT_EQ(thread.Start(), 0);
  ASSERT_EQ(thread.Kill(), 0);
  EXPECT_EQ(thread.GetReturnValue(), nullptr);
}

TEST(JThreadKill, RestartAfterKillingABodyThatNeverSignalled) {
  ScriptedThread thread;
  thread.signalStarted = false;
  thread.released = false;

  std::atomic<int> startResult{1};
  std::thread starter([&] { startResult = thread.Start(); });
  WaitUntil([&] { return thread.entered.load(); });
  EXPECT_EQ(thread.Kill(), 0);
  starter.join();  // the killed thread abandoned startedMutex: Start returns
  EXPECT_EQ(startResult, 0);

  // startedMutex and launchMutex are usable again by the next run.
  thread.signalStarted = true;
  thread.released = true;
  thread.entered = false;
  thread.result = &secondToken;
  ASSERT_EQ(thread.Start(), 0);
  WaitUntilEnded(thread);
  EXPECT_EQ(thread.GetReturnValue(), &secondToken);
}

std::atomic<long> spinsOfTheDestroyedBody{0};

class EndlessThread : public JThread {
 protected:
  void* Run() override {
    ThreadStarted();
    for (;;) {
      spinsOfTheDestroyedBody.fetch_add(1, std::memory_order_relaxed);
    }
  }
};

TEST(JThreadDestruction, DestroyingAnObjectTerminatesItsThread) {
  auto* thread = new EndlessThread;
  ASSERT_EQ(thread->Start(), 0);
  WaitUntil([] { return spinsOfTheDestroyedBody.load() > 0; });
  delete thread;

  long afterDelete = spinsOfTheDestroyedBody.load();
  PauseMs(50);
  EXPECT_EQ(spinsOfTheDestroyedBody.load(), afterDelete) << "the body still runs";
}

// Copyable, unlike ScriptedThread with its atomics.
class ReturningThread : public JThread {
 public:
  void* result = nullptr;

 protected:
  void* Run() override {
    ThreadStarted();
    return result;
  }
};

TEST(JThreadCopies, CopiesAreSnapshotsThatShareTheSourcesMutexesSafely) {
  ReturningThread source;
  source.result = &firstToken;
  ASSERT_EQ(source.Start(), 0);
  WaitUntilEnded(source);

  {
    ReturningThread copy(source);
    EXPECT_FALSE(copy.IsRunning());
    EXPECT_EQ(copy.GetReturnValue(), &firstToken);
    ReturningThread assigned;
    assigned = source;
    assigned = assigned;
    EXPECT_EQ(assigned.GetReturnValue(), &firstToken);
  }  // the copies close only their own handles

  source.result = &secondToken;
  ASSERT_EQ(source.Start(), 0);
  WaitUntilEnded(source);
  EXPECT_EQ(source.GetReturnValue(), &secondToken);
}

}  // namespace
