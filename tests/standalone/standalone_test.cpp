// SPDX-License-Identifier: MIT
// The core behaviour of JMutex and JThread, written over the Windows API alone
// (no C++ standard library), so that it builds wherever the DLL does: with
// GoogleTest in the MinGW builds, with the plain runner of check.h for the
// Visual C++ ABI. Built twice: against the shipped DLL, and against the test
// build of the classes, where the system's refusals can be made to happen
// (VELKOR_KERNEL_TEST_HOOKS).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <jmutex.h>
#include <jthread.h>
#include <windows.h>

#include "check.h"

#if defined(VELKOR_KERNEL_TEST_HOOKS)
#include "platform/kernel.h"
#endif

namespace {

// The client sees the same layout as the library was built with.
static_assert(sizeof(JMutex) == 2 * sizeof(void*), "JMutex is two words");
static_assert(sizeof(void*) != 4 || sizeof(JThread) == 44, "JThread is 44 bytes on 32-bit");

// The handle of the thread most recently started: the first field after the
// vtable pointer.
HANDLE ThreadHandleOf(JThread& thread) {
  return *reinterpret_cast<HANDLE*>(reinterpret_cast<char*>(&thread) + sizeof(void*));
}

HANDLE Duplicate(HANDLE handle) {
  HANDLE copy = 0;
  DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  return copy;
}

bool HasEnded(HANDLE thread) { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }

DWORD ExitCodeOf(HANDLE thread) {
  DWORD code = 12345;
  GetExitCodeThread(thread, &code);
  return code;
}

void WaitWhileRunning(JThread& thread) {
  while (thread.IsRunning()) {
    Sleep(1);
  }
}

// A manual-reset event, closed with the object.
class Event {
 public:
  Event() : handle_(CreateEventA(0, TRUE, FALSE, 0)) {}
  ~Event() { CloseHandle(handle_); }
  void Set() { SetEvent(handle_); }
  void Reset() { ResetEvent(handle_); }
  void Wait() { WaitForSingleObject(handle_, INFINITE); }
  bool IsSet() { return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0; }

 private:
  Event(const Event&);
  Event& operator=(const Event&);
  HANDLE handle_;
};

// Signals the start, then waits for `release` and returns `result`.
class GatedThread : public JThread {
 public:
  GatedThread()
      : result(0), startFromBody(0), runningInBody(false), valueInBody(this), signalled(false) {}
  Event entered;
  Event release;
  void* result;
  int startFromBody;
  bool runningInBody;
  void* valueInBody;
  volatile bool signalled;

 protected:
  void* Run() {
    startFromBody = Start();
    runningInBody = IsRunning();
    valueInBody = GetReturnValue();
    Sleep(30);  // a Start that did not wait for the signal would return now
    signalled = true;
    ThreadStarted();
    entered.Set();
    release.Wait();
    return result;
  }
};

// Never signals the start: Start returns once the thread has ended.
class SilentThread : public JThread {
 public:
  explicit SilentThread(void* value) : value_(value) {}

 protected:
  void* Run() {
    Sleep(20);
    return value_;
  }

 private:
  void* value_;
};

// Signals the start, then sleeps until it is killed. It touches no member, so
// it may outlive the derived part of its object.
class SleeperThread : public JThread {
 public:
  explicit SleeperThread(bool* destroyed) : destroyed_(destroyed) {}
  ~SleeperThread() {
    if (destroyed_ != 0) {
      *destroyed_ = true;
    }
  }

 protected:
  void* Run() {
    ThreadStarted();
    for (;;) {
      Sleep(1);
    }
  }

 private:
  bool* destroyed_;
};

// Locks `mutex` (twice), signals the start, and then either returns still
// owning it or waits to be killed.
class OwnerThread : public JThread {
 public:
  OwnerThread(JMutex* mutex, bool waitForKill) : mutex_(mutex), waitForKill_(waitForKill) {}

