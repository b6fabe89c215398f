// SPDX-License-Identifier: MIT
// The registry of a run's simulated objects: creation, names, and what is
// still open or held when a task or the run ends.
#include "sched/registry.h"

#include <utility>

namespace velkor {
namespace sim {

std::string MutexObject::Name() const { return "mutex#" + std::to_string(id); }

std::string ThreadObject::Name() const { return "thread#" + std::to_string(id); }

std::string HandleRecord::Name() const {
  return "handle#" + std::to_string(id) + " of " + object->Name();
}

MutexObject* Registry::NewMutex() {
  auto mutex = std::make_unique<MutexObject>();
  mutex->id = static_cast<int>(mutexes_.size()) + 1;
  mutexes_.push_back(std::move(mutex));
  return mutexes_.back().get();
}

ThreadObject* Registry::NewThread() {
  auto thread = std::make_unique<ThreadObject>();
  thread->id = static_cast<int>(threads_.size()) + 1;
  threads_.push_back(std::move(thread));
  return threads_.back().get();
}

HandleRecord* Registry::OpenHandle(Object* object, const std::string& openedBy, long openedAt) {
  auto record = std::make_unique<HandleRecord>();
  record->object = object;
  record->id = static_cast<int>(handles_.size()) + 1;
  record->openedBy = openedBy;
  record->openedAt = openedAt;
  handles_.push_back(std::move(record));
  return handles_.back().get();
}

std::size_t Registry::OpenHandles() const {
  std::size_t open = 0;
  for (const auto& record : handles_) {
    open += record->open ? 1 : 0;
  }
  for (const auto& thread : threads_) {
    open += thread->ended ? 0 : 1;
  }
  return open;
}

std::string Registry::AbandonMutexesOf(Task* task) {
  std::string names;
  for (auto& mutex : mutexes_) {
    if (mutex->owner == task) {
      mutex->owner = nullptr;
      mutex->depth = 0;
      mutex->abandonedBy = task;
      names += (names.empty() ? "" : ", ") + mutex->Name();
    }
  }
  return names.empty() ? "" : "; abandons " + names;
}

std::string Registry::LeftOver() const {
  for (const auto& record : handles_) {
    if (record->open) {
      return "leak: " + record->Name() + " (opened by " + record->openedBy + " at step " +
             std::to_string(record->openedAt) + ") is still open when the run ends";
    }
  }
  for (const auto& thread : threads_) {
    if (thread->exitCode != 0) {
      return thread->Name() + " ended with exit code " + std::to_string(thread->exitCode);
    }
  }
  return "";
}

}  // namespace sim
}  // namespace velkor
