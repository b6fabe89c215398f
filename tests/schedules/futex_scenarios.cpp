// SPDX-License-Identifier: MIT
// The Linux layer's robust futex mutex through every schedule and every
// death: its own code (FutexAcquire, FutexRelease, the contended halves, the
// owed wake, abandonment past the kernel's walk), each shared access a point
// where another task may go first or a killer may end the task, over the
// simulated kernel's futexes and robust lists (sched/futex_model.h).
//
// Oracles, besides the explorer's deadlock (a waiter asleep on a word nobody
// will wake: a lost wake) and its check that no memory given back is touched:
// mutual exclusion, the owner's depth, the robust list linking exactly what
// its task holds, and abandonment seen by the first owner after a holder's
// death and by no other.
#include <linux/futex.h>
#include <velkorsched.h>

#include <memory>
#include <vector>

#include "platform/linux/futex/futex_mutex.h"
#include "scenarios.h"
#include "sched/futex_model.h"

namespace sched = velkor::sched;
namespace sim = velkor::sim;
namespace lx = velkor::kernel::linux_layer;

namespace velkor_schedules {
namespace {

constexpr int kNobody = -1;
constexpr int kAbandonedAtEnd = -2;  // by the layer's walk, its holder still ending
constexpr int kTasks = 8;

// What the scenario knows of the run: the ends that may abandon, and how many
// mutexes each task holds (its robust list must link exactly those).
struct Ledger {
  int deaths = 0;
  int held[kTasks] = {};
  bool killSent[kTasks] = {};  // the layer's kill: the task runs no more of its own code
};
Ledger* ledger = nullptr;

bool Gone(int task) { return sched::Ended(task) || ledger->killSent[task]; }

// A futex mutex with a record of its holder, which changes right after
// FutexAcquire returns and right before FutexRelease begins, with no
// scheduling point in between: a holder that has ended died holding it.
class Checked {
 public:
  explicit Checked(const char* name) { sim::ModelMutex(&mutex_, name); }

  void Lock() {
    lx::FutexAcquire(&mutex_);
    const bool abandoned = sim::TookOverAbandoned();
    if (holder_ == sched::Self()) {
      ++depth_;
      sched::Check(mutex_.depth == static_cast<std::uint32_t>(depth_),
                   "a recursive acquisition counts one more level");
      return;
    }
    sched::Check(holder_ == kNobody || holder_ == kAbandonedAtEnd || Gone(holder_),
                 "mutual exclusion: the mutex is acquired while another task holds it");
    sched::Check(holder_ == kNobody || abandoned,
                 "the first owner after a holder's death takes the mutex abandoned");
    sched::Check(!abandoned || ledger->deaths > deathsAtTake_,
                 "a mutex is taken abandoned only once per death");
    sched::Check(mutex_.depth == 1, "a first acquisition has depth 1");
    holder_ = sched::Self();
    depth_ = 1;
    deathsAtTake_ = ledger->deaths;
    ++ledger->held[sched::Self()];
    CheckList();
  }

  void Unlock() {
    if (--depth_ == 0) {
      holder_ = kNobody;
      --ledger->held[sched::Self()];
    }
    lx::FutexRelease(&mutex_);
    CheckList();
  }

  // The holder gives it up with everything it holds, at its end.
  void AbandonAtEnd() {
    holder_ = kAbandonedAtEnd;
    ledger->held[sched::Self()] = 0;
  }

  // Once its word is free and no task's pending operation names it, as the
  // layer's reclamation waits for: then nothing may touch it any more.
  void GiveBackWhenUnused() {
    while ((mutex_.word.KernelLoad() & FUTEX_TID_MASK) != 0 || sim::NamedAsPending(&mutex_)) {
      sched::Yield();
    }
    sim::GiveBack(&mutex_);
  }

  lx::FutexMutex* Raw() { return &mutex_; }

 private:
  static void CheckList() {
    sched::Check(sim::ListedNodes() == ledger->held[sched::Self()],
                 "the robust list links exactly the mutexes its task holds");
  }

