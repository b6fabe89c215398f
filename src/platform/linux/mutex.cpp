// SPDX-License-Identifier: MIT
// Mutex objects on Linux: our own robust futex each, or a robust, recursive
// pthread mutex where the C library's robust lists are not what the futexes
// rely on.
//
// A mutex's life: created, in the memory of a spare if there is one; its last
// handle closed (DestroyMutex), it is freed at once, to the spares (our
// futexes) or the heap (pthread kind), unless another thread holds it: then it
// is an orphan until CollectOrphanMutexes finds it let go of.
#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <new>

#include "platform/linux/abandonment.h"
#include "platform/linux/detectors.h"
#include "platform/linux/fork_handlers.h"
#include "platform/linux/internal.h"

namespace velkor {
namespace kernel {

namespace {

bool InitPthreadMutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attributes;
  int error = pthread_mutexattr_init(&attributes);
  if (error == 0) {
    error = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    if (error == 0) {
      error = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    }
    if (error == 0) {
      error = pthread_mutex_init(mutex, &attributes);
    }
    pthread_mutexattr_destroy(&attributes);  // cannot fail for an initialised one
  }
  return error == 0;
}

}  // namespace

namespace linux_layer {
namespace {

// Where the C library says who owns a mutex, asks it; elsewhere lets the
// unlock itself answer (EPERM).
bool OwnsPthreadMutex(pthread_mutex_t* mutex) {
#if defined(__GLIBC__)
  return mutex->__data.__owner == static_cast<int>(syscall(SYS_gettid));
#else
  (void)mutex;
  return true;
#endif
}

}  // namespace
}  // namespace linux_layer

Handle SystemMutexCreate() {
  if (!linux_layer::ForkHandlersInstalled()) {
    return nullptr;  // a child could inherit the bookkeeping lock held
  }
  linux_layer::DeferTermination defer;
  linux_layer::CollectOrphanMutexes();
  bool ownFutex = linux_layer::OwnFutexesUsable();
  linux_layer::MutexObject* object = ownFutex ? linux_layer::TakeSpareMutex() : nullptr;
  if (object == nullptr) {
    object = new (std::nothrow) linux_layer::MutexObject;
  }
  if (object == nullptr) {
    return nullptr;
  }
  object->ownFutex = ownFutex;
  object->watched = linux_layer::WatchingDetector() != linux_layer::Detector::kNone;
  object->inlinePath = ownFutex && !object->watched;
  // Hidden before the pthread kind's initialisation: Helgrind forgets the
  // locks of a range it is told to stop checking.
  if (object->watched) {
    linux_layer::HideFromDetector(object, sizeof *object);
  }
  if (object->ownFutex) {
    linux_layer::FutexInit(&object->futex);
  } else if (!InitPthreadMutex(&object->pthread)) {
    if (object->watched) {
      linux_layer::ShowToDetector(object, sizeof *object);
    }
    delete object;
    return nullptr;
  }
  // The pthread kind is announced by the detectors' own interception of the
  // pthread calls.
  if (object->watched && object->ownFutex) {
    linux_layer::WatchMutex(&object->futex);
  }
  object->header.references.store(1, std::memory_order_relaxed);
  object->header.kind = linux_layer::ObjectKind::kMutex;
  object->nextOrphan = nullptr;
  object->nextSpare = nullptr;
  linux_layer::CountReferences(1);
  return object;
}

namespace linux_layer {

void MutexAcquireOther(MutexObject* object) {
  if (object->ownFutex) {
    WatchedFutexAcquire(&object->futex);
    return;
  }
  AbandonHeldMutexesAtEnd();
  if (object->watched) {
    WatchEndOfThread();
  }
  // EOWNERDEAD: the previous owner ended holding the mutex. The caller owns
  // it now, once, which is an acquisition like any other.
  if (pthread_mutex_lock(&object->pthread) == EOWNERDEAD) {
    // Cannot fail: the mutex is robust, and inconsistent until this call.
    pthread_mutex_consistent(&object->pthread);
    if (object->watched) {
      AnnounceHappensAfter(ThreadEndsTag());
    }
  }
}

// A race detector reports the failed unlock of a thread that does not own the
// mutex: under one, it is not even tried.
void MutexReleaseOther(MutexObject* object) {
  if (object->ownFutex) {
    WatchedFutexRelease(&object->futex);
    return;
  }
  if (!object->watched || OwnsPthreadMutex(&object->pthread)) {
    // Fails with EPERM for a caller that does not own the mutex, changing
    // nothing: exactly what a release by a non-owner must do.
    (void)pthread_mutex_unlock(&object->pthread);
  }
}

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

namespace {

// Closed mutexes that some other thread still held, linked by nextOrphan: each
// holds a live reference until CollectOrphanMutexes frees it (OpenHandleCount
// leaves out those that nobody holds any more). Guarded by the bookkeeping
// lock; orphanCount lets the common case skip the lock.
MutexObject* orphans = nullptr;
std::atomic<long> orphanCount{0};

// The memory of our own futex mutexes is never given back. A releaser may
// still touch the mutex for a moment after the word is free (its wake and the
// wake it owes), and so may the kernel for a releaser that dies in that
// moment (list_op_pending): meanwhile another thread may take the mutex,
// release it and close its last handle. Kept for the next mutex, the memory
// always holds a mutex of the same layout, where such late touches are
// harmless. Linked by nextSpare, guarded by the bookkeeping lock.
MutexObject* spares = nullptr;

// A robust mutex that a thread holds is linked into that thread's robust list,
// through the mutex's own memory: freeing it then would let the C library and
// the kernel write into freed memory. Returns true once the mutex is free and
// linked nowhere, so that it can be destroyed.
bool DetachFromOwner(MutexObject* object) {
  if (object->ownFutex) {
    if (FutexHeldByOtherThread(&object->futex)) {
      return false;
    }
    if (object->watched) {
      WatchedFutexReleaseAll(&object->futex);
    } else {
      FutexReleaseAll(&object->futex);
    }
    return true;
  }
  int error = pthread_mutex_trylock(&object->pthread);
  if (error == EOWNERDEAD) {
    pthread_mutex_consistent(&object->pthread);  // as in MutexAcquireOther
    error = 0;
  }
  if (error == EBUSY) {
    return false;  // another thread owns it
  }
  if (error == 0 || error == EAGAIN) {
    // We own it now, perhaps already did, at any depth: give all of it back.
    while (OwnsPthreadMutex(&object->pthread) && pthread_mutex_unlock(&object->pthread) == 0) {
    }
  }
  return true;
}

void FreeMutex(MutexObject* object) {
  if (object->ownFutex) {
    if (object->watched) {
      UnwatchMutex(&object->futex);
    }
    BookkeepingLock lock;
    object->nextSpare = spares;
    spares = object;
    return;
  }
  // Cannot fail: the mutex is free and linked nowhere (DetachFromOwner).
  pthread_mutex_destroy(&object->pthread);
  if (object->watched) {
    ShowToDetector(object, sizeof *object);
  }
  delete object;
}

}  // namespace

MutexObject* TakeSpareMutex() {
  BookkeepingLock lock;
  MutexObject* object = spares;
  if (object != nullptr) {
    spares = object->nextSpare;
  }
  return object;
}

// On Windows, closing the last handle of a mutex that a thread holds destroys
// it all the same; here it stays alive, unreachable, until its owner lets it
// go or ends.
void DestroyMutex(MutexObject* object) {
  if (DetachFromOwner(object)) {
    FreeMutex(object);
    return;
  }
  BookkeepingLock lock;
  object->nextOrphan = orphans;
  orphans = object;
  orphanCount.fetch_add(1, std::memory_order_relaxed);
  CountReferences(1);
}

namespace {

// Read-only, unlike DetachFromOwner: whether any thread holds the mutex now.
// The kernel takes a dead holder's id out of the word, ours or the C
// library's.
bool HeldByAnyThread(MutexObject* object) {
  if (object->ownFutex) {
    return (object->futex.word.load(std::memory_order_acquire) & FUTEX_TID_MASK) != 0;
  }
#if defined(__GLIBC__)
  return (__atomic_load_n(&object->pthread.__data.__lock, __ATOMIC_ACQUIRE) & FUTEX_TID_MASK) != 0;
#else
  return true;  // counted until collected
#endif
}

}  // namespace

long OrphanMutexesLetGo() {
  long letGo = 0;
  for (MutexObject* object = orphans; object != nullptr; object = object->nextOrphan) {
    if (!HeldByAnyThread(object)) {
      ++letGo;
    }
  }
  return letGo;
}

void CollectOrphanMutexes() {
  if (orphanCount.load(std::memory_order_relaxed) == 0) {
    return;
  }
  MutexObject* detached = nullptr;
  {
    BookkeepingLock lock;
    MutexObject** link = &orphans;
    while (*link != nullptr) {
      MutexObject* object = *link;
      if (DetachFromOwner(object)) {
        *link = object->nextOrphan;
        object->nextOrphan = detached;
        detached = object;
        orphanCount.fetch_sub(1, std::memory_order_relaxed);
        CountReferences(-1);
      } else {
        link = &object->nextOrphan;
      }
    }
  }
  while (detached != nullptr) {
    MutexObject* next = detached->nextOrphan;
    FreeMutex(detached);
    detached = next;
  }
}

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
