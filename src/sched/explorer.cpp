// SPDX-License-Identifier: MIT
// The explorer of velkorsched.h: which schedules to run, and in what order.
//
// It is stateless: every schedule is a run from the start, driven by the list
// of choices made at the scheduling points where more than one task could go.
// Depth-first search takes the last run's choices, changes the deepest one
// that still has an untried alternative within the preemption bound, and runs
// that prefix again. Random runs choose by priorities instead.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "sched/run.h"
#include "velkorsched.h"

namespace velkor {
namespace sim {
namespace {

// Follows a list of task numbers, then always the first alternative: the
// running task if it can go on, else the lowest-numbered one.
class FollowChoices : public Strategy {
 public:
  explicit FollowChoices(std::vector<int> choices) : choices(std::move(choices)) {}
  std::size_t Choose(const std::vector<Choice>& alternatives, std::size_t decision, long,
                     Task*) override {
    if (decision >= choices.size()) {
      return 0;
    }
    for (std::size_t i = 0; i < alternatives.size(); ++i) {
      if (alternatives[i].task->index == choices[decision]) {
        return i;
      }
    }
    return alternatives.size();
  }

 private:
  std::vector<int> choices;
};

// Priority schedules: each task gets a random priority, the highest that can
// go runs, and at depth - 1 random steps the running task drops below all
// others. A task in Anywhere() goes on at a random step of its own.
class RandomPriorities : public Strategy {
 public:
  RandomPriorities(unsigned long seed, int depth, long length)
      : random_(seed), depth_(depth), length_(length < 1 ? 1 : length) {
    std::uniform_int_distribution<long> at(1, length_);
    for (int i = 1; i < depth_; ++i) {
      changes_.push_back(at(random_));
    }
  }
  void TaskCreated(Task* task) override {
    std::uniform_int_distribution<long> priority(0, 1L << 30);
    task->priority = depth_ + priority(random_);
  }
  std::size_t Choose(const std::vector<Choice>& alternatives, std::size_t, long step,
                     Task* last) override {
    for (std::size_t i = 0; i < changes_.size(); ++i) {
      if (changes_[i] == step && last != nullptr) {
        last->priority = static_cast<long>(i) + 1;
      }
    }
    std::size_t best = Highest(alternatives, step, true);
    return best < alternatives.size() ? best : Highest(alternatives, step, false);
  }

 private:
  std::size_t Highest(const std::vector<Choice>& alternatives, long step, bool holdBack) {
    std::size_t best = alternatives.size();
    for (std::size_t i = 0; i < alternatives.size(); ++i) {
      Task* task = alternatives[i].task;
      if (holdBack && task->pending == Call::kAnywhere) {
        if (task->resumeAt < 0) {
          task->resumeAt = step + std::uniform_int_distribution<long>(0, length_)(random_);
        }
        if (step < task->resumeAt) {
          continue;
        }
      }
      if (best == alternatives.size() || task->priority > alternatives[best].task->priority) {
        best = i;
      }
    }
    return best;
  }

