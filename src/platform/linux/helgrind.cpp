// SPDX-License-Identifier: MIT
// Helgrind's client requests (see valgrind_tools.h). Helgrind knows
// recursive mutexes: it hears every level.
#include "platform/linux/valgrind_tools.h"

#if __has_include(<valgrind/helgrind.h>)
#include <valgrind/helgrind.h>
#define VELKOR_HAVE_HELGRIND 1
#endif

namespace velkor {
namespace kernel {
namespace linux_layer {
namespace helgrind {

#if defined(VELKOR_HAVE_HELGRIND)

// Only Helgrind counts the addressable bytes of a range; other tools give the
// request's default (-2), some of them truncated to 32 bits.
bool Watching() {
  char probe = 0;
  return RUNNING_ON_VALGRIND && VALGRIND_HG_GET_ABITS(&probe, nullptr, 1) == 1;
}

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

}  // namespace helgrind
}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
