// SPDX-License-Identifier: MIT
// Explores every scenario and prints one line per scenario and a total.
//
//   velkor_schedules [--bound N] [--random RUNS] [--seed S] [--depth D]
//                    [--only NAME] [--until-caught]
//   velkor_schedules --replay NAME:CHOICES
//
// --until-caught explores bound 0, then 1, up to N, and stops at the first
// bound with a violation (for planted faults); with --random, it then counts
// the random runs of that scenario that find it too. Exits 0 if nothing was
// found.
#include <velkorsched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "scenarios.h"

namespace sched = velkor::sched;
using velkor_schedules::Scenario;
using velkor_schedules::Scenarios;

namespace {

struct Settings {
  int bound = 2;
  long randomRuns = 0;
  unsigned long seed = 1;
  int depth = 3;
  std::string only;
  std::string replay;
  bool untilCaught = false;
};

bool Parse(int argc, char** argv, Settings* settings) {
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--until-caught") {
      settings->untilCaught = true;
      continue;
    }
    if (i + 1 >= argc) {
      return false;
    }
    const char* value = argv[++i];
    if (flag == "--bound") {
      settings->bound = std::atoi(value);
    } else if (flag == "--random") {
      settings->randomRuns = std::atol(value);
    } else if (flag == "--seed") {
      settings->seed = std::strtoul(value, nullptr, 10);
    } else if (flag == "--depth") {
      settings->depth = std::atoi(value);
    } else if (flag == "--only") {
      settings->only = value;
    } else if (flag == "--replay") {
      settings->replay = value;
    } else {
      return false;
    }
  }
  return true;
}

const Scenario* Find(const std::string& name) {
  for (const Scenario& scenario : Scenarios()) {
    if (name == scenario.name) {
      return &scenario;
    }
  }
  return nullptr;
}

int ReplayOne(const std::string& replay) {
  const Scenario* scenario = Find(replay.substr(0, replay.find(':')));
  if (scenario == nullptr) {
    std::fprintf(stderr, "no scenario named in %s\n", replay.c_str());
    return 2;
  }
  std::printf("replay %s\n", replay.c_str());
  return sched::Replay(replay, scenario->run, stdout).empty() ? 0 : 1;
}

struct Totals {
  long schedules = 0;
  long violations = 0;
  int scenarios = 0;
};

void PrintLine(const char* name, const char* mode, const sched::Report& report) {
  std::printf("schedules: %-26s %-17s %9ld schedules (%ld distinct), %ld violations, %6.2f s\n",
              name, mode, report.schedules, report.distinct, report.violations, report.seconds);
  std::fflush(stdout);
}

// One scenario: the search up to the bound, then the random runs.
void ExploreOne(const Scenario& scenario, const Settings& settings, Totals* totals) {
  char mode[64];
  sched::Options options;
  options.preemptionBound = std::min(settings.bound, scenario.maxBound);
  std::snprintf(mode, sizeof mode, "bound %d", options.preemptionBound);
  sched::Report report = sched::Explore(scenario.name, scenario.run, options);
  PrintLine(scenario.name, mode, report);
  totals->schedules += report.schedules;
  totals->violations += report.violations;
  if (settings.randomRuns > 0) {
    options.preemptionBound = -1;
    options.randomRuns = settings.randomRuns;
    options.seed = settings.seed;
    options.randomDepth = settings.depth;
    std::snprintf(mode, sizeof mode, "random, depth %d", settings.depth);
    report = sched::Explore(scenario.name, scenario.run, options);
    PrintLine(scenario.name, mode, report);
    totals->schedules += report.schedules;
    totals->violations += report.violations;
  }
  ++totals->scenarios;
}

// How many random runs of the same scenario it takes to find it.
void PrintRandomCatch(const Scenario& scenario, const Settings& settings) {
  sched::Options options;
  options.preemptionBound = -1;
  options.randomRuns = settings.randomRuns;
  options.seed = settings.seed;
  options.randomDepth = settings.depth;
  options.log = nullptr;
  sched::Report report = sched::Explore(scenario.name, scenario.run, options);
  if (report.violations > 0) {
    std::printf("; random: run %ld", report.schedules);
  } else {
    std::printf("; random: not in %ld runs", report.schedules);
  }
}

// For planted faults: the smallest bound at which some scenario finds one.
int UntilCaught(const Settings& settings) {
  auto start = std::chrono::steady_clock::now();
  for (int bound = 0; bound <= settings.bound; ++bound) {
    for (const Scenario& scenario : Scenarios()) {
      if ((!settings.only.empty() && settings.only != scenario.name) || bound > scenario.maxBound) {
        continue;
      }
      sched::Options options;
      options.preemptionBound = bound;
      sched::Report report = sched::Explore(scenario.name, scenario.run, options);
      if (report.violations > 0) {
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("caught: bound %d, scenario %s, schedule %ld, %.2f s", bound, scenario.name,
                    report.schedules, seconds);
        if (settings.randomRuns > 0) {
          PrintRandomCatch(scenario, settings);
        }
        std::printf(": %s\n", report.message.c_str());
        return 1;
      }
    }
  }
  std::printf("not caught up to bound %d\n", settings.bound);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!Parse(argc, argv, &settings)) {
    std::fprintf(stderr,
                 "usage: %s [--bound N] [--random RUNS] [--seed S] [--depth D] [--only NAME]"
                 " [--until-caught] | --replay NAME:CHOICES\n",
                 argv[0]);
    return 2;
  }
  if (!settings.replay.empty()) {
    return ReplayOne(settings.replay);
  }
  if (settings.untilCaught) {
    return UntilCaught(settings);
  }
  auto start = std::chrono::steady_clock::now();
  Totals totals;
  for (const Scenario& scenario : Scenarios()) {
    if (settings.only.empty() || settings.only == scenario.name) {
      ExploreOne(scenario, settings, &totals);
    }
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("schedules: total: %d scenarios, %ld schedules, %ld violations, %.2f s\n",
              totals.scenarios, totals.schedules, totals.violations, seconds);
  return totals.violations == 0 && totals.scenarios > 0 ? 0 : 1;
}
