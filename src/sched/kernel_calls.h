// SPDX-License-Identifier: MIT
// The scheduler as the simulated kernel (platform/sim/kernel_sim.cpp) calls
// it: the scheduling point every kernel call passes, the run's objects, and
// its trace. Each call goes to the run under way.
#ifndef VELKORTHREAD_SCHED_KERNEL_CALLS_H
#define VELKORTHREAD_SCHED_KERNEL_CALLS_H

#include <cstddef>
#include <string>

#include "platform/kernel.h"
#include "sched/registry.h"
#include "sched/task.h"

namespace velkor {
namespace sim {

// The calling task; ends the program outside a run.
Task* Current();

// The number of the current step: one per scheduling point passed.
long Step();

// The calling task stops at a scheduling point before `call` and returns when
// the scheduler has chosen it (and the call can proceed).
void Point(Call call, Object* target);

// Ends the run with a violation; the calling task never runs again. Call it
// through VELKOR_SIM_FAIL: the failing task's stack is dropped with whatever
// its frames still hold (the message's temporaries among them), and leak
// checkers must not count what is built for the message.
[[noreturn]] void Fail(const std::string& message);
void IgnoreLeaksUntilFail();
#define VELKOR_SIM_FAIL(message) \
  (::velkor::sim::IgnoreLeaksUntilFail(), ::velkor::sim::Fail(message))

// Adds the outcome of the current call to the trace, if one is being kept.
void Outcome(const std::string& text);

// Objects of the run, freed when it ends.
MutexObject* NewMutex();
ThreadObject* NewThread(kernel::ThreadRoutine routine, void* param);
HandleRecord* OpenHandle(Object* object);
// Open handles, plus the threads that still run.
std::size_t OpenHandles();

// Ends `victim` where it stands: it never runs again, and what it owns is
// abandoned. A task that ends itself does not return.
void Terminate(Task* victim, kernel::UInt32 exitCode);

// For the simulated futexes (platform/sim/futex_sim.cpp).
// Whether the run keeps a trace: outcomes are worth building only then.
bool Tracing();
// A number of its own for every run: state kept beside a run starts afresh.
long RunNumber();
// The task numbered `index` (as velkorsched.h's Self() numbers them), or null.
Task* TaskNumbered(int index);
// What else any end of a task does (the kernel's walk of its robust list):
// appends to the trace and names a violation, if any. Set once, before runs.
using TaskEndHook = void (*)(Task* task, std::string* trace, std::string* violation);
void SetTaskEndHook(TaskEndHook hook);

}  // namespace sim
}  // namespace velkor

#endif  // VELKORTHREAD_SCHED_KERNEL_CALLS_H
