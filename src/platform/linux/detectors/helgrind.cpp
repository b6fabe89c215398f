// SPDX-License-Identifier: MIT
// Helgrind's client requests (see detector_tool.h). Helgrind knows recursive
// mutexes: it hears every level.
#include "platform/linux/detectors/detector_tool.h"

#if __has_include(<valgrind/helgrind.h>)
#include <valgrind/helgrind.h>
#define VELKOR_HAVE_HELGRIND 1
#endif

namespace velkor {
namespace kernel {
namespace linux_layer {
namespace helgrind {

#if defined(VELKOR_HAVE_HELGRIND)

namespace {

void MutexCreated(const void* mutex) { VALGRIND_HG_MUTEX_INIT_POST(mutex, 1); }
void MutexDestroyed(const void* mutex) { VALGRIND_HG_MUTEX_DESTROY_PRE(mutex); }
void BeforeLock(const void* mutex, bool) { VALGRIND_HG_MUTEX_LOCK_PRE(mutex, 0); }
void AfterLock(const void* mutex, bool) { VALGRIND_HG_MUTEX_LOCK_POST(mutex); }
void BeforeUnlock(const void* mutex, bool) { VALGRIND_HG_MUTEX_UNLOCK_PRE(mutex); }
void AfterUnlock(const void* mutex, bool) { VALGRIND_HG_MUTEX_UNLOCK_POST(mutex); }
void HappensBefore(const void* tag) { ANNOTATE_HAPPENS_BEFORE(tag); }
void HappensAfter(const void* tag) { ANNOTATE_HAPPENS_AFTER(tag); }
void Hide(const void* address, std::size_t size) { VALGRIND_HG_DISABLE_CHECKING(address, size); }
void Show(const void* address, std::size_t size) { VALGRIND_HG_ENABLE_CHECKING(address, size); }

const DetectorTool kHelgrind = {MutexCreated, MutexDestroyed, BeforeLock,    AfterLock,
                                BeforeUnlock, AfterUnlock,    HappensBefore, HappensAfter,
                                Hide,         Show,           true};

}  // namespace

// Only Helgrind counts the addressable bytes of a range; other tools give the
// request's default (-2), some of them truncated to 32 bits.
const DetectorTool* IfWatching() {
  char probe = 0;
  bool watching = RUNNING_ON_VALGRIND && VALGRIND_HG_GET_ABITS(&probe, nullptr, 1) == 1;
  return watching ? &kHelgrind : nullptr;
}

#else

const DetectorTool* IfWatching() { return nullptr; }

#endif

}  // namespace helgrind
}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
