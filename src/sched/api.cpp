// SPDX-License-Identifier: MIT
// What velkorsched.h offers the tasks of a scenario (Explore and Replay are
// the explorer's, in explorer.cpp).
#include <string>
#include <utility>

#include "sched/kernel_calls.h"
#include "sched/run.h"
#include "velkorsched.h"

namespace velkor {
namespace sched {

void Spawn(const char* name, std::function<void()> body) {
  sim::ActiveRun()->NewTask(name, std::move(body));
}

void Check(bool holds, const char* what) {
  if (!holds) {
    VELKOR_SIM_FAIL(std::string("check failed: ") + what);
  }
}

void Yield() { sim::Point(sim::Call::kYield, nullptr); }

void Anywhere() { sim::Point(sim::Call::kAnywhere, nullptr); }

int Self() { return sim::Current()->index; }

bool Ended(int task) {
  const sim::Task* found = sim::ActiveRun()->TaskNumbered(task);
  return found != nullptr && found->state != sim::TaskState::kReady;
}

}  // namespace sched
}  // namespace velkor
