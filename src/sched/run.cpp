// SPDX-License-Identifier: MIT
// The course of one run: the loop that chooses and switches to the next task,
// its steps and trace, how a task ends, and the checks when the run ends.
#include "sched/run.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "sched/kernel_calls.h"
#include "sched/stacks.h"

namespace velkor {
namespace sim {
namespace {

Run* active = nullptr;
long runsCreated = 0;
TaskEndHook taskEndHook = nullptr;

}  // namespace

void SetTaskEndHook(TaskEndHook hook) { taskEndHook = hook; }

Run* ActiveRun() {
  if (active == nullptr || active->Current() == nullptr) {
    std::fprintf(stderr, "velkorsched: a kernel or scheduler call outside a scheduled task\n");
    std::abort();
  }
  return active;
}

Run::Run(const std::function<void()>& scenario, Strategy* strategy, bool traced)
    : number_(++runsCreated), strategy_(strategy), tracing_(traced) {
  NewTask("main", scenario);
}

void Run::Execute() {
  active = this;
  Task* last = nullptr;
  while (violation_.empty()) {
    Task* next = ChooseNext(last);
    if (next == nullptr) {
      break;
    }
    Schedule(next);
    if (!violation_.empty()) {
      break;
    }
    SwitchTo(next);
    last = next;
  }
  SetViolation(registry_.LeftOver());
  active = nullptr;
}

void Run::Schedule(Task* next) {
  for (auto& task : tasks_) {
    task->letFirst &= ~Bit(next);
  }
  ++step_;
  SetViolation(progress_.Chosen(next, tasks_, step_));
  if (tracing_) {
    TraceStep(next);
  }
}

void Run::TraceStep(const Task* next) {
  char number[16];
  std::snprintf(number, sizeof number, "%6ld  ", step_);
  std::string line = number + next->name;
  line.resize(std::max<std::size_t>(line.size() + 1, 20), ' ');
  line += CallName(next->pending);
  if (next->target != nullptr) {
    line += " " + next->target->Name();
  }
  trace_.push_back(line);
}

// The first violation is the one reported: what follows it is its aftermath.
void Run::SetViolation(const std::string& message) {
  if (violation_.empty()) {
    violation_ = message;
  }
}

void Run::Outcome(const std::string& text) {
  if (tracing_ && !trace_.empty()) {
    trace_.back() += "  -> " + text;
  }
}

Task* Run::TaskNumbered(int index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= tasks_.size()) {
    return nullptr;
  }
  return tasks_[static_cast<std::size_t>(index)].get();
}

ThreadObject* Run::NewThread(kernel::ThreadRoutine routine, void* param) {
  ThreadObject* thread = registry_.NewThread();
  Task* task = NewTask("jthread" + std::to_string(thread->id),
                       [routine, param, thread] { thread->exitCode = routine(param); });
  task->thread = thread;
  thread->task = task;
  return thread;
}

HandleRecord* Run::OpenHandle(Object* object) {
  return registry_.OpenHandle(object, current_->name, step_);
}

void Run::Fail(const std::string& message) {
  CountLeaksAgain();
  Task* task = current_;
  Outcome("VIOLATION");
  SetViolation(task->name + ": " + message);
  SwitchToScheduler(task);
  std::abort();  // a run with a violation is never resumed
}

// Nothing may be left alive on the stack of a task that switches away for
// good: the bookkeeping is done in a scope of its own first.
void Run::FinishTask(Task* task) {
  {
    task->state = TaskState::kFinished;
    if (task->thread != nullptr) {
      task->thread->ended = true;
    }
    std::string abandoned = TaskEnds(task);
    if (tracing_) {
      trace_.push_back("        " + task->name + " ends" + abandoned);
    }
  }
  LeaveForGood(task);
}

// A task that terminates itself ends inside the call, like any other victim:
// it switches away for good, its stack dropped as it stands.
void Run::Terminate(Task* victim, kernel::UInt32 exitCode) {
  {
    victim->state = TaskState::kKilled;
    if (victim->thread != nullptr) {
      victim->thread->ended = true;
      victim->thread->exitCode = exitCode;
    }
    std::string where = CallName(victim->pending);
    if (victim->target != nullptr) {
      where += " " + victim->target->Name();
    }
    Outcome("killed " + victim->name + " in " + where + TaskEnds(victim));
  }
  if (victim == current_) {
    LeaveForGood(victim);
  }
}

// What the kernel does at any end of a task, for the trace.
std::string Run::TaskEnds(Task* task) {
  std::string trace = registry_.AbandonMutexesOf(task);
  if (taskEndHook != nullptr) {
    std::string violation;
    taskEndHook(task, &trace, &violation);
    if (!violation.empty()) {
      SetViolation(task->name + "'s end: " + violation);
    }
  }
  return trace;
}

}  // namespace sim
}  // namespace velkor
