// SPDX-License-Identifier: MIT
// Switches between the scheduler and its tasks.
//
// Each task has a stack of its own and runs until its next scheduling point,
// where it switches back to the scheduler (ucontext); the scheduler picks the
// next task and switches to it. A killed task is simply never switched to
// again: its stack is dropped with the run, nothing on it unwinds.
#include <ucontext.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "sched/run.h"
#include "sched/stacks.h"

namespace velkor {
namespace sim {
namespace {

void TaskEntry() {
  TaskBegins();
  Run* run = ActiveRun();
  Task* task = run->Current();
  task->body();
  run->FinishTask(task);
}

}  // namespace

Run::~Run() {
  for (auto& task : tasks_) {
    GiveStack(task->stack);
  }
}

Task* Run::NewTask(std::string name, std::function<void()> body) {
  if (tasks_.size() >= kMaxTasks) {
    IgnoreLeaks();
    Fail("more than " + std::to_string(kMaxTasks) + " tasks");
  }
  auto task = std::make_unique<Task>();
  task->index = static_cast<int>(tasks_.size());
  task->name = std::move(name);
  task->body = std::move(body);
  task->stack = TakeStack();
  getcontext(&task->context);
  task->context.uc_stack.ss_sp = task->stack;
  task->context.uc_stack.ss_size = kStackSize;
  task->context.uc_link = nullptr;
  makecontext(&task->context, TaskEntry, 0);
  strategy_->TaskCreated(task.get());
  tasks_.push_back(std::move(task));
  return tasks_.back().get();
}

void Run::Point(Call call, Object* target) {
  Task* task = current_;
  task->pending = call;
  task->target = target;
  if (Polls(call)) {
    task->letFirst = EnabledMask() & ~Bit(task);
  }
  SwitchToScheduler(task);
  if (task->interrupt) {
    std::function<void()> handler = std::move(task->interrupt);
    task->interrupt = nullptr;
    handler();
  }
}

void Run::LeaveForGood(Task* task) {
  LeavingTask(nullptr);
  swapcontext(&task->context, &schedulerContext_);
  std::abort();  // an ended task is never resumed
}

void Run::SwitchToScheduler(Task* task) {
  LeavingTask(&task->fakeStack);
  swapcontext(&task->context, &schedulerContext_);
  SwitchedBack(task->fakeStack);
}

void Run::SwitchTo(Task* next) {
  current_ = next;
  LeavingScheduler(&schedulerFakeStack_, next->stack);
  swapcontext(&schedulerContext_, &next->context);
  SwitchedBack(schedulerFakeStack_);
  current_ = nullptr;
}

}  // namespace sim
}  // namespace velkor
