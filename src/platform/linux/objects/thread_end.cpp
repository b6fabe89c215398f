// SPDX-License-Identifier: MIT
// What a thread's end means for the mutexes it held and touched, by every path
// it can take: abandonment past the kernel's walk (futex/), its orphans, its
// hazard and what it retired. Also the bookkeeping lock, deferred sections and
// the fork handlers that keep both sound in a child.
#include <limits.h>
#include <pthread.h>

#include "platform/kernel.h"
#include "platform/linux/objects/mutex_memory.h"

namespace velkor {
namespace kernel {
namespace linux_layer {

__thread volatile sig_atomic_t deferDepth __attribute__((tls_model("initial-exec")));
__thread void (*volatile heldBackKill)() __attribute__((tls_model("initial-exec")));

namespace {

// Taken only inside deferred sections, so never left held by a killed thread.
pthread_mutex_t bookkeeping = PTHREAD_MUTEX_INITIALIZER;

std::atomic<void (*)()> forkChildHook{nullptr};  // SetForkChildHook

// The thread-specific value whose destructor runs at every end of a thread
// but a kill (which runs no destructor: ThreadExitsNow).
pthread_once_t endKeyOnce = PTHREAD_ONCE_INIT;
pthread_key_t endKey;
bool endKeyCreated = false;
__thread bool endArranged __attribute__((tls_model("initial-exec")));
__thread bool hazardsNamed __attribute__((tls_model("initial-exec")));
__thread int endRounds __attribute__((tls_model("initial-exec")));

// Runs once per round of the C library's destructors in which the value is
// set. Everything it undoes is done again by the thread's next call to the
// layer: its list is looked up afresh (futexThread.head null) at its next
// acquisition or release, which names its hazards and sets the value again,
// so that this runs again in the next round.
void AtThreadEnd(void*) {
  endArranged = false;
  ++endRounds;
  AbandonHeldMutexes();
  // A thread of the layer did this as its routine returned.
  CollectOrphansHeldBy(KernelThreadId());
  EndThreadReclamation();
  // Last: what the two calls above retired may have named them again.
  hazardsNamed = false;
  futexThread.head = nullptr;
}

void CreateEndKey() { endKeyCreated = pthread_key_create(&endKey, AtThreadEnd) == 0; }

// fork copies only the calling thread, as a thread of its own: the child must
// not inherit the bookkeeping lock held.
void BeforeFork() {
  EnterDeferral();
  pthread_mutex_lock(&bookkeeping);
}

void AfterForkInParent() {
  pthread_mutex_unlock(&bookkeeping);
  LeaveDeferral();
}

void AfterForkInChild() {
  // The thread's kernel id is new, and it owns none of the mutexes its
  // original held.
  RenewFutexThreadAfterFork();
  // Of the threads whose hazards count, only this one came along.
  KeepOnlyThisThreadsHazardsAfterFork();
  pthread_mutex_init(&bookkeeping, nullptr);  // a default mutex's cannot fail
  // A kill aimed at the parent's thread is not meant for the child's copy.
  heldBackKill = nullptr;
  if (void (*hook)() = forkChildHook.load(std::memory_order_relaxed)) {
    hook();
  }
  LeaveDeferral();
}

}  // namespace

// A default mutex's lock cannot fail, nor its holder's unlock.
BookkeepingLock::BookkeepingLock() { pthread_mutex_lock(&bookkeeping); }

BookkeepingLock::~BookkeepingLock() { pthread_mutex_unlock(&bookkeeping); }

void SetForkChildHook(void (*hook)()) { forkChildHook.store(hook, std::memory_order_relaxed); }

bool ForkHandlersInstalled() {
  static const bool installed =
      pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild) == 0;
  return installed;
}

namespace {

// The C library runs the handlers that prepare a fork newest first, and the
// others oldest first. Registered as the library loads, before the handlers of
// a program linked with it, ours are the innermost pair: the bookkeeping lock
// is taken after every other prepare handler has run and given back before
// any other handler runs, so the program's handlers may create or close
// mutexes of ours, even those it registers before its first mutex. (Not so
// for handlers registered before the library is loaded, e.g. by a program
// that loads it with dlopen later: those must leave our mutexes alone.)
[[maybe_unused]] const bool registeredAtLoad = ForkHandlersInstalled();

}  // namespace

void ArrangeThreadEnd() noexcept {
  if (__builtin_expect(endArranged && (hazardsNamed || futexThread.head == nullptr), 1)) {
    return;
  }
  // pthread_setspecific may allocate: a kill must not land inside.
  DeferTermination defer;
  if (!endArranged) {
    pthread_once(&endKeyOnce, CreateEndKey);  // cannot fail: the arguments are valid
    // Without the value (no key left, or no memory), a thread's end is the
    // kernel's alone, as before, and nothing retired may be freed any more.
    static int anyValue;
    endArranged = endKeyCreated && pthread_setspecific(endKey, &anyValue) == 0;
    // Past the C library's last round, the value's destructor never runs:
    // the thread's record would outlive it.
    if (!endArranged || endRounds >= PTHREAD_DESTRUCTOR_ITERATIONS) {
      StopReclaiming();
    }
  }
  // A thread of our futexes names what it may still touch, from its first
  // acquisition on, whatever its first call to the layer was.
  if (futexThread.head != nullptr && !hazardsNamed) {
    hazardsNamed = true;
    if (!RegisterHazards(futexThread.head)) {
      StopReclaiming();
    }
  }
}

void ThreadReturned(std::uint32_t tid) { CollectOrphansHeldBy(tid); }

HazardRecord* ThreadExitsNow() noexcept { return StopHazards(); }

void KilledThreadJoined(std::uint32_t tid, HazardRecord* hazards) {
  // Closed mutexes it held are free now, and must not outlive its end.
  CollectOrphansHeldBy(tid);
  ForgetHazards(hazards);
}

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
