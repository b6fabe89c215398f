// SPDX-License-Identifier: MIT
// The Linux kill signal is a number any process of the same user can send, and
// client code can send it to any thread. Only the layer's own kills may end a
// thread; every other arrival goes to the handler the client installed first.
//
// This executable installs such a handler before the layer's first thread
// exists, as a client that owned the signal before linking us would. It counts
// what reaches it, which also tells the tests when a signal has been taken.
#include <gtest/gtest.h>
#include <jthread.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/kernel.h"
#include "platform/linux/test_queries.h"
#include "support/test_support.h"

namespace kernel = velkor::kernel;
using kernel::Handle;
using kernel::UInt32;

namespace {

const int kKillSignal = SIGRTMIN + 6;

std::atomic<int> forwarded{0};
std::atomic<int> lastCode{0};
// Signals sent to the process may be handled on two threads at once, in any
// order: each kind is recorded apart.
std::atomic<int> fromKill{0};
std::atomic<int> queuedValue{0};

void CountForwarded(int, siginfo_t* info, void*) {
  lastCode = info->si_code;
  if (info->si_code == SI_USER) fromKill.fetch_add(1);
  if (info->si_code == SI_QUEUE) queuedValue = info->si_value.sival_int;
  forwarded.fetch_add(1);
}

// Runs before main, so before the layer installs its own handler.
const bool earlierHandlerInstalled = [] {
  struct sigaction action = {};
  action.sa_sigaction = CountForwarded;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO;
  return sigaction(SIGRTMIN + 6, &action, nullptr) == 0;
}();

void WaitForwardedCount(int count) {
  velkor_test::WaitUntil([count] { return forwarded.load() >= count; });
}

// A thread that spins, counting, until released; it returns 7.
struct Spinner {
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
  std::atomic<unsigned long> progress{0};
  std::atomic<pthread_t> self{};
  std::atomic<bool> ready{false};

  void Spin() {
    self = pthread_self();
    ready = true;
    while (!release.load()) {
      progress.fetch_add(1);
    }
    finished = true;
  }
  // Still running: its count moves on after the signal was taken.
  void ExpectStillRunning() {
    EXPECT_FALSE(finished.load());
    unsigned long seen = progress.load();
    velkor_test::WaitUntil([&] { return progress.load() > seen; });
  }
};

UInt32 VELKORTHREAD_ENTRY_CALL SpinRoutine(void* param) {
  static_cast<Spinner*>(param)->Spin();
  return 7;
}

UInt32 ExitCodeOf(Handle thread) {
  UInt32 code = 0xdead;
  EXPECT_TRUE(kernel::ThreadExitCode(thread, &code));
  return code;
}

class KernelKillSignalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(earlierHandlerInstalled);
    // The layer's handler is installed with its first thread.
    Spinner warmUp;
    warmUp.release = true;
    Handle thread = kernel::ThreadCreate(SpinRoutine, &warmUp, nullptr);
    ASSERT_NE(thread, nullptr);
    kernel::ThreadWait(thread);
    kernel::HandleClose(thread);
  }

  // Starts a layer thread that spins until released.
  Handle StartSpinner(Spinner* spinner) {
    Handle thread = kernel::ThreadCreate(SpinRoutine, spinner, nullptr);
    EXPECT_NE(thread, nullptr);
    velkor_test::WaitUntil([&] { return spinner->ready.load(); });
    return thread;
  }

  void ReleaseAndExpectNormalEnd(Spinner* spinner, Handle thread) {
    spinner->release = true;
    kernel::ThreadWait(thread);
    EXPECT_TRUE(spinner->finished.load());
    EXPECT_EQ(ExitCodeOf(thread), 7u);
    kernel::HandleClose(thread);
  }

  // A Kill after the stray signals still ends a thread at once.
  void ExpectKillStillEnds() {
    Spinner victim;
    Handle thread = StartSpinner(&victim);
    int before = forwarded.load();
    kernel::ThreadTerminate(thread, 5);
    EXPECT_EQ(ExitCodeOf(thread), 5u);
    EXPECT_FALSE(victim.finished.load());
    EXPECT_EQ(forwarded.load(), before) << "the layer's own kill reached the client's handler";
    kernel::HandleClose(thread);
  }
};

TEST_F(KernelKillSignalTest, SignalsFromAnotherProcessEndNoThread) {
  Spinner spinner;
  Handle thread = StartSpinner(&spinner);
  int before = forwarded.load();
  int killsBefore = fromKill.load();

  pid_t parent = getpid();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    sigval value;
    value.sival_int = 42;
    int failed = kill(parent, kKillSignal) != 0;
    failed |= sigqueue(parent, kKillSignal, value) != 0;
    _exit(failed);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  // Both reached the client's handler as they were sent.
  WaitForwardedCount(before + 2);
  EXPECT_EQ(fromKill.load(), killsBefore + 1);
  EXPECT_EQ(queuedValue.load(), 42);
  spinner.ExpectStillRunning();
  ReleaseAndExpectNormalEnd(&spinner, thread);
  ExpectKillStillEnds();
}

