// SPDX-License-Identifier: MIT
// The fast mutex of the Linux seam: a 32-bit futex word of our own that
// follows the kernel's robust-futex ABI, linked while held into the thread's
// robust list (robust_list.h), so that the kernel abandons it when its holder
// dies.
//
// The word's states:
//   0                                free
//   tid                              held by kernel thread `tid`, nobody asleep
//   tid | FUTEX_WAITERS              held; someone may sleep, its release wakes one
//   FUTEX_OWNER_DIED [| WAITERS]     free: the kernel took it from a dead holder
//                                    and woke a waiter; taken like 0
// Recursion is decided from the owner's never-reused id (`owner`), never from
// the tid in the word.
//
// What the kernel does when the thread dies at each step (MutexStep below):
//   kAcquirePending .. kAcquireWoken  word not ours, left as it is; a free one
//                                     gets a wake (passing on one meant for us)
//   kAcquireTaken .. kAcquireOwned    word ours (pending, later also listed):
//                                     abandoned, a waiter woken
//   kReleasePending .. kReleaseDisowned  word still ours (pending): abandoned
//   kReleaseFreed                     word free, pending: a waiter woken
//                                     (Linux 5.10 on; checked at first use)
//   kReleaseWoken                     nothing is ours any more
// A wake that a death may still lose is covered by the owed wake
// (futex_mutex.cpp).
#ifndef VELKORTHREAD_PLATFORM_LINUX_FUTEX_MUTEX_H
#define VELKORTHREAD_PLATFORM_LINUX_FUTEX_MUTEX_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/linux/robust_list.h"

