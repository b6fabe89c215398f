// SPDX-License-Identifier: MIT
// One run of a scenario under one schedule, and the strategy that makes its
// choices: what the scheduler (scheduler.cpp) and the explorer (explorer.cpp)
// share.
#ifndef VELKORTHREAD_SCHED_RUN_H
#define VELKORTHREAD_SCHED_RUN_H

#include <ucontext.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sched/kernel_calls.h"

namespace velkor {
namespace sim {

struct Alternative {
  Task* task;
  int cost;  // 1 if choosing it preempts the task that could go on
};

// One scheduling point with a choice: the alternatives as task numbers and
// costs, and which was taken.
struct Decision {
  std::vector<std::pair<int, int>> alternatives;
  std::size_t chosen = 0;
  int preemptionsBefore = 0;
};

class Strategy {
 public:
  virtual ~Strategy() = default;
  // An index into `alternatives`, or alternatives.size() if the strategy
  // cannot follow this run any more.
  virtual std::size_t Choose(const std::vector<Alternative>& alternatives, std::size_t decision,
                             long step, Task* last) = 0;
  virtual void TaskCreated(Task*) {}
};

// One run of a scenario under one schedule.
class Run {
 public:
  Run(const std::function<void()>& scenario, Strategy* strategy, bool traced)
      : tracing(traced), strategy_(strategy) {
    NewTask("main", scenario);
  }
  ~Run();
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  void Execute();

  Task* NewTask(std::string name, std::function<void()> body);
  void FinishTask(Task* task);
  // Switches away from the current task, which never runs again.
  [[noreturn]] void LeaveForGood(Task* task);
  void SwitchToScheduler(Task* task);
  void SetViolation(const std::string& message) {
    if (violation.empty()) {
      violation = message;
    }
  }
  std::uint64_t EnabledMask() const;
  std::string AbandonMutexesOf(Task* task);

  Task* current = nullptr;
  long step = 0;
  std::vector<std::unique_ptr<Task>> tasks;
  std::vector<std::unique_ptr<Object>> objects;
  std::vector<std::unique_ptr<HandleRecord>> handles;
  std::vector<Decision> decisions;
  std::vector<std::string> trace;
  std::string choices;
  std::string violation;
  int mutexCount = 0;
  int threadCount = 0;
  bool tracing;

 private:
  static bool CanProceed(const Task* task);
  std::vector<Alternative> Alternatives(Task* last) const;
  void Schedule(Task* next);
  void SwitchTo(Task* next);
  void CheckEnd();
  bool LockCycle() const;
  std::string Waits(const Task* task) const;
  std::string BlockedTasks() const;

  Strategy* strategy_;
  ucontext_t schedulerContext_;
  void* schedulerFakeStack_ = nullptr;
  int preemptions_ = 0;
  std::uint64_t pollers_ = 0;  // tasks that polled since anything else ran
  long idleSteps_ = 0;
};

// The run under way, for calls made by its tasks; ends the program anywhere
// else.
Run* ActiveRun();

// A task's number as one character of a replay string, and back (-1 for a
// character that names no task).
char TaskCode(int index);
int TaskIndex(char code);

}  // namespace sim
}  // namespace velkor

#endif  // VELKORTHREAD_SCHED_RUN_H
