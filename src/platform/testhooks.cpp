// SPDX-License-Identifier: MIT
// Creation failures on demand, compiled into test builds only: the system
// cannot be made to refuse a mutex or a thread on purpose.
#include <atomic>

#include "platform/kernel.h"

namespace velkor {
namespace kernel {
namespace testhooks {
namespace {
std::atomic<bool> failMutexCreation{false};
std::atomic<bool> failThreadCreation{false};
}  // namespace

void FailMutexCreation(bool fail) { failMutexCreation = fail; }
void FailThreadCreation(bool fail) { failThreadCreation = fail; }
bool MutexCreationFails() { return failMutexCreation; }
bool ThreadCreationFails() { return failThreadCreation; }

}  // namespace testhooks
}  // namespace kernel
}  // namespace velkor
