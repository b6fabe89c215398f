// SPDX-License-Identifier: MIT
// The two creations of the Windows kernel seam (see kernel.h).
#include <cstdint>

#include "platform/kernel.h"

namespace velkor {
namespace kernel {

Handle SystemMutexCreate() { return CreateMutexA(nullptr, FALSE, nullptr); }

Handle SystemThreadCreate(ThreadRoutine routine, void* param, UInt32* id) {
  return CreateThread(nullptr, 0, routine, param, 0, id);
}

#if defined(VELKOR_KERNEL_TEST_HOOKS)  // for tests only, as the seam says
// Counts the handles that exist by asking about each handle value in turn, up
// to a long run of values that name nothing: Wine answers
// GetProcessHandleCount with a number that never moves. Handle values are
// multiples of four, and the system reuses freed ones before it grows the
// table, so the run only starts past the last live handle.
std::size_t OpenHandleCount() {
  const std::uintptr_t kStep = 4;
  const std::uintptr_t kEmptyRunToStop = 512;
  std::size_t count = 0;
  std::uintptr_t emptyRun = 0;
  for (std::uintptr_t value = kStep; emptyRun < kEmptyRunToStop; value += kStep) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      ++count;
      emptyRun = 0;
    } else {
      ++emptyRun;
    }
  }
  return count;
}
#endif

}  // namespace kernel
}  // namespace velkor
