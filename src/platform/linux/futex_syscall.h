// SPDX-License-Identifier: MIT
// The futex system call, the one place the layer makes it.
//
// Private waits and wakes are for words that only this process's threads
// touch (a thread's id and end). Our robust mutexes' words take the shared
// flavour: the kernel's wake at a holder's death is a shared one, which a
// private waiter never sees.
#ifndef VELKORTHREAD_PLATFORM_LINUX_FUTEX_SYSCALL_H
#define VELKORTHREAD_PLATFORM_LINUX_FUTEX_SYSCALL_H

#include <atomic>
#include <cstdint>

namespace velkor {
namespace kernel {
namespace linux_layer {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "futex words are plain 32-bit atomics");

// Each wait returns when *word may differ from `expected`, spuriously included
// (a signal, or a wake meant for an earlier value).
void FutexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected);
void FutexWake(std::atomic<std::uint32_t>* word, int count);

void FutexWaitShared(std::atomic<std::uint32_t>* word, std::uint32_t expected);
// Returns the number of waiters woken.
long FutexWakeOneShared(std::atomic<std::uint32_t>* word);

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_LINUX_FUTEX_SYSCALL_H
