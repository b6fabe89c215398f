// SPDX-License-Identifier: MIT
// Handles on Linux: counted references to the layer's objects.
#include <atomic>

#include "platform/kernel.h"
#include "platform/linux/objects/mutex_memory.h"

namespace velkor {
namespace kernel {
namespace linux_layer {

#if defined(VELKOR_KERNEL_TEST_HOOKS)
namespace {

std::atomic<long> liveReferences{0};

}  // namespace

void CountReferences(long delta) { liveReferences.fetch_add(delta, std::memory_order_relaxed); }
#endif

void ReleaseObject(ObjectHeader* object) {
  // The last reference needs no read-modify-write: nobody else can count one
  // more (that takes a reference of one's own), and the acquire orders what
  // earlier releasers did before the object goes.
  if (object->references.load(std::memory_order_acquire) != 1 &&
      object->references.fetch_sub(1, std::memory_order_acq_rel) != 1) {
    return;
  }
  if (object->kind == ObjectKind::kMutex) {
    DestroyMutex(reinterpret_cast<MutexObject*>(object));
  } else {
    ThreadObject* thread = reinterpret_cast<ThreadObject*>(object);
    detector::ThreadFreed(thread);
    delete thread;
  }
}

}  // namespace linux_layer

void HandleClose(Handle object) {
  if (object == nullptr) {
    return;
  }
  linux_layer::DeferTermination defer;
  linux_layer::CountReferences(-1);
  linux_layer::ReleaseObject(static_cast<linux_layer::ObjectHeader*>(object));
}

// The copy is the same pointer, one more reference: it stays valid until it
// is closed, whatever happens to the other handles.
Handle HandleDuplicate(Handle object) {
  if (object == nullptr) {
    return nullptr;
  }
  linux_layer::DeferTermination defer;
  static_cast<linux_layer::ObjectHeader*>(object)->references.fetch_add(1,
                                                                        std::memory_order_relaxed);
  linux_layer::CountReferences(1);
  return object;
}

#if defined(VELKOR_KERNEL_TEST_HOOKS)
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
#endif

}  // namespace kernel
}  // namespace velkor
