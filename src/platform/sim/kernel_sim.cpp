// SPDX-License-Identifier: MIT
// The kernel seam on the simulated kernel: the semantics of kernel.h, with a
// scheduling point before every call that another task could observe.
//
// Each call reads its handle record before the point (records outlive their
// handles, so that is always safe) and checks it after: what counts is the
// state at the moment the call takes effect.
#include <string>

#include "sched/kernel_calls.h"

namespace velkor {
namespace kernel {
namespace {

sim::HandleRecord* Record(Handle handle) { return static_cast<sim::HandleRecord*>(handle); }

sim::Object* ObjectOf(Handle handle) {
  return handle == nullptr ? nullptr : Record(handle)->object;
}

std::string Describe(const sim::HandleRecord* record) {
  return record->Name() + " (opened by " + record->openedBy + " at step " +
         std::to_string(record->openedAt) + ")";
}

sim::Object* Use(Handle handle, const char* call) {
  if (handle == nullptr) {
    VELKOR_SIM_FAIL(std::string(call) + " on a null handle");
  }
  sim::HandleRecord* record = Record(handle);
  if (!record->open) {
    VELKOR_SIM_FAIL(std::string(call) + " on " + Describe(record) + " after it was closed by " +
                    record->closedBy + " at step " + std::to_string(record->closedAt));
  }
  return record->object;
}

[[noreturn]] void FailWrongKind(Handle handle, const char* call, const char* kind) {
  VELKOR_SIM_FAIL(std::string(call) + " on " + Describe(Record(handle)) + ", which is not a " +
                  kind);
}

sim::MutexObject* UseMutex(Handle handle, const char* call) {
  sim::MutexObject* mutex = Use(handle, call)->AsMutex();
  if (mutex == nullptr) {
    FailWrongKind(handle, call, "mutex");
  }
  return mutex;
}

sim::ThreadObject* UseThread(Handle handle, const char* call) {
  sim::ThreadObject* thread = Use(handle, call)->AsThread();
  if (thread == nullptr) {
    FailWrongKind(handle, call, "thread");
  }
  return thread;
}

}  // namespace

Handle SystemMutexCreate() { return sim::OpenHandle(sim::NewMutex()); }

Handle SystemThreadCreate(ThreadRoutine routine, void* param, UInt32* id) {
  sim::ThreadObject* thread = sim::NewThread(routine, param);
  if (id != nullptr) {
    *id = static_cast<UInt32>(thread->id);
  }
  return sim::OpenHandle(thread);
}

void MutexAcquire(Handle mutex) {
  sim::Point(sim::Call::kMutexAcquire, ObjectOf(mutex));
  sim::MutexObject* object = UseMutex(mutex, "MutexAcquire");
  sim::Task* self = sim::Current();
  if (object->owner == self) {
    ++object->depth;
    sim::Outcome("acquired again, depth " + std::to_string(object->depth));
    return;
  }
  object->owner = self;
  object->depth = 1;
  if (object->abandonedBy != nullptr) {
    sim::Outcome("acquired, abandoned by " + object->abandonedBy->name);
    object->abandonedBy = nullptr;
  } else {
    sim::Outcome("acquired");
  }
}

void MutexRelease(Handle mutex) {
  sim::Point(sim::Call::kMutexRelease, ObjectOf(mutex));
  sim::MutexObject* object = UseMutex(mutex, "MutexRelease");
  if (object->owner != sim::Current()) {
    sim::Outcome("not the owner: no effect");
    return;
  }
  if (--object->depth == 0) {
    object->owner = nullptr;
    sim::Outcome("released");
  } else {
    sim::Outcome("released one level, depth " + std::to_string(object->depth));
  }
}

void HandleClose(Handle object) {
  if (object == nullptr) {
    return;
  }
  sim::Point(sim::Call::kHandleClose, ObjectOf(object));
  sim::HandleRecord* record = Record(object);
  if (!record->open) {
    VELKOR_SIM_FAIL("HandleClose of " + Describe(record) + " closed already by " +
                    record->closedBy + " at step " + std::to_string(record->closedAt));
  }
  sim::Task* self = sim::Current();
  record->open = false;
  record->closedBy = self->name;
  record->closedAt = sim::Step();
  sim::Outcome("closed " + record->Name());
}

Handle HandleDuplicate(Handle object) {
  if (object == nullptr) {
    return nullptr;
  }
  sim::Point(sim::Call::kHandleDuplicate, ObjectOf(object));
  sim::HandleRecord* copy = sim::OpenHandle(Use(object, "HandleDuplicate"));
  sim::Outcome(copy->Name());
  return copy;
}

void ThreadTerminate(Handle thread, UInt32 exitCode) {
  if (thread == nullptr) {
    return;
  }
  sim::Point(sim::Call::kThreadTerminate, ObjectOf(thread));
  sim::ThreadObject* object = UseThread(thread, "ThreadTerminate");
  if (object->ended) {
    sim::Outcome("had already ended");
    return;
  }
  sim::Terminate(object->task, exitCode);  // returns only if the victim is another task
}

void ThreadWait(Handle thread) {
  if (thread == nullptr) {
    return;
  }
  sim::Point(sim::Call::kThreadWait, ObjectOf(thread));
  UseThread(thread, "ThreadWait");
  sim::Outcome("ended");
}

bool ThreadExitCode(Handle thread, UInt32* exitCode) {
  if (thread == nullptr) {
    return false;
  }
  sim::Point(sim::Call::kThreadExitCode, ObjectOf(thread));
  sim::ThreadObject* object = UseThread(thread, "ThreadExitCode");
  if (!object->ended) {
    sim::Outcome("still running");
    return false;
  }
  *exitCode = object->exitCode;
  sim::Outcome("exit code " + std::to_string(object->exitCode));
  return true;
}

void SleepMilliseconds(UInt32) { sim::Point(sim::Call::kSleep, nullptr); }

Handle ThreadOpenCurrent() {
  sim::ThreadObject* thread = sim::Current()->thread;
  return thread == nullptr ? nullptr : sim::OpenHandle(thread);
}

std::size_t OpenHandleCount() { return sim::OpenHandles(); }

}  // namespace kernel
}  // namespace velkor
