// SPDX-License-Identifier: MIT
// The kernel seam on Windows: each call is the KERNEL32 function of the same
// meaning, inline, so that JMutex::Lock and Unlock stay one system call each.
// The two creations and OpenHandleCount are in kernel_windows.cpp.
#ifndef VELKORTHREAD_PLATFORM_KERNEL_WINDOWS_H
#define VELKORTHREAD_PLATFORM_KERNEL_WINDOWS_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace velkor {
namespace kernel {

inline void MutexAcquire(Handle mutex) { WaitForSingleObject(mutex, INFINITE); }

inline void MutexRelease(Handle mutex) { ReleaseMutex(mutex); }

inline void HandleClose(Handle object) { CloseHandle(object); }

inline Handle HandleDuplicate(Handle object) {
  HANDLE process = GetCurrentProcess();
  HANDLE copy = nullptr;
  if (!DuplicateHandle(process, object, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return copy;
}

// TerminateThread only asks for the termination; the wait makes it complete
// before the caller goes on. A thread that has already ended keeps its exit
// code (Wine would otherwise overwrite it).
inline void ThreadTerminate(Handle thread, UInt32 exitCode) {
  if (WaitForSingleObject(thread, 0) == WAIT_OBJECT_0) {
    return;
  }
  TerminateThread(thread, exitCode);
  WaitForSingleObject(thread, INFINITE);
}

inline void ThreadWait(Handle thread) { WaitForSingleObject(thread, INFINITE); }

inline void SleepMilliseconds(UInt32 ms) { Sleep(ms); }

#if defined(VELKOR_KERNEL_TEST_HOOKS)  // for tests only, as the seam says
inline bool ThreadExitCode(Handle thread, UInt32* exitCode) {
  DWORD code = 0;
  if (!GetExitCodeThread(thread, &code) || code == STILL_ACTIVE) {
    return false;
  }
  *exitCode = code;
  return true;
}

inline Handle ThreadOpenCurrent() { return HandleDuplicate(GetCurrentThread()); }
#endif

}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_KERNEL_WINDOWS_H
