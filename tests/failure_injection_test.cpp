// SPDX-License-Identifier: MIT
// The refusals that need the system to say no, made to happen through the
// test build's creation hooks.
#include <gtest/gtest.h>

#include "platform/kernel.h"
#include "support/test_support.h"

namespace hooks = velkor::kernel::testhooks;

namespace {

// Makes creations fail for the lifetime of the object.
class RefusedCreations {
 public:
  RefusedCreations(bool mutexes, bool threads) {
    hooks::FailMutexCreation(mutexes);
    hooks::FailThreadCreation(threads);
  }
  ~RefusedCreations() {
    hooks::FailMutexCreation(false);
    hooks::FailThreadCreation(false);
  }
};

TEST(JMutexWithoutMutex, LockAndUnlockRefuseAndInitCanRecover) {
  JMutex* mutex;
  {
    RefusedCreations refuse(true, false);
    mutex = new JMutex;
    EXPECT_FALSE(mutex->IsInitialized());
    EXPECT_EQ(mutex->Lock(), MUTEX_ERR_NOT_INIT);
    EXPECT_EQ(mutex->Unlock(), MUTEX_ERR_NOT_INIT);
    EXPECT_EQ(velkor_test::CallInit(*mutex), MUTEX_ERR_CREATE_FAILED);
    EXPECT_FALSE(mutex->IsInitialized());
  }
  EXPECT_EQ(velkor_test::CallInit(*mutex), 0);
  EXPECT_TRUE(mutex->IsInitialized());
  EXPECT_EQ(mutex->Lock(), 0);
  EXPECT_EQ(mutex->Unlock(), 0);
  EXPECT_EQ(velkor_test::CallInit(*mutex), MUTEX_ERR_ALREADY_INIT);
  delete mutex;
}

TEST(JMutexWithoutMutex, CopiesOfAMutexlessObjectHaveNoMutexEither) {
  RefusedCreations refuse(true, false);
  JMutex empty;
  JMutex copy(empty);
  EXPECT_FALSE(copy.IsInitialized());
  EXPECT_EQ(copy.Lock(), MUTEX_ERR_NOT_INIT);
}

TEST(JThreadRefusals, MissingMutexesRefuseEveryStart) {
  velkor_test::ScriptedThread* thread;
  {
    RefusedCreations refuse(true, false);
    thread = new velkor_test::ScriptedThread;
  }
  EXPECT_EQ(thread->Start(), THREAD_ERR_MUTEX_NOT_INIT);
  EXPECT_EQ(thread->Start(), THREAD_ERR_MUTEX_NOT_INIT);
  EXPECT_EQ(thread->runs, 0);
  EXPECT_EQ(thread->Kill(), 0);  // no stateMutex: nothing to do, and no refusal
  EXPECT_FALSE(thread->IsRunning());
  EXPECT_EQ(thread->GetReturnValue(), nullptr);
  delete thread;
}

TEST(JThreadRefusals, ARefusedThreadLeavesTheObjectReadyForTheNextStart) {
  velkor_test::ScriptedThread thread;
  {
    RefusedCreations refuse(false, true);
    EXPECT_EQ(thread.Start(), THREAD_ERR_CREATE_FAILED);
  }
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_EQ(thread.runs, 0);

  // launchMutex was released: a later Start goes through.
  ASSERT_EQ(thread.Start(), 0);
  velkor_test::WaitUntil([&] { return !thread.IsRunning(); });
  EXPECT_EQ(thread.runs, 1);
}

}  // namespace
