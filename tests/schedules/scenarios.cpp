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

// What one body does, and how far it has got.
struct BodyPlan {
  bool signals = true;
  int locks = 0;  // how many of first, second it holds, nested
  Guarded* first = nullptr;
  Guarded* second = nullptr;
  bool checksOwnObject = false;
  bool waitsForStart = false;  // once signalled, until Start has returned
  bool startReturned = false;
  int phase = kNotBegun;
  bool signalled = false;
  int result = 0;  // the body returns &result
};

// The body reads its plan from here rather than from members of its own: a
// body whose object is destroyed while it runs must not touch derived members.
BodyPlan* plan = nullptr;

class Body : public JThread {
 protected:
  void* Run() override {
    BodyPlan& p = *plan;
    p.phase = kInBody;
    if (p.signals) {
      p.signalled = true;
      ThreadStarted();
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
    p.phase = kReturned;
    return &p.result;
  }
};

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

void CheckStartReturned(const BodyPlan& p) {
  sched::Check(p.signals ? p.signalled : p.phase == kReturned,
               "Start returns only once the body has signalled or ended");
}

// After the body has returned and nothing killed it.
void CheckFinished(JThread& thread, BodyPlan& p) {
  sched::Check(p.phase == kReturned, "the body has returned");
  sched::Check(!thread.IsRunning(), "IsRunning is false once the body has returned");
  sched::Check(thread.GetReturnValue() == &p.result, "GetReturnValue is the body's result");
}

// Right after Kill returned `code`; `earlier` is the result stored before.
void CheckKilled(JThread& thread, BodyPlan& p, int code, void* earlier) {
  sched::Check(code == 0 || code == THREAD_ERR_NOT_RUNNING, "Kill returns 0 or -4");
  sched::Check(!thread.IsRunning(), "IsRunning is false after Kill");
  void* value = thread.GetReturnValue();
  if (code == 0) {
    sched::Check(value == earlier, "a killed run's result is never stored");
  } else {
    sched::Check(p.phase == kReturned && value == &p.result,
                 "Kill finds no thread only once the body has returned and its result is stored");
  }
  sched::Check(thread.Kill() == THREAD_ERR_NOT_RUNNING, "a second Kill returns -4");
}

void Restart(JThread& thread, BodyPlan& p) {
  p.phase = kNotBegun;
  p.signalled = false;
  sched::Check(thread.Start() == 0, "a restart returns 0");
  CheckStartReturned(p);
  WaitWhileRunning(thread);
  CheckFinished(thread, p);
}

// What another task may see of a run at any moment: IsRunning is true while
// the body runs, the result appears only once the body has returned, and
// from then on nothing runs.
void Observe(JThread& thread, const BodyPlan& p) {
  bool resultSeen = false;
  for (int look = 0; look < 2; ++look) {
    int before = p.phase;
    bool running = thread.IsRunning();
    int after = p.phase;
    if (before == kInBody && after == kInBody) {
      sched::Check(running, "IsRunning is true while the body runs");
    }
    sched::Check(!resultSeen || !running, "IsRunning is false once the result is there");
    before = p.phase;
    void* value = thread.GetReturnValue();
    after = p.phase;
    sched::Check(value == nullptr || value == &p.result, "GetReturnValue is null or the result");
    if (before == kInBody && after == kInBody) {
      sched::Check(value == nullptr, "GetReturnValue is null while the body runs");
    }
    if (value != nullptr) {
      sched::Check(after == kReturned, "the result appears only once the body has returned");
      resultSeen = true;
    }
  }
}

// A body that signals and goes on (and waits for Start to return, which it may
// do once it has signalled), while an observer looks at the object.
void Handshake() {
  Guarded a;
  BodyPlan p;
  p.locks = 1;
  p.first = &a;
  p.checksOwnObject = true;
  p.waitsForStart = true;
  plan = &p;
  Body thread;
  bool observed = false;
  sched::Spawn("observer", [&] {
    Observe(thread, p);
    observed = true;
  });
  sched::Check(thread.Start() == 0, "Start returns 0");
  p.startReturned = true;
  CheckStartReturned(p);
  WaitWhileRunning(thread);
  CheckFinished(thread, p);
  WaitFor(observed);
}

// A body that never signals: Start returns once its thread has ended.
void NeverSignals() {
  Guarded a;
  BodyPlan p;
  p.signals = false;
  p.locks = 1;
  p.first = &a;
  plan = &p;
  Body thread;
  sched::Check(thread.Start() == 0, "Start returns 0");
  CheckStartReturned(p);
  CheckFinished(thread, p);
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
  Body thread;
  sched::Check(thread.Start() == 0, "Start returns 0");
  CheckStartReturned(p);
  sched::Anywhere();
  CheckKilled(thread, p, thread.Kill(), nullptr);
  a.Lock();
  b.Lock();
  b.Unlock();
  a.Unlock();
  Restart(thread, p);
}

void KillHoldingNone() { KillHolding(0); }
void KillHoldingOne() { KillHolding(1); }
void KillHoldingTwo() { KillHolding(2); }

// A body that never signals, killed by another task at every point once it
// has begun (Start then waits on the abandoned startedMutex), then a restart.
void KillUnsignalledThenRestart() {
  Guarded a;
  BodyPlan p;
  p.signals = false;
  p.locks = 1;
  p.first = &a;
  plan = &p;
  Body thread;
  int code = 1;
  bool killed = false;
  sched::Spawn("killer", [&] {
    while (p.phase == kNotBegun) {
      sched::Yield();
    }
    sched::Anywhere();
    code = thread.Kill();
    killed = true;
  });
  sched::Check(thread.Start() == 0, "Start returns 0");
  sched::Check(!thread.IsRunning(), "Start of a body that never signals returns once it is gone");
  WaitFor(killed);
  CheckKilled(thread, p, code, nullptr);
  a.Lock();
  a.Unlock();
  Restart(thread, p);
}

// Destroying the object at every point of its running body.
void DestroyWhileRunning() {
  Guarded a;
  BodyPlan p;
  p.locks = 1;
  p.first = &a;
  plan = &p;
  Body* thread = new Body;
  sched::Check(thread->Start() == 0, "Start returns 0");
  sched::Anywhere();
  delete thread;
  a.Lock();
  a.Unlock();
}

// Three tasks on one recursive JMutex: one locks it twice, one unlocks it
// without owning it first, and a JThread body holding it is killed anywhere.
void RecursiveMutex() {
  Guarded m;
  BodyPlan p;
  p.locks = 1;
  p.first = &m;
  plan = &p;
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
  Body thread;
  sched::Check(thread.Start() == 0, "Start returns 0");
  sched::Anywhere();
  int code = thread.Kill();
  sched::Check(code == 0 || code == THREAD_ERR_NOT_RUNNING, "Kill returns 0 or -4");
  while (done < 2) {
    sched::Yield();
  }
  m.Lock();
  m.Unlock();
}

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
  };
  return all;
}

}  // namespace velkor_schedules
