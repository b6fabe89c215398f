// SPDX-License-Identifier: MIT
// What the two files of threads/ share: thread creation and the routine's
// return (thread.cpp), and a thread's end by either path, its kill and the
// reaper (termination.cpp).
#ifndef VELKORTHREAD_PLATFORM_LINUX_THREADS_THREADS_H
#define VELKORTHREAD_PLATFORM_LINUX_THREADS_THREADS_H

#include "platform/kernel.h"

namespace velkor {
namespace kernel {
namespace linux_layer {

// The object of the calling thread, if the layer created it, until it has
// settled its own return.
extern __thread ThreadObject* currentThread __attribute__((tls_model("initial-exec")));

// Installs the kill signal's handler and what threads reset in a child of
// fork, once per process, once the layer's fork handlers are in place. False
// if either could not be.
bool EnsureThreadSupport();

// The signal that ends a thread of the layer.
int KillSignal();

// The end of a thread that leaves its routine, by returning or by a forced
// unwind such as pthread_exit; it never returns if a kill claimed the thread
// first.
void SettleReturn(ThreadObject* thread, UInt32 exitCode);

// Whether the calling thread is one the layer created and a terminator has
// claimed its end. Safe in a signal handler.
bool CurrentThreadIsClaimedForKill();

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_LINUX_THREADS_THREADS_H
