// SPDX-License-Identifier: MIT
// The robust futex mutex (platform/linux/futex/) as the explorer runs it:
// compiled with VELKOR_FUTEX_MODEL, its atomics are ModelAtomic and its stores
// to the robust list go through ModelListStore. Each such access is a
// scheduling point, where another task may go first or the explorer may end
// the task, and the simulated kernel (platform/sim/futex_sim.cpp) walks a
// dead task's list as Linux does. One task runs at a time, so every run is
// sequentially consistent: the explorer finds faults in the order of the
// accesses, not those of a weaker memory order.
#ifndef VELKORTHREAD_SCHED_FUTEX_MODEL_H
#define VELKORTHREAD_SCHED_FUTEX_MODEL_H

#include <atomic>
#include <cstdint>

namespace velkor {
namespace kernel {
namespace linux_layer {
struct FutexMutex;
}  // namespace linux_layer
}  // namespace kernel

namespace sim {

// Before an access: the scheduling point, then the check that the memory has
// not been given back. After it: the trace, and the record of takeovers.
void BeforeModelAccess(const void* field);
void AfterModelAccess(const void* field, const char* operation, std::uint64_t before,
                      std::uint64_t after);

// The memory orders are taken and ignored: a run is sequentially consistent.
template <class T>
class ModelAtomic {
 public:
  T load(std::memory_order = std::memory_order_seq_cst) const {
    BeforeModelAccess(this);
    AfterModelAccess(this, "load", value_, value_);
    return value_;
  }
  void store(T value, std::memory_order = std::memory_order_seq_cst) {
    BeforeModelAccess(this);
    const T before = value_;
    value_ = value;
    AfterModelAccess(this, "store", before, value_);
  }
  T exchange(T value, std::memory_order = std::memory_order_seq_cst) {
    BeforeModelAccess(this);
    const T before = value_;
    value_ = value;
    AfterModelAccess(this, "exchange", before, value_);
    return before;
  }
  bool compare_exchange_strong(T& expected, T desired, std::memory_order,
                               std::memory_order = std::memory_order_seq_cst) {
    BeforeModelAccess(this);
    const T before = value_;
    const bool swapped = value_ == expected;
    if (swapped) {
      value_ = desired;
    } else {
      expected = value_;
    }
    AfterModelAccess(this, swapped ? "cas" : "cas fails", before, value_);
    return swapped;
  }
  // A weak one never fails spuriously here: its callers loop either way.
  bool compare_exchange_weak(T& expected, T desired, std::memory_order success,
                             std::memory_order failure = std::memory_order_seq_cst) {
    return compare_exchange_strong(expected, desired, success, failure);
  }

  // The kernel's own accesses at a task's death: no scheduling point.
  T KernelLoad() const { return value_; }
  void KernelStore(T value) { value_ = value; }

 private:
  alignas(sizeof(T)) T value_;
};

// A store to a robust list or its head, which the kernel reads at a death.
void ModelListStore(void** field, void* value);

// ---- For the scenarios -------------------------------------------------

using kernel::linux_layer::FutexMutex;

// Names a mutex of the run for traces and checks (every mutex a scenario
// uses); it starts free. Accesses to a quiet one are no scheduling points
// (the fillers of a long list, which are not under test).
void ModelMutex(FutexMutex* mutex, const char* name, bool quiet = false);
// The same for an array of `count` mutexes, named name[0], name[1], ...
void ModelMutexes(FutexMutex* first, int count, const char* name, bool quiet);
// How many nodes the calling task's robust list links, or -1 if its links
// are broken (a node whose neighbour does not link back to it, or memory
// that is no mutex's node).
int ListedNodes();
// Ends task `index` where it stands, as a kill does; the kernel walks its list.
void KillTask(int index);
// The layer's kill of task `index`: when the task next goes on (a sleep is cut
// short), its handler walks its list past the kernel's reach
// (AbandonHeldMutexes), then the task ends.
void SignalKill(int index);
// Whether task `index` sleeps in a futex wait.
bool Asleep(int index);
// Whether the calling task's latest acquisition took an abandoned word
// (FUTEX_OWNER_DIED); cleared by the call.
bool TookOverAbandoned();
// Whether some task's pending operation (list_op_pending) names the mutex:
// its memory may be given back only once none does and its word is free.
bool NamedAsPending(const FutexMutex* mutex);
// From now on any touch of the mutex's memory is a violation.
void GiveBack(FutexMutex* mutex);
// While set, the calling task's accesses are no scheduling points (a long
// setup that is not under test).
void Unobserved(bool unobserved);

}  // namespace sim
}  // namespace velkor

#endif  // VELKORTHREAD_SCHED_FUTEX_MODEL_H
