// SPDX-License-Identifier: MIT
// The choice of the next task: which tasks may go, what each costs in
// preemptions, and the record of every choice the strategy made.
#include <string>
#include <utility>
#include <vector>

#include "sched/run.h"

namespace velkor {
namespace sim {

std::uint64_t Run::EnabledMask() const {
  std::uint64_t enabled = 0;
  for (const auto& task : tasks_) {
    if (CanProceed(task.get())) {
      enabled |= Bit(task.get());
    }
  }
  return enabled;
}

// The tasks that may go next, the running one first. A task that polls waits
// until the tasks that could run when it polled have run or blocked (the
// fair scheduler that makes polling loops end). A preemption is a switch away
// from a task that could go on; resuming a task in Anywhere() is free.
std::vector<Choice> Run::Alternatives(Task* last) const {
  std::uint64_t enabled = EnabledMask();
  auto eligible = [&](const Task* task) {
    return (enabled & Bit(task)) != 0 && (!Polls(task->pending) || (task->letFirst & enabled) == 0);
  };
  bool anyEligible = false;
  for (const auto& task : tasks_) {
    anyEligible = anyEligible || eligible(task.get());
  }
  auto candidate = [&](const Task* task) {
    return anyEligible ? eligible(task) : (enabled & Bit(task)) != 0;
  };
  bool lastGoesOn = last != nullptr && (enabled & Bit(last)) != 0 && !Polls(last->pending) &&
                    last->pending != Call::kAnywhere;
  std::vector<Choice> alternatives;
  if (last != nullptr && candidate(last)) {
    alternatives.push_back({last, 0});
  }
  for (const auto& task : tasks_) {
    if (task.get() != last && candidate(task.get())) {
      bool free = !lastGoesOn || task->pending == Call::kAnywhere;
      alternatives.push_back({task.get(), free ? 0 : 1});
    }
  }
  return alternatives;
}

// Null when the run ends here: every task has ended, none can go on, or the
// strategy cannot follow the run.
Task* Run::ChooseNext(Task* last) {
  std::vector<Choice> alternatives = Alternatives(last);
  if (alternatives.empty()) {
    SetViolation(Stalled(tasks_));
    return nullptr;
  }
  std::size_t pick = 0;
  if (alternatives.size() > 1) {
    pick = strategy_->Choose(alternatives, decisions_.size(), step_, last);
    if (pick >= alternatives.size()) {
      SetViolation("the replay does not match this scenario");
      return nullptr;
    }
    Record(alternatives, pick);
  }
  preemptions_ += alternatives[pick].cost;
  return alternatives[pick].task;
}

void Run::Record(const std::vector<Choice>& alternatives, std::size_t pick) {
  Decision decision;
  decision.alternatives = alternatives;
  decision.chosen = pick;
  decision.preemptionsBefore = preemptions_;
  decisions_.push_back(std::move(decision));
  choices_ += TaskCode(alternatives[pick].task->index);
}

}  // namespace sim
}  // namespace velkor
