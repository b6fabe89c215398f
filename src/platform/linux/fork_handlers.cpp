// SPDX-License-Identifier: MIT
// fork copies only the calling thread, as a thread of its own. Everything the
// child resets is listed here, registered once, as the library is loaded.
#include "platform/linux/fork_handlers.h"

#include <pthread.h>

#include "platform/linux/internal.h"
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
  // Of the threads whose hazards count, only this one came along.
  KeepOnlyThisThreadsHazardsAfterFork();
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

namespace {

// The C library runs the handlers that prepare a fork newest first, and the
// others oldest first. Registered as the library loads, before the handlers of
// a program linked with it, ours are the innermost pair: the bookkeeping lock
// is taken after every other prepare handler has run and given back before
// any other handler runs, so the program's handlers may create or close
// mutexes of ours, even those it registers before its first mutex. (Not so
// for handlers registered before the library is loaded, e.g. by a program
// that loads it with dlopen later: those must leave our mutexes alone.)
[[maybe_unused]] const bool registeredAtLoad = ForkHandlersInstalled();

}  // namespace

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
