// SPDX-License-Identifier: MIT
// What the files of the Linux kernel seam share: the objects behind handles,
// their reference accounting, and the calls from one part to another.
#ifndef VELKORTHREAD_PLATFORM_LINUX_INTERNAL_H
#define VELKORTHREAD_PLATFORM_LINUX_INTERNAL_H

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "platform/kernel.h"
#include "platform/linux/termination.h"

namespace velkor {
namespace kernel {
namespace linux_layer {

struct HazardRecord;

// Who settles a thread's end. Only the first transition out of kRunning
// counts: the thread itself after its routine returned (kExiting), or a
// terminator's claim (kKilled).
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
  HazardRecord* hazards;     // a killed thread's, forgotten once it is joined
};

// The open handles and other live references that OpenHandleCount reports,
// counted in test builds only.
#if defined(VELKOR_KERNEL_TEST_HOOKS)
void CountReferences(long delta);
#else
inline void CountReferences(long) {}
#endif

// Drops one reference; the last one destroys the object.
void ReleaseObject(ObjectHeader* object);

// Mutex objects (mutex.cpp).
void DestroyMutex(MutexObject* mutex);
// Closed mutexes of our own futex kind, freed once no thread can touch them
// (reclamation.cpp). RetireMutex hands one over. A thread that acquires our
// mutexes registers its list_op_pending as its hazard; at its end it forgets
// it and passes on what it retired (EndThreadReclamation), or, killed, marks
// it dying (MarkHazardsDying, async-signal-safe) for the reaper to forget
// once the thread has been joined (ForgetHazards).
// NewFutexMutexObject gives memory for a new one, the thread's own or the
// allocator's.
MutexObject* NewFutexMutexObject();
void RetireMutex(MutexObject* object);
bool RegisterHazards(RobustListHead* head);
void StopReclaiming();
void EndThreadReclamation();
HazardRecord* MarkHazardsDying() noexcept;
void ForgetHazards(HazardRecord* record);
void KeepOnlyThisThreadsHazardsAfterFork();
// Gives a closed mutex's memory back (mutex.cpp).
void DeleteMutexObject(MutexObject* object);
// Frees the closed mutexes that the thread of kernel id `tid` held when they
// were closed, now that it lets them go: at its end, whatever path it takes
// (a kill's after the thread is joined), by the thread itself or the reaper.
// Orphans of other holders that are free by then go too.
void CollectOrphansHeldBy(std::uint32_t tid);
// The same for every holder (tests).
void CollectOrphanMutexes();
// How many of those closed mutexes no thread holds any more, not yet freed: a
// thread that the layer did not create may let one go with no call of ours
// to follow. Call with the bookkeeping lock held.
long OrphanMutexesLetGo();
// For tests: which kind the mutex is, and the address that stands for it in
// its owner's robust list while it is held.
bool MutexIsOwnFutex(Handle mutex);
void* MutexRobustEntry(Handle mutex);

// Thread objects (thread.cpp). The calling thread's object, or null for a
// thread the layer did not create.
ThreadObject* CurrentThread();
// Called by the reaper once a killed thread has been joined: publishes its end
// and drops the thread's own reference.
void FinishKilledThread(ThreadObject* thread);

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_LINUX_INTERNAL_H
