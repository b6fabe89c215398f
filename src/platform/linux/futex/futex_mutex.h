// SPDX-License-Identifier: MIT
// The robust futex mutex: one 32-bit futex word that follows the kernel's
// robust-futex ABI, linked while held into its holder's robust list, so that
// the kernel abandons it when its holder dies. This module depends on nothing
// else of the layer.
//
// The word's states:
//   0                                free
//   tid                              held by kernel thread `tid`, nobody asleep
//   tid | FUTEX_WAITERS              held; someone may sleep, its release wakes one
//   FUTEX_OWNER_DIED [| WAITERS]     free: the kernel took it from a dead holder
//                                    and woke a waiter; taken like 0
// Recursion is decided from the owner's serial (never reused), never from the
// tid in the word.
//
// The futex calls (futex_mutex.cpp): a wait returns when the word may differ
// from the value it was given, spuriously included (a signal, a wake meant for
// an earlier value), so every caller checks its word again. Our mutexes'
// words take the shared flavour, since the kernel's wake at a holder's death
// is a shared one, which a private waiter never sees; private waits and wakes
// are for words only this process's threads touch (a thread's id and end).
//
// The robust list: when a thread ends by any path (its routine returning, the
// raw exit of a kill, the end of a thread the layer did not create), the
// kernel walks the list the thread registered and, for every word in it that
// still names the thread, clears the id, sets FUTEX_OWNER_DIED and wakes a
// waiter; it does the same for the word of `listOpPending`, the operation the
// thread was in the middle of. We share the list that the C library
// registered for the thread: our nodes have the layout of its robust mutexes
// (a `prev` field just before `next`, the word at the same distance from
// `next`), so that the C library, which unlinks its own mutexes from the same
// list in any order, keeps our neighbours' links right. That layout is the C
// library's internals: robust_list.cpp checks it at first use, and the layer
// uses robust pthread mutexes instead if anything differs.
//
// What the kernel does when the thread dies at each step (MutexStep below):
//   kAcquirePending .. kAcquireWoken  word not ours, left as it is; a free one
//                                     (owner part 0: released, or abandoned
//                                     with FUTEX_OWNER_DIED) gets a wake,
//                                     passing on one meant for us
//   kAcquireTaken .. kAcquireOwned    word ours (pending, later also listed):
//                                     abandoned, a waiter woken
//   kReleasePending .. kReleaseDisowned  word still ours (pending): abandoned
//   kReleaseFreed                     word free, pending: a waiter woken
//                                     (Linux 5.10 on; checked at first use)
//   kReleaseWoken                     nothing is ours any more
// A wake that a death may still lose is covered by the owed wake
// (futex_mutex.cpp).
//
// Memory orders: the word carries every ordering between owners. Each taking
// of it is an acquire, each freeing (a release, an abandonment) a release, so
// what one owner wrote under the mutex is the next one's to read; `owner`,
// `depth` and `wakeOwed` need no order of their own, since each is read either
// by the thread that wrote it or by a thread that took the word after the
// freeing that followed the write (a wake that found nobody clears the debt
// with no freeing after it: seen or not, either is safe). The freeings are seq_cst where a release
// would do: one total order for every freeing, at no cost on x86, where every
// read-modify-write is a locked instruction whatever its order. The explorer
// runs the code sequentially consistent: it checks the order of the steps,
// not whether these orders are weak enough to reorder them.
#ifndef VELKORTHREAD_PLATFORM_LINUX_FUTEX_FUTEX_MUTEX_H
#define VELKORTHREAD_PLATFORM_LINUX_FUTEX_FUTEX_MUTEX_H

#if !defined(__linux__)
#error "this layer relies on Linux robust futexes and thread ids"
#endif

#include <atomic>
#include <cstddef>
#include <cstdint>

#if defined(VELKOR_FUTEX_MODEL)
#include "sched/futex_model.h"
#endif

