// SPDX-License-Identifier: MIT
// Which race detector watches the process, found once, and the hooks of
// objects/objects.h, whichever tool it is (see detector_tool.h).
#include <pthread.h>

#include "platform/linux/detectors/detector_tool.h"

namespace velkor {
namespace kernel {
namespace linux_layer {
namespace {

// Written once, before any watched mutex or thread exists; read by signal
// handlers too, hence no lock.
const DetectorTool* tool = nullptr;
pthread_once_t detection = PTHREAD_ONCE_INIT;

struct Candidate {
  const DetectorTool* (*ifWatching)();
  void (*arm)(OwnKey ownKey);  // what a kill needs under the tool, if anything
};

// Valgrind's tools first: under Valgrind it is the tool that watches, even in
// a client built with ThreadSanitizer.
constexpr Candidate kCandidates[] = {
    {helgrind::IfWatching, nullptr},
    {drd::IfWatching, nullptr},
    {thread_sanitizer::IfWatching, thread_sanitizer::Arm},
};

// A detector that cannot hear a thread's end would report every mutex a thread
// leaves with: better none at all.
void Detect() {
  for (const Candidate& candidate : kCandidates) {
    const DetectorTool* found = candidate.ifWatching();
    if (found == nullptr) {
      continue;
    }
    if (CreateEndOfThreadKey()) {
      if (candidate.arm != nullptr) {
        candidate.arm(EndOfThreadKey());
      }
      tool = found;
    }
    return;
  }
}

}  // namespace

const DetectorTool* WatchingTool() { return tool; }

namespace detector {

bool Watching() {
  pthread_once(&detection, Detect);  // cannot fail: its arguments are valid
  return tool != nullptr;
}

bool KeepsClosedMutexes() { return tool != nullptr && tool->seesEveryAccess; }

// The pthread kind is announced by the tools' own interception of the pthread
// calls; hidden first all the same: Helgrind forgets the locks of a range it
// is told to stop checking.
void MutexCreated(MutexObject* mutex) {
  tool->hide(mutex, sizeof *mutex);
  if (mutex->ownFutex) {
    WatchFutex(&mutex->futex);
  }
}

void MutexClosed(MutexObject* mutex) {
  if (mutex->ownFutex) {
    UnwatchFutex(&mutex->futex);
  }
}

void MutexFreed(MutexObject* mutex) { tool->show(mutex, sizeof *mutex); }

void Acquire(MutexObject* mutex) {
  if (mutex->ownFutex) {
    WatchedFutexAcquire(&mutex->futex);
    return;
  }
  ArrangeEndAnnouncement();
  if (PthreadMutexAcquire(mutex)) {
    tool->happensAfter(ThreadEndsTag());
  }
}

// A detector reports the failed unlock of a thread that does not own the
// mutex: it is not even tried.
void Release(MutexObject* mutex) {
  if (mutex->ownFutex) {
    WatchedFutexRelease(&mutex->futex);
  } else if (OwnsPthreadMutex(mutex)) {
    PthreadMutexRelease(mutex);
  }
}

void ReleaseAll(MutexObject* mutex) { WatchedFutexReleaseAll(&mutex->futex); }

void ThreadCreated(ThreadObject* thread) { tool->hide(thread, sizeof *thread); }

void ThreadFreed(ThreadObject* thread) {
  if (tool != nullptr) {
    tool->show(thread, sizeof *thread);
  }
}

void ThreadEnded(ThreadObject* thread) {
  if (tool != nullptr) {
    tool->happensBefore(&thread->ended);
  }
}

void ThreadWaitedFor(ThreadObject* thread) {
  if (tool != nullptr) {
    tool->happensAfter(&thread->ended);
  }
}

void ThreadExitsNow(ThreadObject* thread) {
  if (tool == nullptr) {
    return;
  }
  AnnounceEndOfThread();
  if (thread != nullptr) {
    tool->happensBefore(&thread->ended);
  }
  thread_sanitizer::FinishThread();
}

}  // namespace detector
}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