 protected:
  void* Run() {
    mutex_->Lock();
    mutex_->Lock();
    ThreadStarted();
    while (waitForKill_) {
      Sleep(1);
    }
    return 0;
  }

 private:
  JMutex* mutex_;
  bool waitForKill_;
};

// Tries to lock `mutex` and notes when it holds it.
class LockerThread : public JThread {
 public:
  explicit LockerThread(JMutex* mutex) : lockResult(99), mutex_(mutex) {}
  Event acquired;
  int lockResult;

 protected:
  void* Run() {
    ThreadStarted();
    lockResult = mutex_->Lock();
    acquired.Set();
    mutex_->Unlock();
    return 0;
  }

 private:
  JMutex* mutex_;
};

void MutexIsRecursiveAndFreeOnlyAfterTheLastUnlock() {
  JMutex mutex;
  CHECK(mutex.IsInitialized());
  CHECK_EQ(mutex.Lock(), 0);
  CHECK_EQ(mutex.Lock(), 0);
  CHECK_EQ(mutex.Lock(), 0);
  LockerThread locker(&mutex);
  CHECK_EQ(locker.Start(), 0);
  for (int level = 3; level > 0; --level) {
    Sleep(50);
    CHECK(!locker.acquired.IsSet());
    CHECK_EQ(mutex.Unlock(), 0);
  }
  locker.acquired.Wait();
  CHECK_EQ(locker.lockResult, 0);
  WaitWhileRunning(locker);
}

void UnlockByANonOwnerChangesNothing() {
  JMutex mutex;
  OwnerThread owner(&mutex, true);
  CHECK_EQ(owner.Start(), 0);
  CHECK_EQ(mutex.Unlock(), 0);  // not ours: the owner keeps it
  LockerThread locker(&mutex);
  CHECK_EQ(locker.Start(), 0);
  Sleep(100);
  CHECK(!locker.acquired.IsSet());
  CHECK_EQ(owner.Kill(), 0);  // abandons it: now the locker gets it
  locker.acquired.Wait();
  WaitWhileRunning(locker);
}

void AMutexAbandonedByAnEndedOwnerGoesToTheNextLocker() {
  JMutex mutex;
  OwnerThread owner(&mutex, false);
  CHECK_EQ(owner.Start(), 0);
  WaitWhileRunning(owner);
  CHECK_EQ(mutex.Lock(), 0);
  CHECK_EQ(mutex.Lock(), 0);
  CHECK_EQ(mutex.Unlock(), 0);
  CHECK_EQ(mutex.Unlock(), 0);
  LockerThread locker(&mutex);  // free again after our own two unlocks
  CHECK_EQ(locker.Start(), 0);
  locker.acquired.Wait();
  WaitWhileRunning(locker);
}

void AMutexAbandonedByAKilledOwnerGoesToTheWaiter() {
  JMutex mutex;
  OwnerThread owner(&mutex, true);
  CHECK_EQ(owner.Start(), 0);
  LockerThread locker(&mutex);
  CHECK_EQ(locker.Start(), 0);
  Sleep(50);
  CHECK(!locker.acquired.IsSet());
  CHECK_EQ(owner.Kill(), 0);
  locker.acquired.Wait();
  CHECK_EQ(locker.lockResult, 0);
  WaitWhileRunning(locker);
}

void StartReturnsWhileTheBodyStillRuns() {
  GatedThread thread;
  int marker = 7;
  thread.result = &marker;
  CHECK(!thread.IsRunning());
  CHECK(thread.GetReturnValue() == 0);
  CHECK_EQ(thread.Start(), 0);
  CHECK(thread.signalled);
  CHECK(thread.IsRunning());
  CHECK(thread.GetReturnValue() == 0);
  CHECK_EQ(thread.Start(), THREAD_ERR_ALREADY_RUNNING);
  thread.release.Set();
  WaitWhileRunning(thread);
  CHECK(thread.GetReturnValue() == &marker);
  // What the body saw of its own object while it ran.
  CHECK_EQ(thread.startFromBody, THREAD_ERR_ALREADY_RUNNING);
  CHECK(thread.runningInBody);
  CHECK(thread.valueInBody == 0);
}

void ABodyThatNeverSignalsLetsStartReturnOnceItEnds() {
  int marker = 1;
  SilentThread thread(&marker);
  CHECK_EQ(thread.Start(), 0);
  HANDLE handle = ThreadHandleOf(thread);
  WaitWhileRunning(thread);
  CHECK(thread.GetReturnValue() == &marker);
  WaitForSingleObject(handle, INFINITE);
  CHECK_EQ(ExitCodeOf(handle), 0);
}

void RestartsReturnEachRunsValueAndThreadsExitWithZero() {
  GatedThread thread;
  int values[3] = {10, 20, 30};
  for (int run = 0; run < 3; ++run) {
    thread.result = &values[run];
    thread.release.Set();  // this run may return at once
    CHECK_EQ(thread.Start(), 0);
    HANDLE handle = ThreadHandleOf(thread);
    WaitWhileRunning(thread);
    CHECK(thread.GetReturnValue() == &values[run]);
    WaitForSingleObject(handle, INFINITE);
    CHECK_EQ(ExitCodeOf(handle), 0);
  }
}

void KillEndsTheThreadAndThenRefusesWithMinusFour() {
  SleeperThread thread(0);
  CHECK_EQ(thread.Kill(), THREAD_ERR_NOT_RUNNING);
  CHECK_EQ(thread.Start(), 0);
  HANDLE handle = ThreadHandleOf(thread);
  CHECK_EQ(thread.Kill(), 0);
  CHECK(HasEnded(handle));  // gone by the time Kill returns
  CHECK_EQ(ExitCodeOf(handle), 0);
  CHECK(!thread.IsRunning());
  CHECK(thread.GetReturnValue() == 0);
  CHECK_EQ(thread.Kill(), THREAD_ERR_NOT_RUNNING);
  CHECK_EQ(thread.Start(), 0);  // and it starts again
  CHECK_EQ(thread.Kill(), 0);
}

void AKilledRunKeepsTheLastStoredResult() {
  GatedThread thread;
  int first = 1;
  int second = 2;
  thread.result = &first;
  thread.release.Set();
  CHECK_EQ(thread.Start(), 0);
  WaitWhileRunning(thread);
  thread.release.Reset();
  thread.result = &second;
  CHECK_EQ(thread.Start(), 0);
  CHECK(thread.GetReturnValue() == 0);
  CHECK_EQ(thread.Kill(), 0);
  CHECK(thread.GetReturnValue() == &first);
}

void DestroyingARunningThreadTerminatesIt() {
  bool destroyed = false;
  SleeperThread* thread = new SleeperThread(&destroyed);
  CHECK_EQ(thread->Start(), 0);
  HANDLE handle = Duplicate(ThreadHandleOf(*thread));
  delete thread;
  CHECK(destroyed);
  CHECK(HasEnded(handle));
  CHECK_EQ(ExitCodeOf(handle), 0);
  CloseHandle(handle);
}

// The client's deleting destructor runs the derived destructor, then ours
// from the DLL, which terminates the thread, then the client's delete.
void DestroyingThroughABasePointerRunsBothDestructors() {
  bool destroyed = false;
  JThread* thread = new SleeperThread(&destroyed);
  CHECK_EQ(thread->Start(), 0);
  HANDLE handle = Duplicate(ThreadHandleOf(*thread));
  delete thread;
  CHECK(destroyed);
  CHECK(HasEnded(handle));
  CloseHandle(handle);
}

void CopiesShareTheMutexAndTheThread() {
  JMutex original;
  JMutex copy(original);
  JMutex assigned;
  assigned = original;
  CHECK(copy.IsInitialized());
  CHECK(assigned.IsInitialized());
  CHECK_EQ(copy.Lock(), 0);
  LockerThread locker(&assigned);
  CHECK_EQ(locker.Start(), 0);
  Sleep(50);
  CHECK(!locker.acquired.IsSet());  // the same mutex, owned through the copy
  CHECK_EQ(original.Unlock(), 0);   // ... released through the original
  locker.acquired.Wait();
  WaitWhileRunning(locker);

  SleeperThread* source = new SleeperThread(0);
  CHECK_EQ(source->Start(), 0);
  HANDLE handle = Duplicate(ThreadHandleOf(*source));
  {
    SleeperThread snapshot(*source);
    CHECK(snapshot.IsRunning());
    CHECK(!HasEnded(handle));
  }  // the copy's destruction terminates the source's thread
  CHECK(HasEnded(handle));
  CloseHandle(handle);
  CHECK_EQ(source->Kill(), 0);  // its own snapshot still said running
  CHECK_EQ(source->Kill(), THREAD_ERR_NOT_RUNNING);
  delete source;
}

// Several threads add to one total under one mutex, each lock taken twice.
class AdderThread : public JThread {
 public:
  AdderThread() : mutex(0), total(0), rounds(0) {}
  JMutex* mutex;
  volatile long* total;
  int rounds;