namespace velkor {
namespace kernel {
namespace linux_layer {

// ---- What the explorer replaces ----------------------------------------

// The explorer (velkorsched) compiles this module once more with
// VELKOR_FUTEX_MODEL: every access that another thread, or the kernel at a
// thread's death, can see is then a point where it may switch tasks or end
// one, and each task has a thread record and robust list of its own. In every
// other build these are std::atomic and plain stores, and the code is the
// same as if they were written out.
#if defined(VELKOR_FUTEX_MODEL)
template <class T>
using FutexAtomic = sim::ModelAtomic<T>;
inline void StoreListField(void** field, void* value) { sim::ModelListStore(field, value); }
inline void ReleaseListField(void** field, void* value) { sim::ModelListStore(field, value); }
#else
template <class T>
using FutexAtomic = std::atomic<T>;
inline void StoreListField(void** field, void* value) { *field = value; }
inline void ReleaseListField(void** field, void* value) {
  __atomic_store_n(field, value, __ATOMIC_RELEASE);
}
#endif
using FutexWord = FutexAtomic<std::uint32_t>;

// ---- Futex calls -------------------------------------------------------

static_assert(sizeof(FutexWord) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "futex words are plain 32-bit atomics");

void FutexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected);
void FutexWake(std::atomic<std::uint32_t>* word, int count);
void FutexWaitShared(FutexWord* word, std::uint32_t expected);
long FutexWakeOneShared(FutexWord* word);  // the number woken

// ---- The robust list ---------------------------------------------------

// The kernel's struct robust_list_head. Entries are the addresses of the
// nodes' `next` fields; the list ends where it points back at the head.
struct RobustListHead {
  void* list;
  long futexOffset;
  void* listOpPending;
};

// What a thread needs for the fast paths, set by its first acquisition.
struct FutexThread {
  RobustListHead* head;  // null until the thread's first acquisition or release
  std::uint32_t tid;     // the kernel's id of the thread
  // Never reused, unlike `tid`: a new thread may get the kernel id of a dead
  // owner. kNotStarted until the first acquisition.
  std::uint64_t serial;
};

// Never the serial of an owner, so a thread that has not started owns nothing.
constexpr std::uint64_t kNotStarted = ~std::uint64_t{0};

extern __thread FutexThread futexThread __attribute__((tls_model("initial-exec")));
#if defined(VELKOR_FUTEX_MODEL)
FutexThread* CurrentFutexThread();  // the running task's
#else
inline FutexThread* CurrentFutexThread() { return &futexThread; }
#endif

// Registers the calling thread at its first acquisition or release: finds its
// list (or gives it one of our own) and its ids, then runs the registration
// hook. Again, with `head` null, for a thread whose end has begun: it keeps
// its ids.
void RegisterFutexThread(FutexThread* self) noexcept;

// What the layer above does at every registration (arrange the thread's end,
// name its hazard): set before the first mutex of ours exists, the same hook
// each time. The one call this module makes upward, through a pointer.
void SetRegistrationHook(void (*hook)() noexcept);

// Whether our own futex mutexes may be used in this process: the C library's
// list has the layout above and the kernel is recent enough. Checked once,
// inside a deferred section: the check links a node of its own for a moment.
bool OwnFutexesUsable();

// In a child of fork, which is a thread of its own: it owns none of the
// mutexes its original held (the C library empties the child's list), and
// its kernel id is new.
void RenewFutexThreadAfterFork();
// A thread whose mutexes AbandonHeldMutexes gave up owns none of them any
// more: a release it still makes must find no owner of its serial.
void RenewFutexThreadSerial() noexcept;

// The robust list registered for the calling thread, or null; its kernel id.
RobustListHead* RegisteredList() noexcept;
std::uint32_t KernelThreadId() noexcept;

// Whether the nodes of this process's robust lists have a `prev` just before
// `next` (the C library's layout on most processors, and always ours).
bool ListNodesHavePrev() noexcept;

// The kernel walks at most 2,048 entries of a dying thread's list and leaves
// the rest held for good. This does for each entry of the calling thread's
// list what the kernel does, if the list is longer than that; the thread then
// owns none of them (abandonment.cpp). Async-signal-safe: a kill calls it from
// the signal handler, where the thread may be anywhere in an acquisition or
// release (that one operation, listOpPending, is left to the kernel).
void AbandonHeldMutexes() noexcept;

// Keeps the compiler from moving the stores that the kernel reads at the
// thread's death across this point; the kernel runs on the dying thread, so
// program order is all it needs.
inline void DeathFence() { std::atomic_signal_fence(std::memory_order_seq_cst); }

// A node of the list from an entry; the node's `prev` is at [-1], `next` at [0].
inline void** NodeOf(void* entry) {
  // An entry's lowest bit marks a priority-inheritance mutex of the C library.
  return reinterpret_cast<void**>(reinterpret_cast<std::uintptr_t>(entry) & ~std::uintptr_t{1});
}

// Links at the front of the list, as the C library does: the former first
// node's `prev` (for an empty list, the field the C library keeps just before
// the head) now names us; the head is written last.
inline void LinkHeld(void** entry, RobustListHead* head) {
  void* first = head->list;
  StoreListField(&entry[-1], head);
  StoreListField(&entry[0], first);
  StoreListField(&NodeOf(first)[-1], entry);
  DeathFence();
  StoreListField(&head->list, entry);
}

// The forward link is written in one store, so the kernel never walks a
// broken list.
inline void UnlinkHeld(void** entry) {
  void* next = entry[0];
  void* prev = entry[-1];
  StoreListField(&NodeOf(next)[-1], prev);
  StoreListField(&NodeOf(prev)[0], next);
}

// The pending operation: a window in which a death would otherwise lose the
// mutex at `entry` (a word taken but not yet linked, a node unlinked but its
// word not yet released, a word released but its waiter not yet woken). The
// kernel handles the pending entry at the thread's end as it handles the
// listed ones.
class PendingOperation {
 public:
  // A plain store, as the kernel reads it; a thread that reads it as a hazard
  // (objects/reclamation.cpp) needs no more, since the word's release comes
  // after.
  PendingOperation(RobustListHead* head, void** entry) : head_(head) {
    StoreListField(&head->listOpPending, entry);
    DeathFence();
  }
  // A release: the field is also the hazard that keeps the mutex's memory, so
  // every touch of the mutex comes before it is cleared.
  ~PendingOperation() {
    DeathFence();
    ReleaseListField(&head_->listOpPending, nullptr);
  }
  PendingOperation(const PendingOperation&) = delete;
  PendingOperation& operator=(const PendingOperation&) = delete;

