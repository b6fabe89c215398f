// SPDX-License-Identifier: MIT
// The kernel seam on Linux: Windows kernel objects emulated over robust futexes
// and pthreads. This is the layer's entry header, included by platform/kernel.h
// after the seam's declarations; internal to the library.
//
// The layer is three modules that depend one way, and a fourth that plugs in:
//   futex/      the robust futex mutex: its word, its robust-list records, the
//               futex calls, abandonment past the kernel's walk
//   objects/    what handles name: mutex and thread objects, their references,
//               the memory of closed mutexes, deferred sections, what a thread's
//               end means for the mutexes it held (this header)
//   threads/    thread creation, the routine's return, termination, the reaper
//   detectors/  race-detector support, reached only through the hooks below
// A lower module reaches a higher one only through a pointer the higher one
// sets: futex/'s registration hook, the held-back kill and the fork child
// hook of this header, and the detector hooks (declared here, defined in
// detectors/).
//
// The layer's words, one meaning each:
//   own futex     the fast kind of mutex, our robust futex word (futex/); the
//                 pthread kind, a robust recursive pthread mutex, stands in
//                 where the C library's robust lists do not suit it
//   inline path   an own futex that no detector watches: the seam's acquire
//                 and release reach it without a call
//   abandoned     a mutex whose holder ended holding it: free, and taken by the
//                 next waiter as any acquisition (the kernel's FUTEX_OWNER_DIED)
//   the kernel's walk  what the kernel does with a dying thread's robust list:
//                 abandon each mutex in it, but at most 2,048
//   tid           a thread's kernel id, reused once the thread is gone; a
//                 mutex's holder is the tid its word names
//   serial        a thread's number in this process, never reused; a mutex's
//                 owner is recorded by serial, which decides recursion
//   pending operation  the acquisition or release a thread is in the middle of,
//                 which the kernel finishes at its death (listOpPending)
//   owed wake     the wake a release owes a sleeper until one has taken the word
//   kill          a thread's forced end (ThreadTerminate), by a terminator
//   claim         a terminator's move of a thread's state to kKilled: from then
//                 on only the kill ends it
//   settle        whoever moves a thread out of kRunning first (its return or a
//                 claim) decides its exit code
//   deferred section  layer code a kill must not cut short: a kill that lands in
//                 one is held back (heldBackKill), and the thread exits as it
//                 leaves the outermost section
//   bookkeeping lock  the one internal lock, taken only in deferred sections
//   reaper        the layer's own thread that joins killed threads
//   retired       a closed mutex of ours, its memory kept until no hazard names it
//   hazard        the mutex a thread may still touch: its listOpPending, named in
//                 the thread's hazard record
//   orphan        a closed mutex that another thread still held when its last
//                 handle went; freed at its holder's end
//   let go        an orphan that its holder no longer holds (e.g. after its end)
//   watched       a mutex created while a race detector watches the process
#ifndef VELKORTHREAD_PLATFORM_LINUX_OBJECTS_OBJECTS_H
#define VELKORTHREAD_PLATFORM_LINUX_OBJECTS_OBJECTS_H

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/linux/futex/futex_mutex.h"