 protected:
  void* Run() {
    ThreadStarted();
    for (int i = 0; i < rounds; ++i) {
      mutex->Lock();
      mutex->Lock();
      long seen = *total;
      Sleep(0);  // invites a switch inside the critical section
      *total = seen + 1;
      mutex->Unlock();
      mutex->Unlock();
    }
    return 0;
  }
};

void ContendedAddersReachTheExactTotal() {
  const int kThreads = 4;
  const int kRounds = 1000;
  JMutex mutex;
  volatile long total = 0;
  AdderThread adders[kThreads];
  for (int i = 0; i < kThreads; ++i) {
    adders[i].mutex = &mutex;
    adders[i].total = &total;
    adders[i].rounds = kRounds;
  }
  for (int i = 0; i < kThreads; ++i) {
    CHECK_EQ(adders[i].Start(), 0);
  }
  for (int i = 0; i < kThreads; ++i) {
    WaitWhileRunning(adders[i]);
  }
  CHECK_EQ(total, kThreads * kRounds);
}

// Calls Start on `target` once `go` is set.
class StarterThread : public JThread {
 public:
  StarterThread(JThread* target, Event* go) : code(1), target_(target), go_(go) {}
  int code;

 protected:
  void* Run() {
    ThreadStarted();
    go_->Wait();
    code = target_->Start();
    return 0;
  }

