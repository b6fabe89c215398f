// SPDX-License-Identifier: MIT
// Abandonment past the kernel's reach: the kernel's walk of a dying thread's
// robust list, done by the thread itself where the kernel would stop short.
// Windows has no such limit. The layer above calls it wherever it sees a
// thread end: a kill, and every other end of a thread that has acquired one
// of our mutexes (objects/thread_end.cpp). A shorter list is left to the
// kernel.
#include <linux/futex.h>

#include <atomic>
#include <cstdint>

#include "platform/linux/futex/futex_mutex.h"

namespace velkor {
namespace kernel {
namespace linux_layer {
namespace {

// How many entries the kernel walks at a thread's death (ROBUST_LIST_LIMIT,
// the same in every kernel that has robust lists).
constexpr int kKernelWalkLimit = 2048;

bool PastKernelWalk(RobustListHead* head) {
  void* entry = head->list;
  for (int walked = 0; entry != head; ++walked) {
    if (walked == kKernelWalkLimit) {
      return true;
    }
    entry = NodeOf(entry)[0];
  }
  return false;
}

FutexWord* WordOf(void** node, long futexOffset) {
  return reinterpret_cast<FutexWord*>(reinterpret_cast<char*>(node) + futexOffset);
}

// What the kernel does for a listed word of a dying thread: a word that still
// names the thread becomes free with FUTEX_OWNER_DIED, keeping FUTEX_WAITERS,
// and one waiter is woken; any other word is left alone. The next owner of
// either kind of mutex takes it as the kernel's abandonment.
void AbandonWord(FutexWord* word, std::uint32_t tid) {
  // Relaxed: a guess that the compare-exchange settles.
  std::uint32_t value = word->load(std::memory_order_relaxed);
  while ((value & FUTEX_TID_MASK) == tid) {
    const std::uint32_t abandoned = (value & FUTEX_WAITERS) | FUTEX_OWNER_DIED;
    // Release, and in the same total order as a release's: what the thread
    // wrote while it held the mutex is its next owner's to read.
    if (word->compare_exchange_weak(value, abandoned, std::memory_order_seq_cst,
                                    std::memory_order_relaxed)) {
      if ((value & FUTEX_WAITERS) != 0) {
        FutexWakeOneShared(word);
      }
      return;
    }
  }
}

// Abandons every listed mutex but two kinds, which stay listed for the
// kernel: the one of the operation in progress (list_op_pending, which the
// kernel handles apart from the list, and which a kill may have cut short
// anywhere), and the C library's priority-inheritance mutexes (low bit set),
// whose ownership the kernel keeps itself. The list is walked forward only,
// which is consistent at every step of a link or unlink (futex_mutex.h).
//
// Each abandoned node is linked to itself before its word is freed, while
// it is still ours: a late unlink of it, by a release this thread still
// makes after its end began, then touches only the node itself. What such a
// thread still runs (destructors of thread-specific values after the
// layer's) no longer holds these mutexes; and on 32-bit x86 the C library's
// unlink of a robust mutex searches its list, so such a late release of one
// of the pthread kind waits for good. Both only past the kernel's limit,
// where the kernel alone would have left every one held for good.
void AbandonListed(RobustListHead* head, std::uint32_t tid) {
  const bool havePrev = ListNodesHavePrev();
  void** const pending = head->listOpPending != nullptr ? NodeOf(head->listOpPending) : nullptr;
  void** link = &head->list;  // the forward field of the last entry kept
  void* entry = head->list;
  while (entry != head) {
    void** node = NodeOf(entry);
    void* next = node[0];
    if (node != entry || node == pending) {
      StoreListField(link, entry);
      if (havePrev) {
        StoreListField(&node[-1], link);
      }
      link = node;
    } else {
      if (havePrev) {
        StoreListField(&node[-1], node);
      }
      StoreListField(&node[0], node);
      AbandonWord(WordOf(node, head->futexOffset), tid);
    }
    entry = next;
  }
  StoreListField(link, head);
  if (havePrev) {
    StoreListField(&NodeOf(head)[-1], link);
  }
}

}  // namespace

void AbandonHeldMutexes() noexcept {
  RobustListHead* head = RegisteredList();
  if (head == nullptr || !PastKernelWalk(head)) {
    return;
  }
  AbandonListed(head, KernelThreadId());
  RenewFutexThreadSerial();
}

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
