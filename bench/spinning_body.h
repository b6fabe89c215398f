// SPDX-License-Identifier: MIT
// The thread body both benchmarks kill.
#ifndef VELKORTHREAD_BENCH_SPINNING_BODY_H
#define VELKORTHREAD_BENCH_SPINNING_BODY_H

#include <atomic>

#include "jthread.h"

// A body that can be killed at any moment: once it has said so, it only reads
// an atomic, so it is never inside the C or C++ runtime when it dies.
class SpinningBody : public JThread {
 public:
  std::atomic<bool> spinning{false};
  std::atomic<bool> stop{false};

  void* Run() override {
    ThreadStarted();
    spinning.store(true, std::memory_order_release);
    while (!stop.load(std::memory_order_relaxed)) {
    }
    return nullptr;
  }
};

#endif  // VELKORTHREAD_BENCH_SPINNING_BODY_H
