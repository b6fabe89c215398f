// SPDX-License-Identifier: MIT
// The layer's one set of fork handlers (fork_handlers.cpp).
#ifndef VELKORTHREAD_PLATFORM_LINUX_FORK_HANDLERS_H
#define VELKORTHREAD_PLATFORM_LINUX_FORK_HANDLERS_H

namespace velkor {
namespace kernel {
namespace linux_layer {

// Registers them, once per process, from inside a deferred section; false if
// the C library refused (out of memory), and then every time after.
bool ForkHandlersInstalled();

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_LINUX_FORK_HANDLERS_H
