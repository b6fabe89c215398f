// SPDX-License-Identifier: MIT
// Announcing the layer to race detectors (see detectors.h).
#include "platform/linux/detectors.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include "platform/linux/internal.h"
#include "platform/linux/valgrind_tools.h"

namespace velkor {
namespace kernel {
namespace linux_layer {
namespace {

// ThreadSanitizer's interface for mutexes it cannot intercept, with the flag
// values of its public header (sanitizer/tsan_interface.h). Looked up by name,
// so that the library links against no runtime of the tool.
constexpr unsigned kTsanWriteReentrant = 1u << 1;
constexpr unsigned kTsanNotStatic = 1u << 8;
constexpr unsigned kTsanTryLockFailed = 1u << 5;

struct ThreadSanitizerEntries {
  void (*create)(void* mutex, unsigned flags);
  void (*destroy)(void* mutex, unsigned flags);
  void (*preLock)(void* mutex, unsigned flags);
  void (*postLock)(void* mutex, unsigned flags, int recursion);
  int (*preUnlock)(void* mutex, unsigned flags);
  void (*postUnlock)(void* mutex, unsigned flags);
  void (*release)(void* tag);
  void (*acquire)(void* tag);
};

ThreadSanitizerEntries tsan;

// Where the tool's runtime code lies, to tell a thread interrupted inside it.
std::uintptr_t runtimeStart = 0;
std::uintptr_t runtimeEnd = 0;

// The C library's table of thread-specific keys and their destructors: the
// tool ends a thread from one of them. Used only once its layout has been
// checked against a key of our own.
struct KeySlot {
  std::uintptr_t sequence;  // odd while the key is in use
  void (*destructor)(void*);
};
const KeySlot* keySlots = nullptr;

SigactionFunction installKillSignal = sigaction;

template <typename Function>
bool Find(Function* entry, const char* name) {
  *entry = reinterpret_cast<Function>(dlsym(RTLD_DEFAULT, name));
  return *entry != nullptr;
}

// The runtime is in the process exactly when the program was built with it.
bool FindThreadSanitizer() {
  return dlsym(RTLD_DEFAULT, "__tsan_init") != nullptr &&
         Find(&tsan.create, "__tsan_mutex_create") && Find(&tsan.destroy, "__tsan_mutex_destroy") &&
         Find(&tsan.preLock, "__tsan_mutex_pre_lock") &&
         Find(&tsan.postLock, "__tsan_mutex_post_lock") &&
         Find(&tsan.preUnlock, "__tsan_mutex_pre_unlock") &&
         Find(&tsan.postUnlock, "__tsan_mutex_post_unlock") &&
         Find(&tsan.release, "__tsan_release") && Find(&tsan.acquire, "__tsan_acquire");
}

// Written once, before any watched mutex or thread exists; read by signal
// handlers too, hence no lock.
Detector watching = Detector::kNone;
pthread_once_t detection = PTHREAD_ONCE_INIT;

// A thread that ends through the C library runs this key's destructor with
// the mutexes it still holds, before the detector's own end of the thread.
pthread_key_t endOfThreadKey;

constexpr std::uint32_t kWatchedMark = 0x57415443;  // never a spin count

// The outermost acquisition a thread has announced as begun and not yet as
// done: a kill in between must not lose (or repeat) its end.
__thread FutexMutex* pendingLock __attribute__((tls_model("initial-exec")));
__thread bool endOfThreadWatched __attribute__((tls_model("initial-exec")));

// What every thread's end is announced on, for the pthread kind (see
// ThreadEndsTag).
char threadEnds;

void OnEndOfThread(void*) { AnnounceEndOfThread(); }

int FindRuntimeText(dl_phdr_info* info, std::size_t, void* data) {
  std::uintptr_t address = reinterpret_cast<std::uintptr_t>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
    if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X) != 0 && address >= start &&
        address < start + segment.p_memsz) {
      runtimeStart = start;
      runtimeEnd = start + segment.p_memsz;
      return 1;
    }
  }
  return 0;
}

bool InRuntime(std::uintptr_t address) { return address >= runtimeStart && address < runtimeEnd; }

// Past ThreadSanitizer's interception, so that the kill signal's handler runs
// when the signal arrives (see KillSignalInstaller).
void PrepareKillsUnderThreadSanitizer() {
  dl_iterate_phdr(FindRuntimeText, reinterpret_cast<void*>(tsan.create));
  void* library = dlopen("libc.so.6", RTLD_NOLOAD | RTLD_LAZY);
  void* own = (library != nullptr) ? dlsym(library, "sigaction") : nullptr;
  if (own != nullptr) {
    installKillSignal = reinterpret_cast<SigactionFunction>(own);
  }
  const KeySlot* slots = static_cast<const KeySlot*>(dlsym(RTLD_DEFAULT, "__pthread_keys"));
  if (slots != nullptr && (slots[endOfThreadKey].sequence & 1) != 0 &&
      slots[endOfThreadKey].destructor == OnEndOfThread) {
    keySlots = slots;
  }
}

void Detect() {
  if (helgrind::Watching()) {
    watching = Detector::kHelgrind;
  } else if (drd::Watching()) {
    watching = Detector::kDrd;
  } else if (FindThreadSanitizer()) {
    watching = Detector::kThreadSanitizer;
  }
  if (watching != Detector::kNone && pthread_key_create(&endOfThreadKey, OnEndOfThread) != 0) {
    watching = Detector::kNone;
  }
  if (watching == Detector::kThreadSanitizer) {
    PrepareKillsUnderThreadSanitizer();
  }
}

void BeforeLock(FutexMutex* mutex, bool outermost) {
  switch (watching) {
    case Detector::kThreadSanitizer:
      tsan.preLock(mutex, 0);
      break;
    case Detector::kHelgrind:
      helgrind::BeforeLock(mutex, outermost);
      break;
    case Detector::kDrd:
      drd::BeforeLock(mutex, outermost);
      break;
    case Detector::kNone:
      break;
  }
}

void AfterLock(FutexMutex* mutex, bool outermost) {
  switch (watching) {
    case Detector::kThreadSanitizer:
      tsan.postLock(mutex, 0, 0);
      break;
    case Detector::kHelgrind:
      helgrind::AfterLock(mutex, outermost);
      break;
    case Detector::kDrd:
      drd::AfterLock(mutex, outermost);
      break;
    case Detector::kNone:
      break;
  }
}

void BeforeUnlock(FutexMutex* mutex, bool outermost) {
  switch (watching) {
    case Detector::kThreadSanitizer:
      tsan.preUnlock(mutex, 0);
      break;
    case Detector::kHelgrind:
      helgrind::BeforeUnlock(mutex, outermost);
      break;
    case Detector::kDrd:
      drd::BeforeUnlock(mutex, outermost);
      break;
    case Detector::kNone:
      break;
  }
}

void AfterUnlock(FutexMutex* mutex, bool outermost) {
  switch (watching) {
    case Detector::kThreadSanitizer:
      tsan.postUnlock(mutex, 0);
      break;
    case Detector::kHelgrind:
      helgrind::AfterUnlock(mutex, outermost);
      break;
    case Detector::kDrd:
      drd::AfterUnlock(mutex, outermost);
      break;
    case Detector::kNone:
      break;
  }
}

// Every level the calling thread holds, as released, without releasing: for
// a thread about to end, whose mutexes the kernel frees.
void AnnounceAbandoned(FutexMutex* mutex) {
  for (std::uint32_t level = mutex->depth; level > 0; --level) {
    BeforeUnlock(mutex, level == 1);
    AfterUnlock(mutex, level == 1);
  }
}

FutexMutex* MutexOfEntry(void* entry) {
  return reinterpret_cast<FutexMutex*>(reinterpret_cast<char*>(NodeOf(entry)) -
                                       offsetof(FutexMutex, next));
}

}  // namespace

