// SPDX-License-Identifier: MIT
// Task stacks, and what AddressSanitizer must be told whenever execution moves
// from one stack to another (its fiber interface; nothing without it).
#ifndef VELKORTHREAD_SCHED_STACKS_H
#define VELKORTHREAD_SCHED_STACKS_H

#include <cstddef>

namespace velkor {
namespace sim {

// AddressSanitizer clears the shadow of the whole stack at every switch to
// it: small stacks keep that cheap.
constexpr std::size_t kStackSize = 64 * 1024;

// Stacks are reused from run to run.
char* TakeStack();
void GiveStack(char* stack);

// The scheduler is about to switch to a task on `taskStack`; its own fake
// stack is saved in `schedulerFakeStack`.
void LeavingScheduler(void** schedulerFakeStack, const char* taskStack);
// A task is about to switch back to the scheduler: `fakeStack` saves its fake
// stack, or is null if the task never runs again.
void LeavingTask(void** fakeStack);
// A task runs for the first time: learns where the scheduler's stack is.
void TaskBegins();
// Back on a stack that was left with the fake stack `fakeStack`.
void SwitchedBack(void* fakeStack);

// A failing task's stack is dropped with whatever its frames still hold: leak
// checking stops while the failure is built and resumes once it is recorded.
void IgnoreLeaks();
void CountLeaksAgain();

}  // namespace sim
}  // namespace velkor

#endif  // VELKORTHREAD_SCHED_STACKS_H
