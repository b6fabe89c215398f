// SPDX-License-Identifier: MIT
// JThread: the start handshake, the entry routine and termination (see jthread.h).
//
// Lock order within one object: startedMutex, then launchMutex, then
// stateMutex. stateMutex is held only briefly and never while waiting for
// another mutex; Kill and the destructor hold it across a termination, so a
// thread that another thread kills is never inside its own stateMutex
// section.
//
// launchMutex makes a launch one step for everyone else: Start holds it from
// its test of `running` until the new thread has set `running`, and Kill
// holds it throughout. So two Starts cannot both find the object idle, and
// Kill never sees a thread that Start has launched but not yet seen (whose
// poll would then wait for a `running` that Kill has cleared).
#include "jthread.h"

#include <cstddef>

#include "platform/kernel.h"

namespace kernel = velkor::kernel;

namespace {

// The binary layout clients are compiled against; on 32-bit Windows it is
// 44 bytes with the fields at 4, 8, 12, 16, 17, 20, 28 and 36.
constexpr std::size_t kWord = sizeof(void*);
constexpr std::size_t kReturnValueOffset = (2 * kWord + 4 + kWord - 1) / kWord * kWord;
constexpr std::size_t kStateMutexOffset = kReturnValueOffset + 2 * kWord;

void* DuplicateOrNull(void* handle) {
  return (handle != nullptr) ? kernel::HandleDuplicate(handle) : nullptr;
}

}  // namespace

JThread::JThread()
    : threadHandle(nullptr),
      threadId(0),
      returnValue(nullptr),
      running(false),
      mutexesChecked(false) {
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
  static_assert(offsetof(JThread, threadHandle) == kWord, "vtable pointer, then threadHandle");
  static_assert(offsetof(JThread, threadId) == 2 * kWord, "threadId");
  static_assert(offsetof(JThread, returnValue) == kReturnValueOffset, "returnValue");
  static_assert(offsetof(JThread, running) == kReturnValueOffset + kWord, "running");
  static_assert(offsetof(JThread, mutexesChecked) == kReturnValueOffset + kWord + 1, "flag");
  static_assert(offsetof(JThread, stateMutex) == kStateMutexOffset, "stateMutex");
  static_assert(offsetof(JThread, launchMutex) == kStateMutexOffset + sizeof(JMutex), "launch");
  static_assert(offsetof(JThread, startedMutex) == kStateMutexOffset + 2 * sizeof(JMutex), "start");
  static_assert(sizeof(JThread) == kStateMutexOffset + 3 * sizeof(JMutex), "no tail padding");
  static_assert(kWord != 4 || sizeof(JThread) == 44, "44 bytes on 32-bit targets");
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#endif
}

// Each copy owns duplicates of the handles it shares, so destroying copies
// never closes a handle twice. running and returnValue are a snapshot.
JThread::JThread(const JThread& other)
    : threadHandle(DuplicateOrNull(other.threadHandle)),
      threadId(other.threadId),
      returnValue(other.returnValue),
      running(other.running),
      mutexesChecked(other.mutexesChecked),
      stateMutex(other.stateMutex),
      launchMutex(other.launchMutex),
      startedMutex(other.startedMutex) {}

JThread::~JThread() {
  if (stateMutex.Lock() == 0) {
    if (running) {
      kernel::ThreadTerminate(threadHandle, 0);
      running = false;
    }
    stateMutex.Unlock();
  }
  if (threadHandle != nullptr) {
    kernel::HandleClose(threadHandle);
    threadHandle = nullptr;
  }
  returnValue = nullptr;
}

JThread& JThread::operator=(const JThread& other) {
  if (this == &other) {
    return *this;
  }
  void* copy = DuplicateOrNull(other.threadHandle);
  if (threadHandle != nullptr) {
    kernel::HandleClose(threadHandle);
  }
  threadHandle = copy;
  threadId = other.threadId;
  returnValue = other.returnValue;
  running = other.running;
  mutexesChecked = other.mutexesChecked;
  stateMutex = other.stateMutex;
  launchMutex = other.launchMutex;
  startedMutex = other.startedMutex;
  return *this;
}

int JThread::Start() {
  if (!mutexesChecked) {
    if (!stateMutex.IsInitialized() || !launchMutex.IsInitialized() ||
        !startedMutex.IsInitialized()) {
      return THREAD_ERR_MUTEX_NOT_INIT;
    }
    mutexesChecked = true;
  }

  // Held until the new thread has marked itself running, so that its body
  // cannot begin before Start has seen it. A concurrent Start waits here and
  // then finds this run, or starts the next one if this run has already
  // ended, as it would have done a moment later.
  launchMutex.Lock();

  stateMutex.Lock();
  if (running) {
    stateMutex.Unlock();
    launchMutex.Unlock();
    return THREAD_ERR_ALREADY_RUNNING;
  }
  stateMutex.Unlock();

  // The previous run has ended or been killed: nothing needs its handle now.
  if (threadHandle != nullptr) {
    kernel::HandleClose(threadHandle);
  }
  threadHandle = kernel::ThreadCreate(TheThread, this, &threadId);
  if (threadHandle == nullptr) {
    launchMutex.Unlock();
    return THREAD_ERR_CREATE_FAILED;
  }

  stateMutex.Lock();
  while (!running) {
    stateMutex.Unlock();
    kernel::SleepMilliseconds(1);
    stateMutex.Lock();
  }
  stateMutex.Unlock();

  launchMutex.Unlock();

  // Acquired once the body has called ThreadStarted, or once the new thread
  // has ended still owning startedMutex (which abandons it).
  startedMutex.Lock();
  startedMutex.Unlock();
  return 0;
}

JThreadUInt32 VELKORTHREAD_ENTRY_CALL JThread::TheThread(void* param) {
  JThread* self = static_cast<JThread*>(param);

  // Owned until the body calls ThreadStarted or this thread ends.
  self->startedMutex.Lock();

  self->stateMutex.Lock();
  self->running = true;
  self->stateMutex.Unlock();

  // Passes once Start has seen `running` and let go of launchMutex.
  self->launchMutex.Lock();
  self->launchMutex.Unlock();

  void* result = self->Run();

  self->stateMutex.Lock();
  self->running = false;
  self->returnValue = result;
  self->stateMutex.Unlock();
  return 0;
}

void JThread::ThreadStarted() { startedMutex.Unlock(); }

int JThread::Kill() {
  // Waits for a Start that is launching a thread, and then ends that thread.
  // (A missing launchMutex means that no Start can have succeeded.)
  bool launchHeld = launchMutex.Lock() == 0;
  int result = 0;  // also with no stateMutex: no thread can have been started
  if (stateMutex.Lock() == 0) {
    if (running) {
      // Cleared first for a body that kills its own thread: that thread ends
      // inside ThreadTerminate, and the kernel frees the two mutexes it holds
      // here, leaving the object idle like any other Kill. Nobody else can
      // tell the order apart: `running` is seen only after the unlock, and
      // by then the thread is gone (even one that was waiting for
      // stateMutex to store its result).
      running = false;
      kernel::ThreadTerminate(threadHandle, 0);
    } else {
      result = THREAD_ERR_NOT_RUNNING;
    }
    stateMutex.Unlock();
  }
  if (launchHeld) {
    launchMutex.Unlock();
  }
  return result;
}

bool JThread::IsRunning() {
  stateMutex.Lock();
  bool value = running;
  stateMutex.Unlock();
  return value;
}

void* JThread::GetReturnValue() {
  stateMutex.Lock();
  void* value = running ? nullptr : returnValue;
  stateMutex.Unlock();
  return value;
}
