// SPDX-License-Identifier: MIT
// What the test suites ask of the Linux layer that nothing else needs,
// compiled into test builds only (test_queries.cpp here; the handle census and
// the step hooks under VELKOR_KERNEL_TEST_HOOKS where they are kept), never
// into the shipped library.
#ifndef VELKORTHREAD_PLATFORM_LINUX_TEST_QUERIES_H
#define VELKORTHREAD_PLATFORM_LINUX_TEST_QUERIES_H

#include "platform/kernel.h"
#include "platform/linux/threads/threads.h"

namespace velkor {
namespace kernel {
namespace linux_layer {

// Which kind the mutex is, and the address that stands for it in its owner's
// robust list while it is held.
bool MutexIsOwnFutex(Handle mutex);
void* MutexRobustEntry(Handle mutex);

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_LINUX_TEST_QUERIES_H
