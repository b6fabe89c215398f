// SPDX-License-Identifier: MIT
// Forced termination on Linux.
//
// A thread is killed with a real-time signal whose handler ends the kernel
// thread with the raw exit system call: no unwinding, no destructors, no
// cleanup handlers, no C library exit path. The kernel still releases the
// robust mutexes the thread held, which is what abandons them.
//
// Two things must not be cut short by a kill: the layer's own bookkeeping
// (allocation, reference counts, internal locks, thread creation) and the
// reclamation of the killed thread's stack. The first is covered by deferred
// sections: the handler only notes the kill while the thread is inside one,
// and the thread exits when it leaves the outermost. The second is done by the
// reaper, a thread of the layer's own that joins every killed thread, started
// when a kill needs it and gone once the queue is empty. A terminator must not
// do the join itself: it may be killed while waiting, and two threads that
// kill each other would each wait for the other forever.
//
// The signal is a number any process of the same user can send, so the handler
// acts only on a kill the layer itself is carrying out: sent by this process
// to that very thread, and received by a thread of the layer whose termination
// has been claimed. Every other arrival is handed to the handler that was
// installed before ours, or ignored: it never ends a thread.
#include <errno.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

#include "platform/linux/detectors.h"
#include "platform/linux/internal.h"

namespace velkor {
namespace kernel {
namespace linux_layer {
namespace {

// The signal handler reads these, so they must be reachable without calling
// into the dynamic loader: initial-exec TLS never allocates.
__thread volatile sig_atomic_t deferDepth __attribute__((tls_model("initial-exec")));
__thread volatile sig_atomic_t killPending __attribute__((tls_model("initial-exec")));

// Taken only inside deferred sections, so never left held by a killed thread.
pthread_mutex_t bookkeeping = PTHREAD_MUTEX_INITIALIZER;

std::atomic<bool> handlerInstalled{false};  // written under bookkeeping

// What the signal did before the layer took it over: arrivals that are not
// the layer's kills still go there. Written once, before the handler.
struct sigaction earlierAction;

// Killed threads waiting to be joined, newest first. The reaper takes the
// whole list at once, so the compare-and-swap push cannot suffer ABA.
std::atomic<ThreadObject*> reapQueue{nullptr};

// The reaper runs only while there is work: an idle process has no thread of
// the layer's own, and none is left running at exit for leak checkers to see.
std::atomic<bool> reaperActive{false};

void EnterDeferral() {
  deferDepth = deferDepth + 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

void LeaveDeferral() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  deferDepth = deferDepth - 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  // A kill that arrives after the decrement finds the depth at zero and exits
  // in the handler; one that arrived before is seen here.
  if (deferDepth == 0 && killPending != 0) {
    ExitThreadNow();
  }
}

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

void OnKillSignal(int signal, siginfo_t* info, void* context) {
  if (!SentByThisProcessToThisThread(info) || !CurrentThreadIsClaimedForKill()) {
    PassOn(signal, info, context);
    return;
  }
  if (deferDepth != 0) {
    killPending = 1;
    return;
  }
  if (InsideDetectorRuntime(context)) {
    return;  // declined: the terminator sends the signal again
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
      // its stack goes back to the C library's cache.
      pthread_join(oldestFirst->thread, nullptr);
      FinishKilledThread(oldestFirst);
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
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  // The reaper inherits this mask: it must never run a client's handler for a
  // process-wide signal, and must never receive the kill signal.
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

// fork copies only the calling thread: the child must not inherit a held
// bookkeeping lock, nor count on a reaper that did not come along.
void BeforeFork() {
  EnterDeferral();
  pthread_mutex_lock(&bookkeeping);
}

void AfterForkInParent() {
  pthread_mutex_unlock(&bookkeeping);
  LeaveDeferral();
}

void AfterForkInChild() {
  pthread_mutex_init(&bookkeeping, nullptr);
  reaperActive.store(false, std::memory_order_relaxed);
  reapQueue.store(nullptr, std::memory_order_relaxed);
  // A kill aimed at the parent's thread is not meant for the child's copy.
  killPending = 0;
  ForgetClaimOnCurrentThread();
  LeaveDeferral();
}

}  // namespace

DeferTermination::DeferTermination() { EnterDeferral(); }

DeferTermination::~DeferTermination() { LeaveDeferral(); }

BookkeepingLock::BookkeepingLock() { pthread_mutex_lock(&bookkeeping); }

BookkeepingLock::~BookkeepingLock() { pthread_mutex_unlock(&bookkeeping); }

int KillSignal() {
  // Far enough from SIGRTMIN, which timers and other libraries tend to take.
  return SIGRTMIN + 6;
}

void ExitThreadNow() {
  // From here on nothing may interrupt the end: a kill sent again meanwhile
  // (KillsMayBeDeclined) must not begin it a second time.
  sigset_t all;
  sigfillset(&all);
  syscall(SYS_rt_sigprocmask, SIG_BLOCK, &all, nullptr, _NSIG / 8);
  ThreadObject* self = CurrentThread();
  if (self != nullptr) {
    self->dying.store(1, std::memory_order_release);
  }
  // A race detector must hear, from this thread, that its mutexes go to their
  // next owners and that its end precedes whatever waited for it.
  AnnounceEndOfThread();
  if (self != nullptr) {
    AnnounceHappensBefore(&self->ended);
  }
  FinishThreadForDetector();
  // The C library keeps pthread_setspecific values in the thread's descriptor
  // and hands that descriptor, with its stack, to a later thread as it is: an
  // ordinary exit clears the values, this one must too, or the next thread
  // would start with the dead one's state. What the values point to is left
  // alone; no cleanup of the thread's own runs.
  for (pthread_key_t key = 0; key < PTHREAD_KEYS_MAX; ++key) {
    pthread_setspecific(key, nullptr);
  }
  for (;;) {
    syscall(SYS_exit, 0);
  }
}

bool EnsureThreadSupport() {
  if (handlerInstalled.load(std::memory_order_acquire)) {
    return true;
  }
  BookkeepingLock lock;
  if (!handlerInstalled.load(std::memory_order_relaxed)) {
    SigactionFunction install = KillSignalInstaller();
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
    pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
    handlerInstalled.store(true, std::memory_order_release);
  }
  return true;
}

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

void FutexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected) {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr,
          nullptr, 0);
}

void FutexWake(std::atomic<std::uint32_t>* word, int count) {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr,
          nullptr, 0);
}

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
