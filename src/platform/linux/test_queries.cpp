// SPDX-License-Identifier: MIT
// The Linux layer's answers to the test suites (test_queries.h), and the
// count of live references behind OpenHandleCount.
#include "platform/linux/test_queries.h"

#include <atomic>

#include "platform/linux/objects/mutex_memory.h"

namespace velkor {
namespace kernel {
namespace linux_layer {
namespace {

std::atomic<long> liveReferences{0};

}  // namespace

void CountReferences(long delta) { liveReferences.fetch_add(delta, std::memory_order_relaxed); }

bool MutexIsOwnFutex(Handle mutex) { return static_cast<MutexObject*>(mutex)->ownFutex; }

void* MutexRobustEntry(Handle mutex) {
  MutexObject* object = static_cast<MutexObject*>(mutex);
#if defined(__GLIBC__) && defined(__PTHREAD_MUTEX_HAVE_PREV) && __PTHREAD_MUTEX_HAVE_PREV
  if (!object->ownFutex) {
    return &object->pthread.__data.__list.__next;
  }
#endif
  return &object->futex.next;
}

}  // namespace linux_layer

// A closed mutex counts only while a thread holds it: one let go of is as
// good as freed (its holder's end frees it). Orphans are counted and collected
// under the bookkeeping lock, so the two never miscount.
std::size_t OpenHandleCount() {
  linux_layer::DeferTermination defer;
  linux_layer::BookkeepingLock lock;
  long live = linux_layer::liveReferences.load(std::memory_order_relaxed) -
              linux_layer::OrphanMutexesLetGo();
  return static_cast<std::size_t>(live);
}

}  // namespace kernel
}  // namespace velkor