namespace velkor {
namespace kernel {
namespace linux_layer {

// ---- Objects -----------------------------------------------------------

enum class ObjectKind : unsigned { kMutex, kThread };

// A handle is a counted reference to an object that starts with this header;
// duplicating a handle counts one more reference to the same object.
struct ObjectHeader {
  std::atomic<long> references;
  ObjectKind kind;
};

// Each mutex is one of two kinds, chosen when it is created. The fast kind is
// our own robust futex (futex/), used wherever the C library's robust list
// has the layout it relies on. The other is a robust, recursive pthread mutex:
// robust, because the kernel then frees the mutex of a thread that ends by any
// path and reports it to the next owner as EOWNERDEAD; recursive, because an
// unlock by a thread that does not own such a mutex fails with EPERM and
// changes nothing. Either is linked into its owner's robust list while held,
// through the object's own memory.
struct MutexObject {
  ObjectHeader header;
  bool ownFutex;
  bool watched;
  bool inlinePath;  // ownFutex && !watched, tested alone on every call
  union {
    FutexMutex futex;         // ownFutex
    pthread_mutex_t pthread;  // !ownFutex
  };
  MutexObject* nextOrphan;   // link in its holder's list of orphans (mutex.cpp)
  MutexObject* nextRetired;  // link in a list of retired ones (reclamation.cpp)
  MutexObject() {}
};

struct HazardRecord;

// Only the first transition out of kRunning counts: the thread itself after
// its routine returned (kExiting), or a terminator's claim (kKilled).
enum ThreadState : std::uint32_t { kRunning, kExiting, kKilled };

struct ThreadObject {
  ObjectHeader header;  // handles, plus one held by the thread until it has ended
  std::atomic<std::uint32_t> state;
  std::atomic<std::uint32_t> ended;  // futex word: 1 once the thread has ended
  std::atomic<std::uint32_t> tid;    // futex word: 0 until known
  UInt32 exitCode;                   // written by the settler, read once `ended` is 1
  ThreadRoutine routine;
  void* param;
  // 1 once a kill has begun to end the thread: it is never signalled again.
  std::atomic<std::uint32_t> dying;
  pthread_t thread;          // written by the thread itself, before `tid`
  ThreadObject* nextToReap;  // link in the reaper's queue
  HazardRecord* hazards;     // a killed thread's, forgotten once it is joined
};

// ---- Deferred sections -------------------------------------------------

// The calling thread's depth of deferred sections, and the kill held back by
// them: what the thread runs as it leaves the outermost one (it never
// returns). Written by the kill signal's handler: initial-exec TLS never calls
// the loader.
extern __thread volatile sig_atomic_t deferDepth __attribute__((tls_model("initial-exec")));
extern __thread void (*volatile heldBackKill)() __attribute__((tls_model("initial-exec")));

inline void EnterDeferral() {
  deferDepth = deferDepth + 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

inline void LeaveDeferral() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  deferDepth = deferDepth - 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  // A kill that arrives after the decrement finds the depth at zero and exits
  // in the handler; one that arrived before is seen here.
  if (__builtin_expect(deferDepth == 0 && heldBackKill != nullptr, 0)) {
    heldBackKill();
  }
}

// A deferred section, as a scope. Sections nest, never block on anything that
// a killed thread could hold, and are the only places where the bookkeeping
// lock is taken, so it is never left held.
class DeferTermination {
 public:
  DeferTermination() { EnterDeferral(); }
  ~DeferTermination() { LeaveDeferral(); }
  DeferTermination(const DeferTermination&) = delete;
  DeferTermination& operator=(const DeferTermination&) = delete;
};

// Holds the bookkeeping lock (the orphans, the threads' hazards, the kill
// signal's installation), always inside a deferred section.
class BookkeepingLock {
 public:
  BookkeepingLock();
  ~BookkeepingLock();
  BookkeepingLock(const BookkeepingLock&) = delete;
  BookkeepingLock& operator=(const BookkeepingLock&) = delete;

