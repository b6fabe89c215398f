// SPDX-License-Identifier: MIT
// A thread's end on Linux, by either path: its return, settled against a
// kill, and the kill itself (the claim, the signal and its handler, the
// reaper), up to the publication of its end that waiters see.
//
// A thread either returns from its routine or is killed, and the two can race:
// whoever moves `state` out of kRunning first settles the exit code. A thread
// that returns detaches itself and publishes its end; a killed thread is
// joined by the reaper, which publishes its end after the join, so that
// ThreadTerminate (which waits for that) returns only once the thread is gone.
//
// A terminator first claims the thread's end (ThreadObject::state), then
// sends a real-time signal whose handler ends the kernel thread with the raw
// exit system call: no unwinding, no destructors, no C library exit path. The
// kernel still releases the robust mutexes the thread held, which is what
// abandons them.
//
// Two things must not be cut short by a kill: the layer's own bookkeeping
// (allocation, reference counts, internal locks, thread creation) and the
// reclamation of the killed thread's stack. The first is covered by deferred
// sections: the handler holds back a kill that lands inside one, and the
// thread exits when it leaves the outermost. The second is done by the reaper,
// a thread of the layer's own that joins every killed thread, started when a
// kill needs it and gone once the queue is empty. A terminator must not join:
// it may be killed while waiting, and two threads that kill each other would
// each wait for the other forever.
//
// Any process of the same user can send the signal, so the handler acts only
// on the layer's own kills: sent by this process to that very thread, whose
// end has been claimed. Every other arrival goes to the handler installed
// before ours, or is ignored: it never ends a thread.
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>

#include "platform/linux/threads/threads.h"

