// SPDX-License-Identifier: MIT
// The layer's one set of fork handlers (fork_handlers.cpp).
#ifndef VELKORTHREAD_PLATFORM_LINUX_FORK_HANDLERS_H
#define VELKORTHREAD_PLATFORM_LINUX_FORK_HANDLERS_H

namespace velkor {
namespace kernel {
namespace linux_layer {

// Registers them, once per process, as the library is loaded (or at the first
// call, if that comes first); false if the C library refused (out of
// memory), and then every time after: the layer then creates no mutex and no
// thread, since a child could inherit its bookkeeping lock held.
bool ForkHandlersInstalled();

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor

#endif  // VELKORTHREAD_PLATFORM_LINUX_FORK_HANDLERS_H
