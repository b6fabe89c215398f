// SPDX-License-Identifier: MIT
// ThreadSanitizer's glue: its entry points, found by name in a client built
// with it; where its runtime's code lies; and what a kill needs under it (the
// signal installed past its interception, kills declined inside its runtime,
// its end of a thread that never returns through the C library). See
// detector_tool.h.
#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <ucontext.h>

#include <cstdint>

#include "platform/linux/detectors/detector_tool.h"

namespace velkor {
namespace kernel {
namespace linux_layer {
namespace {

// Its interface for mutexes it cannot intercept, with the flag values of its
// public header (sanitizer/tsan_interface.h). Looked up by name, so that the
// library links against no runtime of the tool.
constexpr unsigned kTsanWriteReentrant = 1u << 1;
constexpr unsigned kTsanNotStatic = 1u << 8;
constexpr unsigned kTsanTryLockFailed = 1u << 5;

struct Entries {
  void (*create)(void* mutex, unsigned flags);
  void (*destroy)(void* mutex, unsigned flags);
  void (*preLock)(void* mutex, unsigned flags);
  void (*postLock)(void* mutex, unsigned flags, int recursion);
  int (*preUnlock)(void* mutex, unsigned flags);
  void (*postUnlock)(void* mutex, unsigned flags);
  void (*release)(void* tag);
  void (*acquire)(void* tag);
};

Entries entries;

// Written once, when the tool is chosen, before any watched mutex or thread
// exists; read by signal handlers too, hence no lock.
bool armed = false;

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

detector::SigactionFunction installKillSignal = sigaction;

template <typename Function>
bool Find(Function* entry, const char* name) {
  *entry = reinterpret_cast<Function>(dlsym(RTLD_DEFAULT, name));
  return *entry != nullptr;
}

// The runtime is in the process exactly when the program was built with it.
bool FindEntries() {
  return dlsym(RTLD_DEFAULT, "__tsan_init") != nullptr &&
         Find(&entries.create, "__tsan_mutex_create") &&
         Find(&entries.destroy, "__tsan_mutex_destroy") &&
         Find(&entries.preLock, "__tsan_mutex_pre_lock") &&
         Find(&entries.postLock, "__tsan_mutex_post_lock") &&
         Find(&entries.preUnlock, "__tsan_mutex_pre_unlock") &&
         Find(&entries.postUnlock, "__tsan_mutex_post_unlock") &&
         Find(&entries.release, "__tsan_release") && Find(&entries.acquire, "__tsan_acquire");
}

// Its entry points take what they are told about as writable.
void* Writable(const void* address) { return const_cast<void*>(address); }

void MutexCreated(const void* mutex) {
  entries.create(Writable(mutex), kTsanWriteReentrant | kTsanNotStatic);
}
void MutexDestroyed(const void* mutex) { entries.destroy(Writable(mutex), kTsanNotStatic); }
void BeforeLock(const void* mutex, bool) { entries.preLock(Writable(mutex), 0); }
void AfterLock(const void* mutex, bool) { entries.postLock(Writable(mutex), 0, 0); }
// The recursion count it returns serves a mutex released all levels at once;
// ours are released one level at a time.
void BeforeUnlock(const void* mutex, bool) { entries.preUnlock(Writable(mutex), 0); }
void AfterUnlock(const void* mutex, bool) { entries.postUnlock(Writable(mutex), 0); }
void HappensBefore(const void* tag) { entries.release(Writable(tag)); }
void HappensAfter(const void* tag) { entries.acquire(Writable(tag)); }
// It does not see the layer's accesses at all: nothing to hide.
void NotSeen(const void*, std::size_t) {}

const DetectorTool kThreadSanitizer = {MutexCreated, MutexDestroyed, BeforeLock,    AfterLock,
                                       BeforeUnlock, AfterUnlock,    HappensBefore, HappensAfter,
                                       NotSeen,      NotSeen,        false};

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

// Past the tool's interception, so that the kill signal's handler runs when
// the signal arrives (see KillSignalInstaller).
void FindOwnSigaction() {
  void* library = dlopen("libc.so.6", RTLD_NOLOAD | RTLD_LAZY);
  void* own = (library != nullptr) ? dlsym(library, "sigaction") : nullptr;
  if (own != nullptr) {
    installKillSignal = reinterpret_cast<detector::SigactionFunction>(own);
  }
}

// Trusted only if our own key sits in it, in use, with its destructor.
void FindKeySlots(OwnKey ownKey) {
  const KeySlot* slots = static_cast<const KeySlot*>(dlsym(RTLD_DEFAULT, "__pthread_keys"));
  if (slots != nullptr && (slots[ownKey.key].sequence & 1) != 0 &&
      slots[ownKey.key].destructor == ownKey.destructor) {
    keySlots = slots;
  }
}

// Runs one key's destructor as the C library would at the thread's end,
// until the value stays cleared.
void RunKeyDestructor(pthread_key_t key, void (*destructor)(void*)) {
  for (int round = 0; round < PTHREAD_DESTRUCTOR_ITERATIONS; ++round) {
    void* value = pthread_getspecific(key);
    if (value == nullptr) {
      return;
    }
    // Cannot fail: the key is in use, and clearing a value allocates nothing.
    pthread_setspecific(key, nullptr);
    destructor(value);
  }
}

}  // namespace

namespace thread_sanitizer {

const DetectorTool* IfWatching() { return FindEntries() ? &kThreadSanitizer : nullptr; }

void Arm(OwnKey ownKey) {
  // Always finds it: the entry point was found by name, so its code is mapped.
  dl_iterate_phdr(FindRuntimeText, reinterpret_cast<void*>(entries.create));
  FindOwnSigaction();
  FindKeySlots(ownKey);
  armed = true;
}

void AcquisitionCutShort(const void* mutex) {
  if (armed) {
    entries.postLock(Writable(mutex), kTsanTryLockFailed, 0);
  }
}

// Runs the destructors that the tool registered. ExitThreadNow has blocked
// every signal: the tool's handlers must not run on the thread once it has
// ended there.
void FinishThread() {
  if (!armed || keySlots == nullptr) {
    return;
  }
  for (pthread_key_t key = 0; key < PTHREAD_KEYS_MAX; ++key) {
    KeySlot slot = keySlots[key];
    if ((slot.sequence & 1) != 0 && InRuntime(reinterpret_cast<std::uintptr_t>(slot.destructor))) {
      RunKeyDestructor(key, slot.destructor);
    }
  }
}

}  // namespace thread_sanitizer

// The kill hooks of objects/objects.h: only ThreadSanitizer needs them.
namespace detector {

SigactionFunction KillSignalInstaller() {
  Watching();  // the installer is chosen with the tool
  return installKillSignal;
}

bool KillsMayBeDeclined() { return armed; }

bool DeclinesKillAt(const void* signalContext) {
  if (!armed || signalContext == nullptr) {
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

}  // namespace detector
}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
