// SPDX-License-Identifier: MIT
// Handles on Linux: counted references to the layer's objects.
#include <atomic>

#include "posix/detectors_posix.h"
#include "posix/posix_internal.h"

namespace velkor {
namespace kernel {
namespace posix {
namespace {

std::atomic<long> liveReferences{0};

}  // namespace

void CountReferences(long delta) { liveReferences.fetch_add(delta, std::memory_order_relaxed); }

void ReleaseObject(ObjectHeader* object) {
  if (object->references.fetch_sub(1, std::memory_order_acq_rel) != 1) {
    return;
  }
  if (object->kind == ObjectKind::kMutex) {
    DestroyMutex(reinterpret_cast<MutexObject*>(object));
  } else {
    ShowToDetector(object, sizeof(ThreadObject));
    delete reinterpret_cast<ThreadObject*>(object);
  }
}

}  // namespace posix

void HandleClose(Handle object) {
  if (object == nullptr) {
    return;
  }
  posix::DeferTermination defer;
  posix::CountReferences(-1);
  posix::ReleaseObject(static_cast<posix::ObjectHeader*>(object));
}

// The copy is the same pointer, one more reference: it stays valid until it
// is closed, whatever happens to the other handles.
Handle HandleDuplicate(Handle object) {
  if (object == nullptr) {
    return nullptr;
  }
  posix::DeferTermination defer;
  static_cast<posix::ObjectHeader*>(object)->references.fetch_add(1, std::memory_order_relaxed);
  posix::CountReferences(1);
  return object;
}

std::size_t OpenHandleCount() {
  posix::CollectOrphanMutexes();
  return static_cast<std::size_t>(posix::liveReferences.load(std::memory_order_relaxed));
}

}  // namespace kernel
}  // namespace velkor
