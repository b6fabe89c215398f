// SPDX-License-Identifier: MIT
// One run of a scenario under one schedule, and the strategy that makes its
// choices: what the scheduler's files and the explorer share.
#ifndef VELKORTHREAD_SCHED_RUN_H
#define VELKORTHREAD_SCHED_RUN_H

#include <ucontext.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sched/progress.h"
#include "sched/registry.h"
#include "sched/task.h"

namespace velkor {
namespace sim {

// A task that may go next, and what choosing it costs: 1 if it preempts the
// task that could go on.
struct Choice {
  Task* task;
  int cost;
};

// One scheduling point with a choice: the alternatives, and which was taken.
// The tasks belong to the run, which outlives its decisions.
struct Decision {
  std::vector<Choice> alternatives;
  std::size_t chosen = 0;
  int preemptionsBefore = 0;
};

class Strategy {
 public:
  virtual ~Strategy() = default;
  // An index into `alternatives`, or alternatives.size() if the strategy
  // cannot follow this run any more.
  virtual std::size_t Choose(const std::vector<Choice>& alternatives, std::size_t decision,
                             long step, Task* last) = 0;
  virtual void TaskCreated(Task*) {}
};

// One run of a scenario under one schedule. Its tasks reach it through
// ActiveRun() while Execute() runs; the explorer reads what it left after.
class Run {
 public:
  Run(const std::function<void()>& scenario, Strategy* strategy, bool traced);
  ~Run();
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // Runs the scenario until every task has ended, a violation is found, or
  // the strategy cannot follow it.
  void Execute();

  const std::vector<Decision>& Decisions() const { return decisions_; }
  const std::vector<std::string>& Trace() const { return trace_; }
  const std::string& Choices() const { return choices_; }  // as a replay string
  const std::string& Violation() const { return violation_; }
  long Steps() const { return step_; }
  bool Tracing() const { return tracing_; }
  long Number() const { return number_; }  // distinct for every run of the process

  // For the tasks, during Execute().
  Task* Current() const { return current_; }
  Task* TaskNumbered(int index) const;  // null if there is none
  Registry& Objects() { return registry_; }
  Task* NewTask(std::string name, std::function<void()> body);
  ThreadObject* NewThread(kernel::ThreadRoutine routine, void* param);
  HandleRecord* OpenHandle(Object* object);
  // The current task stops before `call` and returns once it is chosen again.
  void Point(Call call, Object* target);
  void Outcome(const std::string& text);  // of the current call, in the trace
  [[noreturn]] void Fail(const std::string& message);
  // Ends `victim` where it stands; the current task does not return.
  void Terminate(Task* victim, kernel::UInt32 exitCode);
  // The current task's body has returned.
  [[noreturn]] void FinishTask(Task* task);

 private:
  // Switches (context_switch.cpp).
  [[noreturn]] void LeaveForGood(Task* task);
  void SwitchToScheduler(Task* task);
  void SwitchTo(Task* next);
  // The choice of the next task (choice.cpp).
  std::uint64_t EnabledMask() const;
  std::vector<Choice> Alternatives(Task* last) const;
  Task* ChooseNext(Task* last);
  void Record(const std::vector<Choice>& alternatives, std::size_t pick);
  // The run's course (run.cpp).
  void Schedule(Task* next);
  void TraceStep(const Task* next);
  void SetViolation(const std::string& message);
  std::string TaskEnds(Task* task);

  long number_;
  Strategy* strategy_;
  bool tracing_;
  Task* current_ = nullptr;
  long step_ = 0;
  Tasks tasks_;
  Registry registry_;
  ProgressWatch progress_;
  std::vector<Decision> decisions_;
  std::vector<std::string> trace_;
  std::string choices_;
  std::string violation_;
  int preemptions_ = 0;
  ucontext_t schedulerContext_;
  void* schedulerFakeStack_ = nullptr;
};

// The run under way, for calls made by its tasks; ends the program anywhere
// else.
Run* ActiveRun();

}  // namespace sim
}  // namespace velkor

#endif  // VELKORTHREAD_SCHED_RUN_H
