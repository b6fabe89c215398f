// SPDX-License-Identifier: MIT
/// \file velkorsched.h
/// \brief Runs JMutex and JThread protocols through every schedule.
///
/// Link the static library velkorsched (Linux only) instead of velkorthread:
/// the same JMutex and JThread classes then run on a simulated kernel. Every
/// thread is a task, one task runs at a time, and tasks switch only inside the
/// kernel calls that the two classes make (acquire, release, close, duplicate,
/// terminate, wait, sleep) and in Yield() and Anywhere() below. Explore() runs a
/// scenario once for every way of making those switches, up to a bound on
/// preemptions, and checks each run:
///   - your own checks (Check);
///   - deadlock: tasks that have not ended, none of which can go on, or tasks
///     waiting in a ring for mutexes that the next one holds;
///   - livelock: only tasks that poll (sleep or Yield) run, and nothing else
///     can (after 300 steps of that, or 20000 steps in all);
///   - the kernel's handle accounting: a handle closed twice, used after it was
///     closed, or left open when the run ends;
///   - every thread's exit code is 0.
///
/// Since tasks switch only at those calls, whatever a task does between two of
/// them is atomic here: the explorer finds faults in the order of the calls,
/// not data races on plain fields. A killed task simply never runs again (its
/// stack is dropped: no destructors), and the mutexes it holds are abandoned.
/// A violation is printed with a replay string and a readable trace (step,
/// task, kernel call, outcome); Replay() runs that schedule again, exactly.
///
/// \code
///   class Worker : public JThread {
///     void* Run() override { ThreadStarted(); ...; return &result; }
///   };
///   void Scenario() {                    // once per schedule, as task "main"
///     Worker worker;
///     velkor::sched::Check(worker.Start() == 0, "Start succeeds");
///     velkor::sched::Anywhere();         // resumed at every point of the run in turn
///     velkor::sched::Check(worker.Kill() == 0 || !worker.IsRunning(), "...");
///   }
///   int main() {
///     velkor::sched::Report report = velkor::sched::Explore("kill", Scenario);
///     return report.violations == 0 ? 0 : 1;
///   }
/// \endcode
///
/// What a preemption is: a switch away from a task that could have gone on.
/// Switches where the running task blocks, sleeps, yields or ends cost nothing,
/// and neither does resuming a task that waits in Anywhere(), so every point of
/// Anywhere() is tried at every bound. A state that needs a preemption to exist
/// still costs it: a kill after Start() has returned while the body still runs
/// spends the one that let Start() return first. Most concurrency faults need
/// at most two preemptions.
///
/// Rules for scenarios: they run once per schedule, so they must start from the
/// same state each time (no state carried between runs) and must not depend on
/// real time, addresses or anything else that the schedule does not decide.
/// Tasks must not block outside the classes' calls (no real sleeps, no other
/// locks, no waiting on other threads): wait for another task with a loop that
/// calls Yield(). One exploration at a time, from one thread.
#ifndef VELKORSCHED_H
#define VELKORSCHED_H

#include <cstdio>
#include <functional>
#include <string>

namespace velkor {
/// \brief The schedule explorer: velkorsched's whole interface.
namespace sched {

/// \brief How Explore() searches.
struct Options {
  /// Depth-first search over every schedule with at most this many
  /// preemptions; negative: no search (random runs only).
  int preemptionBound = 2;
  /// Then this many seeded random runs: priority schedules with
  /// `randomDepth` - 1 priority changes each, which find a fault that needs
  /// that many ordered steps with a probability that does not fall with the
  /// run's length as fast as a uniformly random choice does.
  long randomRuns = 0;
  /// The depth of the random priority schedules (see #randomRuns).
  int randomDepth = 3;
  /// The seed of the random runs: the same seed gives the same runs.
  unsigned long seed = 1;
  /// Stop at the first violation (the default) or count them all.
  bool stopAtFirstViolation = true;
  /// Where a violation, its replay string and its trace are printed; null:
  /// nowhere.
  std::FILE* log = stderr;
};

/// \brief What Explore() found.
struct Report {
  long schedules = 0;   ///< complete runs
  long distinct = 0;    ///< distinct schedules among them (random runs repeat some)
  long violations = 0;  ///< runs with a violation
  long longestRun = 0;  ///< scheduling points passed in the longest run
  double seconds = 0;   ///< the exploration's wall-clock time
  std::string replay;   ///< of the first violation, for Replay()
  std::string message;  ///< what the first violation was
};

/// \brief Explores `scenario` as described at the top of this file.
/// \param name the scenario's name, printed in its summary line and traces.
/// \param scenario run once per schedule, as task "main".
/// \param options how to search.
/// \return the counts, and the first violation's replay string and message.
Report Explore(const char* name, const std::function<void()>& scenario,
               const Options& options = Options());

/// \brief Runs the schedule that `replay` names (as printed for a violation)
/// once more, printing its trace to `out`.
/// \param replay a replay string from a violation or a Report.
/// \param scenario the same scenario that produced it.
/// \param out where the trace goes.
/// \return what the run found ("" if nothing).
std::string Replay(const std::string& replay, const std::function<void()>& scenario,
                   std::FILE* out = stdout);

/// \name For scenarios, from any task
/// \{

/// \brief Starts a new task that runs `body`; it is not a JThread and cannot
/// be killed.
/// \param name the task's name in traces.
/// \param body what the task runs.
void Spawn(const char* name, std::function<void()> body);

/// \brief Records a violation and ends the run if `holds` is false.
/// \param holds the condition that must hold.
/// \param what the condition, in words, for the report.
void Check(bool holds, const char* what);

/// \brief Lets every other task that can run go first (a fair yield).
void Yield();

/// \brief Stops the calling task here; it is resumed at a point that the
/// explorer chooses.
///
/// Each schedule tries another point, so that what follows (a Kill, say)
/// lands at every point of the other tasks' paths.
void Anywhere();

/// \brief The calling task's number: main is 0, then in order of creation.
/// \return the number.
int Self();

/// \brief Whether a task has ended (returned or been killed).
/// \param task a number as Self() gives it.
/// \return true once the task has ended.
bool Ended(int task);

/// \}

}  // namespace sched
}  // namespace velkor

#endif  // VELKORSCHED_H
