// SPDX-License-Identifier: MIT
// The scenarios. Tasks switch only inside kernel calls, so a plain field that a
// task writes right before or after a call is seen by the others exactly when
// the task has got that far: the bodies' progress below is exact, not a guess.
#include "scenarios.h"

#include <jmutex.h>
#include <jthread.h>
#include <velkorsched.h>

namespace sched = velkor::sched;

namespace velkor_schedules {
namespace {

// A client JMutex with a record of its holder, to check mutual exclusion. The
// record changes right after Lock returns and right before Unlock, with no
// kernel call in between, so it mirrors the owner, except for an owner that
// ended holding the mutex (which abandons it).
class Guarded {
 public:
  void Lock() {
    sched::Check(mutex_.Lock() == 0, "JMutex::Lock returns 0");
    if (holder_ == sched::Self()) {
      ++depth_;
      return;
    }
    sched::Check(holder_ == kNobody || sched::Ended(holder_),
                 "mutual exclusion: a JMutex is acquired while another task holds it");
    holder_ = sched::Self();
    depth_ = 1;
  }
  void Unlock() {
    if (holder_ == sched::Self() && --depth_ == 0) {
      holder_ = kNobody;
    }
    sched::Check(mutex_.Unlock() == 0, "JMutex::Unlock returns 0");
  }
  // The header allows it and says it changes nothing; if it did release the
  // owner's level, a later Lock would find the holder still inside.
  void UnlockWithoutOwning() {
    sched::Check(holder_ != sched::Self(), "the task does not own the mutex");
    sched::Check(mutex_.Unlock() == 0, "JMutex::Unlock by a non-owner returns 0");
  }

 private:
  static constexpr int kNobody = -1;
  JMutex mutex_;
  int holder_ = kNobody;
  int depth_ = 0;
};

enum Phase { kNotBegun, kInBody, kReturned };

// Whether the first run's body calls Kill on its own object, and when.
enum SelfKill { kNoSelfKill, kSelfKillUnsignalled, kSelfKillSignalled };

constexpr int kMaxRuns = 3;

// What the bodies of one object do, and how far they have got.
struct BodyPlan {
  bool signals = true;
  int locks = 0;  // how many of first, second it holds, nested
  Guarded* first = nullptr;
  Guarded* second = nullptr;
  bool checksOwnObject = false;
  bool waitsForStart = false;  // once signalled, until Start has returned
  bool startReturned = false;
  SelfKill selfKill = kNoSelfKill;
  int looks = 1;          // by the observer of each Start
  int observers = 0;      // observer tasks started
  int observed = 0;       // observer tasks done with the object
  int starts = 0;         // Starts called on the object from outside its bodies
  int run = 0;            // bodies begun; run k returns &results[k - 1]
  int task = -1;          // the latest body's task
  int phase = kNotBegun;  // of the latest body
  bool signalled = false;
  bool returned[kMaxRuns] = {};
  int results[kMaxRuns] = {};

  void* Result(int k) { return &results[k - 1]; }
  int RunOf(const void* value) const {
    for (int k = 1; k <= kMaxRuns; ++k) {
      if (value == &results[k - 1]) {
        return k;
      }
    }
    return 0;
  }
  // The latest body is inside Run and has not been killed.
  bool InBody() const { return phase == kInBody && !sched::Ended(task); }
};

// The body reads its plan from here rather than from members of its own: a
// body whose object is destroyed while it runs must not touch derived members.
BodyPlan* plan = nullptr;

// Most scenarios: bodies that hold one client JMutex, `lock`, while they run.
void PlanOneLock(BodyPlan& p, Guarded& lock) {
  p.locks = 1;
  p.first = &lock;
  plan = &p;
}

class Body : public JThread {
 protected:
  void* Run() override {
    BodyPlan& p = *plan;
    sched::Check(p.run == 0 || p.phase == kReturned || sched::Ended(p.task),
                 "one body at a time runs on one object");
    sched::Check(p.run < kMaxRuns && p.run < p.starts, "each body has a Start of its own");
    const int run = ++p.run;
    p.task = sched::Self();
    p.phase = kInBody;
    p.signalled = false;
    const bool killsItself = run == 1 && p.selfKill != kNoSelfKill;
    if (killsItself && p.selfKill == kSelfKillUnsignalled) {
      KillItself();
    }
    if (p.signals) {
      p.signalled = true;
      ThreadStarted();
    }
    if (killsItself) {
      KillItself();
    }
    while (p.waitsForStart && !p.startReturned) {
      sched::Yield();  // allowed once signalled; Start must return meanwhile
    }
    if (p.checksOwnObject) {
      sched::Check(Start() == THREAD_ERR_ALREADY_RUNNING, "a body's Start of its own object is -5");
      sched::Check(IsRunning(), "a body sees its own object running");
      sched::Check(GetReturnValue() == nullptr, "a body sees no result of its own object");
    }
    if (p.locks >= 1) {
      p.first->Lock();
    }
    if (p.locks >= 2) {
      p.second->Lock();
      p.second->Unlock();
    }
    if (p.locks >= 1) {
      p.first->Unlock();
    }
    p.returned[run - 1] = true;
    p.phase = kReturned;
    return p.Result(run);
  }

