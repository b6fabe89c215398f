// SPDX-License-Identifier: MIT
// The memory of closed mutexes of our own futex kind, given back once no
// thread can touch it any more.
//
// A releaser may still touch a mutex for a moment after its word is free (its
// wake and the wake it owes), and so may the kernel for a releaser that dies
// in that moment: meanwhile another thread may take the mutex, release it and
// close its last handle. Every such touch happens while the toucher's
// list_op_pending names the mutex (futex/futex_mutex.h), and the kernel reads that
// field only at the thread's exit: it is a hazard pointer per thread. So a
// closed mutex is retired, and freed once no registered thread's
// list_op_pending names it; a killed thread's counts until it has been joined
// (it is copied into its record as it dies, since its stack may go with the
// join).
//
// Each thread retires into a list of its own and, every so many retirements,
// gathers every thread's hazard once and frees what none names: a close costs
// O(log threads) amortised and takes no lock shared with other threads in the
// common case. A thread whose end the layer cannot arrange (no key, no memory)
// is not registered, and from then on nothing is freed at all. A thread's
// record goes with its thread-specific value's destructor (thread_end.cpp);
// a later destructor's acquisition or release registers it again. Under a
// race detector that sees every access, nothing is registered or scanned and
// the memory is kept (detector::KeepsClosedMutexes).
#include <algorithm>
#include <atomic>
#include <new>

#include "platform/kernel.h"
#include "platform/linux/objects/mutex_memory.h"

