// SPDX-License-Identifier: MIT
// A client of the public headers written in the C++ that every standard from
// C++98 on accepts: the headers must compile without a warning under each.
#include <jmutex.h>
#include <jthread.h>

#include "jthread.h"  // included twice: the guards hold

#if __cplusplus >= 201103L
#define CLIENT_OVERRIDE override
#else
#define CLIENT_OVERRIDE
#endif

class Worker : public JThread {
 public:
  Worker() : value_(0) {}
  JMutex guard;

 protected:
  void* Run() CLIENT_OVERRIDE {
    ThreadStarted();
    guard.Lock();
    ++value_;
    guard.Unlock();
    return &value_;
  }

 private:
  int value_;
};

int UseEverything() {
  Worker worker;
  Worker copy(worker);
  copy = worker;
  JMutex mutex;
  JMutex other(mutex);
  other = mutex;
  int codes = MUTEX_ERR_ALREADY_INIT + MUTEX_ERR_NOT_INIT + MUTEX_ERR_CREATE_FAILED +
              THREAD_ERR_MUTEX_NOT_INIT + THREAD_ERR_CREATE_FAILED + THREAD_ERR_NOT_RUNNING +
              THREAD_ERR_ALREADY_RUNNING;
  if (worker.Start() == 0 && worker.IsRunning() && worker.GetReturnValue() == 0) {
    codes += worker.Kill();
  }
  JThreadUInt32 exitCode = 0;
  return codes + static_cast<int>(exitCode) + (mutex.IsInitialized() ? other.Lock() : 0);
}