 private:
  DeferTermination defer_;
};

// The layer's fork handlers, registered once per process as the library is
// loaded (or at the first call); false if the C library refused, and then
// always: the layer then creates no mutex and no thread, since a child could
// inherit the bookkeeping lock held (thread_end.cpp).
bool ForkHandlersInstalled();
// What threads/ resets in the child (its reaper, a claim on the thread that
// forked), run by the child handler before the fork's deferred section ends.
// Set once the handlers are in place and before the first thread exists.
void SetForkChildHook(void (*hook)());

// ---- Handles and mutexes -----------------------------------------------

// The live references that OpenHandleCount reports, counted in test builds only.
#if defined(VELKOR_KERNEL_TEST_HOOKS)
void CountReferences(long delta);
#else
inline void CountReferences(long) {}
#endif

// Drops one reference; the last one destroys the object (handle.cpp).
void ReleaseObject(ObjectHeader* object);

// The paths other than our own unwatched futex, out of line (mutex.cpp).
void MutexAcquireOther(MutexObject* object);
void MutexReleaseOther(MutexObject* object);
// The pthread kind's acquisition: true if its previous owner had ended
// holding it. Its release by a thread that does not own it changes nothing.
bool PthreadMutexAcquire(MutexObject* object);
void PthreadMutexRelease(MutexObject* object);
// Whether the calling thread owns a pthread-kind mutex, where the C library
// says; elsewhere true, and the unlock itself answers.
bool OwnsPthreadMutex(MutexObject* object);

// ---- A thread's end, for the mutexes it held (thread_end.cpp) ----------

// Has the calling thread's end, by any path but a kill, abandon what the
// kernel would not, free the orphans it holds and pass on what it retired;
// registers its hazard once it uses our futexes. Cheap once done.
void ArrangeThreadEnd() noexcept;

// A thread of the layer whose routine returned: the orphans it holds go.
void ThreadReturned(std::uint32_t tid);

// A killed thread exits now by the raw system call, from the kill signal's
// handler: its hazard counts until KilledThreadJoined, and what it retired
// goes to the next scan. (What it holds past the kernel's walk is futex/'s
// AbandonHeldMutexes, called last.)
HazardRecord* ThreadExitsNow() noexcept;
// The reaper has joined it: its orphans go, and its hazard with them.
void KilledThreadJoined(std::uint32_t tid, HazardRecord* hazards);

// ---- What a race detector hears (detectors/) ---------------------------

// ThreadSanitizer, Helgrind and DRD see neither our futex mutexes nor the
// layer's own synchronisation through atomics and raw futex waits:
// unannounced, a correct client drowns in reports. So the layer tells them, at
// these points and nowhere else.
namespace detector {

// Whether one watches this process; the first call finds out. Every other
// call below is valid only once it has been made; those that the layer makes
// whether or not a detector watches then do nothing when none does.
bool Watching();
// A tool that sees every access (Valgrind's) would take the scans of other
// threads' hazards for races: closed mutexes of ours are then kept for good.
bool KeepsClosedMutexes();

// Only for a watched mutex: made (after its futex, before its pthread kind is
// set up), closed, and its memory given back; its acquisition and release,
// with their announcements; and, for our futex kind, the release of every
// level the caller holds, as its last handle goes.
void MutexCreated(MutexObject* mutex);
void MutexClosed(MutexObject* mutex);
void MutexFreed(MutexObject* mutex);
void Acquire(MutexObject* mutex);
void Release(MutexObject* mutex);
void ReleaseAll(MutexObject* mutex);

// A thread object made (only while Watching()) and freed; a thread's end
// published, and waited for.
void ThreadCreated(ThreadObject* thread);
void ThreadFreed(ThreadObject* thread);
void ThreadEnded(ThreadObject* thread);
void ThreadWaitedFor(ThreadObject* thread);
// A killed thread exits now by the raw system call: what it holds is
// announced as released, and the tool ends the thread as the C library's exit
// would have.
void ThreadExitsNow(ThreadObject* thread);

// Kills under a tool that holds signals back (ThreadSanitizer): the handler
// is installed past the tool, declines a kill that lands inside the tool's
// runtime, and the terminator then sends the signal again.
using SigactionFunction = int (*)(int, const struct sigaction*, struct sigaction*);
SigactionFunction KillSignalInstaller();
bool KillsMayBeDeclined();
bool DeclinesKillAt(const void* signalContext);

}  // namespace detector
}  // namespace linux_layer

// ---- The seam's hot calls ----------------------------------------------

inline void MutexAcquire(Handle mutex) {
  linux_layer::MutexObject* object = static_cast<linux_layer::MutexObject*>(mutex);
  if (__builtin_expect(object->inlinePath, 1)) {
    linux_layer::FutexAcquire(&object->futex);
    return;
  }
  linux_layer::MutexAcquireOther(object);
}

inline void MutexRelease(Handle mutex) {
  linux_layer::MutexObject* object = static_cast<linux_layer::MutexObject*>(mutex);
  if (__builtin_expect(object->inlinePath, 1)) {
    linux_layer::FutexRelease(&object->futex);
    return;
  }
  linux_layer::MutexReleaseOther(object);
}

}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_LINUX_OBJECTS_OBJECTS_H
