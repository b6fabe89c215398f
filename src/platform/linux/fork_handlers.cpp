// SPDX-License-Identifier: MIT
// fork copies only the calling thread, as a thread of its own. Everything the
// child resets is listed here, registered once, by whichever part of the
// layer is set up first: the first mutex creation, or thread support.
#include "platform/linux/fork_handlers.h"

#include <pthread.h>

#include "platform/linux/robust_list.h"
#include "platform/linux/termination.h"

namespace velkor {
namespace kernel {
namespace linux_layer {
namespace {

// Holds the bookkeeping lock across the fork, inside a deferred section.
void BeforeFork() { TerminationBeforeFork(); }

void AfterForkInParent() { TerminationAfterForkInParent(); }

void AfterForkInChild() {
  // The thread's kernel id is new, and it owns none of the mutexes its
  // original held.
  RenewFutexThreadAfterFork();
  // A fresh bookkeeping lock, no reaper, no kill pending or claimed; then the
  // deferred section of BeforeFork ends.
  TerminationAfterForkInChild();
}

}  // namespace

bool ForkHandlersInstalled() {
  static const bool installed =
      pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild) == 0;
  return installed;
}

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