namespace velkor {
namespace kernel {
namespace linux_layer {

// Only the owner writes `depth`, `owner`, `prev` and `next`; `word` and
// `wakeOwed` are shared with the other threads.
struct FutexMutex {
  std::atomic<std::uint32_t> word;      // see the states above
  std::uint32_t depth;                  // acquisitions by the owner not yet released
  std::atomic<std::uint64_t> owner;     // the owner's FutexThread::id, 0 when free
  std::atomic<std::uint32_t> wakeOwed;  // 1 while the owed wake is unpaid
  // Marks a mutex announced to a race detector (watched_mutex.cpp); the C
  // library's nodes keep spin counts here, which robust mutexes never use.
  std::uint32_t watchMark;
  void* prev;  // the `next` field of the node before, or the list head
  void* next;  // the entry of the node after, or the list head
};

// Where the list's entries point, relative to a node, and where the word is.
constexpr long kFutexOffset =
    static_cast<long>(offsetof(FutexMutex, word)) - static_cast<long>(offsetof(FutexMutex, next));
static_assert(offsetof(FutexMutex, next) == offsetof(FutexMutex, prev) + sizeof(void*),
              "prev comes just before next, as in the C library's nodes");

// The points of acquisition and release where a test build can stop a thread
// to terminate it there.
enum class MutexStep {
  kAcquirePending,   // list_op_pending set, word not taken
  kAcquireWaiting,   // FUTEX_WAITERS set, about to sleep
  kAcquireWoken,     // back from the futex wait
  kAcquireTaken,     // word taken, node not linked
  kAcquireLinked,    // node linked, owner not recorded
  kAcquireOwned,     // owner recorded, list_op_pending still set
  kReleasePending,   // list_op_pending set, node still linked
  kReleaseUnlinked,  // node unlinked, owner still recorded
  kReleaseDisowned,  // owner cleared, word still taken
  kReleaseFreed,     // word released, waiter not woken
  kReleaseWoken,     // waiter woken, list_op_pending still set
};

#if defined(VELKOR_KERNEL_TEST_HOOKS)
namespace testhooks {
extern void (*volatile mutexStep)(MutexStep step);
}
#define VELKOR_MUTEX_STEP(step)                                                                 \
  do {                                                                                          \
    if (::velkor::kernel::linux_layer::testhooks::mutexStep != nullptr)                         \
      ::velkor::kernel::linux_layer::testhooks::mutexStep(::velkor::kernel::linux_layer::step); \
  } while (false)
#else
#define VELKOR_MUTEX_STEP(step) \
  do {                          \
  } while (false)
#endif

// The contended halves and the owed wake, out of line (futex_mutex.cpp).
void FutexAcquireContended(FutexMutex* mutex, const FutexThread* self) noexcept;
void FutexReleaseContended(FutexMutex* mutex) noexcept;
void FutexPayOwedWake(FutexMutex* mutex) noexcept;

inline void** EntryOf(FutexMutex* mutex) { return &mutex->next; }

inline void FutexAcquire(FutexMutex* mutex) {
  FutexThread* self = &futexThread;
  if (mutex->owner.load(std::memory_order_relaxed) == self->id) {
    ++mutex->depth;
    return;
  }
  if (__builtin_expect(self->head == nullptr, 0)) {
    FutexThreadStart(self);
  }
  RobustListHead* head = self->head;
  PendingOperation pending(head, EntryOf(mutex));
  VELKOR_MUTEX_STEP(MutexStep::kAcquirePending);
  std::uint32_t expected = 0;
  if (__builtin_expect(
          !mutex->word.compare_exchange_strong(expected, self->tid, std::memory_order_acquire,
                                               std::memory_order_relaxed),
          0)) {
    FutexAcquireContended(mutex, self);
  }
  VELKOR_MUTEX_STEP(MutexStep::kAcquireTaken);
  LinkHeld(EntryOf(mutex), head);
  VELKOR_MUTEX_STEP(MutexStep::kAcquireLinked);
  mutex->owner.store(self->id, std::memory_order_relaxed);
  mutex->depth = 1;
  VELKOR_MUTEX_STEP(MutexStep::kAcquireOwned);
}

inline void FutexRelease(FutexMutex* mutex) {
  FutexThread* self = &futexThread;
  if (mutex->owner.load(std::memory_order_relaxed) != self->id || --mutex->depth != 0) {
    return;
  }
  if (__builtin_expect(self->head == nullptr, 0)) {
    FutexThreadStart(self);  // a release at the thread's end, after the layer's own steps
  }
  PendingOperation pending(self->head, EntryOf(mutex));
  VELKOR_MUTEX_STEP(MutexStep::kReleasePending);
  UnlinkHeld(EntryOf(mutex));
  VELKOR_MUTEX_STEP(MutexStep::kReleaseUnlinked);
  mutex->owner.store(0, std::memory_order_relaxed);
  VELKOR_MUTEX_STEP(MutexStep::kReleaseDisowned);
  std::uint32_t expected = self->tid;
  if (__builtin_expect(mutex->word.compare_exchange_strong(expected, 0, std::memory_order_seq_cst,
                                                           std::memory_order_relaxed),
                       1)) {
    VELKOR_MUTEX_STEP(MutexStep::kReleaseFreed);
    if (__builtin_expect(mutex->wakeOwed.load(std::memory_order_seq_cst) != 0, 0)) {
      FutexPayOwedWake(mutex);
    }
  } else {
    FutexReleaseContended(mutex);
  }
  VELKOR_MUTEX_STEP(MutexStep::kReleaseWoken);
}

// Whether a thread other than the caller holds the mutex.
bool FutexHeldByOtherThread(const FutexMutex* mutex);
// Gives back every level of the calling thread's ownership, if it owns it.
void FutexReleaseAll(FutexMutex* mutex);

// A free mutex of our own, owned by nobody.
inline void FutexInit(FutexMutex* mutex) {
  mutex->word.store(0, std::memory_order_relaxed);
  mutex->depth = 0;
  mutex->owner.store(0, std::memory_order_relaxed);
  mutex->wakeOwed.store(0, std::memory_order_relaxed);
  mutex->watchMark = 0;
  mutex->prev = nullptr;
  mutex->next = nullptr;
}

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_LINUX_FUTEX_MUTEX_H
