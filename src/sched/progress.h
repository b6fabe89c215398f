// SPDX-License-Identifier: MIT
// Which tasks are blocked, and the runs that cannot end: deadlock and
// livelock.
#ifndef VELKORTHREAD_SCHED_PROGRESS_H
#define VELKORTHREAD_SCHED_PROGRESS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sched/task.h"

namespace velkor {
namespace sim {

using Tasks = std::vector<std::unique_ptr<Task>>;

// Whether the task has not ended and its pending call would not block.
bool CanProceed(const Task* task);

// What the tasks that could not go on wait for, each after "; ".
std::string BlockedTasks(const Tasks& tasks);

// Nothing can go on: a deadlock, unless every task has ended ("" then).
std::string Stalled(const Tasks& tasks);

// Watches the tasks chosen one after another, for runs that go on without
// progress.
class ProgressWatch {
 public:
  // `next` has been chosen for step `step`: a deadlock among tasks that wait
  // for mutexes while others poll, a livelock of polling tasks, or a run too
  // long to end ("" if none).
  std::string Chosen(const Task* next, const Tasks& tasks, long step);

 private:
  std::uint64_t pollers_ = 0;  // tasks that polled since anything else ran
  long idleSteps_ = 0;
};

}  // namespace sim
}  // namespace velkor

#endif  // VELKORTHREAD_SCHED_PROGRESS_H
