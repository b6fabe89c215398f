// SPDX-License-Identifier: MIT
// The scheduler of velkorsched.h: tasks, their switches, and one run.
//
// Each task has a stack of its own and runs until its next scheduling point,
// where it switches back to the scheduler (ucontext); the scheduler picks the
// next task and switches to it. A killed task is simply never switched to
// again: its stack is dropped with the run, nothing on it unwinds.

#include <ucontext.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sched/run.h"
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

void TaskEntry();

Run* active = nullptr;

}  // namespace

Run::~Run() {
  for (auto& task : tasks) {
    stacks.Give(task->stack);
  }
}

char TaskCode(int index) { return kTaskCodes[index]; }

int TaskIndex(char code) {
  const char* at = code == '\0' ? nullptr : std::strchr(kTaskCodes, code);
  return at == nullptr ? -1 : static_cast<int>(at - kTaskCodes);
}

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

namespace {

void TaskEntry() {
  FinishSwitch(nullptr, &schedulerStackBottom, &schedulerStackSize);
  Run* run = active;
  Task* task = run->current;
  task->body();
  run->FinishTask(task);
}

}  // namespace

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
  LeaveForGood(task);
}

void Run::LeaveForGood(Task* task) {
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
      choices += TaskCode(alternatives[pick].task->index);
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

// A task that terminates itself ends inside the call, like any other victim:
// it switches away for good, its stack dropped as it stands.
void Terminate(Task* victim, kernel::UInt32 exitCode) {
  Run* run = ActiveRun();
  {
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
  if (victim == run->current) {
    run->LeaveForGood(victim);
  }
}

}  // namespace sim

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
  sim::Run* run = sim::ActiveRun();
  if (task < 0 || static_cast<std::size_t>(task) >= run->tasks.size()) {
    return false;
  }
  return run->tasks[static_cast<std::size_t>(task)]->state != sim::TaskState::kReady;
}

}  // namespace sched
}  // namespace velkor
