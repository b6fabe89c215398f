// SPDX-License-Identifier: MIT
// The simulated kernel under the robust futex mutex (sched/futex_model.h):
// each task's thread record and robust list, futex waits and wakes, and what
// Linux does when a task ends, by any path: it walks the task's robust list
// (2,048 entries at most), then the pending entry, and for every word that
// still names the task sets FUTEX_OWNER_DIED, keeps FUTEX_WAITERS and wakes
// one waiter if FUTEX_WAITERS was set; a pending entry whose word is free
// (its owner part 0: released, or abandoned with FUTEX_OWNER_DIED) gets a
// wake whatever its bits (Linux 5.10 on: a woken waiter that dies before it
// takes the word passes its wake on).
// The walk is one step: no task runs while the kernel handles a death.
#include <linux/futex.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/futex/futex_mutex.h"
#include "sched/futex_model.h"
#include "sched/kernel_calls.h"

namespace velkor {
namespace sim {
namespace {

using kernel::linux_layer::FutexThread;
using kernel::linux_layer::FutexWord;
using kernel::linux_layer::kFutexOffset;
using kernel::linux_layer::kNotStarted;
using kernel::linux_layer::NodeOf;
using kernel::linux_layer::RobustListHead;

constexpr int kKernelWalkLimit = 2048;
constexpr std::uint32_t kFirstTid = 0x100;

// The field before the head stands for the `prev` that an empty list's first
// node would have, as in the layer's own lists.
struct TaskRecord {
  FutexThread thread;
  void* prevOfHead;
  RobustListHead head;
  bool registered;
  bool unobserved;
  bool tookAbandoned;
};

struct ModelledMutex final : Object {
  std::string Name() const override {
    char value[16];
    std::snprintf(value, sizeof value, "%#x", mutex->word.KernelLoad());
    return name + "'s word (" + value + ")";
  }
  FutexMutex* mutex = nullptr;  // the first of `count`, named after the first
  int count = 1;
  std::string name;
  bool givenBack = false;
  bool quiet = false;
};

struct Sleeper {
  Task* task;
  const FutexWord* word;
};

struct Model {
  long run = -1;
  TaskRecord tasks[kMaxTasks];
  std::vector<std::unique_ptr<ModelledMutex>> mutexes;
  std::map<const char*, ModelledMutex*> byAddress;
  std::vector<Sleeper> sleepers;  // in the order they fell asleep
  std::uint64_t lastSerial = 0;
};

Model model;

// The model's state for the run under way, fresh at the run's first use.
Model& State() {
  if (model.run != RunNumber()) {
    model.run = RunNumber();
    for (TaskRecord& record : model.tasks) {
      record = TaskRecord{{nullptr, 0, kNotStarted}, nullptr, {}, false, false, false};
    }
    model.mutexes.clear();
    model.byAddress.clear();
    model.sleepers.clear();
    model.lastSerial = 0;
  }
  return model;
}

TaskRecord& Record(const Task* task) { return State().tasks[task->index]; }
TaskRecord& Mine() { return Record(Current()); }

std::uint32_t TidOf(const Task* task) {
  return kFirstTid + static_cast<std::uint32_t>(task->index);
}

ModelledMutex* MutexAt(const void* address) {
  const char* at = static_cast<const char*>(address);
  const std::map<const char*, ModelledMutex*>& byAddress = State().byAddress;
  auto after = byAddress.upper_bound(at);
  if (after == byAddress.begin()) {
    return nullptr;
  }
  --after;
  const std::size_t size = sizeof(FutexMutex) * static_cast<std::size_t>(after->second->count);
  return at < after->first + size ? after->second : nullptr;
}

// The mutex of an array that holds `address`, and its name.
FutexMutex* Element(const ModelledMutex* modelled, const void* address) {
  const std::size_t offset = static_cast<std::size_t>(static_cast<const char*>(address) -
                                                      reinterpret_cast<char*>(modelled->mutex));
  return modelled->mutex + offset / sizeof(FutexMutex);
}

std::string ElementName(const ModelledMutex* modelled, const void* address) {
  if (modelled->count == 1) {
    return modelled->name;
  }
  return modelled->name + "[" + std::to_string(Element(modelled, address) - modelled->mutex) + "]";
}

ModelledMutex* MutexOfWord(const void* word) {
  ModelledMutex* modelled = MutexAt(word);
  return modelled != nullptr && &Element(modelled, word)->word == word ? modelled : nullptr;
}

std::string Hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(value));
  return text;
}

// A field or an address as the trace names it.
std::string Describe(const void* address) {
  if (ModelledMutex* modelled = MutexAt(address)) {
    const FutexMutex* m = Element(modelled, address);
    const void* fields[] = {&m->word, &m->owner, &m->wakeOwed, &m->prev, &m->next};
    const char* names[] = {".word", ".owner", ".wakeOwed", ".prev", ".next"};
    for (int i = 0; i < 5; ++i) {
      if (fields[i] == address) {
        return ElementName(modelled, address) + names[i];
      }
    }
    return ElementName(modelled, address) + "+" +
           std::to_string(static_cast<const char*>(address) - reinterpret_cast<const char*>(m));
  }
  for (const TaskRecord& record : State().tasks) {
    const RobustListHead& head = record.head;
    if (address == &head || address == &head.list) {
      return "list head " + std::to_string(&record - State().tasks);
    }
    if (address == &head.listOpPending) {
      return "list_op_pending " + std::to_string(&record - State().tasks);
    }
    if (address == &record.prevOfHead) {
      return "prev of list head " + std::to_string(&record - State().tasks);
    }
  }
  return address == nullptr ? "null" : "?" + Hex(reinterpret_cast<std::uintptr_t>(address));
}

void CheckNotGivenBack(const void* address, const char* who) {
  ModelledMutex* modelled = MutexAt(address);
  if (modelled != nullptr && modelled->givenBack) {
    VELKOR_SIM_FAIL(std::string(who) + " touches " + Describe(address) +
                    " after the mutex's memory was given back");
  }
}

// ---- Waits and wakes ---------------------------------------------------

Task* WakeOne(const FutexWord* word) {
  std::vector<Sleeper>& sleepers = State().sleepers;
  for (auto at = sleepers.begin(); at != sleepers.end(); ++at) {
    if (at->word == word) {
      Task* woken = at->task;
      woken->asleep = false;
      sleepers.erase(at);
      return woken;
    }
  }
  return nullptr;
}

void ForgetSleeper(const Task* task) {
  std::vector<Sleeper>& sleepers = State().sleepers;
  for (auto at = sleepers.begin(); at != sleepers.end(); ++at) {
    if (at->task == task) {
      sleepers.erase(at);
      return;
    }
  }
}

// ---- A task's end ------------------------------------------------------

// What Linux's handle_futex_death does for one word of the dead task.
void HandleDeath(const void* entry, std::uint32_t tid, bool pending, std::string* trace) {
  FutexWord* word =
      reinterpret_cast<FutexWord*>(static_cast<char*>(const_cast<void*>(entry)) + kFutexOffset);
  ModelledMutex* modelled = MutexOfWord(word);
  const std::uint32_t value = word->KernelLoad();
  const std::uint32_t owner = value & FUTEX_TID_MASK;
  std::string what;
  bool wakes = true;
  if (pending && owner == 0) {
    what = "free, pending";
  } else if (owner == tid) {
    word->KernelStore((value & FUTEX_WAITERS) | FUTEX_OWNER_DIED);
    what = "abandoned";
    wakes = (value & FUTEX_WAITERS) != 0;
  } else {
    return;
  }
  Task* woken = wakes ? WakeOne(word) : nullptr;
  *trace += "; kernel: " + (modelled ? ElementName(modelled, word) : Describe(word)) + " " + what;
  if (woken != nullptr) {
    *trace += ", wakes " + woken->name;
  }
}

// The entry is a node of a mutex of the run, whose memory is still the
// scenario's; "" if so.
std::string CheckEntry(const void* entry) {
  ModelledMutex* modelled = MutexAt(entry);
  if (modelled == nullptr || &Element(modelled, entry)->next != entry) {
    return "its robust list leads to " + Describe(entry) + ", no mutex's node";
  }
  if (modelled->givenBack) {
    return "its robust list still links " + ElementName(modelled, entry) +
           ", whose memory was given back";
  }
  return "";
}

void WalkList(TaskRecord& record, std::uint32_t tid, std::string* trace, std::string* violation) {
  RobustListHead* head = &record.head;
  void* pending = head->listOpPending;
  void* entry = head->list;
  for (int walked = 0; entry != head && walked < kKernelWalkLimit; ++walked) {
    *violation = CheckEntry(NodeOf(entry));
    if (!violation->empty()) {
      return;
    }
    void* next = NodeOf(entry)[0];
    if (entry != pending) {
      HandleDeath(NodeOf(entry), tid, false, trace);
    }
    entry = next;
  }
  if (pending != nullptr) {
    *violation = CheckEntry(NodeOf(pending));
    if (violation->empty()) {
      HandleDeath(NodeOf(pending), tid, true, trace);
    }
  }
}

void TaskEnds(Task* task, std::string* trace, std::string* violation) {
  ForgetSleeper(task);
  TaskRecord& record = Record(task);
  if (record.registered) {
    WalkList(record, TidOf(task), trace, violation);
  }
}

const bool taskEndHookSet = (SetTaskEndHook(TaskEnds), true);

}  // namespace

