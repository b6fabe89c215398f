// SPDX-License-Identifier: MIT
// The Linux layer's answers to the test suites (test_queries.h).
#include "platform/linux/test_queries.h"

namespace velkor {
namespace kernel {
namespace linux_layer {

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
}  // namespace kernel
}  // namespace velkor
