// SPDX-License-Identifier: MIT
// DRD's client requests (see valgrind_tools.h). DRD models our mutexes
// as writer-locked reader-writer locks and refuses recursive write-locking:
// it hears only the outermost acquisition and release.
#include "platform/linux/valgrind_tools.h"

#if __has_include(<valgrind/drd.h>)
#include <valgrind/drd.h>
#define VELKOR_HAVE_DRD 1
#endif

namespace velkor {
namespace kernel {
namespace linux_layer {
namespace drd {

#if defined(VELKOR_HAVE_DRD)

// DRD numbers the threads from 1; outside DRD the request answers 0.
bool Watching() { return RUNNING_ON_VALGRIND && DRD_GET_VALGRIND_THREADID != 0; }

void MutexCreated(const void* mutex) { ANNOTATE_RWLOCK_CREATE(mutex); }
void MutexDestroyed(const void* mutex) { ANNOTATE_RWLOCK_DESTROY(mutex); }
void BeforeLock(const void*, bool) {}
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
void AfterUnlock(const void*, bool) {}
void HappensBefore(const void* tag) { ANNOTATE_HAPPENS_BEFORE(tag); }
void HappensAfter(const void* tag) { ANNOTATE_HAPPENS_AFTER(tag); }
void Hide(const void* address, std::size_t size) { ANNOTATE_BENIGN_RACE_SIZED(address, size, ""); }
void Show(const void* address, std::size_t size) {
  VALGRIND_DO_CLIENT_REQUEST_STMT(VG_USERREQ__DRD_FINISH_SUPPRESSION, address, size, 0, 0, 0);
}

#else

bool Watching() { return false; }
void MutexCreated(const void*) {}
void MutexDestroyed(const void*) {}
void BeforeLock(const void*, bool) {}
void AfterLock(const void*, bool) {}
void BeforeUnlock(const void*, bool) {}
void AfterUnlock(const void*, bool) {}
void HappensBefore(const void*) {}
void HappensAfter(const void*) {}
void Hide(const void*, std::size_t) {}
void Show(const void*, std::size_t) {}

#endif

}  // namespace drd
}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
