// SPDX-License-Identifier: MIT
// Two threads of a derived class add to one counter under a shared JMutex,
// which each takes twice (it is recursive); the sum, each thread's return
// value and the state of the ended threads must come out as the header says.
#include <jmutex.h>
#include <jthread.h>

#include <cstdio>

namespace {

const int kRounds = 10000;

class Adder : public JThread {
 public:
  Adder(JMutex* guard, long* counter) : guard_(guard), counter_(counter), rounds_(0) {}

 protected:
  void* Run() override {
    ThreadStarted();
    for (int i = 0; i < kRounds; ++i) {
      guard_->Lock();
      guard_->Lock();
      ++*counter_;
      guard_->Unlock();
      guard_->Unlock();
      ++rounds_;
    }
    return &rounds_;
  }

 private:
  JMutex* guard_;
  long* counter_;
  int rounds_;
};

bool RanAllRounds(JThread& thread) {
  int* rounds = static_cast<int*>(thread.GetReturnValue());
  return rounds != nullptr && *rounds == kRounds && thread.Kill() == THREAD_ERR_NOT_RUNNING;
}

}  // namespace

int main() {
  JMutex guard;
  long counter = 0;
  Adder first(&guard, &counter);
  Adder second(&guard, &counter);
  if (first.Start() != 0 || second.Start() != 0) {
    std::printf("subproject client: Start failed\n");
    return 1;
  }
  while (first.IsRunning() || second.IsRunning()) {
  }
  bool ok = counter == 2L * kRounds && RanAllRounds(first) && RanAllRounds(second);
  std::printf("subproject client: counter %ld of %ld, %s\n", counter, 2L * kRounds,
              ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
