// SPDX-License-Identifier: MIT
// Thread objects on Linux: a pthread each, created here; its end, by
// returning or by a kill, is settled in termination.cpp.
#include <errno.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <new>

#include "platform/linux/threads/threads.h"

namespace velkor {
namespace kernel {
namespace linux_layer {

__thread ThreadObject* currentThread __attribute__((tls_model("initial-exec")));

namespace {

// Settles the end if the routine is left without returning.
class ReturnGuard {
 public:
  explicit ReturnGuard(ThreadObject* thread) : thread_(thread) {}
  ~ReturnGuard() {
    if (thread_ != nullptr) {
      SettleReturn(thread_, 0);
    }
  }
  void Returned(UInt32 exitCode) {
    ThreadObject* thread = thread_;
    thread_ = nullptr;
    SettleReturn(thread, exitCode);
  }
  ReturnGuard(const ReturnGuard&) = delete;
  ReturnGuard& operator=(const ReturnGuard&) = delete;

 private:
  ThreadObject* thread_;
};

void* RunThread(void* param) {
  ThreadObject* thread = static_cast<ThreadObject*>(param);
  thread->thread = pthread_self();
  currentThread = thread;
  // The creator's mask is inherited; a thread that cannot receive the kill
  // signal cannot be terminated. (Valid arguments: cannot fail.)
  sigset_t kill;
  sigemptyset(&kill);
  sigaddset(&kill, KillSignal());
  pthread_sigmask(SIG_UNBLOCK, &kill, nullptr);
  // From here on the thread may be killed: ThreadCreate returns its handle.
  thread->tid.store(static_cast<std::uint32_t>(syscall(SYS_gettid)), std::memory_order_release);
  FutexWake(&thread->tid, INT_MAX);
  ReturnGuard guard(thread);
  guard.Returned(thread->routine(thread->param));
  return nullptr;
}

}  // namespace
}  // namespace linux_layer

Handle SystemThreadCreate(ThreadRoutine routine, void* param, UInt32* id) {
  linux_layer::DeferTermination defer;
  if (!linux_layer::EnsureThreadSupport()) {
    return nullptr;
  }
  linux_layer::ThreadObject* thread = new (std::nothrow) linux_layer::ThreadObject;
  if (thread == nullptr) {
    return nullptr;
  }
  if (linux_layer::detector::Watching()) {
    linux_layer::detector::ThreadCreated(thread);
  }
  // One reference for the handle returned, one for the thread itself.
  thread->header.references.store(2, std::memory_order_relaxed);
  thread->header.kind = linux_layer::ObjectKind::kThread;
  thread->state.store(linux_layer::kRunning, std::memory_order_relaxed);
  thread->ended.store(0, std::memory_order_relaxed);
  thread->tid.store(0, std::memory_order_relaxed);
  thread->dying.store(0, std::memory_order_relaxed);
  thread->exitCode = 0;
  thread->routine = routine;
  thread->param = param;
  thread->nextToReap = nullptr;
  thread->hazards = nullptr;
  linux_layer::CountReferences(2);
  // RunThread stores the pthread_t itself: the new thread may be done with
  // its routine before pthread_create has written it here.
  pthread_t unused;
  if (pthread_create(&unused, nullptr, linux_layer::RunThread, thread) != 0) {
    linux_layer::CountReferences(-2);
    linux_layer::detector::ThreadFreed(thread);
    delete thread;
    return nullptr;
  }
  // The caller gets the id, and the kill signal must find the thread ready.
  std::uint32_t threadId;
  while ((threadId = thread->tid.load(std::memory_order_acquire)) == 0) {
    linux_layer::FutexWait(&thread->tid, 0);
  }
  if (id != nullptr) {
    *id = threadId;
  }
  return thread;
}

#if defined(VELKOR_KERNEL_TEST_HOOKS)
Handle ThreadOpenCurrent() {
  linux_layer::ThreadObject* thread = linux_layer::currentThread;
  if (thread == nullptr) {
    return nullptr;
  }
  return HandleDuplicate(thread);
}
#endif

void SleepMilliseconds(UInt32 ms) {
  timespec request;
  request.tv_sec = static_cast<time_t>(ms / 1000);
  request.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  timespec remaining;
  while (nanosleep(&request, &remaining) != 0 && errno == EINTR) {
    request = remaining;
  }
}

}  // namespace kernel
}  // namespace velkor
