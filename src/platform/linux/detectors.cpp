// SPDX-License-Identifier: MIT
// Which race detector watches the process, found once, and the announcements
// that the rest of the layer makes to it, whichever tool it is (see
// detectors.h).
#include "platform/linux/detectors.h"

#include <pthread.h>

#include "platform/linux/detector_tool.h"

namespace velkor {
namespace kernel {
namespace linux_layer {
namespace {

// Written once, before any watched mutex or thread exists; read by signal
// handlers too, hence no lock.
Detector watching = Detector::kNone;
const DetectorTool* tool = nullptr;
pthread_once_t detection = PTHREAD_ONCE_INIT;

struct Candidate {
  Detector detector;
  const DetectorTool* (*ifWatching)();
};

// Valgrind's tools first: under Valgrind it is the tool that watches, even in
// a client built with ThreadSanitizer.
constexpr Candidate kCandidates[] = {
    {Detector::kHelgrind, helgrind::IfWatching},
    {Detector::kDrd, drd::IfWatching},
    {Detector::kThreadSanitizer, thread_sanitizer::IfWatching},
};

void Choose() {
  for (const Candidate& candidate : kCandidates) {
    tool = candidate.ifWatching();
    if (tool != nullptr) {
      watching = candidate.detector;
      return;
    }
  }
}

// A detector that cannot hear a thread's end would report every mutex a thread
// leaves with: better none at all.
void Detect() {
  Choose();
  if (tool != nullptr && !CreateEndOfThreadKey()) {
    watching = Detector::kNone;
    tool = nullptr;
  }
  if (watching == Detector::kThreadSanitizer) {
    thread_sanitizer::Arm(EndOfThreadKey());
  }
}

}  // namespace

Detector WatchingDetector() {
  pthread_once(&detection, Detect);  // cannot fail: its arguments are valid
  return watching;
}

const DetectorTool* WatchingTool() { return tool; }

void AnnounceHappensBefore(const void* tag) {
  if (tool != nullptr) {
    tool->happensBefore(tag);
  }
}

void AnnounceHappensAfter(const void* tag) {
  if (tool != nullptr) {
    tool->happensAfter(tag);
  }
}

void HideFromDetector(const void* address, std::size_t size) {
  if (tool != nullptr) {
    tool->hide(address, size);
  }
}

void ShowToDetector(const void* address, std::size_t size) {
  if (tool != nullptr) {
    tool->show(address, size);
  }
}

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
