// SPDX-License-Identifier: MIT
// velkorsched demonstration: a client explores its own producer and consumer
// (two JThread subclasses sharing two JMutexes) through every schedule with
// up to two preemptions, and finds the deadlock planted in one version.
//
// The producer takes the slot's lock, then the count's. The planted fault: the
// consumer takes them the other way round, which deadlocks only when each
// thread is switched out between its two Locks. The fixed consumer takes them
// in the producer's order.
//
// Exits 0 only if the planted version is caught and the fixed one is clean.
#include <jmutex.h>
#include <jthread.h>
#include <velkorsched.h>

#include <cstdio>

namespace sched = velkor::sched;

namespace {

constexpr int kItems = 2;

// One slot (0 when empty) and a count of the items that went through it.
struct Channel {
  JMutex slotLock;
  JMutex countLock;
  int slot = 0;
  int produced = 0;
  int consumedSum = 0;
  bool consumerLocksInOrder = false;
};

class Producer : public JThread {
 public:
  explicit Producer(Channel& channel) : channel_(channel) {}

 protected:
  void* Run() override {
    ThreadStarted();
    for (int item = 1; item <= kItems;) {
      channel_.slotLock.Lock();
      bool placed = channel_.slot == 0;
      if (placed) {
        channel_.slot = item++;
        channel_.countLock.Lock();
        ++channel_.produced;
        channel_.countLock.Unlock();
      }
      channel_.slotLock.Unlock();
      if (!placed) {
        sched::Yield();  // the slot is full: let the consumer go first
      }
    }
    return nullptr;
  }

 private:
  Channel& channel_;
};

class Consumer : public JThread {
 public:
  explicit Consumer(Channel& channel) : channel_(channel) {}

 protected:
  void* Run() override {
    ThreadStarted();
    for (int taken = 0; taken < kItems;) {
      LockBoth();
      bool took = channel_.slot != 0;
      if (took) {
        channel_.consumedSum += channel_.slot;
        channel_.slot = 0;
        ++taken;
      }
      channel_.slotLock.Unlock();
      channel_.countLock.Unlock();
      if (!took) {
        sched::Yield();  // the slot is empty: let the producer go first
      }
    }
    return nullptr;
  }

 private:
  void LockBoth() {
    if (channel_.consumerLocksInOrder) {
      channel_.slotLock.Lock();
      channel_.countLock.Lock();
    } else {
      channel_.countLock.Lock();  // the planted fault: the reverse order
      channel_.slotLock.Lock();
    }
  }

  Channel& channel_;
};

// Runs once per schedule.
void Scenario(bool consumerLocksInOrder) {
  Channel channel;
  channel.consumerLocksInOrder = consumerLocksInOrder;
  Producer producer(channel);
  Consumer consumer(channel);
  sched::Check(producer.Start() == 0 && consumer.Start() == 0, "both threads start");
  while (producer.IsRunning() || consumer.IsRunning()) {
    sched::Yield();
  }
  sched::Check(channel.produced == kItems && channel.consumedSum == 1 + 2,
               "every item goes through the slot once");
}

sched::Report ExploreVersion(const char* name, bool consumerLocksInOrder) {
  sched::Options options;
  options.log = stdout;  // a violation is printed with its replay string and trace
  sched::Report report = sched::Explore(
      name, [consumerLocksInOrder] { Scenario(consumerLocksInOrder); }, options);
  std::printf("%s: %ld schedules, %ld violations, %.2f s\n\n", name, report.schedules,
              report.violations, report.seconds);
  return report;
}

}  // namespace

int main() {
  sched::Report planted = ExploreVersion("reverse_order", false);
  sched::Report fixed = ExploreVersion("same_order", true);
  bool caught = planted.violations > 0 && planted.message.find("deadlock") != std::string::npos;
  std::printf("planted deadlock %s; fixed version %s\n", caught ? "found" : "NOT found",
              fixed.violations == 0 ? "clean" : "NOT clean");
  return caught && fixed.violations == 0 ? 0 : 1;
}
