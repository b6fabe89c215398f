// SPDX-License-Identifier: MIT
// The futex paths of a watched mutex: its acquisitions and releases, each
// with its announcements, and the releases of what a thread still holds when
// it ends (see detector_tool.h).
#include <cstddef>
#include <cstdint>

#include "platform/linux/detectors/detector_tool.h"

namespace velkor {
namespace kernel {
namespace linux_layer {
namespace {

constexpr std::uint32_t kWatchedMark = 0x57415443;  // never a spin count

// The outermost acquisition a thread has announced as begun and not yet as
// done: a kill in between must not lose (or repeat) its end.
__thread FutexMutex* pendingLock __attribute__((tls_model("initial-exec")));

// Every level the calling thread holds, as released, without releasing: for
// a thread about to end, whose mutexes the kernel frees.
void AnnounceAbandoned(FutexMutex* mutex) {
  const DetectorTool& tool = *WatchingTool();
  for (std::uint32_t level = mutex->depth; level > 0; --level) {
    tool.beforeUnlock(mutex, level == 1);
    tool.afterUnlock(mutex, level == 1);
  }
}

FutexMutex* MutexOfEntry(void* entry) {
  return reinterpret_cast<FutexMutex*>(reinterpret_cast<char*>(NodeOf(entry)) -
                                       offsetof(FutexMutex, next));
}

// A wait that the thread's end cut short: ThreadSanitizer must leave the
// section it entered when the acquisition began, or it fails the thread's end
// (the other tools need no word of it).
void AnnounceWaitCutShort() {
  FutexMutex* pending = pendingLock;
  if (pending != nullptr && !FutexOwnedByCaller(pending)) {
    thread_sanitizer::AcquisitionCutShort(pending);
  }
}

}  // namespace

void WatchFutex(FutexMutex* mutex) {
  mutex->watchMark = kWatchedMark;
  WatchingTool()->mutexCreated(mutex);
}

void UnwatchFutex(FutexMutex* mutex) {
  mutex->watchMark = 0;
  WatchingTool()->mutexDestroyed(mutex);
}

// Only the outermost acquisition can block, and a kill must be able to end a
// thread that waits there; every other step runs in a deferred section, and
// pendingLock covers the moment between the wait and that section.
void WatchedFutexAcquire(FutexMutex* mutex) {
  ArrangeEndAnnouncement();
  const DetectorTool& tool = *WatchingTool();
  if (FutexOwnedByCaller(mutex)) {
    DeferTermination defer;
    tool.beforeLock(mutex, false);
    FutexAcquire(mutex);
    tool.afterLock(mutex, false);
    return;
  }
  {
    DeferTermination defer;
    tool.beforeLock(mutex, true);
    pendingLock = mutex;
  }
  FutexAcquire(mutex);
  DeferTermination defer;
  tool.afterLock(mutex, true);
  pendingLock = nullptr;
}

// A release by a thread that does not own the mutex changes nothing, and is
// not announced either.
void WatchedFutexRelease(FutexMutex* mutex) {
  DeferTermination defer;
  if (!FutexOwnedByCaller(mutex)) {
    return;
  }
  const DetectorTool& tool = *WatchingTool();
  bool outermost = mutex->depth == 1;
  tool.beforeUnlock(mutex, outermost);
  FutexRelease(mutex);
  tool.afterUnlock(mutex, outermost);
}

void WatchedFutexReleaseAll(FutexMutex* mutex) {
  DeferTermination defer;
  if (!FutexOwnedByCaller(mutex)) {
    return;
  }
  AnnounceAbandoned(mutex);
  FutexReleaseAll(mutex);
}

// Walks the thread's robust list, where every mutex it holds is linked; the
// mark tells our watched mutexes from the C library's nodes, whose field at
// that place robust mutexes leave zero.
void AnnounceWatchedMutexesHeldAtEnd() {
  const FutexThread* self = &futexThread;
  if (self->head == nullptr) {
    return;
  }
  AnnounceWaitCutShort();
  void* end = self->head;
  int bound = 1 << 16;  // a list that does not come back is not walked forever
  for (void* entry = self->head->list; entry != end && entry != nullptr && bound > 0;
       entry = NodeOf(entry)[0], --bound) {
    FutexMutex* mutex = MutexOfEntry(entry);
    if (mutex->watchMark != kWatchedMark || !FutexOwnedByCaller(mutex)) {
      continue;
    }
    if (mutex == pendingLock) {
      WatchingTool()->afterLock(mutex, true);
    }
    AnnounceAbandoned(mutex);
  }
  pendingLock = nullptr;
}

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
