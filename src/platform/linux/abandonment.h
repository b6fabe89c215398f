// SPDX-License-Identifier: MIT
// Abandonment past the kernel's reach.
//
// At a thread's end the kernel abandons the robust mutexes it holds by walking
// its robust list (robust_list.h), but it walks at most 2,048 entries
// (ROBUST_LIST_LIMIT) and leaves the rest held for good. Windows has no such
// limit, so wherever the layer sees a thread end it takes over a list that is
// longer than that: a kill (ExitThreadNow), and every other end of a thread
// that has acquired one of our mutexes (its return, pthread_exit,
// cancellation), through a thread-specific value's destructor. A shorter list
// is left to the kernel, as before.
#ifndef VELKORTHREAD_PLATFORM_LINUX_ABANDONMENT_H
#define VELKORTHREAD_PLATFORM_LINUX_ABANDONMENT_H

namespace velkor {
namespace kernel {
namespace linux_layer {

// Has the calling thread's end, whatever path it takes but a kill, abandon
// what the kernel would not (AbandonHeldMutexes), free the closed mutexes it
// still holds and pass on the memory it retired (reclamation.cpp); and names
// the thread's hazards once it uses our futexes. Cheap once done: called at
// each acquisition or release that may be the thread's first, and whenever it
// retires a mutex.
void ArrangeThreadEnd() noexcept;

// Does for each mutex in the calling thread's robust list what the kernel does
// at its death, if the list is longer than the kernel walks; then the thread
// owns none of them. Async-signal-safe: ExitThreadNow calls it from the kill
// signal's handler, where the thread may be anywhere in an acquisition or
// release (that one operation, list_op_pending, is left to the kernel).
void AbandonHeldMutexes() noexcept;

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_LINUX_ABANDONMENT_H
