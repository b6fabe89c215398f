// SPDX-License-Identifier: MIT
// The kernel's robust list, as our futex mutexes use it.
//
// When a thread ends by any path (its routine returning, the raw exit of a
// kill, the end of a thread the layer did not create), the kernel walks the
// list that the thread registered and, for every futex word in it that still
// names the thread, clears the id, sets FUTEX_OWNER_DIED and wakes a waiter;
// it does the same for the word of `listOpPending`, the operation the thread
// was in the middle of. That is what abandons our mutexes, exactly as it
// abandons the C library's robust ones.
//
// We share the list that the C library registered for the thread. Our nodes
// have the layout of its robust mutexes (a `prev` field just before `next`,
// the word at the same distance from `next`), so that the C library, which
// unlinks its own mutexes from the same list in any order, keeps our
// neighbours' links right. That layout, the list's futex offset and its `prev`
// convention are the C library's internals: robust_list.cpp checks them at
// first use, and the layer falls back to robust pthread mutexes if anything
// differs.
#ifndef VELKORTHREAD_PLATFORM_LINUX_ROBUST_LIST_H
#define VELKORTHREAD_PLATFORM_LINUX_ROBUST_LIST_H

#include <atomic>
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

// What a thread needs for the fast paths, set by its first acquisition.
struct FutexThread {
  RobustListHead* head;  // null until the thread's first acquisition
  std::uint32_t tid;     // the kernel's id of the thread
  // Never reused, unlike `tid`: a new thread may get the kernel id of a dead
  // owner. kNotStarted until the first acquisition.
  std::uint64_t id;
};

// Never the id of an owner, so a thread that has not started owns nothing.
constexpr std::uint64_t kNotStarted = ~std::uint64_t{0};

extern __thread FutexThread futexThread __attribute__((tls_model("initial-exec")));

// Registers the calling thread: finds its list (or gives it one of our own)
// and its ids. Called again, with `head` null, by a thread whose end has
// begun (abandonment.cpp).
void FutexThreadStart(FutexThread* self) noexcept;

// Whether our own futex mutexes may be used in this process: the C library's
// list has the layout above and the kernel is recent enough. Checked once,
// inside a deferred section: the check links a node of its own for a moment,
// which a kill must not interrupt.
bool OwnFutexesUsable();

// In a child of fork, which is a thread of its own: it owns none of the
// mutexes its original held (the C library empties the child's list), and
// its kernel id is new.
void RenewFutexThreadAfterFork();

// A thread whose mutexes the layer has abandoned (abandonment.h) owns none of
// them any more: a release it still makes must find no owner of its id.
void RenewFutexThreadId() noexcept;

// The robust list registered for the calling thread, or null.
RobustListHead* RegisteredList() noexcept;

// The calling thread's kernel id.
std::uint32_t KernelThreadId() noexcept;

// Whether the nodes of this process's robust lists have a `prev` just before
// `next` (the C library's layout on most processors, and always ours).
bool ListNodesHavePrev() noexcept;

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
  entry[-1] = head;
  entry[0] = first;
  NodeOf(first)[-1] = entry;
  DeathFence();
  head->list = entry;
}

// The forward link is written in one store, so the kernel never walks a
// broken list.
inline void UnlinkHeld(void** entry) {
  void* next = entry[0];
  void* prev = entry[-1];
  NodeOf(next)[-1] = prev;
  NodeOf(prev)[0] = next;
}

// A window in which a death would otherwise lose the mutex at `entry` (a word
// taken but not yet linked, a node unlinked but its word not yet released, a
// word released but its waiter not yet woken): the kernel handles the
// pending entry at the thread's end as it handles the listed ones.
class PendingOperation {
 public:
  // A plain store, as the kernel reads it; a thread that reads it as a hazard
  // (reclamation.cpp) needs no more, since the word's release comes after.
  PendingOperation(RobustListHead* head, void** entry) : head_(head) {
    head->listOpPending = entry;
    DeathFence();
  }
  // A release: the field is also the hazard that keeps the mutex's memory
  // (reclamation.cpp), so every touch of the mutex comes before it is cleared.
  ~PendingOperation() {
    DeathFence();
    __atomic_store_n(&head_->listOpPending, nullptr, __ATOMIC_RELEASE);
  }
  PendingOperation(const PendingOperation&) = delete;
  PendingOperation& operator=(const PendingOperation&) = delete;

 private:
  RobustListHead* head_;
};

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_LINUX_ROBUST_LIST_H
