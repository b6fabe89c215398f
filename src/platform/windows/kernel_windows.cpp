// The two creations of the Windows kernel seam (see kernel.h).
#include "kernel.h"

namespace velkor {
namespace kernel {

Handle SystemMutexCreate() { return CreateMutexA(nullptr, FALSE, nullptr); }

Handle SystemThreadCreate(ThreadRoutine routine, void* param, UInt32* id) {
  return CreateThread(nullptr, 0, routine, param, 0, id);
}

}  // namespace kernel
}  // namespace velkor
