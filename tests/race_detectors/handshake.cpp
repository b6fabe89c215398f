// SPDX-License-Identifier: MIT
// What a body writes before ThreadStarted() is there for the thread that
// called Start() once Start() returns, while the body goes on writing
// elsewhere; a body that never calls ThreadStarted() releases Start() only by
// ending, and then all it wrote is visible.
#include <jthread.h>

#include "client.h"

namespace {

class Announcer : public JThread {
 public:
  explicit Announcer(bool signals) : signals_(signals) {}
  long before = 0;  // written before ThreadStarted
  long after = 0;   // written after it, read once the body has ended

 protected:
  void* Run() override {
    before = 42;
    if (signals_) {
      ThreadStarted();
    }
    for (int i = 0; i < 1000; ++i) {
      after += i;
    }
    return nullptr;
  }

 private:
  bool signals_;
};

}  // namespace

int main() {
  Announcer signalling(true);
  CLIENT_EXPECT(signalling.Start() == 0);
  CLIENT_EXPECT(signalling.before == 42);
  while (signalling.IsRunning()) {
    SleepOs(1);
  }
  CLIENT_EXPECT(signalling.after == 499500);

  Announcer silent(false);
  CLIENT_EXPECT(silent.Start() == 0);
  CLIENT_EXPECT(silent.before == 42);
  CLIENT_EXPECT(!silent.IsRunning());
  CLIENT_EXPECT(silent.after == 499500);
  std::printf("handshake seen\n");
  return 0;
}
