// SPDX-License-Identifier: MIT
// The scenarios that the schedules test explores: the real JMutex and JThread
// on the simulated kernel, each with the classes' contract as its oracle.
#ifndef VELKORTHREAD_TESTS_SCHEDULES_SCENARIOS_H
#define VELKORTHREAD_TESTS_SCHEDULES_SCENARIOS_H

#include <vector>

namespace velkor_schedules {

struct Scenario {
  const char* name;
  void (*run)();
  // The deepest search the scenario gets, whatever --bound asks: for one whose
  // Anywhere tasks already make every point free, or whose every run is long,
  // where one preemption more costs minutes (random runs still go deeper).
  int maxBound = 1 << 20;
};

const std::vector<Scenario>& Scenarios();

}  // namespace velkor_schedules

#endif  // VELKORTHREAD_TESTS_SCHEDULES_SCENARIOS_H
