// SPDX-License-Identifier: MIT
// The futex calls, the one place the layer makes the futex system call; the
// contended halves of our futex mutex, and the owed wake.
#include "platform/linux/futex/futex_mutex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace velkor {
namespace kernel {
namespace linux_layer {
namespace {

// Neither call's failure needs handling: a wait that fails (EAGAIN, the word
// already changed; EINTR) returns early, which every caller allows by
// rechecking its word, and a wake on a valid word of ours cannot fail.
long Futex(std::atomic<std::uint32_t>* word, int operation, std::uint32_t value) {
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), operation, value, nullptr,
                 nullptr, 0);
}

}  // namespace

void FutexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected) {
  Futex(word, FUTEX_WAIT_PRIVATE, expected);
}

void FutexWake(std::atomic<std::uint32_t>* word, int count) {
  Futex(word, FUTEX_WAKE_PRIVATE, static_cast<std::uint32_t>(count));
}

void FutexWaitShared(std::atomic<std::uint32_t>* word, std::uint32_t expected) {
  Futex(word, FUTEX_WAIT, expected);
}

long FutexWakeOneShared(std::atomic<std::uint32_t>* word) { return Futex(word, FUTEX_WAKE, 1); }

#if defined(VELKOR_KERNEL_TEST_HOOKS)
namespace testhooks {
void (*volatile mutexStep)(MutexStep step) = nullptr;
}
#endif

// The owed wake. A release that finds FUTEX_WAITERS owes a wake from before
// it frees the word until a waiter has taken the word back with
// FUTEX_WAITERS (that waiter's release wakes the next) or a wake has found a
// sleeper. Meanwhile every release that frees the word pays it: a death of
// the releaser after freeing, or of the woken waiter before it takes the
// word, then loses no sleeper, even if a third thread takes and releases the
// word meanwhile without ever sleeping. A wake that found nobody asleep
// settles the debt, so two threads taking turns cost no extra wake. (It could
// cancel the debt of a second release made in the same instant whose woken
// waiter then dies before taking the word: two deaths' worth of coincidence,
// which the kernel's own robust mutexes do not survive either.)
namespace {

void OweWake(FutexMutex* mutex) { mutex->wakeOwed.store(1, std::memory_order_relaxed); }

// A waiter took the word with FUTEX_WAITERS.
void WakeTakenOver(FutexMutex* mutex) {
  if (mutex->wakeOwed.load(std::memory_order_relaxed) != 0) {
    mutex->wakeOwed.store(0, std::memory_order_relaxed);
  }
}

// The wake of the release that owed it found nobody asleep.
void WakeFoundNobody(FutexMutex* mutex) {
  std::uint32_t owed = 1;
  mutex->wakeOwed.compare_exchange_strong(owed, 0, std::memory_order_relaxed);
}

}  // namespace

void FutexPayOwedWake(FutexMutex* mutex) noexcept {
  if (mutex->wakeOwed.exchange(0, std::memory_order_seq_cst) != 0) {
    FutexWakeOneShared(&mutex->word);
  }
}

// The word is taken by someone else, or free with FUTEX_OWNER_DIED. A thread
// that has slept takes the word with FUTEX_WAITERS, since others may still
// sleep: its release then wakes the next one.
void FutexAcquireContended(FutexMutex* mutex, const FutexThread* self) noexcept {
  std::uint32_t value = mutex->word.load(std::memory_order_relaxed);
  bool slept = false;
  for (;;) {
    if ((value & FUTEX_TID_MASK) == 0) {
      // Free, perhaps abandoned: taking it is an acquisition like any other.
      std::uint32_t waiters = (slept || (value & FUTEX_WAITERS) != 0) ? FUTEX_WAITERS : 0;
      if (mutex->word.compare_exchange_weak(value, self->tid | waiters, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
        if (waiters != 0) {
          WakeTakenOver(mutex);
        }
        return;
      }
      continue;
    }
    if ((value & FUTEX_WAITERS) == 0) {
      if (!mutex->word.compare_exchange_weak(value, value | FUTEX_WAITERS,
                                             std::memory_order_relaxed)) {
        continue;
      }
      value |= FUTEX_WAITERS;
    }
    VELKOR_MUTEX_STEP(MutexStep::kAcquireWaiting);
    FutexWaitShared(&mutex->word, value);
    VELKOR_MUTEX_STEP(MutexStep::kAcquireWoken);
    slept = true;
    value = mutex->word.load(std::memory_order_relaxed);
  }
}

// Someone sleeps: the wake is owed before the word is freed.
void FutexReleaseContended(FutexMutex* mutex) noexcept {
  OweWake(mutex);
  mutex->word.exchange(0, std::memory_order_seq_cst);
  VELKOR_MUTEX_STEP(MutexStep::kReleaseFreed);
  if (FutexWakeOneShared(&mutex->word) == 0) {
    WakeFoundNobody(mutex);
  }
}

bool FutexHeldByOtherThread(const FutexMutex* mutex) {
  return (mutex->word.load(std::memory_order_acquire) & FUTEX_TID_MASK) != 0 &&
         !FutexOwnedByCaller(mutex);
}

void FutexReleaseAll(FutexMutex* mutex) {
  if (FutexOwnedByCaller(mutex)) {
    mutex->depth = 1;
    FutexRelease(mutex);
  }
}

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