namespace velkor {
namespace kernel {
namespace linux_layer {

struct HazardRecord {
  RobustListHead* head;                   // read while the thread lives
  std::atomic<bool> stopped;              // the thread runs no more: killed, or left behind by fork
  std::atomic<void*> pendingWhenStopped;  // its list_op_pending then
  HazardRecord* prev;                     // the registry's links, under the bookkeeping lock
  HazardRecord* next;
};

namespace {

HazardRecord* registry = nullptr;  // guarded by the bookkeeping lock
std::atomic<long> registered{0};   // written under it, read anywhere
bool reclaiming = true;            // likewise

// Scans under way: a killed thread waits until none is, so that no scan reads
// its list's head once its stack may be gone (HazardRecord::stopped).
std::atomic<int> scansUnderWay{0};

// Touched only by the thread itself, inside deferred sections or at its end.
__thread HazardRecord* threadRecord __attribute__((tls_model("initial-exec")));
__thread MutexObject* threadRetired __attribute__((tls_model("initial-exec")));
__thread long threadRetiredCount __attribute__((tls_model("initial-exec")));

// Memory no thread can touch, kept for the thread's next creations so that a
// program that creates and closes mutexes all the time rarely goes to the
// allocator. Linked by nextRetired.
constexpr long kThreadFree = 64;
__thread MutexObject* threadFree __attribute__((tls_model("initial-exec")));
__thread long threadFreeCount __attribute__((tls_model("initial-exec")));

// Retired by threads that have ended, for the next scan to take over whole (so
// the push from a signal handler cannot suffer ABA). Linked by nextRetired.
std::atomic<MutexObject*> retiredOfEndedThreads{nullptr};

void PushRetired(MutexObject* first) {
  if (first == nullptr) {
    return;
  }
  MutexObject* last = first;
  while (last->nextRetired != nullptr) {
    last = last->nextRetired;
  }
  MutexObject* head = retiredOfEndedThreads.load(std::memory_order_relaxed);
  do {
    last->nextRetired = head;
  } while (!retiredOfEndedThreads.compare_exchange_weak(head, first, std::memory_order_release,
                                                        std::memory_order_relaxed));
}

void* Hazard(const HazardRecord* record) {
  if (record->stopped.load(std::memory_order_seq_cst)) {
    return record->pendingWhenStopped.load(std::memory_order_relaxed);
  }
  // Acquire: a releaser clears the field after its last touch.
  return __atomic_load_n(&record->head->listOpPending, __ATOMIC_ACQUIRE);
}

// The hazards of every registered thread, sorted. Called with the
// bookkeeping lock held.
bool GatherHazards(void**& hazards, long& count) {
  const long size = registered.load(std::memory_order_relaxed);
  hazards = new (std::nothrow) void*[size > 0 ? size : 1];
  if (hazards == nullptr) {
    return false;
  }
  count = 0;
  scansUnderWay.fetch_add(1, std::memory_order_seq_cst);
  for (HazardRecord* record = registry; record != nullptr; record = record->next) {
    if (void* hazard = Hazard(record)) {
      hazards[count++] = hazard;
    }
  }
  scansUnderWay.fetch_sub(1, std::memory_order_seq_cst);
  std::sort(hazards, hazards + count);
  return true;
}

// Memory no hazard names: kept for the thread's next creations while it may
// and there is room, or given back to the allocator.
void Recycle(MutexObject* object, bool mayKeep) {
  if (mayKeep && threadFreeCount < kThreadFree && !object->watched) {
    object->nextRetired = threadFree;
    threadFree = object;
    ++threadFreeCount;
    return;
  }
  DeleteMutexObject(object);
}

// Frees each of `retired`, and whatever threads that have ended retired, that
// no hazard names; returns those kept.
MutexObject* FreeUnhazarded(MutexObject* retired, bool mayKeep) {
  void** hazards = nullptr;
  long count = 0;
  {
    BookkeepingLock lock;
    if (!reclaiming) {
      return retired;
    }
    MutexObject* ended = retiredOfEndedThreads.exchange(nullptr, std::memory_order_acquire);
    while (ended != nullptr) {
      MutexObject* next = ended->nextRetired;
      ended->nextRetired = retired;
      retired = ended;
      ended = next;
    }
    if (!GatherHazards(hazards, count)) {
      return retired;
    }
  }
  MutexObject* kept = nullptr;
  while (retired != nullptr) {
    MutexObject* next = retired->nextRetired;
    if (std::binary_search(hazards, hazards + count,
                           static_cast<void*>(EntryOf(&retired->futex)))) {
      retired->nextRetired = kept;
      kept = retired;
    } else {
      Recycle(retired, mayKeep);
    }
    retired = next;
  }
  delete[] hazards;
  return kept;
}

// Large enough that gathering the hazards costs little per retirement; small
// enough that what a thread keeps is a few kilobytes.
long RetireBatch() { return 64 + 2 * registered.load(std::memory_order_relaxed); }

}  // namespace

// Called inside a deferred section, or by a thread that can no longer be
// killed (at its end, or the reaper).
void RetireMutex(MutexObject* object) {
  // What a thread retired is passed on at its end, by any path.
  ArrangeThreadEnd();
  object->nextRetired = threadRetired;
  threadRetired = object;
  if (++threadRetiredCount < RetireBatch() || detector::KeepsClosedMutexes()) {
    return;
  }
  // Counts afresh what is retired from now on: what a scan keeps is named by
  // a hazard for a moment, and what it cannot free (no reclaiming) is kept
  // for good either way.
  threadRetired = FreeUnhazarded(threadRetired, true);
  threadRetiredCount = 0;
}

bool RegisterHazards(RobustListHead* head) {
  if (threadRecord != nullptr || detector::KeepsClosedMutexes()) {
    return true;
  }
  HazardRecord* record = new (std::nothrow) HazardRecord;
  if (record == nullptr) {
    return false;
  }
  record->head = head;
  record->stopped.store(false, std::memory_order_relaxed);
  record->pendingWhenStopped.store(nullptr, std::memory_order_relaxed);
  record->prev = nullptr;
  BookkeepingLock lock;
  record->next = registry;
  if (registry != nullptr) {
    registry->prev = record;
  }
  registry = record;
  registered.fetch_add(1, std::memory_order_relaxed);
  threadRecord = record;
  return true;
}

void StopReclaiming() {
  BookkeepingLock lock;
  reclaiming = false;
}

void ForgetHazards(HazardRecord* record) {
  if (record == nullptr) {
    return;
  }
  {
    BookkeepingLock lock;
    (record->prev != nullptr ? record->prev->next : registry) = record->next;
    if (record->next != nullptr) {
      record->next->prev = record->prev;
    }
    registered.fetch_sub(1, std::memory_order_relaxed);
  }
  delete record;
}

MutexObject* NewFutexMutexObject() {
  MutexObject* object = threadFree;
  if (object == nullptr) {
    return new (std::nothrow) MutexObject;
  }
  threadFree = object->nextRetired;
  --threadFreeCount;
  return object;
}

void EndThreadReclamation() {
  while (threadFree != nullptr) {
    MutexObject* next = threadFree->nextRetired;
    DeleteMutexObject(threadFree);
    threadFree = next;
  }
  threadFreeCount = 0;
  HazardRecord* record = threadRecord;
  threadRecord = nullptr;
  ForgetHazards(record);
  const bool scan = threadRetired != nullptr && !detector::KeepsClosedMutexes();
  PushRetired(scan ? FreeUnhazarded(threadRetired, false) : threadRetired);
  threadRetired = nullptr;
  threadRetiredCount = 0;
}

HazardRecord* StopHazards() noexcept {
  HazardRecord* record = threadRecord;
  if (record != nullptr) {
    record->pendingWhenStopped.store(record->head->listOpPending, std::memory_order_relaxed);
    record->stopped.store(true, std::memory_order_seq_cst);
    // A scan that began before it could see `stopped` may still read the head.
    while (scansUnderWay.load(std::memory_order_seq_cst) != 0) {
    }
  }
  // The next scan frees them, free memory included (no hazard names it).
  PushRetired(threadRetired);
  PushRetired(threadFree);
  threadRetired = nullptr;
  threadRetiredCount = 0;
  threadFree = nullptr;
  threadFreeCount = 0;
  return record;
}

void KeepOnlyThisThreadsHazardsAfterFork() {
  // The others did not come along: they touch nothing here. Their records
  // stay listed, as memory that is still reachable.
  for (HazardRecord* record = registry; record != nullptr; record = record->next) {
    if (record != threadRecord) {
      record->pendingWhenStopped.store(nullptr, std::memory_order_relaxed);
      record->stopped.store(true, std::memory_order_relaxed);
    }
  }
  scansUnderWay.store(0, std::memory_order_relaxed);
}

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