TEST_F(KernelKillSignalTest, ClientsPthreadKillEndsNeitherMainNorThreadsOfItsOwn) {
  int before = forwarded.load();
  ASSERT_EQ(pthread_kill(pthread_self(), kKillSignal), 0);
  WaitForwardedCount(before + 1);
  EXPECT_EQ(lastCode.load(), SI_TKILL);

  Spinner spinner;
  std::thread other([&] { spinner.Spin(); });
  velkor_test::WaitUntil([&] { return spinner.ready.load(); });
  ASSERT_EQ(pthread_kill(other.native_handle(), kKillSignal), 0);
  WaitForwardedCount(before + 2);
  spinner.ExpectStillRunning();
  spinner.release = true;
  other.join();
  EXPECT_TRUE(spinner.finished.load());
  ExpectKillStillEnds();
}

TEST_F(KernelKillSignalTest, ClientsPthreadKillEndsNoLayerThreadThatNobodyKills) {
  Spinner spinner;
  Handle thread = StartSpinner(&spinner);
  int before = forwarded.load();
  ASSERT_EQ(pthread_kill(spinner.self.load(), kKillSignal), 0);
  WaitForwardedCount(before + 1);
  EXPECT_EQ(lastCode.load(), SI_TKILL);
  spinner.ExpectStillRunning();
  ReleaseAndExpectNormalEnd(&spinner, thread);
  ExpectKillStillEnds();
}

// A thread that forks inside a deferred section once a terminator has claimed
// it: the kill is the parent's, and the child's copy must not believe itself
// claimed (it would wait for good at its end for a kill that never comes).
// The child answers through a pipe: under valgrind its exit status is
// valgrind's verdict on the child's memory, not the child's own.
struct Forker {
  std::atomic<bool> deferring{false};
  std::atomic<pid_t> child{0};
  int answer[2] = {-1, -1};
};

UInt32 VELKORTHREAD_ENTRY_CALL ForkWhileClaimed(void* param) {
  Forker* forker = static_cast<Forker*>(param);
  velkor::kernel::linux_layer::DeferTermination defer;
  forker->deferring = true;
  while (!velkor::kernel::linux_layer::CurrentThreadIsClaimedForKill()) {
  }
  pid_t child = fork();
  if (child == 0) {
    char claimed = velkor::kernel::linux_layer::CurrentThreadIsClaimedForKill() ? 'y' : 'n';
    _exit(write(forker->answer[1], &claimed, 1) == 1 ? 0 : 1);
  }
  forker->child = child;
  return 0;  // the kill held back ends the thread as the section closes
}

TEST_F(KernelKillSignalTest, AForkedChildOfAThreadBeingKilledIsNotClaimed) {
  Forker forker;
  ASSERT_EQ(pipe(forker.answer), 0);
  Handle thread = kernel::ThreadCreate(ForkWhileClaimed, &forker, nullptr);
  ASSERT_NE(thread, nullptr);
  velkor_test::WaitUntil([&] { return forker.deferring.load(); });
  std::thread killer([&] { kernel::ThreadTerminate(thread, 3); });
  killer.join();
  EXPECT_EQ(ExitCodeOf(thread), 3u);
  kernel::HandleClose(thread);
  ASSERT_GT(forker.child.load(), 0);
  close(forker.answer[1]);  // a child that died unanswered then reads as 0 bytes
  char claimed = '?';
  EXPECT_EQ(read(forker.answer[0], &claimed, 1), 1);
  EXPECT_EQ(claimed, 'n') << "the child's copy of the thread believes itself claimed";
  int status = -1;
  EXPECT_EQ(waitpid(forker.child.load(), &status, 0), forker.child.load());
  close(forker.answer[0]);
}

// A JThread whose object nobody is killing, poked by client code.
class SpinningJThread : public JThread {
 public:
  Spinner spinner;

 protected:
  void* Run() override {
    ThreadStarted();
    spinner.Spin();
    return &spinner;
  }
};

TEST_F(KernelKillSignalTest, ClientsPthreadKillEndsNoRunningJThread) {
  SpinningJThread first;
  ASSERT_EQ(first.Start(), 0);
  velkor_test::WaitUntil([&] { return first.spinner.ready.load(); });
  int before = forwarded.load();
  ASSERT_EQ(pthread_kill(first.spinner.self.load(), kKillSignal), 0);
  WaitForwardedCount(before + 1);
  first.spinner.ExpectStillRunning();
  EXPECT_TRUE(first.IsRunning());
  first.spinner.release = true;
  velkor_test::WaitUntil([&] { return !first.IsRunning(); });
  EXPECT_EQ(first.GetReturnValue(), &first.spinner);

  // And Kill still ends one that was poked the same way.
  SpinningJThread second;
  ASSERT_EQ(second.Start(), 0);
  velkor_test::WaitUntil([&] { return second.spinner.ready.load(); });
  ASSERT_EQ(pthread_kill(second.spinner.self.load(), kKillSignal), 0);
  WaitForwardedCount(before + 2);
  EXPECT_EQ(second.Kill(), 0);
  EXPECT_FALSE(second.IsRunning());
  EXPECT_FALSE(second.spinner.finished.load());
  EXPECT_EQ(second.GetReturnValue(), nullptr);
  EXPECT_EQ(forwarded.load(), before + 2);
}

}  // namespace
