// SPDX-License-Identifier: MIT
// Blocked tasks, and deadlock and livelock detection: the runs that cannot
// end.
#include "sched/progress.h"

#include "sched/registry.h"

namespace velkor {
namespace sim {
namespace {

constexpr long kLivelockSteps = 300;
constexpr long kMaxSteps = 20000;

// The mutex that the task waits to acquire from another owner, if any.
const MutexObject* MutexHeldFrom(const Task* task) {
  if (task->pending != Call::kMutexAcquire || task->target == nullptr) {
    return nullptr;
  }
  const MutexObject* mutex = task->target->AsMutex();
  if (mutex == nullptr || mutex->owner == nullptr || mutex->owner == task) {
    return nullptr;
  }
  return mutex;
}

std::string Waits(const Task* task) {
  std::string text = task->name + " waits in " + CallName(task->pending);
  if (task->target != nullptr) {
    text += " " + task->target->Name();
  }
  if (const MutexObject* mutex = MutexHeldFrom(task)) {
    text += " held by " + mutex->owner->name;
  }
  return text;
}

// Whether tasks wait for mutexes in a ring, each held by the next: a deadlock
// even while other tasks still poll.
bool LockCycle(const Tasks& tasks) {
  for (const auto& start : tasks) {
    const Task* task = start.get();
    for (std::size_t hops = 0; hops <= tasks.size(); ++hops) {
      const MutexObject* mutex = task->state == TaskState::kReady ? MutexHeldFrom(task) : nullptr;
      if (mutex == nullptr) {
        break;
      }
      task = mutex->owner;
      if (task == start.get()) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace

bool CanProceed(const Task* task) {
  if (task->state != TaskState::kReady) {
    return false;
  }
  if (task->pending == Call::kFutexWait) {
    return !task->asleep;
  }
  if (task->target == nullptr) {
    return true;
  }
  if (task->pending == Call::kMutexAcquire) {
    const MutexObject* mutex = task->target->AsMutex();
    return mutex == nullptr || mutex->owner == nullptr || mutex->owner == task;
  }
  if (task->pending == Call::kThreadWait) {
    const ThreadObject* thread = task->target->AsThread();
    return thread == nullptr || thread->ended;
  }
  return true;
}

std::string BlockedTasks(const Tasks& tasks) {
  std::string text;
  for (const auto& task : tasks) {
    if (task->state == TaskState::kReady && !CanProceed(task.get())) {
      text += "; " + Waits(task.get());
    }
  }
  return text;
}

std::string Stalled(const Tasks& tasks) {
  for (const auto& task : tasks) {
    if (task->state == TaskState::kReady) {
      return "deadlock: " + BlockedTasks(tasks).substr(2);
    }
  }
  return "";
}

std::string ProgressWatch::Chosen(const Task* next, const Tasks& tasks, long step) {
  if (Polls(next->pending)) {
    pollers_ |= Bit(next);
  }
  if ((pollers_ & Bit(next)) == 0) {
    pollers_ = 0;
    idleSteps_ = 0;
  } else if (LockCycle(tasks)) {
    return "deadlock (others poll meanwhile): " + BlockedTasks(tasks).substr(2);
  } else if (++idleSteps_ > kLivelockSteps) {
    return "livelock: for " + std::to_string(kLivelockSteps) +
           " steps only tasks that poll have run" + BlockedTasks(tasks);
  }
  if (step > kMaxSteps) {
    return "the run does not end within " + std::to_string(kMaxSteps) + " steps";
  }
  return "";
}

}  // namespace sim
}  // namespace velkor
