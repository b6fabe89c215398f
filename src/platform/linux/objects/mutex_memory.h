// SPDX-License-Identifier: MIT
// When the memory of a closed mutex goes back, for the files of objects/: an
// orphan at its holder's end (mutex.cpp), a retired futex of ours once no
// hazard names it (reclamation.cpp).
#ifndef VELKORTHREAD_PLATFORM_LINUX_OBJECTS_MUTEX_MEMORY_H
#define VELKORTHREAD_PLATFORM_LINUX_OBJECTS_MUTEX_MEMORY_H

#include <cstdint>

#include "platform/kernel.h"

namespace velkor {
namespace kernel {
namespace linux_layer {

// Mutex objects (mutex.cpp). The last handle of one is gone: it is freed, or
// becomes an orphan if another thread holds it.
void DestroyMutex(MutexObject* mutex);
// Gives a mutex's memory back to the allocator.
void DeleteMutexObject(MutexObject* object);
// Frees the orphans that the thread of kernel id `tid` held, now that it lets
// them go at its end, whatever path that takes (a kill's once the thread is
// joined). Orphans of other holders that are free by then go too.
void CollectOrphansHeldBy(std::uint32_t tid);
#if defined(VELKOR_KERNEL_TEST_HOOKS)
// How many orphans have been let go and are not freed yet: a thread that the
// layer did not create may let one go with no call of ours to follow. Call
// with the bookkeeping lock held.
long OrphanMutexesLetGo();
#endif

// Retired futex mutexes (reclamation.cpp). A thread that acquires our mutexes
// registers its listOpPending as its hazard; at its end it forgets it and
// passes on what it retired (EndThreadReclamation), or, killed, stops it
// (StopHazards, async-signal-safe: its last value counts until the reaper has
// joined the thread and forgets it, ForgetHazards).
MutexObject* NewFutexMutexObject();  // the thread's own free memory, or the allocator's
void RetireMutex(MutexObject* object);
bool RegisterHazards(RobustListHead* head);
void StopReclaiming();
void EndThreadReclamation();
HazardRecord* StopHazards() noexcept;
void ForgetHazards(HazardRecord* record);
void KeepOnlyThisThreadsHazardsAfterFork();

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_LINUX_OBJECTS_MUTEX_MEMORY_H
