// SPDX-License-Identifier: MIT
// A thread's robust list: finding it, and the check at first use that the C
// library's lists keep nodes of ours right.
#include <pthread.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "platform/linux/futex/futex_mutex.h"

namespace velkor {
namespace kernel {
namespace linux_layer {

__thread FutexThread futexThread
    __attribute__((tls_model("initial-exec"))) = {nullptr, 0, kNotStarted};

namespace {

std::atomic<std::uint64_t> lastSerial{0};

std::uint64_t NewSerial() { return lastSerial.fetch_add(1, std::memory_order_relaxed) + 1; }

// Set before the first mutex of ours exists, the same hook each time
// (SetRegistrationHook).
std::atomic<void (*)() noexcept> registrationHook{nullptr};

// A list of our own for a thread that the C library did not give one: the
// field before the head stands for the `prev` that an empty list's first
// node would have.
struct OwnRobustList {
  void* prevOfHead;
  RobustListHead head;
};
__thread OwnRobustList ownList __attribute__((tls_model("initial-exec")));

// set_robust_list fails only for a length other than the kernel's own, which
// sizeof(RobustListHead) is; a kernel without robust lists at all fails the
// check at first use, and our mutexes are then never used.
RobustListHead* RegisterOwnList() {
  ownList.prevOfHead = &ownList.head;
  ownList.head.list = &ownList.head;
  ownList.head.futexOffset = kFutexOffset;
  ownList.head.listOpPending = nullptr;
  syscall(SYS_set_robust_list, &ownList.head, sizeof(RobustListHead));
  return &ownList.head;
}

}  // namespace

std::uint32_t KernelThreadId() noexcept { return static_cast<std::uint32_t>(syscall(SYS_gettid)); }

RobustListHead* RegisteredList() noexcept {
  RobustListHead* head = nullptr;
  size_t length = 0;
  if (syscall(SYS_get_robust_list, 0, &head, &length) != 0 || length != sizeof(RobustListHead)) {
    return nullptr;
  }
  return head;
}

void RegisterFutexThread(FutexThread* self) noexcept {
  RobustListHead* head = RegisteredList();
  if (head == nullptr || head->futexOffset != kFutexOffset) {
    head = RegisterOwnList();
  }
  // A thread that starts again, after its end's first steps, keeps its ids:
  // it still owns what it held.
  if (self->serial == kNotStarted) {
    self->tid = KernelThreadId();
    self->serial = NewSerial();
  }
  self->head = head;
  if (void (*hook)() noexcept = registrationHook.load(std::memory_order_acquire)) {
    hook();
  }
}

void SetRegistrationHook(void (*hook)() noexcept) {
  registrationHook.store(hook, std::memory_order_release);
}

void RenewFutexThreadAfterFork() {
  if (futexThread.head != nullptr) {
    futexThread.tid = KernelThreadId();
    futexThread.serial = NewSerial();
  }
}

void RenewFutexThreadSerial() noexcept {
  if (futexThread.head != nullptr) {
    futexThread.serial = NewSerial();
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

// Where the C library's robust pthread mutexes are linked, and where our
// nodes must be for the lists to agree.
#if defined(__GLIBC__) && defined(__PTHREAD_MUTEX_HAVE_PREV) && __PTHREAD_MUTEX_HAVE_PREV
constexpr bool kLayoutKnown = true;
void* LibraryEntryOf(pthread_mutex_t* mutex) { return &mutex->__data.__list.__next; }
constexpr long kLibraryFutexOffset =
    static_cast<long>(offsetof(pthread_mutex_t, __data.__lock)) -
    static_cast<long>(offsetof(pthread_mutex_t, __data.__list.__next));
#else
constexpr bool kLayoutKnown = false;
void* LibraryEntryOf(pthread_mutex_t*) { return nullptr; }
constexpr long kLibraryFutexOffset = 0;
#endif

// One step of the check: whether `entry` is linked right after `before`.
bool Follows(void* before, void* entry) {
  return NodeOf(before)[0] == entry && NodeOf(entry)[-1] == before;
}

// A robust pthread mutex for the check, destroyed with this object.
class LibraryMutex {
 public:
  LibraryMutex() {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) {
      return;
    }
    initialised_ = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
                   pthread_mutex_init(&mutex_, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);  // cannot fail for an initialised one
  }
  ~LibraryMutex() {
    if (initialised_) {
      pthread_mutex_destroy(&mutex_);  // unlocked by then: cannot fail
    }
  }
  LibraryMutex(const LibraryMutex&) = delete;
  LibraryMutex& operator=(const LibraryMutex&) = delete;

  bool Lock() { return initialised_ && pthread_mutex_lock(&mutex_) == 0; }
  bool Unlock() { return pthread_mutex_unlock(&mutex_) == 0; }
  void* Entry() { return LibraryEntryOf(&mutex_); }

 private:
  pthread_mutex_t mutex_;
  bool initialised_ = false;
};

// Links a node of ours between two robust pthread mutexes, has the C library
// unlink its mutexes on either side of it, and checks every link on the way.
// The list is left as it was found, whatever the outcome.
bool ListKeepsOurNodes(RobustListHead* head) {
  LibraryMutex first;
  LibraryMutex second;
  void* const end = head->list;
  if (!first.Lock()) {
    return false;
  }
  const bool libraryLinksAtTheFront = Follows(head, first.Entry()) && Follows(first.Entry(), end);
  const bool wordAtTheListsOffset =
      *reinterpret_cast<std::uint32_t*>(static_cast<char*>(first.Entry()) + head->futexOffset) ==
      KernelThreadId();
  if (!libraryLinksAtTheFront || !wordAtTheListsOffset) {
    first.Unlock();  // its lock succeeded on this thread just now: cannot fail
    return false;
  }
  FutexMutex ours;
  FutexInit(&ours);
  LinkHeld(EntryOf(&ours), head);
  const bool oursLinkedBeforeLibrarys =
      Follows(head, EntryOf(&ours)) && Follows(EntryOf(&ours), first.Entry());
  const bool secondLocked = second.Lock();
  const bool librarysLinkedBeforeOurs =
      secondLocked && Follows(head, second.Entry()) && Follows(second.Entry(), EntryOf(&ours));
  const bool libraryUnlinksAfterOurs = first.Unlock() && Follows(EntryOf(&ours), end);
  UnlinkHeld(EntryOf(&ours));
  const bool ourUnlinkKeepsLibrarys = secondLocked && Follows(second.Entry(), end);
  const bool secondUnlocked = secondLocked && second.Unlock();
  const bool listAsFound =
      head->list == end && NodeOf(end)[-1] == head && head->listOpPending == nullptr;
  return oursLinkedBeforeLibrarys && librarysLinkedBeforeOurs && libraryUnlinksAfterOurs &&
         ourUnlinkKeepsLibrarys && secondUnlocked && listAsFound;
}

// A test build forces the fallback, to run the same suites over it.
#if defined(VELKOR_FORCE_PTHREAD_MUTEX)
constexpr bool kFallbackForced = true;
#else
constexpr bool kFallbackForced = false;
#endif

// Asked only once the fork handlers are in place (no mutex is created without
// them), which our futexes need as well: a child renews the thread's ids
// (RenewFutexThreadAfterFork).
bool CheckRobustLists() {
  const bool layoutAsOurs = kLayoutKnown && kLibraryFutexOffset == kFutexOffset;
  if (kFallbackForced || !layoutAsOurs || !KernelWakesForPendingRelease()) {
    return false;
  }
  RobustListHead* head = RegisteredList();
  const bool registeredAsOurs = head != nullptr && head->futexOffset == kFutexOffset;
  const bool noOperationPending = registeredAsOurs && head->listOpPending == nullptr;
  return noOperationPending && ListKeepsOurNodes(head);
}

}  // namespace

bool ListNodesHavePrev() noexcept { return kLayoutKnown; }

bool OwnFutexesUsable() {
  static const bool usable = CheckRobustLists();
  return usable;
}

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