namespace velkor {
namespace kernel {
namespace linux_layer {
namespace {

std::atomic<bool> handlerInstalled{false};  // written under the bookkeeping lock

// Where arrivals that are not the layer's kills go (written once, before).
struct sigaction earlierAction;

// Killed threads waiting to be joined, newest first. The reaper takes the
// whole list at once, so the compare-and-swap push cannot suffer ABA.
std::atomic<ThreadObject*> reapQueue{nullptr};

// The reaper runs only while there is work: an idle process has no thread of
// the layer's own, and none is left running at exit for leak checkers to see.
std::atomic<bool> reaperActive{false};

// pthread_kill sends with tgkill, which the kernel marks SI_TKILL and stamps
// with the sender's process id; kill, sigqueue and timers are marked otherwise.
bool SentByThisProcessToThisThread(const siginfo_t* info) {
  return info != nullptr && info->si_code == SI_TKILL && info->si_pid == getpid();
}

void PassOn(int signal, siginfo_t* info, void* context) {
  if ((earlierAction.sa_flags & SA_SIGINFO) != 0) {
    if (earlierAction.sa_sigaction != nullptr) {
      earlierAction.sa_sigaction(signal, info, context);
    }
    return;
  }
  // The default action of a real-time signal ends the whole process: an
  // arrival that is not ours is ignored instead.
  if (earlierAction.sa_handler != SIG_DFL && earlierAction.sa_handler != SIG_IGN) {
    earlierAction.sa_handler(signal);
  }
}

// The thread's own reference goes with its end: nothing can name the thread
// any more but the handles, and waiters may now read the exit code.
void PublishEnd(ThreadObject* thread) {
  CountReferences(-1);
  detector::ThreadEnded(thread);
  thread->ended.store(1, std::memory_order_release);
  FutexWake(&thread->ended, INT_MAX);
  ReleaseObject(&thread->header);
}

// Ends the calling thread at once: no unwinding, no cleanup of any kind.
[[noreturn]] void ExitThreadNow() {
  // From here on nothing may interrupt the end: a kill sent again meanwhile
  // (KillsMayBeDeclined) must not begin it a second time. Cannot fail: the
  // arguments are valid.
  sigset_t all;
  sigfillset(&all);
  syscall(SYS_rt_sigprocmask, SIG_BLOCK, &all, nullptr, _NSIG / 8);
  ThreadObject* self = currentThread;
  if (self != nullptr) {
    self->hazards = ThreadExitsNow();  // forgotten by the reaper after the join
    self->dying.store(1, std::memory_order_release);
  }
  // A race detector must hear, from this thread, that its mutexes go to their
  // next owners and that its end precedes whatever waited for it.
  detector::ThreadExitsNow(self);
  // The C library hands the thread's descriptor, with its pthread_setspecific
  // values, to a later thread as it is: an ordinary exit clears the values,
  // this one must too (what they point to is left alone). Keys never created
  // fail, harmlessly.
  for (pthread_key_t key = 0; key < PTHREAD_KEYS_MAX; ++key) {
    pthread_setspecific(key, nullptr);
  }
  AbandonHeldMutexes();  // what the kernel's walk at the exit would not reach
  for (;;) {
    syscall(SYS_exit, 0);
  }
}

void OnKillSignal(int signal, siginfo_t* info, void* context) {
  if (!SentByThisProcessToThisThread(info) || !CurrentThreadIsClaimedForKill()) {
    PassOn(signal, info, context);
    return;
  }
  if (deferDepth != 0) {
    heldBackKill = ExitThreadNow;
    return;
  }
  if (detector::DeclinesKillAt(context)) {
    return;  // the terminator sends the signal again
  }
  ExitThreadNow();
}

// Joins every queued thread, oldest first: the earliest kills are the likeliest
// to be complete. Returns once the queue is empty and no thread that queued
// more can have counted on this reaper.
void ReapAll() {
  for (;;) {
    ThreadObject* batch = reapQueue.exchange(nullptr);
    if (batch == nullptr) {
      reaperActive.store(false);
      // A thread that queued work before the store saw the reaper active and
      // left the work to it.
      if (reapQueue.load() == nullptr || reaperActive.exchange(true)) {
        return;
      }
      continue;
    }
    ThreadObject* oldestFirst = nullptr;
    while (batch != nullptr) {
      ThreadObject* next = batch->nextToReap;
      batch->nextToReap = oldestFirst;
      oldestFirst = batch;
      batch = next;
    }
    while (oldestFirst != nullptr) {
      ThreadObject* next = oldestFirst->nextToReap;
      // Returns once the kernel has cleared the thread's id, which it does
      // after releasing the thread's robust mutexes: the thread is gone, and
      // its stack goes back to the C library's cache. It cannot fail: the
      // claim kept the thread from detaching itself, and only this joins it.
      pthread_join(oldestFirst->thread, nullptr);
      KilledThreadJoined(oldestFirst->tid.load(std::memory_order_relaxed), oldestFirst->hazards);
      PublishEnd(oldestFirst);
      oldestFirst = next;
    }
  }
}

void* ReaperMain(void*) {
  ReapAll();
  return nullptr;
}

bool StartReaper() {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {
    return false;
  }
  // Neither this nor the masks below can fail: their arguments are valid.
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  // Inherited by the reaper: no client handler of a process-wide signal, and
  // no kill signal, may ever run on it.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_t reaper;
  int error = pthread_create(&reaper, &attributes, ReaperMain, nullptr);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_attr_destroy(&attributes);
  return error == 0;
}

// Hands a thread that has been sent the kill signal to the reaper (started if
// none runs). Called inside a deferred section.
void ReapKilledThread(ThreadObject* thread) {
  ThreadObject* head = reapQueue.load(std::memory_order_relaxed);
  do {
    thread->nextToReap = head;
  } while (!reapQueue.compare_exchange_weak(head, thread));
  if (reaperActive.exchange(true)) {
    return;  // the running reaper will find it
  }
  if (!StartReaper()) {
    // No thread to spare: the terminator, inside its deferred section, joins
    // for itself.
    ReapAll();
  }
}

// A child has no reaper, and a claim on the thread that forked was made by a
// terminator that did not come along (objects/thread_end.cpp runs this).
void AfterForkInChild() {
  reaperActive.store(false, std::memory_order_relaxed);
  reapQueue.store(nullptr, std::memory_order_relaxed);
  if (currentThread != nullptr) {
    currentThread->state.store(kRunning, std::memory_order_relaxed);
  }
}

}  // namespace

// Far enough from SIGRTMIN, which timers and other libraries tend to take.
int KillSignal() { return SIGRTMIN + 6; }

bool EnsureThreadSupport() {
  if (handlerInstalled.load(std::memory_order_acquire)) {
    return true;
  }
  BookkeepingLock lock;
  // Without the fork handlers, a child could inherit a held bookkeeping lock.
  if (!handlerInstalled.load(std::memory_order_relaxed)) {
    if (!ForkHandlersInstalled()) {
      return false;
    }
    SetForkChildHook(AfterForkInChild);
    detector::SigactionFunction install = detector::KillSignalInstaller();
    if (install(KillSignal(), nullptr, &earlierAction) != 0) {
      return false;
    }
    struct sigaction action = {};
    action.sa_sigaction = OnKillSignal;
    // The earlier handler, when it is passed a signal, runs under the mask it
    // asked for.
    action.sa_mask = earlierAction.sa_mask;
    // A kill held back in a deferred section must not make the system calls
    // of that section fail with EINTR.
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    if (install(KillSignal(), &action, nullptr) != 0) {
      return false;
    }
    handlerInstalled.store(true, std::memory_order_release);
  }
  return true;
}

bool CurrentThreadIsClaimedForKill() {
  // A thread that settled its own return left currentThread, and a claim is
  // made before the signal is sent.
  ThreadObject* thread = currentThread;
  return thread != nullptr && thread->state.load(std::memory_order_acquire) == kKilled;
}

namespace {

// A kill the thread declined (KillsMayBeDeclined) goes again until the thread
// has begun to die; a claimed thread ends only through the kill, so its kernel
// id names it until then. Outside any deferred section: a terminator that is
// itself being killed must not wait here for its victim.
void RepeatKillUntilDying(ThreadObject* thread) {
  const pid_t process = getpid();
  while (thread->dying.load(std::memory_order_acquire) == 0) {
    timespec pause = {0, 100000};  // the thread is inside the tool for microseconds at a time
    nanosleep(&pause, nullptr);    // woken early by a signal: one more look
    if (thread->dying.load(std::memory_order_acquire) == 0) {
      syscall(SYS_tgkill, process, thread->tid.load(std::memory_order_relaxed), KillSignal());
    }
  }
}

}  // namespace

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
  ThreadReturned(thread->tid.load(std::memory_order_relaxed));
  PublishEnd(thread);
}

}  // namespace linux_layer

void ThreadTerminate(Handle handle, UInt32 exitCode) {
  if (handle == nullptr) {
    return;
  }
  linux_layer::ThreadObject* thread = static_cast<linux_layer::ThreadObject*>(handle);
  bool claimed = false;
  {
    // The claim, the signal and the hand-over to the reaper go together: a
    // terminator killed between them would leave a thread nobody joins.
    linux_layer::DeferTermination defer;
    std::uint32_t expected = linux_layer::kRunning;
    if (thread->state.compare_exchange_strong(expected, linux_layer::kKilled,
                                              std::memory_order_acq_rel)) {
      claimed = true;
      thread->exitCode = exitCode;
      // Cannot fail: a claimed thread cannot end but by this signal, so its
      // pthread_t (written before ThreadCreate returned) still names it.
      pthread_kill(thread->thread, linux_layer::KillSignal());
      linux_layer::ReapKilledThread(thread);
    }
  }
  if (claimed && linux_layer::detector::KillsMayBeDeclined()) {
    linux_layer::RepeatKillUntilDying(thread);
  }
  ThreadWait(handle);
}

// A futex wait leaves nothing behind if the waiter is itself killed.
void ThreadWait(Handle handle) {
  if (handle == nullptr) {
    return;
  }
  linux_layer::ThreadObject* thread = static_cast<linux_layer::ThreadObject*>(handle);
  while (thread->ended.load(std::memory_order_acquire) == 0) {
    linux_layer::FutexWait(&thread->ended, 0);
  }
  linux_layer::detector::ThreadWaitedFor(thread);
}

#if defined(VELKOR_KERNEL_TEST_HOOKS)
bool ThreadExitCode(Handle handle, UInt32* exitCode) {
  if (handle == nullptr) {
    return false;
  }
  linux_layer::ThreadObject* thread = static_cast<linux_layer::ThreadObject*>(handle);
  if (thread->ended.load(std::memory_order_acquire) == 0) {
    return false;
  }
  linux_layer::detector::ThreadWaitedFor(thread);
  *exitCode = thread->exitCode;
  return true;
}
#endif

}  // namespace kernel
}  // namespace velkor
