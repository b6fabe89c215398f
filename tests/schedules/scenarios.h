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
};

const std::vector<Scenario>& Scenarios();

}  // namespace velkor_schedules

#endif  // VELKORTHREAD_TESTS_SCHEDULES_SCENARIOS_H
