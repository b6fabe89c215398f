// SPDX-License-Identifier: MIT
// Race detectors watching a client: ThreadSanitizer (a client built with
// -fsanitize=thread carries its runtime), Helgrind and DRD (the program runs
// under Valgrind).
//
// None of them can see our own futex mutexes, nor the layer's own
// synchronisation through atomics and raw futex waits: unannounced, a correct
// client drowns in reports about its data and our internals. So the layer tells
// them, and only them: the detector is found once, at the first mutex or
// thread, and a mutex created while one watches is marked `watched`, which
// sends its acquisitions and releases down the out-of-line path that announces
// them. A process without a detector pays one predictable branch per call and
// takes no dependency on any tool (ThreadSanitizer's entry points are looked
// up by name; Valgrind's client requests are a few inert instructions).
//
// What each detector is told:
//   - every watched mutex's creation, destruction, and each acquisition and
//     release by its owner, recursion included (DRD refuses recursive
//     write-locking: it hears only the outermost level);
//   - the releases of a thread that ends holding mutexes, announced by that
//     thread itself just before it ends (returning, or killed): the next owner
//     of an abandoned mutex then acquires a free mutex, with the edge from the
//     dead owner that the kernel's hand-over gives;
//   - the edge from a thread's end to whoever waited for it (ThreadWait);
//   - under Valgrind, which sees every access, that the layer's own objects
//     synchronise by themselves.
#ifndef VELKORTHREAD_PLATFORM_LINUX_DETECTORS_H
#define VELKORTHREAD_PLATFORM_LINUX_DETECTORS_H

#include <signal.h>

#include <cstddef>
#include <cstdint>

#include "platform/linux/futex_mutex.h"

namespace velkor {
namespace kernel {
namespace linux_layer {

enum class Detector : unsigned char { kNone, kThreadSanitizer, kHelgrind, kDrd };

// The detector watching this process; the first call finds out.
Detector WatchingDetector();

// Creation and destruction of a mutex of our own, for a watched one.
void WatchMutex(FutexMutex* mutex);
void UnwatchMutex(FutexMutex* mutex);

// FutexAcquire, FutexRelease and FutexReleaseAll of a watched mutex, with
// their announcements.
void WatchedFutexAcquire(FutexMutex* mutex);
void WatchedFutexRelease(FutexMutex* mutex);
void WatchedFutexReleaseAll(FutexMutex* mutex);

// The calling thread will announce its end (AnnounceEndOfThread) when it
// leaves through the C library.
void WatchEndOfThread();

// An edge from the end of every thread that has ended: the pthread kind's
// taking of an abandoned mutex has no other to give, as the tools cannot tell
// which thread held it. Coarser than needed: it may hide a race with a thread
// that has ended, never report one that is not there.
const void* ThreadEndsTag();

// The calling thread is about to end without returning through the C library
// (the raw exit of a kill): the releases of what it still holds.
void AnnounceEndOfThread();

// ThreadSanitizer holds back a signal that it has intercepted until the thread
// next calls into its runtime, which a body spinning on plain code, or asleep
// or waiting in a raw system call, never does: the kill signal would never act.
// Under it, the handler is installed with the C library's own sigaction, past
// the tool, and runs at once; it then declines a kill that lands inside the
// tool's runtime (whose own locks the thread may hold), and the terminator
// sends the signal again until the thread has begun to die.
using SigactionFunction = int (*)(int, const struct sigaction*, struct sigaction*);
SigactionFunction KillSignalInstaller();
bool KillsMayBeDeclined();
bool InsideDetectorRuntime(const void* signalContext);

// For a thread about to end by the raw exit system call: the detector's own
// end of the thread, which it otherwise runs only on the C library's exit path
// (ThreadSanitizer: without it, a join of the thread waits inside the tool for
// good). Nothing of the detector may run on this thread afterwards.
void FinishThreadForDetector();

// An edge from each AnnounceHappensBefore(tag) to every later
// AnnounceHappensAfter(tag).
void AnnounceHappensBefore(const void* tag);
void AnnounceHappensAfter(const void* tag);

// Memory that the layer synchronises by itself (atomics, futex words), hidden
// from a detector that sees every access; shown again before it is freed, so
// that what is allocated there later is checked.
void HideFromDetector(const void* address, std::size_t size);
void ShowToDetector(const void* address, std::size_t size);

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_LINUX_DETECTORS_H