Detector WatchingDetector() {
  pthread_once(&detection, Detect);
  return watching;
}

void WatchMutex(FutexMutex* mutex) {
  mutex->watchMark = kWatchedMark;
  HideFromDetector(mutex, sizeof *mutex);
  switch (watching) {
    case Detector::kThreadSanitizer:
      tsan.create(mutex, kTsanWriteReentrant | kTsanNotStatic);
      break;
    case Detector::kHelgrind:
      helgrind::MutexCreated(mutex);
      break;
    case Detector::kDrd:
      drd::MutexCreated(mutex);
      break;
    case Detector::kNone:
      break;
  }
}

void UnwatchMutex(FutexMutex* mutex) {
  mutex->watchMark = 0;
  switch (watching) {
    case Detector::kThreadSanitizer:
      tsan.destroy(mutex, kTsanNotStatic);
      break;
    case Detector::kHelgrind:
      helgrind::MutexDestroyed(mutex);
      break;
    case Detector::kDrd:
      drd::MutexDestroyed(mutex);
      break;
    case Detector::kNone:
      break;
  }
}

void WatchEndOfThread() {
  if (!endOfThreadWatched) {
    endOfThreadWatched = true;
    pthread_setspecific(endOfThreadKey, &endOfThreadKey);
  }
}

const void* ThreadEndsTag() { return &threadEnds; }

// Only the outermost acquisition can block, and a kill must be able to end a
// thread that waits there; every other step runs in a deferred section, and
// pendingLock covers the moment between the wait and that section.
void WatchedFutexAcquire(FutexMutex* mutex) {
  WatchEndOfThread();
  bool outermost = mutex->owner.load(std::memory_order_relaxed) != futexThread.id;
  if (!outermost) {
    DeferTermination defer;
    BeforeLock(mutex, false);
    FutexAcquire(mutex);
    AfterLock(mutex, false);
    return;
  }
  {
    DeferTermination defer;
    BeforeLock(mutex, true);
    pendingLock = mutex;
  }
  FutexAcquire(mutex);
  DeferTermination defer;
  AfterLock(mutex, true);
  pendingLock = nullptr;
}

