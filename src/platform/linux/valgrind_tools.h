// SPDX-License-Identifier: MIT
// Helgrind's and DRD's client requests, one file each (their headers define
// the same annotation macros differently). Each request is a few instructions
// that do nothing outside Valgrind, and nothing under a tool that does not
// know it; Watching() tells which tool runs. Without Valgrind's headers at
// build time, no tool is ever found watching.
#ifndef VELKORTHREAD_PLATFORM_LINUX_VALGRIND_TOOLS_H
#define VELKORTHREAD_PLATFORM_LINUX_VALGRIND_TOOLS_H

#include <cstddef>

namespace velkor {
namespace kernel {
namespace linux_layer {

#define VELKOR_VALGRIND_TOOL_REQUESTS                   \
  bool Watching();                                      \
  void MutexCreated(const void* mutex);                 \
  void MutexDestroyed(const void* mutex);               \
  void BeforeLock(const void* mutex, bool outermost);   \
  void AfterLock(const void* mutex, bool outermost);    \
  void BeforeUnlock(const void* mutex, bool outermost); \
  void AfterUnlock(const void* mutex, bool outermost);  \
  void HappensBefore(const void* tag);                  \
  void HappensAfter(const void* tag);                   \
  void Hide(const void* address, std::size_t size);     \
  void Show(const void* address, std::size_t size);

namespace helgrind {
VELKOR_VALGRIND_TOOL_REQUESTS
}  // namespace helgrind

namespace drd {
VELKOR_VALGRIND_TOOL_REQUESTS
}  // namespace drd

#undef VELKOR_VALGRIND_TOOL_REQUESTS

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_LINUX_VALGRIND_TOOLS_H
