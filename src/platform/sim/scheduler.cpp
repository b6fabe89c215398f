// The scheduler and explorer of velkorsched.h.
//
// Each task has a stack of its own and runs until its next scheduling point,
// where it switches back to the scheduler (ucontext); the scheduler picks the
// next task and switches to it. A killed task is simply never switched to
// again: its stack is dropped with the run, nothing on it unwinds.
//
// The explorer is stateless: every schedule is a run from the start, driven
// by the list of choices made at the scheduling points where more than one
// task could go. Depth-first search takes the last run's choices, changes the
// deepest one that still has an untried alternative within the preemption
// bound, and runs that prefix again.
#include <ucontext.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "sim/sim_internal.h"
#include "velkorsched.h"

#if defined(__SANITIZE_ADDRESS__)
#define VELKOR_SCHED_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELKOR_SCHED_ASAN 1
#endif
#endif
#if defined(VELKOR_SCHED_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#include <sanitizer/lsan_interface.h>
#endif

namespace velkor {
namespace sim {
namespace {

// AddressSanitizer clears the shadow of the whole stack at every switch to
// it: small stacks keep that cheap.
constexpr std::size_t kStackSize = 64 * 1024;
constexpr long kLivelockSteps = 300;
constexpr long kMaxSteps = 20000;
const char kTaskCodes[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr std::size_t kMaxTasks = sizeof(kTaskCodes) - 1;

std::uint64_t Bit(const Task* task) { return std::uint64_t{1} << task->index; }

// Task stacks, reused from run to run. A dropped stack may still carry
// AddressSanitizer's marks of the frames that were on it.
class StackPool {
 public:
  ~StackPool() {
    for (char* stack : free_) {
      std::free(stack);
    }
  }
  char* Take() {
    if (free_.empty()) {
      return static_cast<char*>(std::malloc(kStackSize));
    }
    char* stack = free_.back();
    free_.pop_back();
#if defined(VELKOR_SCHED_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(stack, kStackSize);
#endif
    return stack;
  }
  void Give(char* stack) { free_.push_back(stack); }

 private:
  std::vector<char*> free_;
};

StackPool stacks;

// AddressSanitizer must be told of every switch between stacks.
const void* schedulerStackBottom = nullptr;
std::size_t schedulerStackSize = 0;

void StartSwitch(void** fakeStackSave, const void* bottom, std::size_t size) {
#if defined(VELKOR_SCHED_ASAN)
  __sanitizer_start_switch_fiber(fakeStackSave, bottom, size);
#else
  (void)fakeStackSave;
  (void)bottom;
  (void)size;
#endif
}

void FinishSwitch(void* fakeStack, const void** oldBottom, std::size_t* oldSize) {
#if defined(VELKOR_SCHED_ASAN)
  __sanitizer_finish_switch_fiber(fakeStack, oldBottom, oldSize);
#else
  (void)fakeStack;
  (void)oldBottom;
  (void)oldSize;
#endif
}

struct Alternative {
  Task* task;
  int cost;  // 1 if choosing it preempts the task that could go on
};

// One scheduling point with a choice: the alternatives as task numbers and
// costs, and which was taken.
struct Decision {
  std::vector<std::pair<int, int>> alternatives;
  std::size_t chosen = 0;
  int preemptionsBefore = 0;
};

class Strategy {
 public:
  virtual ~Strategy() = default;
  // An index into `alternatives`, or alternatives.size() if the strategy
  // cannot follow this run any more.
  virtual std::size_t Choose(const std::vector<Alternative>& alternatives, std::size_t decision,
                             long step, Task* last) = 0;
  virtual void TaskCreated(Task*) {}
};

// Follows a list of task numbers, then always the first alternative: the
// running task if it can go on, else the lowest-numbered one.
class FollowChoices : public Strategy {
 public:
  explicit FollowChoices(std::vector<int> choices) : choices(std::move(choices)) {}
  std::size_t Choose(const std::vector<Alternative>& alternatives, std::size_t decision, long,
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
  std::size_t Choose(const std::vector<Alternative>& alternatives, std::size_t, long step,
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
  std::size_t Highest(const std::vector<Alternative>& alternatives, long step, bool holdBack) {
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

void TaskEntry();

// One run of a scenario under one schedule.
class Run {
 public:
  Run(const std::function<void()>& scenario, Strategy* strategy, bool traced)
      : tracing(traced), strategy_(strategy) {
    NewTask("main", scenario);
  }
  ~Run() {
    for (auto& task : tasks) {
      stacks.Give(task->stack);
    }
  }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  void Execute();

  Task* NewTask(std::string name, std::function<void()> body);
  void FinishTask(Task* task);
  void SwitchToScheduler(Task* task);
  void SetViolation(const std::string& message) {
    if (violation.empty()) {
      violation = message;
    }
  }
  std::uint64_t EnabledMask() const;
  std::string AbandonMutexesOf(Task* task);

  Task* current = nullptr;
  long step = 0;
  std::vector<std::unique_ptr<Task>> tasks;
  std::vector<std::unique_ptr<Object>> objects;
  std::vector<std::unique_ptr<HandleRecord>> handles;
  std::vector<Decision> decisions;
  std::vector<std::string> trace;
  std::string choices;
  std::string violation;
  int mutexCount = 0;
  int threadCount = 0;
  bool tracing;

 private:
  static bool CanProceed(const Task* task);
  std::vector<Alternative> Alternatives(Task* last) const;
  void Schedule(Task* next);
  void SwitchTo(Task* next);
  void CheckEnd();
  bool LockCycle() const;
  std::string Waits(const Task* task) const;
  std::string BlockedTasks() const;

  Strategy* strategy_;
  ucontext_t schedulerContext_;
  void* schedulerFakeStack_ = nullptr;
  int preemptions_ = 0;
  std::uint64_t pollers_ = 0;  // tasks that polled since anything else ran
  long idleSteps_ = 0;
};

Run* active = nullptr;

Run* ActiveRun() {
  if (active == nullptr || active->current == nullptr) {
    std::fprintf(stderr, "velkorsched: a kernel or scheduler call outside a scheduled task\n");
    std::abort();
  }
  return active;
}

Task* Run::NewTask(std::string name, std::function<void()> body) {
  if (tasks.size() >= kMaxTasks) {
    VELKOR_SIM_FAIL("more than " + std::to_string(kMaxTasks) + " tasks");
  }
  auto task = std::make_unique<Task>();
  task->index = static_cast<int>(tasks.size());
  task->name = std::move(name);
  task->body = std::move(body);
  task->stack = stacks.Take();
  getcontext(&task->context);
  task->context.uc_stack.ss_sp = task->stack;
  task->context.uc_stack.ss_size = kStackSize;
  task->context.uc_link = nullptr;
  makecontext(&task->context, TaskEntry, 0);
  strategy_->TaskCreated(task.get());
  tasks.push_back(std::move(task));
  return tasks.back().get();
}

void TaskEntry() {
  FinishSwitch(nullptr, &schedulerStackBottom, &schedulerStackSize);
  Run* run = active;
  Task* task = run->current;
  task->body();
  run->FinishTask(task);
}

std::string Run::AbandonMutexesOf(Task* task) {
  std::string names;
  for (auto& object : objects) {
    MutexObject* mutex = dynamic_cast<MutexObject*>(object.get());
    if (mutex != nullptr && mutex->owner == task) {
      mutex->owner = nullptr;
      mutex->depth = 0;
      mutex->abandonedBy = task;
      names += (names.empty() ? "" : ", ") + mutex->Name();
    }
  }
  return names.empty() ? "" : "; abandons " + names;
}

// Nothing may be left alive on the stack of a task that switches away for
// good: the bookkeeping is done in a scope of its own first.
void Run::FinishTask(Task* task) {
  {
    task->state = TaskState::kFinished;
    if (task->thread != nullptr) {
      task->thread->ended = true;
    }
    std::string abandoned = AbandonMutexesOf(task);
    if (tracing) {
      trace.push_back("        " + task->name + " ends" + abandoned);
    }
  }
  StartSwitch(nullptr, schedulerStackBottom, schedulerStackSize);
  swapcontext(&task->context, &schedulerContext_);
  std::abort();  // an ended task is never resumed
}

void Run::SwitchToScheduler(Task* task) {
  StartSwitch(&task->fakeStack, schedulerStackBottom, schedulerStackSize);
  swapcontext(&task->context, &schedulerContext_);
  FinishSwitch(task->fakeStack, nullptr, nullptr);
}

void Run::SwitchTo(Task* next) {
  current = next;
  StartSwitch(&schedulerFakeStack_, next->stack, kStackSize);
  swapcontext(&schedulerContext_, &next->context);
  FinishSwitch(schedulerFakeStack_, nullptr, nullptr);
  current = nullptr;
}

bool Run::CanProceed(const Task* task) {
  if (task->state != TaskState::kReady) {
    return false;
  }
  if (task->pending == Call::kMutexAcquire) {
    const MutexObject* mutex = dynamic_cast<const MutexObject*>(task->target);
    return mutex == nullptr || mutex->owner == nullptr || mutex->owner == task;
  }
  if (task->pending == Call::kThreadWait) {
    const ThreadObject* thread = dynamic_cast<const ThreadObject*>(task->target);
    return thread == nullptr || thread->ended;
  }
  return true;
}

std::uint64_t Run::EnabledMask() const {
  std::uint64_t enabled = 0;
  for (const auto& task : tasks) {
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
std::vector<Alternative> Run::Alternatives(Task* last) const {
  std::uint64_t enabled = EnabledMask();
  auto eligible = [&](const Task* task) {
    return (enabled & Bit(task)) != 0 && (!Polls(task->pending) || (task->letFirst & enabled) == 0);
  };
  bool anyEligible = false;
  for (const auto& task : tasks) {
    anyEligible = anyEligible || eligible(task.get());
  }
  auto candidate = [&](const Task* task) {
    return anyEligible ? eligible(task) : (enabled & Bit(task)) != 0;
  };
  bool lastGoesOn = last != nullptr && (enabled & Bit(last)) != 0 && !Polls(last->pending) &&
                    last->pending != Call::kAnywhere;
  std::vector<Alternative> alternatives;
  if (last != nullptr && candidate(last)) {
    alternatives.push_back({last, 0});
  }
  for (const auto& task : tasks) {
    if (task.get() != last && candidate(task.get())) {
      bool free = !lastGoesOn || task->pending == Call::kAnywhere;
      alternatives.push_back({task.get(), free ? 0 : 1});
    }
  }
  return alternatives;
}

void Run::Schedule(Task* next) {
  for (auto& task : tasks) {
    task->letFirst &= ~Bit(next);
  }
  if (Polls(next->pending)) {
    pollers_ |= Bit(next);
  }
  if ((pollers_ & Bit(next)) == 0) {
    pollers_ = 0;
    idleSteps_ = 0;
  } else if (LockCycle()) {
    SetViolation("deadlock (others poll meanwhile): " + BlockedTasks().substr(2));
  } else if (++idleSteps_ > kLivelockSteps) {
    SetViolation("livelock: for " + std::to_string(kLivelockSteps) +
                 " steps only tasks that poll have run" + BlockedTasks());
  }
  if (++step > kMaxSteps) {
    SetViolation("the run does not end within " + std::to_string(kMaxSteps) + " steps");
  }
  if (tracing) {
    char number[16];
    std::snprintf(number, sizeof number, "%6ld  ", step);
    std::string line = number + next->name;
    line.resize(std::max<std::size_t>(line.size() + 1, 20), ' ');
    line += CallName(next->pending);
    if (next->target != nullptr) {
      line += " " + next->target->Name();
    }
    trace.push_back(line);
  }
}

std::string Run::Waits(const Task* task) const {
  std::string text = task->name + " waits in " + CallName(task->pending);
  if (task->target != nullptr) {
    text += " " + task->target->Name();
  }
  const MutexObject* mutex = dynamic_cast<const MutexObject*>(task->target);
  if (task->pending == Call::kMutexAcquire && mutex != nullptr && mutex->owner != nullptr) {
    text += " held by " + mutex->owner->name;
  }
  return text;
}

// Whether tasks wait for mutexes in a ring, each held by the next: a deadlock
// even while other tasks still poll.
bool Run::LockCycle() const {
  for (const auto& start : tasks) {
    const Task* task = start.get();
    for (std::size_t hops = 0; hops <= tasks.size(); ++hops) {
      if (task->state != TaskState::kReady || task->pending != Call::kMutexAcquire) {
        break;
      }
      const MutexObject* mutex = dynamic_cast<const MutexObject*>(task->target);
      if (mutex == nullptr || mutex->owner == nullptr || mutex->owner == task) {
        break;
      }
      task = mutex->owner;
      if (task == start.get()) {
        return true;
      }
    }
  }
  return false;
}

std::string Run::BlockedTasks() const {
  std::string text;
  for (const auto& task : tasks) {
    if (task->state == TaskState::kReady && !CanProceed(task.get())) {
      text += "; " + Waits(task.get());
    }
  }
  return text;
}

void Run::CheckEnd() {
  for (const auto& record : handles) {
    if (record->open) {
      SetViolation("leak: " + record->Name() + " (opened by " + record->openedBy + " at step " +
                   std::to_string(record->openedAt) + ") is still open when the run ends");
      return;
    }
  }
  for (const auto& object : objects) {
    const ThreadObject* thread = dynamic_cast<const ThreadObject*>(object.get());
    if (thread != nullptr && thread->exitCode != 0) {
      SetViolation(thread->Name() + " ended with exit code " + std::to_string(thread->exitCode));
      return;
    }
  }
}

void Run::Execute() {
  active = this;
  Task* last = nullptr;
  while (violation.empty()) {
    std::vector<Alternative> alternatives = Alternatives(last);
    if (alternatives.empty()) {
      bool allEnded = true;
      for (const auto& task : tasks) {
        allEnded = allEnded && task->state != TaskState::kReady;
      }
      if (!allEnded) {
        std::string blocked = BlockedTasks();
        SetViolation("deadlock: " + blocked.substr(2));
      }
      break;
    }
    std::size_t pick = 0;
    if (alternatives.size() > 1) {
      pick = strategy_->Choose(alternatives, decisions.size(), step, last);
      if (pick >= alternatives.size()) {
        SetViolation("the replay does not match this scenario");
        break;
      }
      Decision decision;
      for (const Alternative& alternative : alternatives) {
        decision.alternatives.emplace_back(alternative.task->index, alternative.cost);
      }
      decision.chosen = pick;
      decision.preemptionsBefore = preemptions_;
      decisions.push_back(std::move(decision));
      choices += kTaskCodes[alternatives[pick].task->index];
    }
    Task* next = alternatives[pick].task;
    preemptions_ += alternatives[pick].cost;
    Schedule(next);
    if (!violation.empty()) {
      break;
    }
    SwitchTo(next);
    last = next;
  }
  if (violation.empty()) {
    CheckEnd();
  }
  active = nullptr;
}

std::vector<int> DecodeChoices(const std::string& text, bool* valid) {
  std::vector<int> choices;
  *valid = true;
  for (char code : text) {
    const char* at = std::strchr(kTaskCodes, code);
    if (code == '\0' || at == nullptr) {
      *valid = false;
      return choices;
    }
    choices.push_back(static_cast<int>(at - kTaskCodes));
  }
  return choices;
}

// The next schedule of the depth-first search: the deepest decision with an
// untried alternative within the bound, taken, after the same choices before.
bool NextPrefix(const std::vector<Decision>& decisions, int bound, std::vector<int>* prefix) {
  for (std::size_t d = decisions.size(); d-- > 0;) {
    const Decision& decision = decisions[d];
    for (std::size_t j = decision.chosen + 1; j < decision.alternatives.size(); ++j) {
      if (decision.preemptionsBefore + decision.alternatives[j].second <= bound) {
        prefix->clear();
        for (std::size_t k = 0; k < d; ++k) {
          prefix->push_back(decisions[k].alternatives[decisions[k].chosen].first);
        }
        prefix->push_back(decision.alternatives[j].first);
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
    for (const std::string& line : run.trace) {
      std::fprintf(out, "  %s\n", line.c_str());
    }
    std::fprintf(out, "  result: %s\n",
                 run.violation.empty() ? "no violation" : run.violation.c_str());
  }
  return run.violation;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

const char* CallName(Call call) {
  switch (call) {
    case Call::kBegin:
      return "begins";
    case Call::kMutexAcquire:
      return "MutexAcquire";
    case Call::kMutexRelease:
      return "MutexRelease";
    case Call::kHandleClose:
      return "HandleClose";
    case Call::kHandleDuplicate:
      return "HandleDuplicate";
    case Call::kThreadTerminate:
      return "ThreadTerminate";
    case Call::kThreadWait:
      return "ThreadWait";
    case Call::kThreadExitCode:
      return "ThreadExitCode";
    case Call::kSleep:
      return "SleepMilliseconds";
    case Call::kYield:
      return "Yield";
    case Call::kAnywhere:
      return "Anywhere";
  }
  return "?";
}

std::string ThreadObject::Name() const { return "thread#" + std::to_string(id); }

std::string HandleRecord::Name() const {
  return "handle#" + std::to_string(id) + " of " + object->Name();
}

Task* Current() { return ActiveRun()->current; }

long Step() { return ActiveRun()->step; }

void Point(Call call, Object* target) {
  Run* run = ActiveRun();
  Task* task = run->current;
  task->pending = call;
  task->target = target;
  if (Polls(call)) {
    task->letFirst = run->EnabledMask() & ~Bit(task);
  }
  run->SwitchToScheduler(task);
}

void IgnoreLeaksUntilFail() {
#if defined(VELKOR_SCHED_ASAN)
  __lsan_disable();
#endif
}

void Fail(const std::string& message) {
#if defined(VELKOR_SCHED_ASAN)
  __lsan_enable();
#endif
  Run* run = ActiveRun();
  Task* task = run->current;
  Outcome("VIOLATION");
  run->SetViolation(task->name + ": " + message);
  run->SwitchToScheduler(task);
  std::abort();  // a run with a violation is never resumed
}

void Outcome(const std::string& text) {
  Run* run = ActiveRun();
  if (run->tracing && !run->trace.empty()) {
    run->trace.back() += "  -> " + text;
  }
}

MutexObject* NewMutex() {
  Run* run = ActiveRun();
  auto mutex = std::make_unique<MutexObject>();
  mutex->id = ++run->mutexCount;
  run->objects.push_back(std::move(mutex));
  return static_cast<MutexObject*>(run->objects.back().get());
}

ThreadObject* NewThread(kernel::ThreadRoutine routine, void* param) {
  Run* run = ActiveRun();
  auto object = std::make_unique<ThreadObject>();
  ThreadObject* thread = object.get();
  thread->id = ++run->threadCount;
  run->objects.push_back(std::move(object));
  Task* task = run->NewTask("jthread" + std::to_string(thread->id),
                            [routine, param, thread] { thread->exitCode = routine(param); });
  task->thread = thread;
  thread->task = task;
  return thread;
}

HandleRecord* OpenHandle(Object* object) {
  Run* run = ActiveRun();
  auto record = std::make_unique<HandleRecord>();
  record->object = object;
  record->id = static_cast<int>(run->handles.size()) + 1;
  record->openedBy = run->current->name;
  record->openedAt = run->step;
  run->handles.push_back(std::move(record));
  return run->handles.back().get();
}

std::size_t OpenHandles() {
  Run* run = ActiveRun();
  std::size_t open = 0;
  for (const auto& record : run->handles) {
    open += record->open ? 1 : 0;
  }
  for (const auto& object : run->objects) {
    const ThreadObject* thread = dynamic_cast<const ThreadObject*>(object.get());
    open += (thread != nullptr && !thread->ended) ? 1 : 0;
  }
  return open;
}

void Terminate(Task* victim, kernel::UInt32 exitCode) {
  Run* run = ActiveRun();
  victim->state = TaskState::kKilled;
  if (victim->thread != nullptr) {
    victim->thread->ended = true;
    victim->thread->exitCode = exitCode;
  }
  std::string where = CallName(victim->pending);
  if (victim->target != nullptr) {
    where += " " + victim->target->Name();
  }
  Outcome("killed " + victim->name + " in " + where + run->AbandonMutexesOf(victim));
}

}  // namespace sim

namespace sched {

namespace {

void PrintViolation(const char* name, const sim::Run& run, long schedule,
                    const std::function<void()>& scenario, std::FILE* log) {
  if (log == nullptr) {
    return;
  }
  std::fprintf(log, "VIOLATION in %s (schedule %ld): %s\n  replay: %s:%s\n", name, schedule,
               run.violation.c_str(), name, run.choices.c_str());
  std::string again = sim::TracedRun(scenario, run.choices, log);
  if (again != run.violation) {
    std::fprintf(log, "  the replay did not reproduce it: the scenario is not deterministic\n");
  }
}

}  // namespace

Report Explore(const char* name, const std::function<void()>& scenario, const Options& options) {
  Report report;
  std::unordered_set<std::string> seen;
  auto start = std::chrono::steady_clock::now();
  // Returns true when the exploration should stop.
  auto account = [&](const sim::Run& run) {
    ++report.schedules;
    report.distinct += seen.insert(run.choices).second ? 1 : 0;
    report.longestRun = std::max(report.longestRun, run.step);
    if (run.violation.empty()) {
      return false;
    }
    if (++report.violations == 1) {
      report.replay = std::string(name) + ":" + run.choices;
      report.message = run.violation;
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
      more = sim::NextPrefix(run.decisions, options.preemptionBound, &prefix);
    }
  }
  if (!stop && options.randomRuns > 0 && report.longestRun == 0) {
    sim::FollowChoices strategy({});
    sim::Run run(scenario, &strategy, false);
    run.Execute();
    report.longestRun = run.step;
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
  sim::Run* run = sim::ActiveRun();
  if (task < 0 || static_cast<std::size_t>(task) >= run->tasks.size()) {
    return false;
  }
  return run->tasks[static_cast<std::size_t>(task)]->state != sim::TaskState::kReady;
}

}  // namespace sched
}  // namespace velkor
