// SPDX-License-Identifier: MIT
// Mutex objects on Linux: our own robust futex each, or a robust, recursive
// pthread mutex where the C library's robust lists are not what the futexes
// rely on.
//
// A mutex's life: created; its last handle closed (DestroyMutex), it is freed
// at once (our futexes once no thread can touch them, reclamation.cpp), unless
// another thread holds it: then it is an orphan until its holder's end
// (CollectOrphansHeldBy).
#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <new>

#include "platform/kernel.h"
#include "platform/linux/objects/mutex_memory.h"

namespace velkor {
namespace kernel {
namespace linux_layer {
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

// What every creation asks, answered once per process and kept per thread,
// where reading it needs no guard that another thread could race with.
struct CreationFacts {
  bool known;
  bool forkHandlers;  // without them a child could inherit the bookkeeping lock held
  bool ownFutex;
  bool watched;
};
__thread CreationFacts creationFacts __attribute__((tls_model("initial-exec")));

const CreationFacts& Facts() {
  CreationFacts& facts = creationFacts;
  if (__builtin_expect(!facts.known, 0)) {
    facts.forkHandlers = ForkHandlersInstalled();
    facts.ownFutex = facts.forkHandlers && OwnFutexesUsable();
    if (facts.ownFutex) {
      SetRegistrationHook(ArrangeThreadEnd);  // before this thread's first futex of ours
    }
    facts.watched = detector::Watching();
    facts.known = true;
  }
  return facts;
}

}  // namespace
}  // namespace linux_layer

Handle SystemMutexCreate() {
  // The first use's check of the robust lists must not be cut short either.
  linux_layer::DeferTermination defer;
  const linux_layer::CreationFacts& facts = linux_layer::Facts();
  if (!facts.forkHandlers) {
    return nullptr;
  }
  const bool ownFutex = facts.ownFutex;
  linux_layer::MutexObject* object =
      ownFutex ? linux_layer::NewFutexMutexObject() : new (std::nothrow) linux_layer::MutexObject;
  if (object == nullptr) {
    return nullptr;
  }
  object->ownFutex = ownFutex;
  object->watched = facts.watched;
  object->inlinePath = ownFutex && !object->watched;
  if (ownFutex) {
    linux_layer::FutexInit(&object->futex);
  }
  if (object->watched) {
    linux_layer::detector::MutexCreated(object);
  }
  if (!ownFutex && !linux_layer::InitPthreadMutex(&object->pthread)) {
    linux_layer::DeleteMutexObject(object);
    return nullptr;
  }
  object->header.references.store(1, std::memory_order_relaxed);
  object->header.kind = linux_layer::ObjectKind::kMutex;
  object->nextOrphan = nullptr;
  object->nextRetired = nullptr;
  linux_layer::CountReferences(1);
  return object;
}

namespace linux_layer {

void MutexAcquireOther(MutexObject* object) {
  if (object->watched) {
    detector::Acquire(object);
    return;
  }
  PthreadMutexAcquire(object);
}

void MutexReleaseOther(MutexObject* object) {
  if (object->watched) {
    detector::Release(object);
    return;
  }
  PthreadMutexRelease(object);
}

bool PthreadMutexAcquire(MutexObject* object) {
  ArrangeThreadEnd();
  // EOWNERDEAD: the previous owner ended holding the mutex. The caller owns
  // it now, once, which is an acquisition like any other.
  if (pthread_mutex_lock(&object->pthread) != EOWNERDEAD) {
    return false;
  }
  // Cannot fail: the mutex is robust, and inconsistent until this call.
  pthread_mutex_consistent(&object->pthread);
  return true;
}

void PthreadMutexRelease(MutexObject* object) {
  // Fails with EPERM for a caller that does not own the mutex, changing
  // nothing: exactly what a release by a non-owner must do.
  (void)pthread_mutex_unlock(&object->pthread);
}

bool OwnsPthreadMutex(MutexObject* object) {
#if defined(__GLIBC__)
  return object->pthread.__data.__owner == static_cast<int>(syscall(SYS_gettid));
#else
  (void)object;
  return true;
#endif
}

void DeleteMutexObject(MutexObject* object) {
  if (object->watched) {
    detector::MutexFreed(object);
  }
  delete object;
}

namespace {

// Closed mutexes that some other thread still held, linked by nextOrphan into
// a list per holder, as the word names it: each holds a live reference until
// its holder's end frees it (OpenHandleCount leaves out those that nobody
// holds any more). Nothing else walks them, so creation and close cost the
// same whatever the number of orphans. Guarded by the bookkeeping lock;
// orphanCount lets the common case skip the lock.
constexpr std::uint32_t kOrphanLists = 64;
MutexObject* orphans[kOrphanLists] = {};
std::atomic<long> orphanCount{0};

MutexObject** OrphansHeldBy(std::uint32_t tid) { return &orphans[tid % kOrphanLists]; }

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
      detector::ReleaseAll(object);
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
    while (OwnsPthreadMutex(object) && pthread_mutex_unlock(&object->pthread) == 0) {
    }
  }
  return true;
}

// Read-only, unlike DetachFromOwner: the kernel id of the thread that holds
// the mutex now, 0 if none. The kernel takes a dead holder's id out of the
// word, ours or the C library's.
std::uint32_t HolderTid(MutexObject* object) {
  if (object->ownFutex) {
    return object->futex.word.load(std::memory_order_acquire) & FUTEX_TID_MASK;
  }
#if defined(__GLIBC__)
  return static_cast<std::uint32_t>(
             __atomic_load_n(&object->pthread.__data.__lock, __ATOMIC_ACQUIRE)) &
         FUTEX_TID_MASK;
#else
  return ~std::uint32_t{0};  // counted until collected, with the orphans of no thread
#endif
}

void FreeMutex(MutexObject* object) {
  if (object->watched) {
    detector::MutexClosed(object);
  }
  if (object->ownFutex) {
    RetireMutex(object);
    return;
  }
  // Cannot fail: the mutex is free and linked nowhere (DetachFromOwner).
  pthread_mutex_destroy(&object->pthread);
  DeleteMutexObject(object);
}

}  // namespace

