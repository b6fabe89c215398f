// SPDX-License-Identifier: MIT
// The library's one seam to the operating system.
//
// JMutex and JThread make every system call through the functions below, and
// each platform provides them in a folder of its own: windows/ as a thin inline
// layer over KERNEL32, linux/ as an emulation of the same kernel objects over
// futexes and the kernel's robust lists, sim/ as the simulated kernel that
// velkorsched runs the classes on. All give exactly these semantics:
//
// Handles are opaque and name a kernel object; null means none. An object lives
// until its last handle is closed (a thread object also while the thread runs).
//
// Mutex objects (MutexCreate, MutexAcquire, MutexRelease):
//   - unnamed, owned by nobody when created;
//   - owned by the thread that acquired them, and recursive: the owner acquires
//     again without blocking, and the mutex is free after as many releases;
//   - a release by a thread that does not own the mutex has no effect;
//   - abandonment: when the owner ends (returns or is terminated) holding the
//     mutex, it becomes free and the next waiter acquires it; that acquisition
//     succeeds like any other. Any thread may own a mutex, including threads
//     that this layer did not create.
//
// Thread objects (ThreadCreate, ThreadTerminate, ThreadWait; ThreadExitCode
// for tests):
//   - ThreadCreate runs `routine(param)` at once on a new thread, stores the
//     thread's identifier in *id, and returns a handle that can be waited on;
//   - the thread's exit code is what the routine returned;
//   - ThreadTerminate ends the thread wherever it is, running no more of its
//     code (no unwinding, no destructors); the mutexes it owns become
//     abandoned; the exit code is `exitCode`. It returns only once the thread
//     is gone, so that a killed thread can never again write memory it shares
//     with its callers. A thread that has already ended is left as it was.
//     A thread may terminate itself: the call then never returns.
//
// A duplicate may have the same value as its original: never compare handles.
//
// SleepMilliseconds suspends the calling thread for at least `ms`.
//
// The layer's own bookkeeping is safe against termination: a thread killed
// while inside this layer leaves no lock of the layer held.
#ifndef VELKORTHREAD_PLATFORM_KERNEL_H
#define VELKORTHREAD_PLATFORM_KERNEL_H

#include <jthread.h>

#include <cstddef>

namespace velkor {
namespace kernel {

typedef void* Handle;
typedef JThreadUInt32 UInt32;
typedef UInt32(VELKORTHREAD_ENTRY_CALL* ThreadRoutine)(void* param);

// The seam, declared once for every platform. A platform defines each of
// these, inline in its header where the call is hot, or in its .cpp files.
Handle SystemMutexCreate();       // use MutexCreate below, which tests can make fail
void MutexAcquire(Handle mutex);  // waits without a time limit
void MutexRelease(Handle mutex);  // one level of the caller's ownership
void HandleClose(Handle object);
Handle HandleDuplicate(Handle object);  // null on failure
// Use ThreadCreate below, which tests can make fail.
Handle SystemThreadCreate(ThreadRoutine routine, void* param, UInt32* id);
void ThreadTerminate(Handle thread, UInt32 exitCode);
void ThreadWait(Handle thread);  // until the thread has ended
void SleepMilliseconds(UInt32 ms);
// The calls below serve the tests and the simulated kernel only, and are
// compiled into their builds alone.
#if defined(VELKOR_KERNEL_TEST_HOOKS) || defined(VELKOR_KERNEL_SIM)
bool ThreadExitCode(Handle thread, UInt32* exitCode);  // false while running
// A new handle to the calling thread, or null where the layer cannot name it.
Handle ThreadOpenCurrent();
// Open handles and kernel objects still alive (a thread until it has ended and
// been reclaimed, a closed mutex while a thread holds it): back at its earlier
// value once all opened since is closed and has ended. For tests only, and
// only in their builds: the count is kept by every creation and close, which
// a shipped library need not pay for.
std::size_t OpenHandleCount();
#endif

}  // namespace kernel
}  // namespace velkor

#if defined(VELKOR_KERNEL_SIM)
// The simulated kernel defines every call out of line (platform/sim/).
#elif defined(_WIN32)
#include "windows/kernel_windows.h"
#else
#include "linux/objects/objects.h"
#endif

namespace velkor {
namespace kernel {

// The compiler holds each platform to the list above: a definition with
// another type, or an overload beside it, makes its name fail these checks.
// (The Visual C++ build has no C++ library headers, hence no <type_traits>.)
template <class A, class B>
struct SeamSameType {
  static const bool value = false;
};
template <class A>
struct SeamSameType<A, A> {
  static const bool value = true;
};
#define VELKOR_SEAM_FUNCTION(name, type) \
  static_assert(SeamSameType<decltype(&name), type>::value, #name " must have the seam's type")
VELKOR_SEAM_FUNCTION(SystemMutexCreate, Handle (*)());
VELKOR_SEAM_FUNCTION(MutexAcquire, void (*)(Handle));
VELKOR_SEAM_FUNCTION(MutexRelease, void (*)(Handle));
VELKOR_SEAM_FUNCTION(HandleClose, void (*)(Handle));
VELKOR_SEAM_FUNCTION(HandleDuplicate, Handle (*)(Handle));
VELKOR_SEAM_FUNCTION(SystemThreadCreate, Handle (*)(ThreadRoutine, void*, UInt32*));
VELKOR_SEAM_FUNCTION(ThreadTerminate, void (*)(Handle, UInt32));
VELKOR_SEAM_FUNCTION(ThreadWait, void (*)(Handle));
VELKOR_SEAM_FUNCTION(SleepMilliseconds, void (*)(UInt32));
#if defined(VELKOR_KERNEL_TEST_HOOKS) || defined(VELKOR_KERNEL_SIM)
VELKOR_SEAM_FUNCTION(ThreadExitCode, bool (*)(Handle, UInt32*));
VELKOR_SEAM_FUNCTION(ThreadOpenCurrent, Handle (*)());
VELKOR_SEAM_FUNCTION(OpenHandleCount, std::size_t (*)());
#endif
#undef VELKOR_SEAM_FUNCTION

#if defined(VELKOR_KERNEL_TEST_HOOKS)
namespace testhooks {
// While set, the corresponding creation fails as if the system refused it.
void FailMutexCreation(bool fail);
void FailThreadCreation(bool fail);
bool MutexCreationFails();
bool ThreadCreationFails();
}  // namespace testhooks

inline Handle MutexCreate() {
  return testhooks::MutexCreationFails() ? nullptr : SystemMutexCreate();
}
inline Handle ThreadCreate(ThreadRoutine routine, void* param, UInt32* id) {
  return testhooks::ThreadCreationFails() ? nullptr : SystemThreadCreate(routine, param, id);
}
#else
inline Handle MutexCreate() { return SystemMutexCreate(); }
inline Handle ThreadCreate(ThreadRoutine routine, void* param, UInt32* id) {
  return SystemThreadCreate(routine, param, id);
}
#endif

}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_KERNEL_H