 private:
  JThread* target_;
  Event* go_;
};

void RacingStartsStartOneThread() {
  for (int round = 0; round < 10; ++round) {
    GatedThread target;  // its body waits for `release`, so no run can end
    Event go;
    StarterThread first(&target, &go);
    StarterThread second(&target, &go);
    CHECK_EQ(first.Start(), 0);
    CHECK_EQ(second.Start(), 0);
    go.Set();
    WaitWhileRunning(first);
    WaitWhileRunning(second);
    CHECK_EQ(first.code + second.code, THREAD_ERR_ALREADY_RUNNING);
    CHECK(first.code == 0 || second.code == 0);
    target.release.Set();
    WaitWhileRunning(target);
  }
}

// Kills its own object before or after signalling, if asked to.
class SelfKillingThread : public JThread {
 public:
  SelfKillingThread() : killsItself(0), wentOn(false), result(0) {}
  int killsItself;  // 0: never, 1: before signalling, 2: after
  volatile bool wentOn;
  void* result;

 protected:
  void* Run() {
    if (killsItself == 1) {
      Kill();
      wentOn = true;
    }
    ThreadStarted();
    if (killsItself == 2) {
      Kill();
      wentOn = true;
    }
    return result;
  }
};

void ABodyThatKillsItsOwnObjectEndsThereAndLeavesItIdle() {
  int first = 1;
  int second = 2;
  for (int when = 1; when <= 2; ++when) {
    SelfKillingThread thread;
    thread.result = &first;
    CHECK_EQ(thread.Start(), 0);
    WaitWhileRunning(thread);
    thread.killsItself = when;
    thread.result = &second;
    CHECK_EQ(thread.Start(), 0);
    HANDLE handle = Duplicate(ThreadHandleOf(thread));
    WaitWhileRunning(thread);
    WaitForSingleObject(handle, INFINITE);
    CHECK_EQ(ExitCodeOf(handle), 0);
    CloseHandle(handle);
    CHECK(!thread.wentOn);
    CHECK(thread.GetReturnValue() == &first);
    CHECK_EQ(thread.Kill(), THREAD_ERR_NOT_RUNNING);
    thread.killsItself = 0;
    CHECK_EQ(thread.Start(), 0);
    WaitWhileRunning(thread);
    CHECK(thread.GetReturnValue() == &second);
  }
}

// Kills `target` a varied moment after `go`.
class KillerThread : public JThread {
 public:
  KillerThread(JThread* target, Event* go, DWORD delayMs)
      : code(1), target_(target), go_(go), delayMs_(delayMs) {}
  int code;

