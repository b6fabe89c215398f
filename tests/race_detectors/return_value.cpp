// SPDX-License-Identifier: MIT
// A body's result, read once IsRunning() has turned false; then a second run
// of the same object, whose result replaces the first.
#include <jthread.h>

#include "client.h"

namespace {

struct Result {
  long sum;
  long squares;
};

class Summer : public JThread {
 public:
  explicit Summer(long n) : n_(n) {}
  void SetCount(long n) { n_ = n; }

 protected:
  void* Run() override {
    ThreadStarted();
    result_.sum = 0;
    result_.squares = 0;
    for (long i = 1; i <= n_; ++i) {
      result_.sum += i;
      result_.squares += i * i;
    }
    return &result_;
  }

 private:
  long n_;
  Result result_ = {0, 0};
};

void RunOnce(Summer& summer, long n) {
  summer.SetCount(n);
  CLIENT_EXPECT(summer.Start() == 0);
  while (summer.IsRunning()) {
    SleepOs(1);
  }
  const Result* result = static_cast<const Result*>(summer.GetReturnValue());
  CLIENT_EXPECT(result != nullptr);
  CLIENT_EXPECT(result->sum == n * (n + 1) / 2);
  CLIENT_EXPECT(result->squares == n * (n + 1) * (2 * n + 1) / 6);
}

}  // namespace

int main() {
  Summer summer(0);
  RunOnce(summer, 1000);
  RunOnce(summer, 300);
  std::printf("results read\n");
  return 0;
}