 private:
  RobustListHead* head_;
};

// ---- The mutex ---------------------------------------------------------

// Only the owner writes `depth`, `owner`, `prev` and `next`; `word` and
// `wakeOwed` are shared with the other threads.
struct FutexMutex {
  FutexWord word;                       // see the states above
  std::uint32_t depth;                  // acquisitions by the owner not yet released
  FutexAtomic<std::uint64_t> owner;     // the owner's serial, 0 when free
  FutexAtomic<std::uint32_t> wakeOwed;  // 1 while the owed wake is unpaid
  // Marks a mutex announced to a race detector; the C library's nodes keep
  // spin counts here, which robust mutexes never use.
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
  kAcquirePending,   // listOpPending set, word not taken
  kAcquireWaiting,   // FUTEX_WAITERS set, about to sleep
  kAcquireWoken,     // back from the futex wait
  kAcquireTaken,     // word taken, node not linked
  kAcquireLinked,    // node linked, owner not recorded
  kAcquireOwned,     // owner recorded, listOpPending still set
  kReleasePending,   // listOpPending set, node still linked
  kReleaseUnlinked,  // node unlinked, owner still recorded
  kReleaseDisowned,  // owner cleared, word still taken
  kReleaseFreed,     // word released, waiter not woken
  kReleaseWoken,     // waiter woken, listOpPending still set
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
  FutexThread* self = CurrentFutexThread();
  // Relaxed: only this thread ever stores its serial here, and it reads its
  // own stores in order; any other value is not ours, however stale.
  if (mutex->owner.load(std::memory_order_relaxed) == self->serial) {
    ++mutex->depth;
    return;
  }
  if (__builtin_expect(self->head == nullptr, 0)) {
    RegisterFutexThread(self);
  }
  RobustListHead* head = self->head;
  PendingOperation pending(head, EntryOf(mutex));
  VELKOR_MUTEX_STEP(MutexStep::kAcquirePending);
  std::uint32_t expected = 0;
  // Acquire: after the freeing that made the word 0. A failure reads nothing
  // on its strength: the contended half loads the word again.
  if (__builtin_expect(
          !mutex->word.compare_exchange_strong(expected, self->tid, std::memory_order_acquire,
                                               std::memory_order_relaxed),
          0)) {
    FutexAcquireContended(mutex, self);
  }
  VELKOR_MUTEX_STEP(MutexStep::kAcquireTaken);
  LinkHeld(EntryOf(mutex), head);
  VELKOR_MUTEX_STEP(MutexStep::kAcquireLinked);
  // Relaxed: compared only with serials; the word is ours already.
  mutex->owner.store(self->serial, std::memory_order_relaxed);
  mutex->depth = 1;
  VELKOR_MUTEX_STEP(MutexStep::kAcquireOwned);
}

inline void FutexRelease(FutexMutex* mutex) {
  FutexThread* self = CurrentFutexThread();
  // Relaxed, as in FutexAcquire.
  if (mutex->owner.load(std::memory_order_relaxed) != self->serial || --mutex->depth != 0) {
    return;
  }
  if (__builtin_expect(self->head == nullptr, 0)) {
    RegisterFutexThread(self);  // a release at the thread's end, after the layer's own steps
  }
  PendingOperation pending(self->head, EntryOf(mutex));
  VELKOR_MUTEX_STEP(MutexStep::kReleasePending);
  UnlinkHeld(EntryOf(mutex));
  VELKOR_MUTEX_STEP(MutexStep::kReleaseUnlinked);
  // Relaxed: the freeing below is a release, which keeps this store before
  // the next owner's.
  mutex->owner.store(0, std::memory_order_relaxed);
  VELKOR_MUTEX_STEP(MutexStep::kReleaseDisowned);
  std::uint32_t expected = self->tid;
  // A freeing (seq_cst: see the top of this file); a failure found
  // FUTEX_WAITERS and reads nothing else.
  if (__builtin_expect(mutex->word.compare_exchange_strong(expected, 0, std::memory_order_seq_cst,
                                                           std::memory_order_relaxed),
                       1)) {
    VELKOR_MUTEX_STEP(MutexStep::kReleaseFreed);
    // A debt this release must pay was owed before the freeing that our
    // taking of the word saw, so even a relaxed load would find it; seq_cst
    // is a plain load on x86.
    if (__builtin_expect(mutex->wakeOwed.load(std::memory_order_seq_cst) != 0, 0)) {
      FutexPayOwedWake(mutex);
    }
  } else {
    FutexReleaseContended(mutex);
  }
  VELKOR_MUTEX_STEP(MutexStep::kReleaseWoken);
}

// Whether the calling thread owns the mutex; whether another thread holds it.
// Relaxed, as in FutexAcquire.
inline bool FutexOwnedByCaller(const FutexMutex* mutex) {
  return mutex->owner.load(std::memory_order_relaxed) == CurrentFutexThread()->serial;
}
bool FutexHeldByOtherThread(const FutexMutex* mutex);
// Gives back every level of the calling thread's ownership, if it owns it.
void FutexReleaseAll(FutexMutex* mutex);

// A free mutex of our own, owned by nobody.
// Relaxed: nobody else sees the mutex yet; whatever shares it publishes it.
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

#endif  // VELKORTHREAD_PLATFORM_LINUX_FUTEX_FUTEX_MUTEX_H
