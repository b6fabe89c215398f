// SPDX-License-Identifier: MIT
// The kernel seam on Linux: Windows kernel objects emulated over robust futexes
// and pthreads. JMutex::Lock and Unlock are a flag test and one call, so
// acquisition and release stay inline here; everything else lives in the .cpp
// files beside this header. Internal to the library: never include it from a
// public header.
#ifndef VELKORTHREAD_PLATFORM_LINUX_KERNEL_LINUX_H
#define VELKORTHREAD_PLATFORM_LINUX_KERNEL_LINUX_H

#if !defined(__linux__)
#error "this layer relies on Linux robust futexes and thread ids"
#endif

#include <pthread.h>

#include <atomic>
#include <cstddef>

#include "platform/linux/futex_mutex.h"

namespace velkor {
namespace kernel {
namespace linux_layer {

enum class ObjectKind : unsigned { kMutex, kThread };

// A handle is a counted reference to an object that starts with this header;
// duplicating a handle counts one more reference to the same object.
struct ObjectHeader {
  std::atomic<long> references;
  ObjectKind kind;
};

// Each mutex is one of two kinds, chosen when it is created. The fast kind is
// our own robust futex (futex_mutex.h), used wherever the C library's
// robust list has the layout it relies on. The other is a robust, recursive
// pthread mutex: robust, because the kernel then frees the mutex of a thread
// that ends by any path (the raw exit of a terminated thread included) and
// reports it to the next owner as EOWNERDEAD; recursive, because an unlock by
// a thread that does not own such a mutex fails with EPERM and changes
// nothing. Either is linked into its owner's robust list while held, through
// the object's own memory.
struct MutexObject {
  ObjectHeader header;
  bool ownFutex;
  bool watched;     // a futex of ours announced to a race detector (detectors.h)
  bool inlinePath;  // ownFutex && !watched, tested alone on every call
  union {
    FutexMutex futex;         // ownFutex
    pthread_mutex_t pthread;  // !ownFutex
  };
  MutexObject* nextOrphan;   // link in the list of closed mutexes still held (mutex.cpp)
  MutexObject* nextRetired;  // link in a list of closed ones not yet freed (reclamation.cpp)
  MutexObject() {}
};

// The paths other than our own unwatched futex, kept out of line: the
// pthread kind and watched mutexes.
void MutexAcquireOther(MutexObject* object);
void MutexReleaseOther(MutexObject* object);

}  // namespace linux_layer

inline void MutexAcquire(Handle mutex) {
  linux_layer::MutexObject* object = static_cast<linux_layer::MutexObject*>(mutex);
  if (__builtin_expect(object->inlinePath, 1)) {
    linux_layer::FutexAcquire(&object->futex);
    return;
  }
  linux_layer::MutexAcquireOther(object);
}

inline void MutexRelease(Handle mutex) {
  linux_layer::MutexObject* object = static_cast<linux_layer::MutexObject*>(mutex);
  if (__builtin_expect(object->inlinePath, 1)) {
    linux_layer::FutexRelease(&object->futex);
    return;
  }
  linux_layer::MutexReleaseOther(object);
}

}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_LINUX_KERNEL_LINUX_H
