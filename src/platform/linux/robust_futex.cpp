// SPDX-License-Identifier: MIT
// The rare paths of our own robust futexes, and the check at first use that
// the C library's robust lists are what they rely on.
#include <linux/futex.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "platform/linux/internal.h"

namespace velkor {
namespace kernel {
namespace linux_layer {

__thread FutexThread futexThread
    __attribute__((tls_model("initial-exec"))) = {nullptr, 0, kNotStarted};

#if defined(VELKOR_KERNEL_TEST_HOOKS)
namespace testhooks {
void (*volatile mutexStep)(MutexStep step) = nullptr;
}
#endif

namespace {

std::atomic<std::uint64_t> lastThreadId{0};

// A list of our own for a thread that the C library did not give one: the
// field before the head stands for the `prev` that an empty list's first
// node would have.
struct OwnRobustList {
  void* prevOfHead;
  RobustListHead head;
};
__thread OwnRobustList ownList __attribute__((tls_model("initial-exec")));

RobustListHead* RegisteredList() {
  RobustListHead* head = nullptr;
  size_t length = 0;
  if (syscall(SYS_get_robust_list, 0, &head, &length) != 0 || length != sizeof(RobustListHead)) {
    return nullptr;
  }
  return head;
}

RobustListHead* RegisterOwnList() {
  ownList.prevOfHead = &ownList.head;
  ownList.head.list = &ownList.head;
  ownList.head.futexOffset = kFutexOffset;
  ownList.head.listOpPending = nullptr;
  syscall(SYS_set_robust_list, &ownList.head, sizeof(RobustListHead));
  return &ownList.head;
}

void FutexWaitShared(std::atomic<std::uint32_t>* word, std::uint32_t expected) {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT, expected, nullptr, nullptr,
          0);
}

// Returns the number of waiters woken.
long FutexWakeOneShared(std::atomic<std::uint32_t>* word) {
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE, 1, nullptr, nullptr,
                 0);
}

}  // namespace

void FutexThreadStart(FutexThread* self) {
  RobustListHead* head = RegisteredList();
  if (head == nullptr || head->futexOffset != kFutexOffset) {
    head = RegisterOwnList();
  }
  self->tid = static_cast<std::uint32_t>(syscall(SYS_gettid));
  self->id = lastThreadId.fetch_add(1, std::memory_order_relaxed) + 1;
  self->head = head;
}

// The word is taken by someone else, or free with FUTEX_OWNER_DIED. A thread
// that has slept takes the word with FUTEX_WAITERS, since others may still
// sleep: its release then wakes the next one.
void FutexAcquireContended(FutexMutex* mutex, const FutexThread* self) {
  std::uint32_t value = mutex->word.load(std::memory_order_relaxed);
  bool slept = false;
  for (;;) {
    if ((value & FUTEX_TID_MASK) == 0) {
      // Free, perhaps abandoned: taking it is an acquisition like any other.
      std::uint32_t waiters = (slept || (value & FUTEX_WAITERS) != 0) ? FUTEX_WAITERS : 0;
      if (mutex->word.compare_exchange_weak(value, self->tid | waiters, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
        // Our release will wake a waiter: no wake is owed any more.
        if (waiters != 0 && mutex->wakeOwed.load(std::memory_order_relaxed) != 0) {
          mutex->wakeOwed.store(0, std::memory_order_relaxed);
        }
        return;
      }
      continue;
    }
    if ((value & FUTEX_WAITERS) == 0) {
      if (!mutex->word.compare_exchange_weak(value, value | FUTEX_WAITERS,
                                             std::memory_order_relaxed)) {
        continue;
      }
      value |= FUTEX_WAITERS;
    }
    VELKOR_MUTEX_STEP(MutexStep::kAcquireWaiting);
    FutexWaitShared(&mutex->word, value);
    VELKOR_MUTEX_STEP(MutexStep::kAcquireWoken);
    slept = true;
    value = mutex->word.load(std::memory_order_relaxed);
  }
}

// Someone sleeps. The wake is owed from before the word is released until a
// waiter has taken the word back with FUTEX_WAITERS or a later release has
// woken someone: a death of ours after the release, or of the waiter we woke
// before it takes the word, then loses nothing even if a third thread takes
// and releases the word meanwhile without ever sleeping. A wake that found
// nobody asleep leaves nothing to lose; the common case of two threads taking
// turns then costs no extra wake. (It could cancel the owed wake of a second
// release made in the same instant whose woken waiter then dies before taking
// the word: two deaths' worth of coincidence, which the kernel's own robust
// mutexes do not survive either.)
void FutexReleaseContended(FutexMutex* mutex) {
  mutex->wakeOwed.store(1, std::memory_order_relaxed);
  mutex->word.exchange(0, std::memory_order_seq_cst);
  VELKOR_MUTEX_STEP(MutexStep::kReleaseFreed);
  if (FutexWakeOneShared(&mutex->word) == 0) {
    std::uint32_t owed = 1;
    mutex->wakeOwed.compare_exchange_strong(owed, 0, std::memory_order_relaxed);
  }
}

void FutexPayOwedWake(FutexMutex* mutex) {
  if (mutex->wakeOwed.exchange(0, std::memory_order_seq_cst) != 0) {
    FutexWakeOneShared(&mutex->word);
  }
}

bool FutexHeldByOtherThread(const FutexMutex* mutex) {
  return (mutex->word.load(std::memory_order_acquire) & FUTEX_TID_MASK) != 0 &&
         mutex->owner.load(std::memory_order_relaxed) != futexThread.id;
}

void FutexReleaseAll(FutexMutex* mutex) {
  if (mutex->owner.load(std::memory_order_relaxed) == futexThread.id) {
    mutex->depth = 1;
    FutexRelease(mutex);
  }
}

namespace {

// The kernel wakes a waiter of a word that a dying thread had just released
// (list_op_pending set, word 0) since Linux 5.10; before, a death between the
// release and the wake could leave a waiter asleep for good.
bool KernelWakesForPendingRelease() {
  utsname name;
  int major = 0;
  int minor = 0;
  if (uname(&name) != 0 || sscanf(name.release, "%d.%d", &major, &minor) != 2) {
    return false;
  }
  return major > 5 || (major == 5 && minor >= 10);
}

void** Node(void* entry) { return NodeOf(entry); }

// Where the C library's robust pthread mutexes are linked, and where our
// nodes must be for the lists to agree.
#if defined(__GLIBC__) && defined(__PTHREAD_MUTEX_HAVE_PREV) && __PTHREAD_MUTEX_HAVE_PREV
constexpr bool kLayoutKnown = true;
void* EntryOf(pthread_mutex_t* mutex) { return &mutex->__data.__list.__next; }
constexpr long kLibraryFutexOffset =
    static_cast<long>(offsetof(pthread_mutex_t, __data.__lock)) -
    static_cast<long>(offsetof(pthread_mutex_t, __data.__list.__next));
#else
constexpr bool kLayoutKnown = false;
void* EntryOf(pthread_mutex_t*) { return nullptr; }
constexpr long kLibraryFutexOffset = 0;
#endif

// One step of the check: whether `entry` is linked right after `before`.
bool Follows(void* before, void* entry) {
  return Node(before)[0] == entry && Node(entry)[-1] == before;
}

bool InitRobust(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) {
    return false;
  }
  bool done = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutex_init(mutex, &attributes) == 0;
  pthread_mutexattr_destroy(&attributes);
  return done;
}

// Links a node of ours among two robust pthread mutexes, has the C library
// unlink its mutexes on either side of it, and checks every link on the way.
// The list is left as it was found, whatever the outcome.
bool ListKeepsOurNodes(RobustListHead* head) {
  pthread_mutex_t first;
  pthread_mutex_t second;
  if (!InitRobust(&first)) {
    return false;
  }
  if (!InitRobust(&second)) {
    pthread_mutex_destroy(&first);
    return false;
  }
  void* end = head->list;
  const std::uint32_t tid = static_cast<std::uint32_t>(syscall(SYS_gettid));
  FutexMutex ours;
  FutexInit(&ours);
  bool agrees = pthread_mutex_lock(&first) == 0;
  void* entry = EntryOf(&first);
  if (agrees) {
    agrees =
        Follows(head, entry) && Follows(entry, end) &&
        *reinterpret_cast<std::uint32_t*>(static_cast<char*>(entry) + head->futexOffset) == tid;
    if (!agrees) {
      pthread_mutex_unlock(&first);
    }
  }
  if (agrees) {
    LinkHeld(&ours, head);
    agrees = agrees && Follows(head, &ours.next) && Follows(&ours.next, entry);
    bool secondLocked = pthread_mutex_lock(&second) == 0;
    agrees = agrees && secondLocked && Follows(head, EntryOf(&second)) &&
             Follows(EntryOf(&second), &ours.next);
    pthread_mutex_unlock(&first);
    agrees = agrees && Follows(&ours.next, end);
    UnlinkHeld(&ours);
    if (secondLocked) {
      agrees = agrees && Follows(EntryOf(&second), end);
      pthread_mutex_unlock(&second);
    }
  }
  agrees = agrees && head->list == end && Node(end)[-1] == head && head->listOpPending == nullptr;
  pthread_mutex_destroy(&second);
  pthread_mutex_destroy(&first);
  return agrees;
}

// fork copies only the calling thread, as a thread of its own: it owns none of
// the mutexes its original held (the C library empties the child's robust
// list), and its kernel id is new.
void AfterForkInChild() {
  if (futexThread.head != nullptr) {
    futexThread.tid = static_cast<std::uint32_t>(syscall(SYS_gettid));
    futexThread.id = lastThreadId.fetch_add(1, std::memory_order_relaxed) + 1;
  }
}

// A test build forces the fallback, to run the same suites over it.
#if defined(VELKOR_FORCE_PTHREAD_MUTEX)
constexpr bool kFallbackForced = true;
#else
constexpr bool kFallbackForced = false;
#endif

bool CheckRobustLists() {
  if (kFallbackForced || !kLayoutKnown || kLibraryFutexOffset != kFutexOffset ||
      !KernelWakesForPendingRelease()) {
    return false;
  }
  RobustListHead* head = RegisteredList();
  if (head == nullptr || head->futexOffset != kFutexOffset || head->listOpPending != nullptr ||
      !ListKeepsOurNodes(head)) {
    return false;
  }
  return pthread_atfork(nullptr, nullptr, AfterForkInChild) == 0;
}

}  // namespace

// Called inside a deferred section: the check links a node of its own for a
// moment, which a kill must not interrupt.
bool OwnFutexesUsable() {
  static const bool usable = CheckRobustLists();
  return usable;
}

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
