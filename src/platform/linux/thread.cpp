// SPDX-License-Identifier: MIT
// Thread objects on Linux: a pthread each, with its end settled once.
//
// A thread either returns from its routine or is killed (termination.cpp),
// and the two can race: whoever moves `state` out of kRunning first settles
// the exit code. A thread that returns detaches itself and publishes its end;
// a killed thread is joined by the reaper, which publishes its end after the
// join, so that ThreadTerminate (which waits for that) returns only once the
// thread is gone.
#include <errno.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <new>

#include "platform/linux/detectors.h"
#include "platform/linux/futex_syscall.h"
#include "platform/linux/internal.h"

namespace velkor {
namespace kernel {
namespace linux_layer {
namespace {

// The object of the calling thread, if the layer created it.
__thread ThreadObject* currentThread __attribute__((tls_model("initial-exec")));

// The thread's own reference goes with its end: nothing can name the thread
// any more but the handles, and waiters may now read the exit code.
void PublishEnd(ThreadObject* thread) {
  CountReferences(-1);
  AnnounceHappensBefore(&thread->ended);
  thread->ended.store(1, std::memory_order_release);
  FutexWake(&thread->ended, INT_MAX);
  ReleaseObject(&thread->header);
}

// The end of a thread that leaves its routine, by returning or by a forced
// unwind such as pthread_exit.
void SettleReturn(ThreadObject* thread, UInt32 exitCode) {
  std::uint32_t expected = kRunning;
  if (!thread->state.compare_exchange_strong(expected, kExiting, std::memory_order_acq_rel)) {
    // Claimed by a terminator a moment ago: the kill signal is on its way, and
    // not one more instruction of this thread may count on outliving it.
    for (;;) {
      pause();
    }
  }
  // No kill can come any more.
  thread->exitCode = exitCode;
  currentThread = nullptr;
  // Cannot fail: the thread is joinable, and the claim it just won keeps the
  // reaper from joining it.
  pthread_detach(pthread_self());
  // Closed mutexes that the thread still holds must not outlive its end.
  CollectOrphansHeldBy(thread->id.load(std::memory_order_relaxed));
  PublishEnd(thread);
}

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
  thread->id.store(static_cast<std::uint32_t>(syscall(SYS_gettid)), std::memory_order_release);
  FutexWake(&thread->id, INT_MAX);
  ReturnGuard guard(thread);
  guard.Returned(thread->routine(thread->param));
  return nullptr;
}

ThreadObject* AsThread(Handle handle) { return static_cast<ThreadObject*>(handle); }

}  // namespace

void FinishKilledThread(ThreadObject* thread) { PublishEnd(thread); }

ThreadObject* CurrentThread() { return currentThread; }

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
  linux_layer::WatchingDetector();
  linux_layer::HideFromDetector(thread, sizeof *thread);
  // One reference for the handle returned, one for the thread itself.
  thread->header.references.store(2, std::memory_order_relaxed);
  thread->header.kind = linux_layer::ObjectKind::kThread;
  thread->state.store(linux_layer::kRunning, std::memory_order_relaxed);
  thread->ended.store(0, std::memory_order_relaxed);
  thread->id.store(0, std::memory_order_relaxed);
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
    linux_layer::ShowToDetector(thread, sizeof *thread);
    delete thread;
    return nullptr;
  }
  // The caller gets the id, and the kill signal must find the thread ready.
  std::uint32_t threadId;
  while ((threadId = thread->id.load(std::memory_order_acquire)) == 0) {
    linux_layer::FutexWait(&thread->id, 0);
  }
  if (id != nullptr) {
    *id = threadId;
  }
  return thread;
}

// A futex wait leaves nothing behind if the waiter is itself killed.
void ThreadWait(Handle handle) {
  if (handle == nullptr) {
    return;
  }
  linux_layer::ThreadObject* thread = linux_layer::AsThread(handle);
  while (thread->ended.load(std::memory_order_acquire) == 0) {
    linux_layer::FutexWait(&thread->ended, 0);
  }
  linux_layer::AnnounceHappensAfter(&thread->ended);
}

bool ThreadExitCode(Handle handle, UInt32* exitCode) {
  if (handle == nullptr) {
    return false;
  }
  linux_layer::ThreadObject* thread = linux_layer::AsThread(handle);
  if (thread->ended.load(std::memory_order_acquire) == 0) {
    return false;
  }
  linux_layer::AnnounceHappensAfter(&thread->ended);
  *exitCode = thread->exitCode;
  return true;
}

Handle ThreadOpenCurrent() {
  linux_layer::ThreadObject* thread = linux_layer::currentThread;
  if (thread == nullptr) {
    return nullptr;
  }
  return HandleDuplicate(thread);
}

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
