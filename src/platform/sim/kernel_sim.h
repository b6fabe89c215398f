// SPDX-License-Identifier: MIT
// The kernel seam on the simulated kernel of velkorsched.h: every call below is
// a point where the scheduler may switch tasks. Never part of the shipped
// library.
#ifndef VELKORTHREAD_PLATFORM_SIM_KERNEL_SIM_H
#define VELKORTHREAD_PLATFORM_SIM_KERNEL_SIM_H

#include <cstddef>

namespace velkor {
namespace kernel {

void MutexAcquire(Handle mutex);
void MutexRelease(Handle mutex);
void HandleClose(Handle object);
Handle HandleDuplicate(Handle object);
void ThreadTerminate(Handle thread, UInt32 exitCode);
void ThreadWait(Handle thread);
bool ThreadExitCode(Handle thread, UInt32* exitCode);
void SleepMilliseconds(UInt32 ms);
Handle ThreadOpenCurrent();
std::size_t OpenHandleCount();

}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_SIM_KERNEL_SIM_H