  std::mt19937_64 random_;
  int depth_;
  long length_;
  std::vector<long> changes_;
};

std::vector<int> DecodeChoices(const std::string& text, bool* valid) {
  std::vector<int> choices;
  *valid = true;
  for (char code : text) {
    int index = TaskIndex(code);
    if (index < 0) {
      *valid = false;
      return choices;
    }
    choices.push_back(index);
  }
  return choices;
}

// The next schedule of the depth-first search: the deepest decision with an
// untried alternative within the bound, taken, after the same choices before.
bool NextPrefix(const std::vector<Decision>& decisions, int bound, std::vector<int>* prefix) {
  for (std::size_t d = decisions.size(); d-- > 0;) {
    const Decision& decision = decisions[d];
    for (std::size_t j = decision.chosen + 1; j < decision.alternatives.size(); ++j) {
      if (decision.preemptionsBefore + decision.alternatives[j].cost <= bound) {
        prefix->clear();
        for (std::size_t k = 0; k < d; ++k) {
          prefix->push_back(decisions[k].alternatives[decisions[k].chosen].task->index);
        }
        prefix->push_back(decision.alternatives[j].task->index);
        return true;
      }
    }
  }
  return false;
}

// Runs the schedule again with a trace, prints it, and returns what it found.
std::string TracedRun(const std::function<void()>& scenario, const std::string& choices,
                      std::FILE* out) {
  bool valid = false;
  std::vector<int> decoded = DecodeChoices(choices, &valid);
  if (!valid) {
    return "the replay string is not one of velkorsched";
  }
  FollowChoices strategy(decoded);
  Run run(scenario, &strategy, true);
  run.Execute();
  if (out != nullptr) {
    std::fprintf(out, "  trace (step, task, kernel call, outcome):\n");
    for (const std::string& line : run.Trace()) {
      std::fprintf(out, "  %s\n", line.c_str());
    }
    std::fprintf(out, "  result: %s\n",
                 run.Violation().empty() ? "no violation" : run.Violation().c_str());
  }
  return run.Violation();
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace
}  // namespace sim

namespace sched {

namespace {

void PrintViolation(const char* name, const sim::Run& run, long schedule,
                    const std::function<void()>& scenario, std::FILE* log) {
  if (log == nullptr) {
    return;
  }
  std::fprintf(log, "VIOLATION in %s (schedule %ld): %s\n  replay: %s:%s\n", name, schedule,
               run.Violation().c_str(), name, run.Choices().c_str());
  std::string again = sim::TracedRun(scenario, run.Choices(), log);
  if (again != run.Violation()) {
    std::fprintf(log, "  the replay did not reproduce it: the scenario is not deterministic\n");
  }
}

}  // namespace

Report Explore(const char* name, const std::function<void()>& scenario, const Options& options) {
  Report report;
  std::unordered_set<std::size_t> seen;  // hashes of the choices: a collision is negligible
  auto start = std::chrono::steady_clock::now();
  // Returns true when the exploration should stop.
  auto account = [&](const sim::Run& run) {
    ++report.schedules;
    report.distinct += seen.insert(std::hash<std::string>()(run.Choices())).second ? 1 : 0;
    report.longestRun = std::max(report.longestRun, run.Steps());
    if (run.Violation().empty()) {
      return false;
    }
    if (++report.violations == 1) {
      report.replay = std::string(name) + ":" + run.Choices();
      report.message = run.Violation();
      PrintViolation(name, run, report.schedules, scenario, options.log);
    }
    return options.stopAtFirstViolation;
  };
  bool stop = false;
  if (options.preemptionBound >= 0) {
    std::vector<int> prefix;
    for (bool more = true; more && !stop;) {
      sim::FollowChoices strategy(prefix);
      sim::Run run(scenario, &strategy, false);
      run.Execute();
      stop = account(run);
      more = sim::NextPrefix(run.Decisions(), options.preemptionBound, &prefix);
    }
  }
  if (!stop && options.randomRuns > 0 && report.longestRun == 0) {
    sim::FollowChoices strategy({});
    sim::Run run(scenario, &strategy, false);
    run.Execute();
    report.longestRun = run.Steps();
  }
  for (long i = 0; i < options.randomRuns && !stop; ++i) {
    sim::RandomPriorities strategy(options.seed + static_cast<unsigned long>(i),
                                   options.randomDepth, report.longestRun);
    sim::Run run(scenario, &strategy, false);
    run.Execute();
    stop = account(run);
  }
  report.seconds = sim::SecondsSince(start);
  return report;
}

std::string Replay(const std::string& replay, const std::function<void()>& scenario,
                   std::FILE* out) {
  std::size_t colon = replay.rfind(':');
  std::string choices = colon == std::string::npos ? replay : replay.substr(colon + 1);
  return sim::TracedRun(scenario, choices, out);
}

}  // namespace sched
}  // namespace velkor