// A release by a thread that does not own the mutex changes nothing, and is
// not announced either.
void WatchedFutexRelease(FutexMutex* mutex) {
  DeferTermination defer;
  if (mutex->owner.load(std::memory_order_relaxed) != futexThread.id) {
    return;
  }
  bool outermost = mutex->depth == 1;
  BeforeUnlock(mutex, outermost);
  FutexRelease(mutex);
  AfterUnlock(mutex, outermost);
}

void WatchedFutexReleaseAll(FutexMutex* mutex) {
  DeferTermination defer;
  if (mutex->owner.load(std::memory_order_relaxed) != futexThread.id) {
    return;
  }
  AnnounceAbandoned(mutex);
  FutexReleaseAll(mutex);
}

// Walks the thread's robust list, where every mutex it holds is linked; the
// mark tells our watched mutexes from the C library's nodes, whose field at
// that place robust mutexes leave zero.
void AnnounceEndOfThread() {
  if (watching == Detector::kNone) {
    return;
  }
  AnnounceHappensBefore(&threadEnds);
  const FutexThread* self = &futexThread;
  if (self->head == nullptr) {
    return;
  }
  // A wait that the end cut short: ThreadSanitizer must leave the section it
  // entered when the acquisition began, or it fails the thread's end.
  FutexMutex* pending = pendingLock;
  if (pending != nullptr && pending->owner.load(std::memory_order_relaxed) != self->id &&
      watching == Detector::kThreadSanitizer) {
    tsan.postLock(pending, kTsanTryLockFailed, 0);
  }
  void* end = self->head;
  int bound = 1 << 16;  // a list that does not come back is not walked forever
  for (void* entry = self->head->list; entry != end && entry != nullptr && bound > 0;
       entry = NodeOf(entry)[0], --bound) {
    FutexMutex* mutex = MutexOfEntry(entry);
    if (mutex->watchMark != kWatchedMark ||
        mutex->owner.load(std::memory_order_relaxed) != self->id) {
      continue;
    }
    if (mutex == pendingLock) {
      AfterLock(mutex, true);
    }
    AnnounceAbandoned(mutex);
  }
  pendingLock = nullptr;
}

void AnnounceHappensBefore(const void* tag) {
  switch (watching) {
    case Detector::kThreadSanitizer:
      tsan.release(const_cast<void*>(tag));
      break;
    case Detector::kHelgrind:
      helgrind::HappensBefore(tag);
      break;
    case Detector::kDrd:
      drd::HappensBefore(tag);
      break;
    case Detector::kNone:
      break;
  }
}

void AnnounceHappensAfter(const void* tag) {
  switch (watching) {
    case Detector::kThreadSanitizer:
      tsan.acquire(const_cast<void*>(tag));
      break;
    case Detector::kHelgrind:
      helgrind::HappensAfter(tag);
      break;
    case Detector::kDrd:
      drd::HappensAfter(tag);
      break;
    case Detector::kNone:
      break;
  }
}

SigactionFunction KillSignalInstaller() {
  WatchingDetector();
  return installKillSignal;
}

bool KillsMayBeDeclined() { return watching == Detector::kThreadSanitizer; }

bool InsideDetectorRuntime(const void* signalContext) {
  if (watching != Detector::kThreadSanitizer || signalContext == nullptr) {
    return false;
  }
  const mcontext_t& machine = static_cast<const ucontext_t*>(signalContext)->uc_mcontext;
#if defined(__x86_64__)
  return InRuntime(static_cast<std::uintptr_t>(machine.gregs[REG_RIP]));
#elif defined(__aarch64__)
  return InRuntime(static_cast<std::uintptr_t>(machine.pc));
#else
  (void)machine;
  return false;
#endif
}

// Runs the destructors that the tool registered, as the C library would at
// the thread's end. ExitThreadNow has blocked every signal: the tool's
// handlers must not run on the thread once it has ended there.
void FinishThreadForDetector() {
  if (watching != Detector::kThreadSanitizer || keySlots == nullptr) {
    return;
  }
  for (pthread_key_t key = 0; key < PTHREAD_KEYS_MAX; ++key) {
    KeySlot slot = keySlots[key];
    if ((slot.sequence & 1) == 0 || !InRuntime(reinterpret_cast<std::uintptr_t>(slot.destructor))) {
      continue;
    }
    for (int round = 0; round < PTHREAD_DESTRUCTOR_ITERATIONS; ++round) {
      void* value = pthread_getspecific(key);
      if (value == nullptr) {
        break;
      }
      pthread_setspecific(key, nullptr);
      slot.destructor(value);
    }
  }
}

// ThreadSanitizer does not see the layer's accesses at all: nothing to hide.
void HideFromDetector(const void* address, std::size_t size) {
  if (watching == Detector::kHelgrind) {
    helgrind::Hide(address, size);
  } else if (watching == Detector::kDrd) {
    drd::Hide(address, size);
  }
}

void ShowToDetector(const void* address, std::size_t size) {
  if (watching == Detector::kHelgrind) {
    helgrind::Show(address, size);
  } else if (watching == Detector::kDrd) {
    drd::Show(address, size);
  }
}

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
