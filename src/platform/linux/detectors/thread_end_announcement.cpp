// SPDX-License-Identifier: MIT
// Announcing a thread's end to the detector: the key whose destructor does it
// for a thread that leaves through the C library, the edge from every ended
// thread, and the announcement itself (see detector_tool.h).
#include <pthread.h>

#include "platform/linux/detectors/detector_tool.h"

namespace velkor {
namespace kernel {
namespace linux_layer {
namespace {

// A thread that ends through the C library runs this key's destructor with
// the mutexes it still holds, before the detector's own end of the thread.
pthread_key_t endOfThreadKey;

__thread bool endAnnouncementArranged __attribute__((tls_model("initial-exec")));

// What every thread's end is announced on, for the pthread kind (see
// ThreadEndsTag).
char threadEnds;

void OnEndOfThread(void*) { AnnounceEndOfThread(); }

}  // namespace

bool CreateEndOfThreadKey() { return pthread_key_create(&endOfThreadKey, OnEndOfThread) == 0; }

OwnKey EndOfThreadKey() { return OwnKey{endOfThreadKey, OnEndOfThread}; }

// Without the value the destructor does not run: a failure to set it (out of
// memory) is tried again at the thread's next acquisition.
void ArrangeEndAnnouncement() {
  if (!endAnnouncementArranged) {
    endAnnouncementArranged = pthread_setspecific(endOfThreadKey, &endOfThreadKey) == 0;
  }
}

const void* ThreadEndsTag() { return &threadEnds; }

void AnnounceEndOfThread() {
  if (WatchingTool() == nullptr) {
    return;
  }
  WatchingTool()->happensBefore(&threadEnds);
  AnnounceWatchedMutexesHeldAtEnd();
}

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
