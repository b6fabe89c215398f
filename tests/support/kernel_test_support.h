// SPDX-License-Identifier: MIT
// Helpers shared by the tests that drive the kernel seam directly.
//
// Bodies that may be terminated call nothing in the C or C++ runtime: they
// spin on atomics or sleep with kernel::SleepMilliseconds (SleepUntil).
#ifndef VELKORTHREAD_TESTS_KERNEL_TEST_SUPPORT_H
#define VELKORTHREAD_TESTS_KERNEL_TEST_SUPPORT_H

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <type_traits>

#include "platform/kernel.h"

#if defined(_WIN32)
#include <tlhelp32.h>
#else
#include <dirent.h>
#endif

namespace velkor_test {

using velkor::kernel::Handle;
using velkor::kernel::UInt32;

// How long a few tests pause before the step they check. The pause never
// decides the outcome for a correct implementation: it only gives a faulty
// one the time to show its fault.
constexpr UInt32 kSettleMs = 20;

// Memcheck runs one thread at a time, which makes the spinning cases slow.
inline bool UnderMemcheck() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "vgpreload_memcheck") != nullptr;
}

// Bodies are callables returning UInt32, or nothing for an exit code of 0.
template <typename Body>
UInt32 VELKORTHREAD_ENTRY_CALL RunBody(void* body) {
  if constexpr (std::is_void_v<decltype((*static_cast<Body*>(body))())>) {
    (*static_cast<Body*>(body))();
    return 0;
  } else {
    return (*static_cast<Body*>(body))();
  }
}

// Runs `body` (which must outlive the thread) on a new thread of the layer.
template <typename Body>
Handle TryStart(Body& body, UInt32* id = nullptr) {
  UInt32 ignored = 0;
  return velkor::kernel::ThreadCreate(&RunBody<Body>, &body, id != nullptr ? id : &ignored);
}

// The tests' own creations do not fail: if the system refuses one, the run
// stops there rather than report every later step.
inline Handle Created(Handle handle, const char* what) {
  if (handle == nullptr) {
    std::fprintf(stderr, "could not create a %s\n", what);
    std::abort();
  }
  return handle;
}

template <typename Body>
Handle Start(Body& body, UInt32* id = nullptr) {
  return Created(TryStart(body, id), "thread");
}

inline Handle NewMutex() { return Created(velkor::kernel::MutexCreate(), "mutex"); }

// For the test's own thread, which is never terminated.
template <typename Condition>
void WaitUntil(Condition condition) {
  while (!condition()) std::this_thread::yield();
}

// For bodies: waits without calling into the runtime.
inline void SleepUntil(const std::atomic<bool>& flag) {
  while (!flag.load()) velkor::kernel::SleepMilliseconds(1);
}

// Hangs if anybody still owns the mutex, or if an abandoned owner's depth
// survived.
inline void ExpectFree(Handle mutex) {
  velkor::kernel::MutexAcquire(mutex);
  velkor::kernel::MutexRelease(mutex);
}

// The threads of this process, as the system lists them.
inline std::size_t ProcessThreadCount() {
#if defined(_WIN32)
  std::size_t count = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  THREADENTRY32 entry;
  entry.dwSize = sizeof(entry);
  DWORD process = GetCurrentProcessId();
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == process) ++count;
  }
  CloseHandle(snapshot);
  return count;
#else
  std::size_t count = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return 0;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(tasks);
  return count;
#endif
}

}  // namespace velkor_test

#endif  // VELKORTHREAD_TESTS_KERNEL_TEST_SUPPORT_H