  lx::FutexMutex mutex_;
  int holder_ = kNobody;
  int depth_ = 0;
  int deathsAtTake_ = 0;
};

// The tasks of a scenario, numbered 1, 2, ... in order (main is 0).
struct Crew {
  int spawned = 0;
  int Spawn(const char* name, std::function<void()> body) {
    sched::Spawn(name, std::move(body));
    return ++spawned;
  }
  // Until every task has returned or died.
  void Wait() {
    for (int task = 1; task <= spawned; ++task) {
      while (!sched::Ended(task)) {
        sched::Yield();
      }
    }
  }
};

// A killer that ends `victim` at a point the explorer chooses, every one in
// turn (resuming from Anywhere costs no preemption).
void SpawnKiller(Crew& crew, int victim) {
  crew.Spawn("killer", [victim] {
    sched::Anywhere();
    if (!sched::Ended(victim)) {
      sim::KillTask(victim);
      ++ledger->deaths;
    }
  });
}

// After the tasks: the mutex is free for the next owner, nobody asleep on it.
void TakeOnceMore(Checked& mutex) {
  mutex.Lock();
  mutex.Unlock();
}

// Two tasks taking turns, twice each: the contended halves and the owed wake.
void TwoContend() {
  Ledger l;
  ledger = &l;
  Checked m("m");
  Crew crew;
  crew.Spawn("t1", [&] {
    for (int i = 0; i < 2; ++i) {
      m.Lock();
      m.Unlock();
    }
  });
  for (int i = 0; i < 2; ++i) {
    m.Lock();
    m.Unlock();
  }
  crew.Wait();
}

// Three tasks once each: a release racing a new waiter, and a wake owed
// while a third task takes the word without sleeping.
void ThreeContend() {
  Ledger l;
  ledger = &l;
  Checked m("m");
  Crew crew;
  crew.Spawn("t1", [&] { TakeOnceMore(m); });
  crew.Spawn("t2", [&] { TakeOnceMore(m); });
  TakeOnceMore(m);
  crew.Wait();
  TakeOnceMore(m);
}

// One task takes the mutex twice over, another contends: the depth, and no
// release of the inner level lets the other in.
void Recursion() {
  Ledger l;
  ledger = &l;
  Checked m("m");
  Crew crew;
  crew.Spawn("t1", [&] {
    m.Lock();
    m.Lock();
    m.Unlock();
    m.Unlock();
  });
  TakeOnceMore(m);
  crew.Wait();
}

// A death at every step of an acquisition and a release, with another task
// (main) contending: the kernel's walk and its pending entry.
void DeathAnywhere() {
  Ledger l;
  ledger = &l;
  Checked m("m");
  Crew crew;
  const int victim = crew.Spawn("victim", [&] { TakeOnceMore(m); });
  SpawnKiller(crew, victim);
  TakeOnceMore(m);
  crew.Wait();
  TakeOnceMore(m);
}

// How a holder with sleepers gives the mutex up, and who dies meanwhile.
enum class HandOver { kReleaserDies, kWokenWaiterDies, kAbandonedWokenWaiterDies };

// What the owed wake and FUTEX_WAITERS are for: a holder releases (or ends
// holding the mutex) while waiters sleep, a third task (main) comes for the
// word at any point without sleeping, and the holder or the first waiter,
// woken, dies at any point: no sleeper may be left behind. The holder and the
// sleepers are set up first, in one order, so that the search spends itself
// on the hand-over. After an abandonment, too, the woken waiter may die
// before anyone takes the word back: the kernel then passes its wake on.
void HandOverWithSleepers(HandOver how) {
  Ledger l;
  ledger = &l;
  Checked m("m");
  Crew crew;
  bool held = false;
  bool go = false;
  const int holder = crew.Spawn("holder", [&] {
    m.Lock();
    held = true;
    while (!go) {
      sched::Yield();
    }
    if (how == HandOver::kAbandonedWokenWaiterDies) {
      ++ledger->deaths;  // its end comes with no scheduling point after this
      return;
    }
    m.Unlock();
  });
  while (!held) {
    sched::Yield();
  }
  const int sleepers = how == HandOver::kReleaserDies ? 1 : 2;
  int waiter = 0;
  for (int i = 0; i < sleepers; ++i) {
    const int sleeper = crew.Spawn(i == 0 ? "waiter" : "waiter2", [&] { TakeOnceMore(m); });
    waiter = waiter == 0 ? sleeper : waiter;
    while (!sim::Asleep(sleeper)) {
      sched::Yield();
    }
  }
  SpawnKiller(crew, how == HandOver::kReleaserDies ? holder : waiter);
  go = true;
  sched::Anywhere();
  m.Lock();
  m.Unlock();
  crew.Wait();
  TakeOnceMore(m);
}

void ReleaserDies() { HandOverWithSleepers(HandOver::kReleaserDies); }
void WokenWaiterDies() { HandOverWithSleepers(HandOver::kWokenWaiterDies); }
void AbandonedWokenWaiterDies() { HandOverWithSleepers(HandOver::kAbandonedWokenWaiterDies); }

// A holder two levels deep that ends holding the mutex (the kernel abandons
// it at the thread's exit) while two others wait or come: abandonment seen
// once, by the first of them, at depth 1, and FUTEX_WAITERS kept for the one
// still asleep.
void AbandonedTakenOver() {
  Ledger l;
  ledger = &l;
  Checked m("m");
  Crew crew;
  crew.Spawn("holder", [&] {
    m.Lock();
    m.Lock();
    ++ledger->deaths;  // its end comes with no scheduling point after this
  });
  crew.Spawn("t2", [&] { TakeOnceMore(m); });
  crew.Spawn("t3", [&] { TakeOnceMore(m); });
  crew.Wait();
  TakeOnceMore(m);
}

// The mutex's last user gives its memory back as soon as its word is free and
// no pending operation names it, while the other may still be finishing its
// release (its wake, the wake it owes).
void MemoryGivenBack() {
  Ledger l;
  ledger = &l;
  auto m = std::make_unique<Checked>("m");
  int releasing = 0;  // tasks whose last release has begun
  auto lastUse = [&] {
    m->Lock();
    ++releasing;
    m->Unlock();
  };
  Crew crew;
  crew.Spawn("t1", lastUse);
  crew.Spawn("t2", lastUse);
  lastUse();
  while (releasing < 3) {
    sched::Yield();
  }
  m->GiveBackWhenUnused();
  crew.Wait();
}

// A task that holds more mutexes than the kernel walks at a death (2,048):
// the one it took first is the last in its list, out of the kernel's reach,
// and the layer's own walk at the thread's end (AbandonHeldMutexes) abandons
// it while another task comes for it.
void PastKernelWalk() {
  constexpr int kFillers = 2048;
  Ledger l;
  ledger = &l;
  Checked m("m");
  std::vector<lx::FutexMutex> fillers(kFillers);
  sim::ModelMutexes(fillers.data(), kFillers, "filler", true);
  Crew crew;
  crew.Spawn("holder", [&] {
    m.Lock();
    sim::Unobserved(true);
    for (lx::FutexMutex& filler : fillers) {
      lx::FutexAcquire(&filler);
    }
    sim::Unobserved(false);
    ++ledger->deaths;
    m.AbandonAtEnd();
    lx::AbandonHeldMutexes();
    sched::Check(sim::ListedNodes() == 0, "the layer's walk leaves nothing listed");
  });
  crew.Spawn("t2", [&] { TakeOnceMore(m); });
  crew.Wait();
  TakeOnceMore(m);
}

// The layer's kill (its handler walks the list past the kernel's reach, then
// the thread ends) at every step of an acquisition and a release made while
// the task holds 2,048 more mutexes, with another task (main) contending: the
// handler leaves the pending operation to the kernel.
void KilledPastKernelWalk() {
  constexpr int kFillers = 2048;
  Ledger l;
  ledger = &l;
  Checked m("m");
  std::vector<lx::FutexMutex> fillers(kFillers);
  sim::ModelMutexes(fillers.data(), kFillers, "filler", true);
  Crew crew;
  int holder = 0;
  crew.Spawn("killer", [&] {
    sched::Anywhere();
    if (!sched::Ended(holder)) {
      sim::SignalKill(holder);
      ledger->killSent[holder] = true;
      ++ledger->deaths;
    }
  });
  bool filled = false;
  holder = crew.Spawn("holder", [&] {
    sim::Unobserved(true);
    for (lx::FutexMutex& filler : fillers) {
      lx::FutexAcquire(&filler);
    }
    sim::Unobserved(false);
    ledger->held[sched::Self()] = kFillers;
    filled = true;
    TakeOnceMore(m);
  });
  while (!filled && !sched::Ended(holder)) {
    sched::Yield();
  }
  TakeOnceMore(m);
  crew.Wait();
  TakeOnceMore(m);
}

}  // namespace

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> all = {
      {"futex_two_contend", TwoContend},
      {"futex_three_contend", ThreeContend},
      {"futex_recursion", Recursion},
      {"futex_death_anywhere", DeathAnywhere},
      {"futex_releaser_dies", ReleaserDies, 0},
      {"futex_woken_waiter_dies", WokenWaiterDies, 0},
      {"futex_abandoned_waiter_dies", AbandonedWokenWaiterDies, 0},
      {"futex_abandoned_taken_over", AbandonedTakenOver},
      {"futex_past_kernel_walk", PastKernelWalk, 1},
      {"futex_killed_past_kernel_walk", KilledPastKernelWalk, 1},
      {"futex_memory_given_back", MemoryGivenBack},
  };
  return all;
}

}  // namespace velkor_schedules
