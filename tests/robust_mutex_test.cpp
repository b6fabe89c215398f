// SPDX-License-Identifier: MIT
// Tests of the Linux mutexes' own machinery: the robust list they share with
// the C library, deaths at every step of acquisition and release, kernel
// thread ids reused by new threads, the main thread as owner, and fork.
//
// They run in both Linux test builds: the one whose mutexes are our own robust
// futexes, and the one forced onto the pthread fallback
// (VELKOR_FORCE_PTHREAD_MUTEX). Cases that stop a thread inside our futex code
// need the first.
#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "platform/linux/test_queries.h"
#include "support/kernel_test_support.h"

namespace kernel = velkor::kernel;
namespace linux_layer = velkor::kernel::linux_layer;
using kernel::Handle;
using kernel::UInt32;
using linux_layer::MutexStep;

namespace {

using namespace velkor_test;

#if defined(VELKOR_FORCE_PTHREAD_MUTEX)
constexpr bool kOwnFutexBuild = false;
#elif defined(__GLIBC__) && (defined(__x86_64__) || defined(__aarch64__))
constexpr bool kOwnFutexBuild = true;
#elif defined(__GLIBC__) && defined(__i386__)
// The C library links its robust mutexes here in a singly linked list, whose
// unlinking keeps no `prev` of ours right: the check must refuse.
constexpr bool kOwnFutexBuild = false;
#else
#define VELKOR_TEST_KIND_UNKNOWN 1
constexpr bool kOwnFutexBuild = false;
#endif

UInt32 Tid() { return static_cast<UInt32>(syscall(SYS_gettid)); }

// The calling thread's robust list, walked as the kernel walks it at the
// thread's end.
linux_layer::RobustListHead* OwnList() {
  linux_layer::RobustListHead* head = nullptr;
  size_t length = 0;
  if (syscall(SYS_get_robust_list, 0, &head, &length) != 0) return nullptr;
  return head;
}

void** Node(void* entry) {
  return reinterpret_cast<void**>(reinterpret_cast<std::uintptr_t>(entry) & ~std::uintptr_t{1});
}

#if defined(__GLIBC__) && defined(__PTHREAD_MUTEX_HAVE_PREV) && __PTHREAD_MUTEX_HAVE_PREV
constexpr bool kGlibcListKnown = true;
void* GlibcEntry(pthread_mutex_t* mutex) { return &mutex->__data.__list.__next; }
#else
constexpr bool kGlibcListKnown = false;
void* GlibcEntry(pthread_mutex_t*) { return nullptr; }
#endif

// The entries of the list, or an empty vector plus a failure if a `prev`
// link does not match its `next`. Where the C library's robust mutexes have
// no `prev` (32-bit x86), its list is singly linked and only `next` counts.
std::vector<void*> ListEntries() {
  std::vector<void*> entries;
  linux_layer::RobustListHead* head = OwnList();
  if (head == nullptr) {
    ADD_FAILURE() << "no robust list";
    return entries;
  }
  void* before = head;
  for (void* entry = head->list; entry != head; entry = Node(entry)[0]) {
    if ((kGlibcListKnown && Node(entry)[-1] != before) || entries.size() > 4096) {
      ADD_FAILURE() << "broken link after " << entries.size() << " entries";
      return {};
    }
    entries.push_back(entry);
    before = entry;
  }
  if (kGlibcListKnown) {
    EXPECT_EQ(Node(head)[-1], before) << "the field before the head names the last entry";
  }
  EXPECT_EQ(head->listOpPending, nullptr);
  return entries;
}

void InitGlibcRobust(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

class RobustMutexTest : public ::testing::Test {
 protected:
  void SetUp() override { handles_ = kernel::OpenHandleCount(); }
  void TearDown() override {
    for (int i = 0; i < 5000 && kernel::OpenHandleCount() != handles_; ++i) {
      kernel::SleepMilliseconds(1);
    }
    EXPECT_EQ(kernel::OpenHandleCount(), handles_);
  }
  std::size_t handles_ = 0;
};

// ---------------------------------------------------------------------------
// Which kind of mutex this build makes

TEST_F(RobustMutexTest, ThisBuildMakesTheExpectedKindOfMutex) {
#if defined(VELKOR_TEST_KIND_UNKNOWN)
  GTEST_SKIP() << "no expectation for this C library and processor";
#else
  Handle mutex = NewMutex();
  // Named in the log, since the path taken differs between processors.
  std::printf("mutex path: %s\n", linux_layer::MutexIsOwnFutex(mutex) ? "own robust futex words"
                                                                      : "robust pthread fallback");
  EXPECT_EQ(linux_layer::MutexIsOwnFutex(mutex), kOwnFutexBuild);
  kernel::HandleClose(mutex);
#endif
}

// ---------------------------------------------------------------------------
// The robust list shared with the C library's robust mutexes

// One thread takes and gives back, in random order and at random depths, four
// mutexes of ours and four robust pthread mutexes; after every step its robust
// list holds exactly the held ones, doubly linked. It then ends holding a
// random subset, returning or terminated: all of them are free afterwards.
TEST_F(RobustMutexTest, ListHoldsExactlyTheHeldMutexesOfBothKindsInAnyOrder) {
  if (!kGlibcListKnown) GTEST_SKIP() << "unknown list layout";
  constexpr int kEach = 4;
  const int steps = UnderMemcheck() ? 2000 : 20000;
  for (bool terminated : {false, true}) {
    SCOPED_TRACE(terminated ? "terminated at the end" : "returning at the end");
    Handle ours[kEach];
    pthread_mutex_t theirs[kEach];
    for (int i = 0; i < kEach; ++i) {
      ours[i] = NewMutex();
      InitGlibcRobust(&theirs[i]);
    }
    std::atomic<bool> done{false}, failed{false};
    auto body = [&] {
      int depth[2 * kEach] = {};
      std::uint32_t random = terminated ? 99u : 7u;
      for (int step = 0; step < steps && !failed; ++step) {
        random = random * 1664525u + 1013904223u;
        int which = static_cast<int>((random >> 8) % (2 * kEach));
        bool acquire = depth[which] == 0 || (depth[which] < 3 && ((random >> 20) & 1) != 0);
        if (which < kEach) {
          acquire ? kernel::MutexAcquire(ours[which]) : kernel::MutexRelease(ours[which]);
        } else {
          // Robust pthread mutexes of the default type do not nest.
          acquire = depth[which] == 0;
          acquire ? (void)pthread_mutex_lock(&theirs[which - kEach])
                  : (void)pthread_mutex_unlock(&theirs[which - kEach]);
          if (acquire) depth[which] = 0;
        }
        depth[which] += acquire ? 1 : -1;
        std::vector<void*> expected;
        for (int i = 0; i < kEach; ++i) {
          if (depth[i] > 0) expected.push_back(linux_layer::MutexRobustEntry(ours[i]));
          if (depth[kEach + i] > 0) expected.push_back(GlibcEntry(&theirs[i]));
        }
        std::vector<void*> listed = ListEntries();
        std::sort(expected.begin(), expected.end());
        std::sort(listed.begin(), listed.end());
        if (listed != expected) {
          ADD_FAILURE() << "step " << step << ": " << listed.size() << " listed, "
                        << expected.size() << " held";
          failed = true;
        }
      }
      done = true;
      if (terminated) {
        for (;;) kernel::SleepMilliseconds(1);
      }
    };
    Handle thread = Start(body);
    SleepUntil(done);
    if (terminated) kernel::ThreadTerminate(thread, 0);
    kernel::ThreadWait(thread);
    kernel::HandleClose(thread);
    EXPECT_FALSE(failed);
    for (int i = 0; i < kEach; ++i) {
      ExpectFree(ours[i]);
      int error = pthread_mutex_lock(&theirs[i]);
      EXPECT_TRUE(error == 0 || error == EOWNERDEAD) << error;
      if (error == EOWNERDEAD) pthread_mutex_consistent(&theirs[i]);
      pthread_mutex_unlock(&theirs[i]);
      pthread_mutex_destroy(&theirs[i]);
      kernel::HandleClose(ours[i]);
    }
    EXPECT_TRUE(ListEntries().empty());
  }
}

// ---------------------------------------------------------------------------
// Deaths at every step of acquisition and release

std::atomic<UInt32> victimTid{0};
std::atomic<int> stopStep{-1};
std::atomic<bool> victimStopped{false};
std::atomic<int> sleepingAt{0};  // threads that have reached kAcquireWaiting

std::atomic<bool> resumeVictim{false};

// The victim stops at the chosen step and spins there until it is terminated
// (or resumed).
void StopVictim(MutexStep step) {
  if (step == MutexStep::kAcquireWaiting) sleepingAt.fetch_add(1);
  if (static_cast<int>(step) != stopStep.load() || Tid() != victimTid.load()) return;
  victimStopped = true;
  while (!resumeVictim.load()) std::atomic_signal_fence(std::memory_order_seq_cst);
}

class MutexDeathTest : public RobustMutexTest {
 protected:
  void SetUp() override {
    if (!kOwnFutexBuild) GTEST_SKIP() << "stops threads inside our own futex code";
    RobustMutexTest::SetUp();
    victimStopped = false;
    sleepingAt = 0;
    victimTid = 0;
    stopStep = -1;
    resumeVictim = false;
    linux_layer::testhooks::mutexStep = StopVictim;
  }
  void TearDown() override {
    if (!kOwnFutexBuild) return;
    linux_layer::testhooks::mutexStep = nullptr;
    RobustMutexTest::TearDown();
  }

  // A waiter that sleeps on the mutex until it gets it, on a thread that the
  // layer did not create.
  struct Waiter {
    Handle mutex;
    std::atomic<bool> acquired{false};
    std::thread thread;
    explicit Waiter(Handle m) : mutex(m) {
      int before = sleepingAt.load();
      thread = std::thread([this] {
        kernel::MutexAcquire(mutex);
        acquired = true;
        kernel::MutexRelease(mutex);
      });
      WaitUntil([&] { return sleepingAt.load() > before; });
      kernel::SleepMilliseconds(kSettleMs);  // now asleep in the futex wait
    }
    void Join() { thread.join(); }
  };

  // Starts `body` as the victim, which must stop at `step`. The body begins
  // only once the hook knows the victim's id.
  template <typename Body>
  Handle StartVictim(Body& body, MutexStep step) {
    stopStep = static_cast<int>(step);
    armed_ = false;
    start_ = [this, &body] {
      SleepUntil(armed_);
      body();
    };
    UInt32 id = 0;
    Handle victim = Start(start_, &id);
    victimTid = id;
    armed_ = true;
    return victim;
  }

  void Terminate(Handle victim) {
    kernel::ThreadTerminate(victim, 0);
    kernel::HandleClose(victim);
    stopStep = -1;
  }

 private:
  std::atomic<bool> armed_{false};
  std::function<void()> start_;
};

const MutexStep kUncontendedAcquireSteps[] = {MutexStep::kAcquirePending, MutexStep::kAcquireTaken,
                                              MutexStep::kAcquireLinked, MutexStep::kAcquireOwned};
const MutexStep kReleaseSteps[] = {MutexStep::kReleasePending, MutexStep::kReleaseUnlinked,
                                   MutexStep::kReleaseDisowned, MutexStep::kReleaseFreed,
                                   MutexStep::kReleaseWoken};

// A victim dies inside an uncontended acquisition, with and without a waiter
// that comes after it: the mutex is free or abandoned, never lost.
TEST_F(MutexDeathTest, DeathInsideAnAcquisitionLosesNothing) {
  for (MutexStep step : kUncontendedAcquireSteps) {
    for (bool waiter : {false, true}) {
      SCOPED_TRACE(testing::Message()
                   << "step " << static_cast<int>(step) << ", waiter " << waiter);
      Handle mutex = NewMutex();
      auto body = [&] { kernel::MutexAcquire(mutex); };
      Handle victim = StartVictim(body, step);
      SleepUntil(victimStopped);
      victimStopped = false;
      if (waiter && step != MutexStep::kAcquirePending) {
        Waiter next(mutex);
        EXPECT_FALSE(next.acquired) << "acquired while the victim held the word";
        Terminate(victim);
        next.Join();
        EXPECT_TRUE(next.acquired);
      } else {
        Terminate(victim);
      }
      ExpectFree(mutex);
      std::thread([&] { ExpectFree(mutex); }).join();
      kernel::HandleClose(mutex);
    }
  }
}

// The victim dies while it waits: before it sleeps, or just woken by the
// release of the owner, before it takes the word. The other waiter still gets
// the mutex, also when a third thread takes and releases the word meanwhile
// without ever waiting.
TEST_F(MutexDeathTest, DeathOfAWaiterLosesNoWake) {
  for (MutexStep step : {MutexStep::kAcquireWaiting, MutexStep::kAcquireWoken}) {
    for (bool lockerBetween : {false, true}) {
      SCOPED_TRACE(testing::Message()
                   << "step " << static_cast<int>(step) << ", locker between " << lockerBetween);
      Handle mutex = NewMutex();
      kernel::MutexAcquire(mutex);
      auto body = [&] { kernel::MutexAcquire(mutex); };
      // The victim stops only once woken; it sleeps first in line.
      Handle victim = StartVictim(body, step);
      if (step == MutexStep::kAcquireWaiting) {
        SleepUntil(victimStopped);
        Terminate(victim);
        kernel::MutexRelease(mutex);
        ExpectFree(mutex);
        kernel::HandleClose(mutex);
        continue;
      }
      WaitUntil([] { return sleepingAt.load() > 0; });
      kernel::SleepMilliseconds(kSettleMs);
      Waiter second(mutex);
      kernel::MutexRelease(mutex);  // wakes the victim, first in line
      SleepUntil(victimStopped);
      victimStopped = false;
      if (lockerBetween) kernel::MutexAcquire(mutex);
      Terminate(victim);
      if (lockerBetween) {
        kernel::SleepMilliseconds(kSettleMs);
        EXPECT_FALSE(second.acquired);
        kernel::MutexRelease(mutex);
      }
      second.Join();
      EXPECT_TRUE(second.acquired);
      ExpectFree(mutex);
      kernel::HandleClose(mutex);
    }
  }
}

// The victim, first in line, is woken by the kernel as the owner is killed
// holding the mutex, and is killed itself before it takes the word, still
// pending: the kernel must pass its wake on to the other waiter, as it does
// for a released word. (A sleeper left behind is freed by a third taker, so
// that the case fails instead of hanging.)
TEST_F(MutexDeathTest, DeathOfAWaiterWokenForAnAbandonmentLosesNoWake) {
  Handle mutex = NewMutex();
  std::atomic<bool> holding{false};
  auto ownerBody = [&] {
    kernel::MutexAcquire(mutex);
    holding = true;
    for (;;) kernel::SleepMilliseconds(1);
  };
  Handle owner = Start(ownerBody);
  SleepUntil(holding);
  auto body = [&] { kernel::MutexAcquire(mutex); };
  Handle victim = StartVictim(body, MutexStep::kAcquireWoken);
  WaitUntil([] { return sleepingAt.load() > 0; });
  kernel::SleepMilliseconds(kSettleMs);
  Waiter second(mutex);
  kernel::ThreadTerminate(owner, 0);  // the kernel abandons the mutex and wakes the victim
  kernel::HandleClose(owner);
  SleepUntil(victimStopped);
  Terminate(victim);
  for (int i = 0; i < 5000 && !second.acquired; ++i) kernel::SleepMilliseconds(1);
  EXPECT_TRUE(second.acquired) << "the wake for the abandoned mutex died with the victim";
  if (!second.acquired) ExpectFree(mutex);  // its release wakes the sleeper
  second.Join();
  ExpectFree(mutex);
  kernel::HandleClose(mutex);
}

// The victim holds the mutex twice and dies inside its last release, with or
// without a waiter asleep, and with or without a third thread that takes and
// releases the word between the victim's release and its death.
TEST_F(MutexDeathTest, DeathInsideAReleaseLosesNothing) {
  for (MutexStep step : kReleaseSteps) {
    for (int variant = 0; variant < 3; ++variant) {
      const bool waiter = variant > 0;
      const bool lockerBetween = variant == 2;
      if (lockerBetween && step < MutexStep::kReleaseFreed) continue;  // the word is still taken
      SCOPED_TRACE(testing::Message() << "step " << static_cast<int>(step) << ", waiter " << waiter
                                      << ", locker between " << lockerBetween);
      Handle mutex = NewMutex();
      std::atomic<bool> holding{false}, mayRelease{false};
      auto body = [&] {
        kernel::MutexAcquire(mutex);
        kernel::MutexAcquire(mutex);
        holding = true;
        SleepUntil(mayRelease);
        kernel::MutexRelease(mutex);
        kernel::MutexRelease(mutex);
        for (;;) kernel::SleepMilliseconds(1);  // stopped before it gets here
      };
      Handle victim = StartVictim(body, step);
      SleepUntil(holding);
      Waiter* next = waiter ? new Waiter(mutex) : nullptr;
      mayRelease = true;
      SleepUntil(victimStopped);
      victimStopped = false;
      if (lockerBetween) kernel::MutexAcquire(mutex);
      Terminate(victim);
      if (lockerBetween) kernel::MutexRelease(mutex);
      if (next != nullptr) {
        next->Join();
        EXPECT_TRUE(next->acquired);
        delete next;
      }
      ExpectFree(mutex);
      std::thread([&] { ExpectFree(mutex); }).join();
      kernel::HandleClose(mutex);
    }
  }
}

// A releaser that has freed the word still finishes its release (the wake it
// may owe) while another thread takes the mutex, releases it and closes its
// last handle: what the releaser touches then must never have been given back
// (ASan and memcheck see the difference).
TEST_F(MutexDeathTest, AReleaserLingeringAfterTheWordIsFreeTouchesNoFreedMemory) {
  Handle mutex = NewMutex();
  std::atomic<bool> released{false};
  auto body = [&] {
    kernel::HandleClose(NewMutex());  // the thread's first call is a close
    kernel::MutexAcquire(mutex);
    kernel::MutexRelease(mutex);  // stops once the word is free
    released = true;
  };
  Handle victim = StartVictim(body, MutexStep::kReleaseFreed);
  SleepUntil(victimStopped);
  kernel::MutexAcquire(mutex);
  kernel::MutexRelease(mutex);
  kernel::HandleClose(mutex);
  // Enough closes for the layer to give back the memory that no thread can
  // touch any more, more than once, while the releaser still lingers.
  for (int i = 0; i < 1000; ++i) kernel::HandleClose(NewMutex());
  Handle next = NewMutex();  // may be built where the closed one was
  resumeVictim = true;
  SleepUntil(released);
  kernel::ThreadWait(victim);
  kernel::HandleClose(victim);
  stopStep = -1;
  ExpectFree(next);
  std::thread([&] { ExpectFree(next); }).join();
  kernel::HandleClose(next);
}

Handle lateMutex;

void ReleaseInALateDestructor(void*) {
  victimTid = Tid();
  kernel::MutexAcquire(lateMutex);
  kernel::MutexRelease(lateMutex);  // stops once the word is free
}

// The same release, made by a thread-specific value's destructor that runs
// after the layer's own steps at the thread's end.
TEST_F(MutexDeathTest, AReleaseInALateDestructorTouchesNoFreedMemory) {
  Handle first = NewMutex();
  ExpectFree(first);  // the layer's own key comes first
  kernel::HandleClose(first);
  pthread_key_t late;
  ASSERT_EQ(pthread_key_create(&late, ReleaseInALateDestructor), 0);
  lateMutex = NewMutex();
  Handle closedWhileHeld = NewMutex();
  std::atomic<bool> holding{false}, closed{false};
  stopStep = static_cast<int>(MutexStep::kReleaseFreed);
  std::thread victim([&] {
    ExpectFree(lateMutex);  // a thread of our futexes, whose end the layer arranges
    // Its end frees this one, and with that gives memory back, before the
    // late destructor runs.
    kernel::MutexAcquire(closedWhileHeld);
    holding = true;
    SleepUntil(closed);
    pthread_setspecific(late, &late);
  });
  SleepUntil(holding);
  kernel::HandleClose(closedWhileHeld);
  closed = true;
  SleepUntil(victimStopped);
  ExpectFree(lateMutex);
  kernel::HandleClose(lateMutex);
  for (int i = 0; i < 1000; ++i) kernel::HandleClose(NewMutex());
  resumeVictim = true;
  victim.join();
  stopStep = -1;
  pthread_key_delete(late);
}

// ---------------------------------------------------------------------------
// Kernel thread ids reused

// Writes the pid namespace's last id so that the next thread gets `tid`.
// Another process may take it first: the caller retries.
bool NextThreadGets(UInt32 tid) {
  FILE* file = fopen("/proc/sys/kernel/ns_last_pid", "w");
  if (file == nullptr) return false;
  bool written = fprintf(file, "%u", tid - 1) > 0;
  return fclose(file) == 0 && written;
}

// A thread that gets the kernel id of a mutex's dead owner does not own the
// mutex: it neither releases it nor passes it by as its own.
TEST_F(RobustMutexTest, ANewThreadWithTheKernelIdOfADeadOwnerOwnsNothing) {
  for (bool terminated : {false, true}) {
    SCOPED_TRACE(terminated ? "owner terminated" : "owner returned");
    Handle mutex = NewMutex();
    std::atomic<bool> holding{false};
    auto owner = [&] {
      kernel::MutexAcquire(mutex);
      kernel::MutexAcquire(mutex);
      holding = true;
      if (terminated) {
        for (;;) kernel::SleepMilliseconds(1);
      }
    };
    UInt32 ownerTid = 0;
    Handle thread = Start(owner, &ownerTid);
    SleepUntil(holding);
    if (terminated) kernel::ThreadTerminate(thread, 0);
    kernel::ThreadWait(thread);
    kernel::HandleClose(thread);

    // The heir takes the mutex once, and holds it until told.
    Handle scratch = NewMutex();
    std::atomic<bool> heirHolds{false}, heirMayRelease{false};
    std::atomic<UInt32> heirTid{0};
    auto heir = [&] {
      heirTid = Tid();
      if (heirTid != ownerTid) return;
      ExpectFree(scratch);          // a thread that has used mutexes before
      kernel::MutexRelease(mutex);  // not its own: no effect
      kernel::MutexAcquire(mutex);
      heirHolds = true;
      SleepUntil(heirMayRelease);
      kernel::MutexRelease(mutex);
    };
    bool reused = false;
    for (int attempt = 0; attempt < 200 && !reused; ++attempt) {
      if (!NextThreadGets(ownerTid)) break;
      heirTid = 0;
      Handle next = Start(heir);
      WaitUntil([&] { return heirTid.load() != 0; });
      reused = heirTid == ownerTid;
      if (reused) {
        SleepUntil(heirHolds);
        // A contender must wait for the heir's one release.
        std::atomic<bool> contenderGot{false};
        std::thread contender([&] {
          kernel::MutexAcquire(mutex);
          contenderGot = true;
          kernel::MutexRelease(mutex);
        });
        kernel::SleepMilliseconds(kSettleMs);
        EXPECT_FALSE(contenderGot) << "the heir passed the dead owner's mutex by as its own";
        heirMayRelease = true;
        contender.join();
        EXPECT_TRUE(contenderGot);
      }
      kernel::ThreadWait(next);
      kernel::HandleClose(next);
      if (!reused) kernel::SleepMilliseconds(1);
    }
    ExpectFree(mutex);
    kernel::HandleClose(mutex);
    kernel::HandleClose(scratch);
    if (!reused) GTEST_SKIP() << "could not have a new thread get the dead owner's kernel id";
  }
}

// ---------------------------------------------------------------------------
// The main thread, and fork

// Runs `child` in a forked process and returns its exit status, or -1 if it
// did not exit normally within the time limit. Forks once the threads of
// earlier cases (the layer's reaper included) are gone: what they still held
// in hand would be lost in the child, which leak checkers would report
// against it.
template <typename Child>
int InChild(Child child, std::size_t threadsToKeep = 1) {
  for (int i = 0; i < 5000 && ProcessThreadCount() > threadsToKeep; ++i) {
    kernel::SleepMilliseconds(1);
  }
  pid_t pid = fork();
  if (pid == 0) {
    alarm(30);
    _exit(child());
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// The main thread (of a child process, so as to be able to end it) owns a
// mutex twice and ends alone, by the raw exit a kill uses (pthread_exit would
// unwind through the test framework): the waiter gets it.
TEST_F(RobustMutexTest, TheMainThreadOwnsAndAbandonsMutexes) {
  Handle mutex = NewMutex();
  int status = InChild([&]() -> int {
    // The child's only thread is its main thread.
    if (syscall(SYS_gettid) != getpid()) return 10;
    Handle fresh = kernel::MutexCreate();
    if (fresh == nullptr ||
        linux_layer::MutexIsOwnFutex(fresh) != linux_layer::MutexIsOwnFutex(mutex)) {
      return 11;
    }
    kernel::MutexAcquire(fresh);
    kernel::MutexAcquire(fresh);
    kernel::MutexAcquire(mutex);
    static Handle waitedFor;
    waitedFor = fresh;
    auto waiter = [] {
      kernel::MutexAcquire(waitedFor);
      kernel::MutexRelease(waitedFor);
      _exit(42);
    };
    static decltype(waiter) body = waiter;
    Start(body);
    kernel::SleepMilliseconds(kSettleMs);
    for (;;) syscall(SYS_exit, 0);  // holding both
  });
  EXPECT_EQ(status, 42);
  ExpectFree(mutex);  // the child's ownership was its own copy's
  kernel::HandleClose(mutex);
}

void CreateAndCloseAMutex() {
  Handle mutex = kernel::MutexCreate();
  if (mutex == nullptr) _exit(3);
  kernel::HandleClose(mutex);
}

// The body of the test below, in a process of its own.
[[noreturn]] void ForkWithHandlersThatCreateMutexes() {
  alarm(10);  // a fork that waits for good ends here
  // In the parent only: a child that waited for good would outlive the alarm.
  if (pthread_atfork(nullptr, CreateAndCloseAMutex, nullptr) != 0) _exit(2);
  // The program's first mutex comes after its handlers. Closed while another
  // thread holds it, it makes every creation look for such mutexes to free,
  // under the layer's bookkeeping lock, whichever kind of mutex the build has.
  Handle held = kernel::MutexCreate();
  if (held == nullptr) _exit(3);
  std::atomic<bool> holding{false}, mayEnd{false};
  std::thread holder([&] {
    kernel::MutexAcquire(held);
    holding = true;
    while (!mayEnd) kernel::SleepMilliseconds(1);
  });
  while (!holding) kernel::SleepMilliseconds(1);
  kernel::HandleClose(held);
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  mayEnd = true;
  holder.join();
  int status = 0;
  bool childExited = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status);
  _exit(childExited && WEXITSTATUS(status) == 0 ? 0 : 1);
}

// A program's own fork handlers may create and close mutexes, even when the
// program registered them before its first mutex: the layer holds its
// bookkeeping lock across a fork only inside every other handler. A fresh
// process (the death test's) is one where no mutex came before them.
TEST(ForkHandlersTest, AProgramsHandlersMayCreateMutexes) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ForkWithHandlersThatCreateMutexes(), ::testing::ExitedWithCode(0), "");
}

// Threads of a forked child that never end: reachable until its exit.
Handle blockedForGood[2];

// The child of a fork owns none of what its parent's threads held, the calling
// one included, and its mutexes work as anywhere else; the parent's are as
// they were.
TEST_F(RobustMutexTest, AForkedChildOwnsNothingOfItsParentAndItsMutexesWork) {
  Handle heldByCaller = NewMutex();
  Handle heldByOther = NewMutex();
  Handle free = NewMutex();
  kernel::MutexAcquire(heldByCaller);
  kernel::MutexAcquire(heldByCaller);
  std::atomic<bool> holding{false}, mayRelease{false};
  // A thread of the layer: what a std::thread allocates would be lost in the
  // child, where the thread does not exist.
  auto otherBody = [&] {
    kernel::MutexAcquire(heldByOther);
    holding = true;
    SleepUntil(mayRelease);
    kernel::MutexRelease(heldByOther);
  };
  Handle other = Start(otherBody);
  SleepUntil(holding);
  int status = InChild(
      [&]() -> int {
        if (!ListEntries().empty()) return 10;
        // Releases of what the parent's threads held have no effect here.
        for (int i = 0; i < 3; ++i) {
          kernel::MutexRelease(heldByCaller);
          kernel::MutexRelease(heldByOther);
        }
        // Each attempt blocks for good; its thread stays reachable until the exit.
        static std::atomic<bool> got;
        static Handle target;
        auto attempt = [] {
          kernel::MutexAcquire(target);
          got = true;
        };
        static decltype(attempt) attemptBody = attempt;
        int index = 0;
        for (Handle held : {heldByCaller, heldByOther}) {
          got = false;
          target = held;
          blockedForGood[index++] = Start(attemptBody);
          kernel::SleepMilliseconds(kSettleMs);
          if (got) return 11;
        }
        // The free one: recursion, exclusion and abandonment, with the list kept.
        kernel::MutexAcquire(free);
        kernel::MutexAcquire(free);
        if (ListEntries().size() != 1) return 12;
        std::atomic<bool> contended{false};
        std::thread contender([&] {
          kernel::MutexAcquire(free);
          contended = true;
          kernel::MutexRelease(free);
        });
        kernel::SleepMilliseconds(kSettleMs);
        if (contended) return 13;
        kernel::MutexRelease(free);
        kernel::MutexRelease(free);
        contender.join();
        std::thread([&] { kernel::MutexAcquire(free); }).join();  // ends holding it
        ExpectFree(free);
        if (!ListEntries().empty()) return 14;
        return 0;
      },
      2);
  EXPECT_EQ(status, 0);
  // In the parent, everything is as before the fork.
  EXPECT_EQ(ListEntries().size(), 1u);
  kernel::MutexRelease(heldByCaller);
  kernel::MutexRelease(heldByCaller);
  mayRelease = true;
  kernel::ThreadWait(other);
  kernel::HandleClose(other);
  for (Handle mutex : {heldByCaller, heldByOther, free}) {
    std::thread([&] { ExpectFree(mutex); }).join();
    kernel::HandleClose(mutex);
  }
}

// ---------------------------------------------------------------------------
// Abandonment past the kernel's walk, which stops after 2,048 entries

enum class HolderEnd { kReturns, kTerminated, kForeignReturns, kPthreadExit, kCancelled };

const char* Describe(HolderEnd end) {
  switch (end) {
    case HolderEnd::kReturns:
      return "a thread of the layer returns";
    case HolderEnd::kTerminated:
      return "a thread of the layer is terminated";
    case HolderEnd::kForeignReturns:
      return "a std::thread returns";
    case HolderEnd::kPthreadExit:
      return "a pthread calls pthread_exit";
    case HolderEnd::kCancelled:
      return "a pthread is cancelled";
  }
  return "";
}

struct ManyHeld {
  std::vector<Handle> mutexes;
  std::atomic<bool> holding{false}, mayEnd{false};

