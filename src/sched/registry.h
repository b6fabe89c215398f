// SPDX-License-Identifier: MIT
// The kernel objects of one run and the handles to them, in a table per kind:
// code that wants mutexes walks the mutexes, and a handle's object says which
// kind it is, so nothing guesses an object's type at run time.
#ifndef VELKORTHREAD_SCHED_REGISTRY_H
#define VELKORTHREAD_SCHED_REGISTRY_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sched/task.h"

namespace velkor {
namespace sim {

struct MutexObject;

// What a handle or a waiting task points to. Asked for the other kind, an
// object answers null: a handle of the wrong kind is a fault the simulated
// kernel reports, not a crash.
struct Object {
  virtual ~Object() = default;
  virtual std::string Name() const = 0;
  virtual MutexObject* AsMutex() { return nullptr; }
  virtual ThreadObject* AsThread() { return nullptr; }
  int id = 0;
};

struct MutexObject final : Object {
  std::string Name() const override;
  MutexObject* AsMutex() override { return this; }
  Task* owner = nullptr;
  int depth = 0;
  Task* abandonedBy = nullptr;  // reported by the next acquisition
};

struct ThreadObject final : Object {
  std::string Name() const override;
  ThreadObject* AsThread() override { return this; }
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

// Everything here is freed when the run ends. Numbers count from 1 per kind,
// in order of creation, as traces name them.
class Registry {
 public:
  MutexObject* NewMutex();
  // The thread's task is attached by the run, which owns the tasks.
  ThreadObject* NewThread();
  HandleRecord* OpenHandle(Object* object, const std::string& openedBy, long openedAt);

  // Open handles, plus the threads that still run.
  std::size_t OpenHandles() const;
  // Frees every mutex that `task` holds, for the next owner to find abandoned;
  // returns "; abandons" and their names for the trace ("" if none).
  std::string AbandonMutexesOf(Task* task);
  // What the run leaves behind that it should not, once every task has ended:
  // an open handle, or a thread with an exit code other than 0 ("" if none).
  std::string LeftOver() const;

 private:
  std::vector<std::unique_ptr<MutexObject>> mutexes_;
  std::vector<std::unique_ptr<ThreadObject>> threads_;
  std::vector<std::unique_ptr<HandleRecord>> handles_;
};

}  // namespace sim
}  // namespace velkor

#endif  // VELKORTHREAD_SCHED_REGISTRY_H
