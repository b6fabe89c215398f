// velkorsched: runs JMutex and JThread protocols through every schedule.
//
// Link the static library velkorsched (Linux only) instead of velkorthread:
// the same JMutex and JThread classes then run on a simulated kernel. Every
// thread is a task, one task runs at a time, and tasks switch only inside the
// kernel calls that the two classes make (acquire, release, close, duplicate,
// terminate, wait, sleep) and in Yield() and Anywhere() below. Explore() runs a
// scenario once for every way of making those switches, up to a bound on
// preemptions, and checks each run:
//   - your own checks (Check);
//   - deadlock: tasks that have not ended, none of which can go on, or tasks
//     waiting in a ring for mutexes that the next one holds;
//   - livelock: only tasks that poll (sleep or Yield) run, and nothing else
//     can (after 300 steps of that, or 20000 steps in all);
//   - the kernel's handle accounting: a handle closed twice, used after it was
//     closed, or left open when the run ends;
//   - every thread's exit code is 0.
// Since tasks switch only at those calls, whatever a task does between two of
// them is atomic here: the explorer finds faults in the order of the calls,
// not data races on plain fields. A killed task simply never runs again (its
// stack is dropped: no destructors), and the mutexes it holds are abandoned.
// A violation is printed with a replay string and a readable trace (step,
// task, kernel call, outcome); Replay() runs that schedule again, exactly.
//
//   class Worker : public JThread {
//     void* Run() override { ThreadStarted(); ...; return &result; }
//   };
//   void Scenario() {                    // once per schedule, as task "main"
//     Worker worker;
//     velkor::sched::Check(worker.Start() == 0, "Start succeeds");
//     velkor::sched::Anywhere();         // resumed at every point of the run in turn
//     velkor::sched::Check(worker.Kill() == 0 || !worker.IsRunning(), "...");
//   }
//   int main() {
//     velkor::sched::Report report = velkor::sched::Explore("kill", Scenario);
//     return report.violations == 0 ? 0 : 1;
//   }
//
// What a preemption is: a switch away from a task that could have gone on.
// Switches where the running task blocks, sleeps, yields or ends cost nothing,
// and neither does resuming a task that waits in Anywhere(), so every point of
// Anywhere() is tried at every bound. A state that needs a preemption to exist
// still costs it: a kill after Start() has returned while the body still runs
// spends the one that let Start() return first. Most concurrency faults need
// at most two preemptions.
//
// Rules for scenarios: they run once per schedule, so they must start from the
// same state each time (no state carried between runs) and must not depend on
// real time, addresses or anything else that the schedule does not decide.
// Tasks must not block outside the classes' calls (no real sleeps, no other
// locks, no waiting on other threads): wait for another task with a loop that
// calls Yield(). One exploration at a time, from one thread.
#ifndef VELKORSCHED_H
#define VELKORSCHED_H

#include <cstdio>
#include <functional>
#include <string>

namespace velkor {
namespace sched {

struct Options {
  // Depth-first search over every schedule with at most this many
  // preemptions; negative: no search (random runs only).
  int preemptionBound = 2;
  // Then this many seeded random runs (priority schedules with `randomDepth`
  // - 1 priority changes each, which find a fault that needs that many
  // ordered steps with a probability that does not fall with the run's length
  // as fast as a uniformly random choice does).
  long randomRuns = 0;
  int randomDepth = 3;
  unsigned long seed = 1;
  // Stop at the first violation (the default) or count them all.
  bool stopAtFirstViolation = true;
  // Where a violation, its replay string and its trace are printed; null:
  // nowhere.
  std::FILE* log = stderr;
};

struct Report {
  long schedules = 0;   // complete runs
  long distinct = 0;    // distinct schedules among them (random runs repeat some)
  long violations = 0;  // runs with a violation
  long longestRun = 0;  // scheduling points passed in the longest run
  double seconds = 0;
  std::string replay;   // of the first violation, for Replay()
  std::string message;  // what the first violation was
};

// Explores `scenario` as described above.
Report Explore(const char* name, const std::function<void()>& scenario,
               const Options& options = Options());

// Runs the schedule that `replay` names (as printed for a violation) once more,
// printing its trace to `out`. Returns what the run found ("" if nothing).
std::string Replay(const std::string& replay, const std::function<void()>& scenario,
                   std::FILE* out = stdout);

// For scenarios, from any task:

// A new task that runs `body`; it is not a JThread and cannot be killed.
void Spawn(const char* name, std::function<void()> body);

// Records a violation and ends the run if `holds` is false.
void Check(bool holds, const char* what);

// Lets every other task that can run go first (a fair yield).
void Yield();

// The calling task stops here and is resumed at a point that the explorer
// chooses: each schedule tries another, so that what follows (a Kill, say)
// lands at every point of the other tasks' paths.
void Anywhere();

// The calling task's number (main is 0, then in order of creation), and
// whether a task has ended (returned or been killed).
int Self();
bool Ended(int task);

}  // namespace sched
}  // namespace velkor

#endif  // VELKORSCHED_H