  // Calls nothing in the runtime: the holder may be terminated afterwards.
  void AcquireAll() {
    for (Handle mutex : mutexes) kernel::MutexAcquire(mutex);
    holding = true;
  }
};

void* HoldThenExit(void* held) {
  static_cast<ManyHeld*>(held)->AcquireAll();
  SleepUntil(static_cast<ManyHeld*>(held)->mayEnd);
  pthread_exit(nullptr);
}

void* HoldUntilCancelled(void* held) {
  static_cast<ManyHeld*>(held)->AcquireAll();
  for (;;) pause();  // a cancellation point
}

// Acquires and releases each mutex in turn on a thread of its own, so that one
// left held fails the test instead of hanging it. How many it got through.
std::size_t AcquirableInTurn(const std::vector<Handle>& mutexes) {
  auto done = std::make_shared<std::atomic<std::size_t>>(0);
  std::thread checker([mutexes, done] {
    for (Handle mutex : mutexes) {
      kernel::MutexAcquire(mutex);
      kernel::MutexRelease(mutex);
      ++*done;
    }
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (*done < mutexes.size() && std::chrono::steady_clock::now() < deadline) {
    kernel::SleepMilliseconds(1);
  }
  if (*done == mutexes.size()) {
    checker.join();
  } else {
    checker.detach();  // waits for good on the mutex left held
  }
  return *done;
}

// Windows abandons whatever a thread holds at its end, however much: so must
// every end here, far past the kernel's walk. Half the mutexes are closed
// while held, and must not outlive their holder either.
TEST_F(RobustMutexTest, AThreadEndingHoldingTenThousandMutexesAbandonsEveryOne) {
  constexpr int kHeld = 10000;
  for (HolderEnd end : {HolderEnd::kReturns, HolderEnd::kTerminated, HolderEnd::kForeignReturns,
                        HolderEnd::kPthreadExit, HolderEnd::kCancelled}) {
    SCOPED_TRACE(Describe(end));
    ManyHeld held;
    for (int i = 0; i < kHeld; ++i) held.mutexes.push_back(NewMutex());
    auto body = [&held] {
      held.AcquireAll();
      SleepUntil(held.mayEnd);
    };
    Handle thread = nullptr;
    std::thread foreign;
    pthread_t raw;
    if (end == HolderEnd::kReturns || end == HolderEnd::kTerminated) {
      thread = Start(body);
    } else if (end == HolderEnd::kForeignReturns) {
      foreign = std::thread(body);
    } else {
      ASSERT_EQ(
          pthread_create(&raw, nullptr,
                         end == HolderEnd::kPthreadExit ? HoldThenExit : HoldUntilCancelled, &held),
          0);
    }
    WaitUntil([&] { return held.holding.load(); });
    std::vector<Handle> open;
    for (int i = 0; i < kHeld; ++i) {
      if (i % 2 == 0) {
        open.push_back(held.mutexes[i]);
      } else {
        kernel::HandleClose(held.mutexes[i]);
      }
    }
    if (end == HolderEnd::kTerminated) {
      kernel::ThreadTerminate(thread, 0);
    } else if (end == HolderEnd::kCancelled) {
      ASSERT_EQ(pthread_cancel(raw), 0);
    } else {
      held.mayEnd = true;
    }
    if (thread != nullptr) {
      kernel::ThreadWait(thread);
      kernel::HandleClose(thread);
    } else if (foreign.joinable()) {
      foreign.join();
    } else {
      pthread_join(raw, nullptr);
    }
    EXPECT_EQ(AcquirableInTurn(open), open.size());
    for (Handle mutex : open) kernel::HandleClose(mutex);
    for (int i = 0; i < 5000 && kernel::OpenHandleCount() != handles_; ++i) {
      kernel::SleepMilliseconds(1);
    }
    EXPECT_EQ(kernel::OpenHandleCount(), handles_) << "closed mutexes outlived their holder";
  }
}

}  // namespace