// On Windows, closing the last handle of a mutex that a thread holds destroys
// it all the same; here it stays alive, unreachable, until its holder ends.
void DestroyMutex(MutexObject* object) {
  while (!DetachFromOwner(object)) {
    BookkeepingLock lock;
    const std::uint32_t holder = HolderTid(object);
    if (holder != 0) {  // else let go of just now: detached in the next round
      MutexObject** list = OrphansHeldBy(holder);
      object->nextOrphan = *list;
      *list = object;
      orphanCount.fetch_add(1, std::memory_order_relaxed);
      CountReferences(1);
      return;
    }
  }
  FreeMutex(object);
}

#if defined(VELKOR_KERNEL_TEST_HOOKS)
long OrphanMutexesLetGo() {
  long letGo = 0;
  for (MutexObject* list : orphans) {
    for (MutexObject* object = list; object != nullptr; object = object->nextOrphan) {
      if (HolderTid(object) == 0) {
        ++letGo;
      }
    }
  }
  return letGo;
}
#endif

namespace {

// Takes out of `list` the orphans that can go (DetachFromOwner), and links
// them by nextOrphan into the list returned. Called with the bookkeeping lock.
MutexObject* DetachLetGo(MutexObject** list) {
  MutexObject* detached = nullptr;
  while (*list != nullptr) {
    MutexObject* object = *list;
    if (DetachFromOwner(object)) {
      *list = object->nextOrphan;
      object->nextOrphan = detached;
      detached = object;
      orphanCount.fetch_sub(1, std::memory_order_relaxed);
      CountReferences(-1);
    } else {
      list = &object->nextOrphan;
    }
  }
  return detached;
}

void FreeDetached(MutexObject* detached) {
  while (detached != nullptr) {
    MutexObject* next = detached->nextOrphan;
    FreeMutex(detached);
    detached = next;
  }
}

}  // namespace

void CollectOrphansHeldBy(std::uint32_t tid) {
  if (orphanCount.load(std::memory_order_relaxed) == 0) {
    return;
  }
  MutexObject* detached;
  {
    BookkeepingLock lock;
    detached = DetachLetGo(OrphansHeldBy(tid));
  }
  FreeDetached(detached);
}

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