// ---- The accesses ------------------------------------------------------

// Accesses of a setup, or to the quiet fillers of a long list, are neither
// scheduling points nor traced.
bool Observed(const void* field) {
  ModelledMutex* modelled = MutexAt(field);
  return !Mine().unobserved && (modelled == nullptr || !modelled->quiet);
}

void BeforeModelAccess(const void* field) {
  if (Observed(field)) {
    Point(Call::kSharedAccess, nullptr);
  }
  CheckNotGivenBack(field, Current()->name.c_str());
}

void AfterModelAccess(const void* field, const char* operation, std::uint64_t before,
                      std::uint64_t after) {
  const bool takesWord = std::string(operation) == "cas" && MutexOfWord(field) != nullptr;
  if (takesWord && (before & FUTEX_OWNER_DIED) != 0 && (after & FUTEX_TID_MASK) != 0) {
    Mine().tookAbandoned = true;
  }
  if (Tracing() && Observed(field)) {
    Outcome(Describe(field) + " " + operation + " " + Hex(before) +
            (before != after ? " -> " + Hex(after) : ""));
  }
}

void ModelListStore(void** field, void* value) {
  BeforeModelAccess(field);
  *field = value;
  if (Tracing() && Observed(field)) {
    Outcome(Describe(field) + " = " + Describe(value));
  }
}

