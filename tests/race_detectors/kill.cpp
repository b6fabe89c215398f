// SPDX-License-Identifier: MIT
// Kill() of a body that spins on plain code, one that spins on an atomic, one
// blocked in JMutex::Lock and one asleep in the system's sleep; then the same
// object runs a body to its end. What the killed body wrote is read after
// Kill(). Prints how long each Kill() took (figures, not checks).
#include <jmutex.h>
#include <jthread.h>

#include <atomic>

#include "client.h"

namespace {

enum class Body { kPlainSpin, kAtomicSpin, kBlocked, kSleeping, kReturns };

class Victim : public JThread {
 public:
  explicit Victim(JMutex& guard) : guard_(guard) {}
  void Become(Body body) { body_ = body; }
  volatile long progress = 0;  // the body's last word before it died
  long result = 0;

 protected:
  void* Run() override {
    progress = 1;
    ThreadStarted();
    switch (body_) {
      case Body::kPlainSpin:
        for (;;) {
          progress = progress + 1;
        }
      case Body::kAtomicSpin:
        while (!never_.load()) {
        }
        break;
      case Body::kBlocked:
        guard_.Lock();
        break;
      case Body::kSleeping:
        for (;;) {
          SleepOs(1000);
        }
      case Body::kReturns:
        guard_.Lock();
        result = 7;
        guard_.Unlock();
        return &result;
    }
    return nullptr;
  }

 private:
  JMutex& guard_;
  Body body_ = Body::kReturns;
  std::atomic<bool> never_{false};
};

void StartAndKill(Victim& victim, Body body, const char* name) {
  victim.Become(body);
  CLIENT_EXPECT(victim.Start() == 0);
  SleepOs(20);  // let the body settle into its spin, wait or sleep
  CLIENT_EXPECT(victim.IsRunning());
  double start = NowMs();
  CLIENT_EXPECT(victim.Kill() == 0);
  double took = NowMs() - start;
  CLIENT_EXPECT(!victim.IsRunning());
  CLIENT_EXPECT(victim.progress >= 1);
  std::printf("kill %s: %.1f ms\n", name, took);
}

}  // namespace

int main() {
  JMutex guard;
  Victim victim(guard);
  StartAndKill(victim, Body::kPlainSpin, "plain spin");
  StartAndKill(victim, Body::kAtomicSpin, "atomic spin");
  CLIENT_EXPECT(guard.Lock() == 0);
  StartAndKill(victim, Body::kBlocked, "blocked in Lock");
  CLIENT_EXPECT(guard.Unlock() == 0);
  StartAndKill(victim, Body::kSleeping, "sleeping");

  victim.Become(Body::kReturns);
  CLIENT_EXPECT(victim.Start() == 0);
  while (victim.IsRunning()) {
    SleepOs(1);
  }
  CLIENT_EXPECT(victim.GetReturnValue() == &victim.result);
  CLIENT_EXPECT(victim.result == 7);
  std::printf("restarted after the kills\n");
  return 0;
}
