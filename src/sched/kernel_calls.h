// SPDX-License-Identifier: MIT
// What the simulated kernel and its scheduler share: the objects of one run,
// its tasks, and the scheduling point that every kernel call passes.
#ifndef VELKORTHREAD_SCHED_KERNEL_CALLS_H
#define VELKORTHREAD_SCHED_KERNEL_CALLS_H

#include <ucontext.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/kernel.h"

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
  kAnywhere
};

const char* CallName(Call call);

// Polling calls: the task lets the others go first.
inline bool Polls(Call call) { return call == Call::kSleep || call == Call::kYield; }

struct Task;

struct Object {
  virtual ~Object() = default;
  virtual std::string Name() const = 0;
  int id = 0;
};

struct MutexObject : Object {
  std::string Name() const override { return "mutex#" + std::to_string(id); }
  Task* owner = nullptr;
  int depth = 0;
  Task* abandonedBy = nullptr;  // reported by the next acquisition
};

struct ThreadObject : Object {
  std::string Name() const override;
  Task* task = nullptr;
  bool ended = false;
  kernel::UInt32 exitCode = 0;
};

// What a kernel::Handle points to. Records live until the run ends, so that a
// use after close is found instead of being undefined.
struct HandleRecord {
  std::string Name() const;
  Object* object = nullptr;
  int id = 0;
  bool open = true;
  std::string openedBy;
  long openedAt = 0;
  std::string closedBy;
  long closedAt = 0;
};

enum class TaskState { kReady, kFinished, kKilled };

struct Task {
  int index = 0;
  std::string name;
  TaskState state = TaskState::kReady;
  Call pending = Call::kBegin;
  Object* target = nullptr;    // what the pending call waits on, if anything
  std::uint64_t letFirst = 0;  // a poller waits until these have run or blocked
  long resumeAt = -1;          // random runs: when a task in Anywhere() goes on
  long priority = 0;           // random runs
  std::function<void()> body;
  ThreadObject* thread = nullptr;  // for tasks created by ThreadCreate
  ucontext_t context;
  char* stack = nullptr;
  void* fakeStack = nullptr;  // AddressSanitizer's, while switched out
};

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

}  // namespace sim
}  // namespace velkor

#endif  // VELKORTHREAD_SCHED_KERNEL_CALLS_H