// ---- For the scenarios -------------------------------------------------

void ModelMutexes(FutexMutex* first, int count, const char* name, bool quiet) {
  auto modelled = std::make_unique<ModelledMutex>();
  modelled->mutex = first;
  modelled->count = count;
  modelled->name = name;
  modelled->quiet = quiet;
  State().byAddress[reinterpret_cast<const char*>(first)] = modelled.get();
  State().mutexes.push_back(std::move(modelled));
  const bool unobserved = Mine().unobserved;
  Mine().unobserved = true;
  for (int i = 0; i < count; ++i) {
    kernel::linux_layer::FutexInit(first + i);
  }
  Mine().unobserved = unobserved;
}

void ModelMutex(FutexMutex* mutex, const char* name, bool quiet) {
  ModelMutexes(mutex, 1, name, quiet);
}

int ListedNodes() {
  TaskRecord& record = Mine();
  if (!record.registered) {
    return 0;
  }
  void* previous = &record.head;
  int count = 0;
  for (void* entry = record.head.list; entry != &record.head; entry = NodeOf(entry)[0]) {
    if (!CheckEntry(entry).empty() || NodeOf(entry)[-1] != previous || count > (1 << 16)) {
      return -1;
    }
    previous = entry;
    ++count;
  }
  return record.prevOfHead == previous ? count : -1;
}

void KillTask(int index) {
  Task* victim = TaskNumbered(index);
  if (victim != nullptr && victim->state == TaskState::kReady) {
    Terminate(victim, 0);
  }
}

