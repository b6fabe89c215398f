// SPDX-License-Identifier: MIT
// What the files of the Linux kernel seam share: thread objects, reference
// accounting, futex waits, and the machinery that makes the layer's own
// bookkeeping safe against termination.
#ifndef VELKORTHREAD_PLATFORM_LINUX_INTERNAL_H
#define VELKORTHREAD_PLATFORM_LINUX_INTERNAL_H

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "platform/kernel.h"

namespace velkor {
namespace kernel {
namespace linux_layer {

// Who settles a thread's end. Only the first transition out of kRunning
// counts: the thread itself after its routine returned (kExiting), or a
// terminator (kKilled).
enum ThreadState : std::uint32_t { kRunning, kExiting, kKilled };

struct ThreadObject {
  ObjectHeader header;  // handles, plus one held by the thread until it has ended
  std::atomic<std::uint32_t> state;
  std::atomic<std::uint32_t> ended;  // futex word: 1 once the thread has ended
  std::atomic<std::uint32_t> id;     // futex word: the kernel thread id, 0 until known
  UInt32 exitCode;                   // written by the settler, read once `ended` is 1
  ThreadRoutine routine;
  void* param;
  // 1 once a kill has begun to end the thread: it is never signalled again.
  std::atomic<std::uint32_t> dying;
  pthread_t thread;          // written by the thread itself, before `id`
  ThreadObject* nextToReap;  // link in the reaper's queue
};

// The open handles and other live references that OpenHandleCount reports.
void CountReferences(long delta);

// Drops one reference; the last one destroys the object.
void ReleaseObject(ObjectHeader* object);

void DestroyMutex(MutexObject* mutex);  // mutex.cpp
// A destroyed mutex of our own futex kind to build a new one in, or null.
MutexObject* TakeSpareMutex();  // mutex.cpp
void CollectOrphanMutexes();    // mutex.cpp

// Our own robust futexes (robust_futex.cpp). Whether they may be used
// in this process, checked once, inside a deferred section.
bool OwnFutexesUsable();
bool FutexHeldByOtherThread(const FutexMutex* mutex);
// Gives back every level of the calling thread's ownership, if it owns it.
void FutexReleaseAll(FutexMutex* mutex);

// For tests: which kind the mutex is, and the address that stands for it in
// its owner's robust list while it is held.
bool MutexIsOwnFutex(Handle mutex);
void* MutexRobustEntry(Handle mutex);

// Called by the reaper once a killed thread has been joined: publishes its end
// and drops the thread's own reference (thread.cpp).
void FinishKilledThread(ThreadObject* thread);

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "futex words are plain 32-bit atomics");

// Returns when *word may differ from `expected`, spuriously included.
void FutexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected);
void FutexWake(std::atomic<std::uint32_t>* word, int count);

// A section of layer code that a termination must not cut short: a kill that
// arrives inside is held back until the outermost section ends, and the thread
// then exits there. Sections nest, never block on anything that a killed
// thread could hold, and are the only places where the layer's internal locks
// are taken, so no internal lock is ever left held.
class DeferTermination {
 public:
  DeferTermination();
  ~DeferTermination();
  DeferTermination(const DeferTermination&) = delete;
  DeferTermination& operator=(const DeferTermination&) = delete;
};

// Holds the lock of the layer's global bookkeeping (the orphaned mutexes, the
// kill signal's installation), always inside a deferred section.
class BookkeepingLock {
 public:
  BookkeepingLock();
  ~BookkeepingLock();
  BookkeepingLock(const BookkeepingLock&) = delete;
  BookkeepingLock& operator=(const BookkeepingLock&) = delete;

 private:
  DeferTermination defer_;
};

// Installs the kill signal's handler, once per process. False if it could not.
bool EnsureThreadSupport();

// The signal that ends a thread of the layer.
int KillSignal();

// Ends the calling thread at once: no unwinding, no cleanup of any kind.
[[noreturn]] void ExitThreadNow();

// Whether the calling thread is one the layer created and a terminator has
// claimed its end (thread.cpp). Safe in a signal handler.
bool CurrentThreadIsClaimedForKill();

// The calling thread's object, or null for a thread the layer did not create
// (thread.cpp).
ThreadObject* CurrentThread();

// In a child of fork: a claim on the calling thread was made in the parent,
// whose terminator did not come along; the child's copy runs on unclaimed.
void ForgetClaimOnCurrentThread();  // thread.cpp

// Hands a thread that has been sent the kill signal to the reaper (started if
// none runs), which joins it and then calls FinishKilledThread. Called inside
// a deferred section.
void ReapKilledThread(ThreadObject* thread);

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_LINUX_INTERNAL_H