 private:
  void KillItself() {
    Kill();
    sched::Check(false, "a body's Kill of its own object ends the body there");
  }
};

void Look(JThread& thread, const BodyPlan& p, int* newest);

// Every Start from outside the bodies goes through here: it is counted, and
// an observer task looks at the object `p.looks` times from then on, at every
// point of this run and what follows in one schedule or another. (A scenario
// whose killer lands anywhere lets the killer look instead, for free.)
int StartOf(JThread& thread, BodyPlan& p, bool observed = true) {
  ++p.starts;
  if (observed && p.looks > 0) {
    ++p.observers;
    sched::Spawn("observer", [&thread, &p] {
      int newest = 0;
      for (int look = 0; look < p.looks; ++look) {
        Look(thread, p, &newest);
      }
      ++p.observed;
    });
  }
  return thread.Start();
}

// Stops here until a point that the explorer chooses, looks at the object
// there (at every point of the run, one schedule each), and goes on.
void LookAnywhere(JThread& thread, const BodyPlan& p) {
  sched::Anywhere();
  int newest = 0;
  Look(thread, p, &newest);
}

void WaitWhileRunning(JThread& thread) {
  while (thread.IsRunning()) {
    sched::Yield();
  }
}

void WaitFor(const bool& flag) {
  while (!flag) {
    sched::Yield();
  }
}

// Before the object goes: nobody may be inside one of its members then.
void WaitForObservers(const BodyPlan& p) {
  while (p.observed < p.observers) {
    sched::Yield();
  }
}

// Right after a Start that returned 0 and began run `run`.
void CheckStartReturned(const BodyPlan& p, int run) {
  sched::Check(p.run == run && (p.signals ? p.signalled : p.phase == kReturned),
               "Start returns only once the body has signalled or ended");
}

// After the latest body has returned and nothing killed it.
void CheckFinished(JThread& thread, BodyPlan& p) {
  sched::Check(p.phase == kReturned, "the body has returned");
  sched::Check(!thread.IsRunning(), "IsRunning is false once the body has returned");
  sched::Check(thread.GetReturnValue() == p.Result(p.run), "GetReturnValue is the body's result");
}

// Right after Kill returned `code`; `earlier` is the result stored before.
void CheckKilled(JThread& thread, BodyPlan& p, int code, void* earlier) {
  sched::Check(code == 0 || code == THREAD_ERR_NOT_RUNNING, "Kill returns 0 or -4");
  sched::Check(!thread.IsRunning(), "IsRunning is false after Kill");
  void* value = thread.GetReturnValue();
  if (code == 0) {
    sched::Check(value == earlier, "a killed run's result is never stored");
  } else {
    sched::Check(p.phase == kReturned && value == p.Result(p.run),
                 "Kill finds no thread only once the body has returned and its result is stored");
  }
  sched::Check(thread.Kill() == THREAD_ERR_NOT_RUNNING, "a second Kill returns -4");
}

// With `looks` 0, the restarted run is looked at by this task alone, as it
// goes on after Start: an observer task of its own would multiply the
// schedules of a scenario whose first run is a race already.
void Restart(JThread& thread, BodyPlan& p, int looks = 1) {
  const int run = p.run + 1;
  p.looks = looks;
  sched::Check(StartOf(thread, p) == 0, "a restart returns 0");
  CheckStartReturned(p, run);
  if (looks == 0) {
    int newest = 0;
    Look(thread, p, &newest);
  }
  WaitWhileRunning(thread);
  CheckFinished(thread, p);
}

// One look from another task. IsRunning is true while a body runs;
// GetReturnValue is null then, and otherwise null or the result of a run whose
// body returned, never an older one than it gave before; once it has given
// the result of run k, nothing runs again without a further Start.
void Look(JThread& thread, const BodyPlan& p, int* newest) {
  int run = p.run;
  bool inBody = p.InBody();
  bool running = thread.IsRunning();
  if (inBody && p.InBody() && p.run == run) {
    sched::Check(running, "IsRunning is true while the body runs");
  }
  sched::Check(!running || p.starts > *newest, "IsRunning is false once the result is there");
  run = p.run;
  inBody = p.InBody();
  void* value = thread.GetReturnValue();
  if (inBody && p.InBody() && p.run == run) {
    sched::Check(value == nullptr, "GetReturnValue is null while the body runs");
  }
  if (value != nullptr) {
    int k = p.RunOf(value);
    sched::Check(k > 0, "GetReturnValue is null or a body's result");
    sched::Check(p.returned[k - 1], "a result appears only once its body has returned");
    sched::Check(k >= *newest, "GetReturnValue never goes back to an older result");
    *newest = k;
  }
}

// A body that signals and goes on (and waits for Start to return, which it may
// do once it has signalled), while an observer looks at the object.
void Handshake() {
  Guarded a;
  BodyPlan p;
  PlanOneLock(p, a);
  p.checksOwnObject = true;
  p.waitsForStart = true;
  Body thread;
  p.looks = 2;
  sched::Check(StartOf(thread, p) == 0, "Start returns 0");
  p.startReturned = true;
  CheckStartReturned(p, 1);
  WaitWhileRunning(thread);
  CheckFinished(thread, p);
  WaitForObservers(p);
}

// A body that never signals: Start returns once its thread has ended.
void NeverSignals() {
  Guarded a;
  BodyPlan p;
  PlanOneLock(p, a);
  p.signals = false;
  Body thread;
  sched::Check(StartOf(thread, p) == 0, "Start returns 0");
  CheckStartReturned(p, 1);
  CheckFinished(thread, p);
  WaitForObservers(p);
}

// Kill at every point of a running body that holds `locks` JMutexes (and
// while TheThread waits to store the result), then the mutexes and a restart.
void KillHolding(int locks) {
  Guarded a, b;
  BodyPlan p;
  p.locks = locks;
  p.first = &a;
  p.second = &b;
  plan = &p;
  p.looks = 0;
  Body thread;
  sched::Check(StartOf(thread, p) == 0, "Start returns 0");
  CheckStartReturned(p, 1);
  LookAnywhere(thread, p);
  CheckKilled(thread, p, thread.Kill(), nullptr);
  a.Lock();
  b.Lock();
  b.Unlock();
  a.Unlock();
  Restart(thread, p);
  WaitForObservers(p);
}

void KillHoldingNone() { KillHolding(0); }
void KillHoldingOne() { KillHolding(1); }
void KillHoldingTwo() { KillHolding(2); }

// A body that never signals, killed by another task at every point once it
// has begun (Start then waits on the abandoned startedMutex), then a restart.
void KillUnsignalledThenRestart() {
  Guarded a;
  BodyPlan p;
  PlanOneLock(p, a);
  p.signals = false;
  Body thread;
  int code = 1;
  bool killed = false;
  p.looks = 0;
  sched::Spawn("killer", [&] {
    while (p.phase == kNotBegun) {
      sched::Yield();
    }
    LookAnywhere(thread, p);
    code = thread.Kill();
    killed = true;
  });
  sched::Check(StartOf(thread, p) == 0, "Start returns 0");
  sched::Check(!thread.IsRunning(), "Start of a body that never signals returns once it is gone");
  WaitFor(killed);
  CheckKilled(thread, p, code, nullptr);
  a.Lock();
  a.Unlock();
  Restart(thread, p, 0);
  WaitForObservers(p);
}

// Destroying the object at every point of its running body.
void DestroyWhileRunning() {
  Guarded a;
  BodyPlan p;
  PlanOneLock(p, a);
  Body* thread = new Body;
  sched::Check(StartOf(*thread, p) == 0, "Start returns 0");
  sched::Anywhere();
  WaitForObservers(p);
  delete thread;
  a.Lock();
  a.Unlock();
}

// Three tasks on one recursive JMutex: one locks it twice, one unlocks it
// without owning it first, and a JThread body holding it is killed anywhere.
void RecursiveMutex() {
  Guarded m;
  BodyPlan p;
  PlanOneLock(p, m);
  int done = 0;
  sched::Spawn("recursive", [&] {
    m.Lock();
    m.Lock();
    m.Unlock();
    m.Unlock();
    ++done;
  });
  sched::Spawn("stranger", [&] {
    m.UnlockWithoutOwning();
    m.Lock();
    m.Unlock();
    ++done;
  });
  p.looks = 0;
  Body thread;
  sched::Check(StartOf(thread, p) == 0, "Start returns 0");
  LookAnywhere(thread, p);
  int code = thread.Kill();
  sched::Check(code == 0 || code == THREAD_ERR_NOT_RUNNING, "Kill returns 0 or -4");
  while (done < 2) {
    sched::Yield();
  }
  m.Lock();
  m.Unlock();
  WaitForObservers(p);
}

// Two tasks Start one object at once: one of them starts it; the other gets
// -5, or, if the first run has already ended, starts the next one. Each
// thread's handle is closed once (the run's end checks for leaks).
void TwoStarts() {
  BodyPlan p;
  p.looks = 0;
  plan = &p;
  Body thread;
  int second = 1;
  bool secondReturned = false;
  sched::Spawn("starter", [&] {
    second = StartOf(thread, p, false);
    int newest = 0;
    Look(thread, p, &newest);  // the run as it goes on, with no task of its own
    secondReturned = true;
  });
  int first = StartOf(thread, p);
  WaitFor(secondReturned);
  for (int code : {first, second}) {
    sched::Check(code == 0 || code == THREAD_ERR_ALREADY_RUNNING, "Start returns 0 or -5");
  }
  int launched = (first == 0) + (second == 0);
  sched::Check(launched >= 1, "one of two racing Starts starts the object");
  WaitWhileRunning(thread);
  sched::Check(p.run == launched, "each Start that returned 0 ran the body once");
  CheckFinished(thread, p);
  WaitForObservers(p);
}

// Kill at every point of a Start: Start returns 0 either way; Kill finds
// nothing (the body then runs to its end) or ends the run; then a restart.
void KillRacingStart() {
  BodyPlan p;
  plan = &p;
  Body thread;
  int code = 1;
  bool killed = false;
  p.looks = 0;
  sched::Spawn("killer", [&] {
    LookAnywhere(thread, p);
    code = thread.Kill();
    killed = true;
  });
  sched::Check(StartOf(thread, p) == 0, "a Start that a Kill overlaps returns 0");
  WaitFor(killed);
  if (code == THREAD_ERR_NOT_RUNNING) {
    WaitWhileRunning(thread);
    CheckFinished(thread, p);
  } else {
    CheckKilled(thread, p, code, nullptr);
  }
  Restart(thread, p, 0);
  WaitForObservers(p);
}

// The body Kills its own object, before or after signalling: it ends inside
// Kill, the object is idle with no result, and it starts again.
void KillsItself(SelfKill when) {
  Guarded a;
  BodyPlan p;
  PlanOneLock(p, a);
  p.selfKill = when;
  Body thread;
  sched::Check(StartOf(thread, p) == 0, "Start returns 0");
  WaitWhileRunning(thread);
  sched::Check(p.run == 1 && p.phase == kInBody && sched::Ended(p.task),
               "the body ended inside its Kill");
  sched::Check(thread.GetReturnValue() == nullptr, "a run that killed itself stores no result");
  sched::Check(thread.Kill() == THREAD_ERR_NOT_RUNNING, "Kill after the body's own returns -4");
  a.Lock();
  a.Unlock();
  Restart(thread, p);
  WaitForObservers(p);
}

void KillsItselfUnsignalled() { KillsItself(kSelfKillUnsignalled); }
void KillsItselfSignalled() { KillsItself(kSelfKillSignalled); }

}  // namespace

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> all = {
      {"handshake", Handshake},
      {"never_signals", NeverSignals},
      {"kill_holding_none", KillHoldingNone},
      {"kill_holding_one", KillHoldingOne},
      {"kill_holding_two", KillHoldingTwo},
      {"kill_unsignalled_restart", KillUnsignalledThenRestart},
      {"destroy_while_running", DestroyWhileRunning},
      {"recursive_mutex", RecursiveMutex},
      {"two_starts", TwoStarts},
      {"kill_racing_start", KillRacingStart},
      {"kills_itself_unsignalled", KillsItselfUnsignalled},
      {"kills_itself_signalled", KillsItselfSignalled},
  };
  return all;
}

}  // namespace velkor_schedules
