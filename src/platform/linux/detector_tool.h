// SPDX-License-Identifier: MIT
// What the detector files share: the announcements that every tool
// understands, as one table per tool, and who provides each table.
//
// Helgrind's and DRD's client requests live in one file each, as their
// headers define the same annotation macros differently. Each request is a
// few instructions that do nothing outside Valgrind, and nothing under a tool
// that does not know it. Without Valgrind's headers at build time, neither
// tool is ever found watching.
#ifndef VELKORTHREAD_PLATFORM_LINUX_DETECTOR_TOOL_H
#define VELKORTHREAD_PLATFORM_LINUX_DETECTOR_TOOL_H

#include <pthread.h>

#include <cstddef>

namespace velkor {
namespace kernel {
namespace linux_layer {

// `outermost` tells the first acquisition from a recursive one, and the last
// release from an inner one, for a tool that hears only the outermost level.
struct DetectorTool {
  void (*mutexCreated)(const void* mutex);
  void (*mutexDestroyed)(const void* mutex);
  void (*beforeLock)(const void* mutex, bool outermost);
  void (*afterLock)(const void* mutex, bool outermost);
  void (*beforeUnlock)(const void* mutex, bool outermost);
  void (*afterUnlock)(const void* mutex, bool outermost);
  void (*happensBefore)(const void* tag);
  void (*happensAfter)(const void* tag);
  void (*hide)(const void* address, std::size_t size);
  void (*show)(const void* address, std::size_t size);
};

// The table of the detector watching this process, null if none
// (detectors.cpp). Read without synchronisation, signal handlers included:
// valid once WatchingDetector has returned.
const DetectorTool* WatchingTool();

// A thread's own key, whose destructor announces the end of a thread that
// leaves through the C library (thread_end_announcement.cpp).
struct OwnKey {
  pthread_key_t key;
  void (*destructor)(void*);
};
// Created once, before anything is watched. False if it could not be.
bool CreateEndOfThreadKey();
OwnKey EndOfThreadKey();

// The releases of every watched mutex that the calling thread, about to end,
// still holds (watched_mutex.cpp).
void AnnounceWatchedMutexesHeldAtEnd();

// Each tool's table, if that tool watches this process; else null.
namespace helgrind {
const DetectorTool* IfWatching();
}  // namespace helgrind

namespace drd {
const DetectorTool* IfWatching();
}  // namespace drd

namespace thread_sanitizer {
const DetectorTool* IfWatching();
// Once the tool is chosen: readies what a kill needs under it, checking the
// C library's table of keys against a key of our own.
void Arm(OwnKey ownKey);
// An acquisition whose wait a thread's end cut short: the tool must leave
// the section that its beginning entered. Nothing unless it is the tool
// watching.
void AcquisitionCutShort(const void* mutex);
}  // namespace thread_sanitizer

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_LINUX_DETECTOR_TOOL_H
