// SPDX-License-Identifier: MIT
// Race-detector support: the hooks of objects/objects.h (namespace
// detector), for ThreadSanitizer (a client built with -fsanitize=thread
// carries its runtime), Helgrind and DRD (the program runs under Valgrind).
// The detector is found once, at the first mutex or thread; a mutex created
// while one watches is marked `watched`, which sends its acquisitions and
// releases down the layer's out-of-line path and into these hooks. A process
// without a detector pays one predictable branch per call and takes no
// dependency on any tool (ThreadSanitizer's entry points are looked up by
// name; Valgrind's client requests are a few inert instructions).
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
//
// This header is what the files of this folder share: the announcements that
// every tool understands, as one table per tool, and who provides each table.
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

#include "platform/kernel.h"

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
  // Memory that the layer synchronises by itself (atomics, futex words),
  // hidden from a tool that sees every access; shown again before it is
  // freed, so that what is allocated there later is checked.
  void (*hide)(const void* address, std::size_t size);
  void (*show)(const void* address, std::size_t size);
  bool seesEveryAccess;
};

// The table of the detector watching this process, null if none
// (detectors.cpp). Read without synchronisation, signal handlers included:
// valid once detector::Watching has returned.
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

// The calling thread will announce its end (AnnounceEndOfThread) when it
// leaves through the C library.
void ArrangeEndAnnouncement();
// The calling thread is about to end: the releases of what it still holds.
void AnnounceEndOfThread();
// An edge from the end of every thread that has ended: the pthread kind's
// taking of an abandoned mutex has no other to give, as the tools cannot tell
// which thread held it. Coarser than needed: it may hide a race with a thread
// that has ended, never report one that is not there.
const void* ThreadEndsTag();

// Our own futex mutexes (watched_mutex.cpp): creation and destruction, and
// FutexAcquire, FutexRelease and FutexReleaseAll with their announcements;
// the releases of every watched mutex that the calling thread, about to end,
// still holds.
void WatchFutex(FutexMutex* mutex);
void UnwatchFutex(FutexMutex* mutex);
void WatchedFutexAcquire(FutexMutex* mutex);
void WatchedFutexRelease(FutexMutex* mutex);
void WatchedFutexReleaseAll(FutexMutex* mutex);
void AnnounceWatchedMutexesHeldAtEnd();

// Each tool's table, if that tool watches this process; else null.
namespace helgrind {
const DetectorTool* IfWatching();
}  // namespace helgrind

namespace drd {
const DetectorTool* IfWatching();
}  // namespace drd

// ThreadSanitizer holds back a signal that it has intercepted until the thread
// next calls into its runtime, which a body spinning on plain code, or asleep
// or waiting in a raw system call, never does: the kill signal would never act.
// Under it, the kill signal's handler is installed with the C library's own
// sigaction, past the tool, and runs at once; it then declines a kill that
// lands inside the tool's runtime (whose own locks the thread may hold), and
// the terminator sends the signal again until the thread has begun to die.
// It also ends a thread only on the C library's exit path: a thread that
// exits by the raw system call must run the tool's own end (FinishThread), or
// a join of it waits inside the tool for good.
namespace thread_sanitizer {
const DetectorTool* IfWatching();
// Once the tool is chosen: readies what a kill needs under it, checking the
// C library's table of keys against a key of our own.
void Arm(OwnKey ownKey);
// An acquisition whose wait a thread's end cut short: the tool must leave
// the section that its beginning entered. Nothing unless it is the tool
// watching.
void AcquisitionCutShort(const void* mutex);
// For a thread about to end by the raw exit system call. Nothing of the tool
// may run on this thread afterwards.
void FinishThread();
}  // namespace thread_sanitizer

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_LINUX_DETECTOR_TOOL_H
