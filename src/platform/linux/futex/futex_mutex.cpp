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

// The explorer's build has the simulated kernel's futex calls instead
// (platform/sim/futex_sim.cpp).
#if !defined(VELKOR_FUTEX_MODEL)
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

void FutexWaitShared(FutexWord* word, std::uint32_t expected) { Futex(word, FUTEX_WAIT, expected); }

long FutexWakeOneShared(FutexWord* word) { return Futex(word, FUTEX_WAKE, 1); }
#endif

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

// Relaxed: the freeing of the word that follows publishes it.
void OweWake(FutexMutex* mutex) { mutex->wakeOwed.store(1, std::memory_order_relaxed); }

// A waiter took the word with FUTEX_WAITERS. Relaxed: it holds the word, taken
// after the freeing that published the debt; the only other write meanwhile
// is a late WakeFoundNobody, which writes 0 too.
void WakeTakenOver(FutexMutex* mutex) {
  if (mutex->wakeOwed.load(std::memory_order_relaxed) != 0) {
    mutex->wakeOwed.store(0, std::memory_order_relaxed);
  }
}

// The wake of the release that owed it found nobody asleep. Relaxed: only the
// value counts, and the exchange settles only a debt it still finds.
void WakeFoundNobody(FutexMutex* mutex) {
  std::uint32_t owed = 1;
  mutex->wakeOwed.compare_exchange_strong(owed, 0, std::memory_order_relaxed);
}

}  // namespace

// An exchange, so that of two releases that see the debt one pays it; its
// value is all that counts (seq_cst: more than that needs, a locked
// instruction on x86 either way).
void FutexPayOwedWake(FutexMutex* mutex) noexcept {
  if (mutex->wakeOwed.exchange(0, std::memory_order_seq_cst) != 0) {
    FutexWakeOneShared(&mutex->word);
  }
}

// The word is taken by someone else, or free with FUTEX_OWNER_DIED. A thread
// that has slept takes the word with FUTEX_WAITERS, since others may still
// sleep: its release then wakes the next one.
// The loads and the setting of FUTEX_WAITERS are relaxed: each is a guess
// that a compare-exchange or the kernel's check of the word settles; only the
// taking of the word is an acquire.
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

// Someone sleeps: the wake is owed before the word is freed. The freeing is
// an exchange, as FUTEX_WAITERS may be set on it at any time, and seq_cst as
// every freeing (futex_mutex.h).
void FutexReleaseContended(FutexMutex* mutex) noexcept {
  OweWake(mutex);
  mutex->word.exchange(0, std::memory_order_seq_cst);
  VELKOR_MUTEX_STEP(MutexStep::kReleaseFreed);
  if (FutexWakeOneShared(&mutex->word) == 0) {
    WakeFoundNobody(mutex);
  }
}

// Acquire: a caller that finds the word free goes on to act on the mutex
// (closing it, say), after its last holder's writes.
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
