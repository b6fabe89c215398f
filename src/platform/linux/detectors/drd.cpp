// SPDX-License-Identifier: MIT
// DRD's client requests (see detector_tool.h). DRD models our mutexes as
// writer-locked reader-writer locks and refuses recursive write-locking: it
// hears only the outermost acquisition and release.
#include "platform/linux/detectors/detector_tool.h"

#if __has_include(<valgrind/drd.h>)
#include <valgrind/drd.h>
#define VELKOR_HAVE_DRD 1
#endif

namespace velkor {
namespace kernel {
namespace linux_layer {
namespace drd {

#if defined(VELKOR_HAVE_DRD)

namespace {

void MutexCreated(const void* mutex) { ANNOTATE_RWLOCK_CREATE(mutex); }
void MutexDestroyed(const void* mutex) { ANNOTATE_RWLOCK_DESTROY(mutex); }
// The lock is announced once taken, the unlock before it is given back.
void NotAnnounced(const void*, bool) {}
void AfterLock(const void* mutex, bool outermost) {
  if (outermost) {
    ANNOTATE_RWLOCK_ACQUIRED(mutex, 1);
  }
}
void BeforeUnlock(const void* mutex, bool outermost) {
  if (outermost) {
    ANNOTATE_RWLOCK_RELEASED(mutex, 1);
  }
}
void HappensBefore(const void* tag) { ANNOTATE_HAPPENS_BEFORE(tag); }
void HappensAfter(const void* tag) { ANNOTATE_HAPPENS_AFTER(tag); }
void Hide(const void* address, std::size_t size) { ANNOTATE_BENIGN_RACE_SIZED(address, size, ""); }
void Show(const void* address, std::size_t size) {
  VALGRIND_DO_CLIENT_REQUEST_STMT(VG_USERREQ__DRD_FINISH_SUPPRESSION, address, size, 0, 0, 0);
}

const DetectorTool kDrd = {MutexCreated, MutexDestroyed, NotAnnounced,  AfterLock,
                           BeforeUnlock, NotAnnounced,   HappensBefore, HappensAfter,
                           Hide,         Show,           true};

}  // namespace

// DRD numbers the threads from 1; outside DRD the request answers 0.
const DetectorTool* IfWatching() {
  bool watching = RUNNING_ON_VALGRIND && DRD_GET_VALGRIND_THREADID != 0;
  return watching ? &kDrd : nullptr;
}

#else

const DetectorTool* IfWatching() { return nullptr; }

#endif

}  // namespace drd
}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
