// SPDX-License-Identifier: MIT
// Forced termination on Linux: deferred sections, the kill signal and its
// handler, the claim on a thread's end, and the reaper (termination.cpp).
#ifndef VELKORTHREAD_PLATFORM_LINUX_TERMINATION_H
#define VELKORTHREAD_PLATFORM_LINUX_TERMINATION_H

#include <signal.h>

#include <atomic>

namespace velkor {
namespace kernel {
namespace linux_layer {

// Ends the calling thread at once: no unwinding, no cleanup of any kind.
[[noreturn]] void ExitThreadNow();

// The calling thread's deferred sections, and a kill held back by them. Read
// by the signal handler: initial-exec TLS never calls the loader.
extern __thread volatile sig_atomic_t deferDepth __attribute__((tls_model("initial-exec")));
extern __thread volatile sig_atomic_t killPending __attribute__((tls_model("initial-exec")));

inline void EnterDeferral() {
  deferDepth = deferDepth + 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

inline void LeaveDeferral() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  deferDepth = deferDepth - 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  // A kill that arrives after the decrement finds the depth at zero and exits
  // in the handler; one that arrived before is seen here.
  if (__builtin_expect(deferDepth == 0 && killPending != 0, 0)) {
    ExitThreadNow();
  }
}

// A section of layer code that a termination must not cut short: a kill that
// arrives inside is held back until the outermost section ends, and the thread
// then exits there. Sections nest, never block on anything that a killed
// thread could hold, and are the only places where the layer's internal locks
// are taken, so no internal lock is ever left held. Inline: creation and close
// open one each.
class DeferTermination {
 public:
  DeferTermination() { EnterDeferral(); }
  ~DeferTermination() { LeaveDeferral(); }
  DeferTermination(const DeferTermination&) = delete;
  DeferTermination& operator=(const DeferTermination&) = delete;
};

// Holds the lock of the layer's global bookkeeping (the orphaned mutexes, the
// threads' hazards, the kill signal's installation), always inside a deferred
// section.
class BookkeepingLock {
 public:
  BookkeepingLock();
  ~BookkeepingLock();
  BookkeepingLock(const BookkeepingLock&) = delete;
  BookkeepingLock& operator=(const BookkeepingLock&) = delete;

 private:
  DeferTermination defer_;
};

// Installs the kill signal's handler, once per process, once the fork handlers
// are in place (fork_handlers.h). False if either could not be.
bool EnsureThreadSupport();

// The signal that ends a thread of the layer.
int KillSignal();

// Whether the calling thread is one the layer created and a terminator has
// claimed its end. Safe in a signal handler.
bool CurrentThreadIsClaimedForKill();

// What fork_handlers.cpp does on this part's behalf.
void TerminationBeforeFork();
void TerminationAfterForkInParent();
void TerminationAfterForkInChild();

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_LINUX_TERMINATION_H
