// SPDX-License-Identifier: MIT
// The memory of our own futex mutexes, kept for later ones.
//
// It is never given back. A releaser may still touch a mutex for a moment
// after its word is free (its wake and the wake it owes), and so may the
// kernel for a releaser that dies in that moment (list_op_pending): meanwhile
// another thread may take the mutex, release it and close its last handle.
// Kept for the next mutex, the memory always holds a mutex of the same
// layout, where such late touches are harmless.
//
// Each thread keeps a few spares of its own, so that creating and closing
// mutexes takes no lock shared with other threads in the common case; past
// that, and at the thread's end, they go to the process's list under the
// bookkeeping lock. Both are linked by nextSpare.
#include <atomic>

#include "platform/linux/abandonment.h"
#include "platform/linux/internal.h"

namespace velkor {
namespace kernel {
namespace linux_layer {
namespace {

constexpr int kThreadSpares = 32;

// Touched only inside deferred sections and by the thread's end.
__thread MutexObject* threadSpares __attribute__((tls_model("initial-exec")));
__thread int threadSpareCount __attribute__((tls_model("initial-exec")));

MutexObject* processSpares = nullptr;  // guarded by the bookkeeping lock

// Spares of killed threads, pushed from the kill signal's handler, where no
// lock may be taken; taken back whole under the bookkeeping lock, so the push
// cannot suffer ABA.
std::atomic<MutexObject*> sparesOfKilledThreads{nullptr};

MutexObject* TakeProcessSpare() {
  BookkeepingLock lock;
  MutexObject* returned = sparesOfKilledThreads.exchange(nullptr, std::memory_order_acquire);
  while (returned != nullptr) {
    MutexObject* next = returned->nextSpare;
    returned->nextSpare = processSpares;
    processSpares = returned;
    returned = next;
  }
  MutexObject* object = processSpares;
  if (object != nullptr) {
    processSpares = object->nextSpare;
  }
  return object;
}

}  // namespace

MutexObject* TakeSpareMutex() {
  MutexObject* object = threadSpares;
  if (object == nullptr) {
    return TakeProcessSpare();
  }
  threadSpares = object->nextSpare;
  --threadSpareCount;
  return object;
}

void KeepSpareMutex(MutexObject* object) {
  if (threadSpareCount < kThreadSpares) {
    // A thread that ends by any path but a kill gives them back at its end.
    ArrangeThreadEnd();
    object->nextSpare = threadSpares;
    threadSpares = object;
    ++threadSpareCount;
    return;
  }
  BookkeepingLock lock;
  object->nextSpare = processSpares;
  processSpares = object;
}

void GiveBackThreadSpares() noexcept {
  MutexObject* first = threadSpares;
  if (first == nullptr) {
    return;
  }
  MutexObject* last = first;
  while (last->nextSpare != nullptr) {
    last = last->nextSpare;
  }
  threadSpares = nullptr;
  threadSpareCount = 0;
  MutexObject* head = sparesOfKilledThreads.load(std::memory_order_relaxed);
  do {
    last->nextSpare = head;
  } while (!sparesOfKilledThreads.compare_exchange_weak(head, first, std::memory_order_release,
                                                        std::memory_order_relaxed));
}

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