void SignalKill(int index) {
  Task* victim = TaskNumbered(index);
  if (victim == nullptr || victim->state != TaskState::kReady) {
    return;
  }
  if (victim->pending == Call::kBegin) {
    Terminate(victim, 0);  // it holds nothing yet
    return;
  }
  ForgetSleeper(victim);
  victim->asleep = false;
  victim->interrupt = [] {
    kernel::linux_layer::AbandonHeldMutexes();
    Terminate(Current(), 0);
  };
  if (Tracing()) {
    Outcome("kill signalled to " + victim->name);
  }
}

bool Asleep(int index) {
  const Task* task = TaskNumbered(index);
  return task != nullptr && task->asleep;
}

bool TookOverAbandoned() {
  const bool took = Mine().tookAbandoned;
  Mine().tookAbandoned = false;
  return took;
}

bool NamedAsPending(const FutexMutex* mutex) {
  for (const TaskRecord& record : State().tasks) {
    void* pending = record.registered ? record.head.listOpPending : nullptr;
    if (pending != nullptr && NodeOf(pending) == &mutex->next) {
      const Task* task = TaskNumbered(static_cast<int>(&record - State().tasks));
      if (task != nullptr && task->state == TaskState::kReady) {
        return true;
      }
    }
  }
  return false;
}

void GiveBack(FutexMutex* mutex) {
  if (ModelledMutex* modelled = MutexAt(mutex)) {
    modelled->givenBack = true;
  }
}

void Unobserved(bool unobserved) { Mine().unobserved = unobserved; }

}  // namespace sim

// ---- The layer's calls, per task ---------------------------------------

namespace kernel {
namespace linux_layer {

FutexThread* CurrentFutexThread() { return &sim::Mine().thread; }

void RegisterFutexThread(FutexThread* self) noexcept {
  sim::TaskRecord& record = sim::Mine();
  if (!record.registered) {
    record.prevOfHead = &record.head;
    record.head.list = &record.head;
    record.head.futexOffset = kFutexOffset;
    record.head.listOpPending = nullptr;
    record.registered = true;
  }
  if (self->serial == kNotStarted) {
    self->tid = sim::TidOf(sim::Current());
    self->serial = ++sim::State().lastSerial;
  }
  self->head = &record.head;
}

RobustListHead* RegisteredList() noexcept {
  sim::TaskRecord& record = sim::Mine();
  return record.registered ? &record.head : nullptr;
}

std::uint32_t KernelThreadId() noexcept { return sim::TidOf(sim::Current()); }

bool ListNodesHavePrev() noexcept { return true; }

void RenewFutexThreadSerial() noexcept {
  FutexThread& self = sim::Mine().thread;
  if (self.head != nullptr) {
    self.serial = ++sim::State().lastSerial;
  }
}

// The check of the word and the sleep are one step, as in the kernel.
void FutexWaitShared(FutexWord* word, std::uint32_t expected) {
  sim::BeforeModelAccess(word);
  const std::uint32_t value = word->KernelLoad();
  if (value != expected) {
    if (sim::Tracing()) {
      sim::Outcome("futex wait on " + sim::Describe(word) + ": " + sim::Hex(value) + ", not " +
                   sim::Hex(expected));
    }
    return;
  }
  sim::Task* self = sim::Current();
  self->asleep = true;
  sim::State().sleepers.push_back({self, word});
  if (sim::Tracing()) {
    sim::Outcome("futex wait on " + sim::Describe(word) + ": asleep");
  }
  sim::Point(sim::Call::kFutexWait, sim::MutexOfWord(word));
}

long FutexWakeOneShared(FutexWord* word) {
  sim::BeforeModelAccess(word);
  sim::Task* woken = sim::WakeOne(word);
  if (sim::Tracing()) {
    sim::Outcome("futex wake on " + sim::Describe(word) + ": " +
                 (woken != nullptr ? "wakes " + woken->name : std::string("nobody asleep")));
  }
  return woken != nullptr ? 1 : 0;
}

}  // namespace linux_layer
}  // namespace kernel
}  // namespace velkor