 protected:
  void* Run() {
    ThreadStarted();
    go_->Wait();
    Sleep(delayMs_);
    code = target_->Kill();
    return 0;
  }

 private:
  JThread* target_;
  Event* go_;
  DWORD delayMs_;
};

void AKillOverlappingAStartEndsItsThreadAndStartReturns() {
  SleeperThread target(0);
  for (int round = 0; round < 12; ++round) {
    Event go;
    KillerThread killer(&target, &go, static_cast<DWORD>(round % 3));
    CHECK_EQ(killer.Start(), 0);
    go.Set();
    CHECK_EQ(target.Start(), 0);
    WaitWhileRunning(killer);
    if (killer.code == THREAD_ERR_NOT_RUNNING) {  // it came before the launch
      CHECK_EQ(target.Kill(), 0);
    } else {
      CHECK_EQ(killer.code, 0);
    }
    CHECK(!target.IsRunning());
  }
}

#if defined(VELKOR_KERNEL_TEST_HOOKS)
namespace hooks = velkor::kernel::testhooks;

// JMutex::Init is private; an explicit instantiation may name it.
int CallInit(JMutex& mutex);
template <int (JMutex::*Member)()>
struct InitAccess {
  friend int CallInit(JMutex& mutex) { return (mutex.*Member)(); }
};
template struct InitAccess<&JMutex::Init>;

void RefusedMutexesGiveMinusTwoAndMinusThree() {
  hooks::FailMutexCreation(true);
  JMutex* mutex = new JMutex;
  CHECK(!mutex->IsInitialized());
  CHECK_EQ(mutex->Lock(), MUTEX_ERR_NOT_INIT);
  CHECK_EQ(mutex->Unlock(), MUTEX_ERR_NOT_INIT);
  CHECK_EQ(CallInit(*mutex), MUTEX_ERR_CREATE_FAILED);
  JMutex copy(*mutex);
  CHECK(!copy.IsInitialized());
  hooks::FailMutexCreation(false);
  CHECK_EQ(CallInit(*mutex), 0);
  CHECK_EQ(CallInit(*mutex), MUTEX_ERR_ALREADY_INIT);
  CHECK_EQ(mutex->Lock(), 0);
  CHECK_EQ(mutex->Unlock(), 0);
  delete mutex;
}

void RefusedCreationsGiveMinusOneAndMinusTwo() {
  hooks::FailMutexCreation(true);
  SleeperThread* withoutMutexes = new SleeperThread(0);
  hooks::FailMutexCreation(false);
  CHECK_EQ(withoutMutexes->Start(), THREAD_ERR_MUTEX_NOT_INIT);
  CHECK_EQ(withoutMutexes->Start(), THREAD_ERR_MUTEX_NOT_INIT);
  CHECK_EQ(withoutMutexes->Kill(), 0);  // no mutex: nothing can run
  delete withoutMutexes;

  SleeperThread thread(0);
  hooks::FailThreadCreation(true);
  CHECK_EQ(thread.Start(), THREAD_ERR_CREATE_FAILED);
  hooks::FailThreadCreation(false);
  CHECK(!thread.IsRunning());
  CHECK_EQ(thread.Start(), 0);  // the refusal left it ready
  CHECK_EQ(thread.Kill(), 0);
}

void CopiesAndRunsLeaveNoHandleOpen() {
  size_t before = velkor::kernel::OpenHandleCount();
  {
    SleeperThread thread(0);
    CHECK_EQ(thread.Start(), 0);
    SleeperThread copy(thread);
    SleeperThread assigned(0);
    assigned = thread;
    CHECK_EQ(thread.Kill(), 0);
    CHECK_EQ(thread.Start(), 0);
  }
  CHECK_EQ(velkor::kernel::OpenHandleCount(), before);
}
#endif

const standalone::Case kCases[] = {
    {"MutexIsRecursiveAndFreeOnlyAfterTheLastUnlock",
     MutexIsRecursiveAndFreeOnlyAfterTheLastUnlock},
    {"UnlockByANonOwnerChangesNothing", UnlockByANonOwnerChangesNothing},
    {"AMutexAbandonedByAnEndedOwnerGoesToTheNextLocker",
     AMutexAbandonedByAnEndedOwnerGoesToTheNextLocker},
    {"AMutexAbandonedByAKilledOwnerGoesToTheWaiter", AMutexAbandonedByAKilledOwnerGoesToTheWaiter},
    {"StartReturnsWhileTheBodyStillRuns", StartReturnsWhileTheBodyStillRuns},
    {"ABodyThatNeverSignalsLetsStartReturnOnceItEnds",
     ABodyThatNeverSignalsLetsStartReturnOnceItEnds},
    {"RestartsReturnEachRunsValueAndThreadsExitWithZero",
     RestartsReturnEachRunsValueAndThreadsExitWithZero},
    {"KillEndsTheThreadAndThenRefusesWithMinusFour", KillEndsTheThreadAndThenRefusesWithMinusFour},
    {"AKilledRunKeepsTheLastStoredResult", AKilledRunKeepsTheLastStoredResult},
    {"DestroyingARunningThreadTerminatesIt", DestroyingARunningThreadTerminatesIt},
    {"DestroyingThroughABasePointerRunsBothDestructors",
     DestroyingThroughABasePointerRunsBothDestructors},
    {"CopiesShareTheMutexAndTheThread", CopiesShareTheMutexAndTheThread},
    {"ContendedAddersReachTheExactTotal", ContendedAddersReachTheExactTotal},
    {"RacingStartsStartOneThread", RacingStartsStartOneThread},
    {"ABodyThatKillsItsOwnObjectEndsThereAndLeavesItIdle",
     ABodyThatKillsItsOwnObjectEndsThereAndLeavesItIdle},
    {"AKillOverlappingAStartEndsItsThreadAndStartReturns",
     AKillOverlappingAStartEndsItsThreadAndStartReturns},
#if defined(VELKOR_KERNEL_TEST_HOOKS)
    {"RefusedMutexesGiveMinusTwoAndMinusThree", RefusedMutexesGiveMinusTwoAndMinusThree},
    {"RefusedCreationsGiveMinusOneAndMinusTwo", RefusedCreationsGiveMinusOneAndMinusTwo},
    {"CopiesAndRunsLeaveNoHandleOpen", CopiesAndRunsLeaveNoHandleOpen},
#endif
};

}  // namespace

VELKOR_STANDALONE_RUN(kCases);
