// SPDX-License-Identifier: MIT
// The futex system call (futex_syscall.h).
#include "platform/linux/futex_syscall.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace velkor {
namespace kernel {
namespace linux_layer {
namespace {

// Neither call's failure needs handling: a wait that fails (EAGAIN, the word
// already changed; EINTR) returns early, which every caller allows by
// rechecking its word, and a wake on a valid word of ours cannot fail.
long Futex(std::atomic<std::uint32_t>* word, int operation, std::uint32_t value) {
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), operation, value, nullptr,
                 nullptr, 0);
}

}  // namespace

void FutexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected) {
  Futex(word, FUTEX_WAIT_PRIVATE, expected);
}

void FutexWake(std::atomic<std::uint32_t>* word, int count) {
  Futex(word, FUTEX_WAKE_PRIVATE, static_cast<std::uint32_t>(count));
}

void FutexWaitShared(std::atomic<std::uint32_t>* word, std::uint32_t expected) {
  Futex(word, FUTEX_WAIT, expected);
}

long FutexWakeOneShared(std::atomic<std::uint32_t>* word) { return Futex(word, FUTEX_WAKE, 1); }

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
