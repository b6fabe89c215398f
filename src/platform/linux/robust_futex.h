// SPDX-License-Identifier: MIT
// The fast mutex of the Linux seam: a 32-bit futex word of our own that
// follows the kernel's robust-futex ABI, linked while held into the robust list
// that the C library registered for the thread.
//
// The word holds the owner's kernel thread id, FUTEX_WAITERS and
// FUTEX_OWNER_DIED. When a thread ends by any path (its routine returning, the
// raw exit of a kill, the end of a thread the layer did not create), the kernel
// walks its robust list and, for every word that still names the thread,
// clears the id, sets FUTEX_OWNER_DIED and wakes a waiter: that is what
// abandons our mutexes, exactly as it abandons the C library's robust ones.
//
// Our nodes have the layout of the C library's robust mutexes (a `prev` and a
// `next` field, the word at the same distance before `next`), so that the C
// library, which unlinks its own mutexes from the same list in any order,
// keeps our neighbours' links right. That layout, the list's futex offset and
// its `prev` convention are the C library's internals: mutex.cpp checks
// them at first use and falls back to robust pthread mutexes if anything
// differs.
//
// Recursion is decided from an id of the thread's own that is never reused,
// not from the kernel id in the word: a new thread may get the kernel id of a
// dead owner. Every window in which a death would otherwise lose the mutex (a
// word taken but not yet linked, a node unlinked but its word not yet
// released, a word released but its waiter not yet woken) is covered by the
// list's `list_op_pending`, which the kernel also handles at the thread's end.
//
// Futex waits and wakes on the word are shared, never private: the kernel's
// wake at a thread's death is a shared one, which a private waiter never sees.
#ifndef VELKORTHREAD_PLATFORM_LINUX_ROBUST_FUTEX_H
#define VELKORTHREAD_PLATFORM_LINUX_ROBUST_FUTEX_H

#include <linux/futex.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace velkor {
namespace kernel {
namespace linux_layer {

// The kernel's struct robust_list_head. Entries are the addresses of the
// nodes' `next` fields; the list ends where it points back at the head.
struct RobustListHead {
  void* list;
  long futexOffset;
  void* listOpPending;
};

// A mutex of our own. Only the owner writes `depth`, `owner`, `prev` and
// `next`; `word` and `wakeOwed` are shared with the other threads.
struct FutexMutex {
  std::atomic<std::uint32_t> word;   // owner's kernel id | FUTEX_WAITERS | FUTEX_OWNER_DIED
  std::uint32_t depth;               // acquisitions by the owner not yet released
  std::atomic<std::uint64_t> owner;  // the owner's never-reused id, 0 when free
  // Set while a wake may have been lost to a death (see the contended paths
  // in robust_futex.cpp); cleared by whoever delivers one.
  std::atomic<std::uint32_t> wakeOwed;
  // Marks a mutex announced to a race detector (detectors.cpp); the C
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

// What a thread needs for the fast paths, set by its first acquisition.
struct FutexThread {
  RobustListHead* head;  // null until the thread's first acquisition
  std::uint32_t tid;     // the kernel's id of the thread
  std::uint64_t id;      // never reused; kNotStarted until the first acquisition
};

// Never the id of an owner, so a thread that has not started owns nothing.
constexpr std::uint64_t kNotStarted = ~std::uint64_t{0};

extern __thread FutexThread futexThread __attribute__((tls_model("initial-exec")));

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

// Out of line: the rare paths (robust_futex.cpp).
void FutexThreadStart(FutexThread* self);
void FutexAcquireContended(FutexMutex* mutex, const FutexThread* self);
void FutexReleaseContended(FutexMutex* mutex);
void FutexPayOwedWake(FutexMutex* mutex);

// Keeps the compiler from moving the stores that the kernel reads at the
// thread's death across this point; the kernel runs on the dying thread, so
// program order is all it needs.
inline void DeathFence() { std::atomic_signal_fence(std::memory_order_seq_cst); }

inline void** NodeOf(void* entry) {
  // An entry's lowest bit marks a priority-inheritance mutex of the C library.
  return reinterpret_cast<void**>(reinterpret_cast<std::uintptr_t>(entry) & ~std::uintptr_t{1});
}

// Links at the front of the list, as the C library does: the former first
// node's `prev` (for an empty list, the field the C library keeps just before
// the head) now names us; the head is written last.
inline void LinkHeld(FutexMutex* mutex, RobustListHead* head) {
  void* first = head->list;
  mutex->prev = head;
  mutex->next = first;
  NodeOf(first)[-1] = &mutex->next;
  DeathFence();
  head->list = &mutex->next;
}

// The forward link is written in one store, so the kernel never walks a
// broken list.
inline void UnlinkHeld(FutexMutex* mutex) {
  void* next = mutex->next;
  void* prev = mutex->prev;
  NodeOf(next)[-1] = prev;
  NodeOf(prev)[0] = next;
}

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
  head->listOpPending = &mutex->next;
  DeathFence();
  VELKOR_MUTEX_STEP(MutexStep::kAcquirePending);
  std::uint32_t expected = 0;
  if (__builtin_expect(
          !mutex->word.compare_exchange_strong(expected, self->tid, std::memory_order_acquire,
                                               std::memory_order_relaxed),
          0)) {
    FutexAcquireContended(mutex, self);
  }
  VELKOR_MUTEX_STEP(MutexStep::kAcquireTaken);
  LinkHeld(mutex, head);
  VELKOR_MUTEX_STEP(MutexStep::kAcquireLinked);
  mutex->owner.store(self->id, std::memory_order_relaxed);
  mutex->depth = 1;
  VELKOR_MUTEX_STEP(MutexStep::kAcquireOwned);
  DeathFence();
  head->listOpPending = nullptr;
}

inline void FutexRelease(FutexMutex* mutex) {
  FutexThread* self = &futexThread;
  if (mutex->owner.load(std::memory_order_relaxed) != self->id || --mutex->depth != 0) {
    return;
  }
  RobustListHead* head = self->head;
  head->listOpPending = &mutex->next;
  DeathFence();
  VELKOR_MUTEX_STEP(MutexStep::kReleasePending);
  UnlinkHeld(mutex);
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
  DeathFence();
  head->listOpPending = nullptr;
}

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

#endif  // VELKORTHREAD_PLATFORM_LINUX_ROBUST_FUTEX_H
