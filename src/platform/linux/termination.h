// SPDX-License-Identifier: MIT
// Forced termination on Linux: deferred sections, the kill signal and its
// handler, the claim on a thread's end, and the reaper (termination.cpp).
#ifndef VELKORTHREAD_PLATFORM_LINUX_TERMINATION_H
#define VELKORTHREAD_PLATFORM_LINUX_TERMINATION_H

namespace velkor {
namespace kernel {
namespace linux_layer {

// A section of layer code that a termination must not cut short: a kill that
// arrives inside is held back until the outermost section ends, and the thread
// then exits there. Sections nest, never block on anything that a killed
// thread could hold, and are the only places where the layer's internal locks
// are taken, so no internal lock is ever left held.
class DeferTermination {
 public:
  DeferTermination();
  ~DeferTermination();
  DeferTermination(const DeferTermination&) = delete;
  DeferTermination& operator=(const DeferTermination&) = delete;
};

// Holds the lock of the layer's global bookkeeping (the orphaned and spare
// mutexes, the kill signal's installation), always inside a deferred section.
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

// Ends the calling thread at once: no unwinding, no cleanup of any kind.
[[noreturn]] void ExitThreadNow();

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
