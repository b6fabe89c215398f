// SPDX-License-Identifier: MIT
// Derives a thread class from the installed headers and library, and checks
// a full run: the vtable, type information and every call cross the library.
#include <jmutex.h>
#include <jthread.h>

#include <cstdio>

namespace {

class Doubler : public JThread {
 public:
  explicit Doubler(int input) : input_(input), output_(0) {}
  JMutex guard;

 protected:
  void* Run() override {
    ThreadStarted();
    guard.Lock();
    output_ = 2 * input_;
    guard.Unlock();
    return &output_;
  }

 private:
  int input_;
  int output_;
};

}  // namespace

int main() {
  Doubler doubler(21);
  if (doubler.Start() != 0) return 1;
  while (doubler.IsRunning()) {
  }
  int* result = static_cast<int*>(doubler.GetReturnValue());
  JThread* base = &doubler;
  bool ok = result != nullptr && *result == 42 && base->Kill() == THREAD_ERR_NOT_RUNNING &&
            dynamic_cast<Doubler*>(base) == &doubler;
  std::printf("package client: %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
