// SPDX-License-Identifier: MIT
// A task of a run (one simulated thread), the kernel call it stops before, and
// how both are named in traces and replay strings.
#ifndef VELKORTHREAD_SCHED_TASK_H
#define VELKORTHREAD_SCHED_TASK_H

#include <ucontext.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace velkor {
namespace sim {

// The kernel calls at which the running task may be switched, plus the two
// points of velkorsched.h and a task's first step.
enum class Call {
  kBegin,
  kMutexAcquire,
  kMutexRelease,
  kHandleClose,
  kHandleDuplicate,
  kThreadTerminate,
  kThreadWait,
  kThreadExitCode,
  kSleep,
  kYield,
  kAnywhere,
  kSharedAccess,  // of the futex mutex compiled for the explorer (sched/futex_model.h)
  kFutexWait      // asleep on a simulated futex word
};

const char* CallName(Call call);

// Polling calls: the task lets the others go first.
inline bool Polls(Call call) { return call == Call::kSleep || call == Call::kYield; }

struct Object;
struct ThreadObject;

enum class TaskState { kReady, kFinished, kKilled };

struct Task {
  int index = 0;
  std::string name;
  TaskState state = TaskState::kReady;
  Call pending = Call::kBegin;
  Object* target = nullptr;         // what the pending call waits on, if anything
  std::uint64_t letFirst = 0;       // a poller waits until these have run or blocked
  long resumeAt = -1;               // random runs: when a task in Anywhere() goes on
  long priority = 0;                // random runs
  bool asleep = false;              // in kFutexWait until a wake or a death takes it out
  std::function<void()> interrupt;  // runs when the task next goes on: a signal's handler
  std::function<void()> body;
  ThreadObject* thread = nullptr;  // for tasks created by ThreadCreate
  ucontext_t context;
  char* stack = nullptr;
  void* fakeStack = nullptr;  // AddressSanitizer's, while switched out
};

// Sets of tasks are bit masks of their numbers.
inline std::uint64_t Bit(const Task* task) { return std::uint64_t{1} << task->index; }

// One character per task in a replay string: this many tasks at most.
inline constexpr char kTaskCodes[] =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
inline constexpr std::size_t kMaxTasks = sizeof(kTaskCodes) - 1;

// A task's number as one character of a replay string, and back (-1 for a
// character that names no task).
char TaskCode(int index);
int TaskIndex(char code);

}  // namespace sim
}  // namespace velkor

#endif  // VELKORTHREAD_SCHED_TASK_H
