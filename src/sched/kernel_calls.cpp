// SPDX-License-Identifier: MIT
// The simulated kernel's calls into the scheduler, each passed to the run
// under way: the kernel's functions carry no run of their own.
#include "sched/kernel_calls.h"

#include "sched/run.h"
#include "sched/stacks.h"

namespace velkor {
namespace sim {

Task* Current() { return ActiveRun()->Current(); }

long Step() { return ActiveRun()->Steps(); }

void Point(Call call, Object* target) { ActiveRun()->Point(call, target); }

void IgnoreLeaksUntilFail() { IgnoreLeaks(); }

void Fail(const std::string& message) { ActiveRun()->Fail(message); }

void Outcome(const std::string& text) { ActiveRun()->Outcome(text); }

MutexObject* NewMutex() { return ActiveRun()->Objects().NewMutex(); }

ThreadObject* NewThread(kernel::ThreadRoutine routine, void* param) {
  return ActiveRun()->NewThread(routine, param);
}

HandleRecord* OpenHandle(Object* object) { return ActiveRun()->OpenHandle(object); }

std::size_t OpenHandles() { return ActiveRun()->Objects().OpenHandles(); }

void Terminate(Task* victim, kernel::UInt32 exitCode) { ActiveRun()->Terminate(victim, exitCode); }

bool Tracing() { return ActiveRun()->Tracing(); }

long RunNumber() { return ActiveRun()->Number(); }

Task* TaskNumbered(int index) { return ActiveRun()->TaskNumbered(index); }

}  // namespace sim
}  // namespace velkor
