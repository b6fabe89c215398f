// SPDX-License-Identifier: MIT
// JMutex: one operating-system mutex per object (see jmutex.h).
#include "jmutex.h"

#include <cstddef>

#include "platform/kernel.h"

namespace kernel = velkor::kernel;

JMutex::JMutex() : handle(nullptr), initialized(false) {
  // Clients compiled against any release lay the object out like this (8
  // bytes on 32-bit Windows); it must never change.
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
  static_assert(offsetof(JMutex, handle) == 0, "handle comes first");
  static_assert(offsetof(JMutex, initialized) == sizeof(void*), "initialized follows handle");
  static_assert(sizeof(JMutex) == 2 * sizeof(void*), "JMutex is two words");
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#endif
  handle = kernel::MutexCreate();
  initialized = (handle != nullptr);
}

JMutex::~JMutex() {
  if (handle != nullptr) {
    kernel::HandleClose(handle);
    handle = nullptr;
  }
}

// A plain memberwise copy would leave two objects closing one handle, and
// would leak the handle it overwrites: each object owns a handle of its own.
JMutex& JMutex::operator=(const JMutex& other) {
  if (this == &other) {
    return *this;
  }
  void* copy = (other.handle != nullptr) ? kernel::HandleDuplicate(other.handle) : nullptr;
  if (handle != nullptr) {
    kernel::HandleClose(handle);
  }
  handle = copy;
  initialized = (copy != nullptr);
  return *this;
}

int JMutex::Init() {
  if (initialized) {
    return MUTEX_ERR_ALREADY_INIT;
  }
  handle = kernel::MutexCreate();
  if (handle == nullptr) {
    return MUTEX_ERR_CREATE_FAILED;
  }
  initialized = true;
  return 0;
}

bool JMutex::IsInitialized() { return initialized; }

int JMutex::Lock() {
  if (!initialized) {
    return MUTEX_ERR_NOT_INIT;
  }
  kernel::MutexAcquire(handle);
  return 0;
}

int JMutex::Unlock() {
  if (!initialized) {
    return MUTEX_ERR_NOT_INIT;
  }
  kernel::MutexRelease(handle);
  return 0;
}
