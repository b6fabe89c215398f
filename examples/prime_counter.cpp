// SPDX-License-Identifier: MIT
// velkorthread demonstration: counts the primes below a limit on several
// worker threads, shows their progress live, kills a worker that is stuck,
// and checks the sum of the workers' results against a sieve.
//
// Exits 0 only if every check holds.
#include <jmutex.h>
#include <jthread.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

// Progress shared by all workers, protected by one JMutex.
class Progress {
 public:
  void Add(long numbers) {
    mutex_.Lock();
    checked_ += numbers;
    mutex_.Unlock();
  }
  long Checked() {
    mutex_.Lock();
    long value = checked_;
    mutex_.Unlock();
    return value;
  }

 private:
  JMutex mutex_;
  long checked_ = 0;
};

bool IsPrime(long n) {
  if (n < 2) return false;
  for (long d = 2; d * d <= n; ++d) {
    if (n % d == 0) return false;
  }
  return true;
}

// Counts the primes in [first, last) and returns a pointer to the count.
class PrimeWorker : public JThread {
 public:
  PrimeWorker(long first, long last, Progress& progress)
      : first_(first), last_(last), progress_(progress) {}

 protected:
  void* Run() override {
    ThreadStarted();  // Start() may return: the work goes on in the background
    const long kBatch = 2000;
    for (long n = first_; n < last_; n += kBatch) {
      long end = (n + kBatch < last_) ? n + kBatch : last_;
      for (long k = n; k < end; ++k) {
        if (IsPrime(k)) ++count_;
      }
      progress_.Add(end - n);
    }
    return &count_;
  }

 private:
  long first_;
  long last_;
  Progress& progress_;
  long count_ = 0;
};

// A worker that never finishes: it waits for a gate that nobody opens.
class StuckWorker : public JThread {
 public:
  explicit StuckWorker(JMutex& gate) : gate_(gate) {}

 protected:
  void* Run() override {
    ThreadStarted();
    gate_.Lock();  // the main thread holds the gate for good
    return this;
  }

 private:
  JMutex& gate_;
};

long SieveCount(long limit) {
  std::vector<bool> composite(limit, false);
  long count = 0;
  for (long n = 2; n < limit; ++n) {
    if (composite[n]) continue;
    ++count;
    for (long long m = 1LL * n * n; m < limit; m += n) composite[m] = true;
  }
  return count;
}

bool Check(bool condition, const char* what) {
  std::printf("  [%s] %s\n", condition ? " ok " : "FAIL", what);
  return condition;
}

}  // namespace

int main() {
  const long kLimit = 2000000;
  const int kWorkers = 4;
  bool ok = true;

  std::printf("velkorthread demo: counting primes below %ld on %d threads\n", kLimit, kWorkers);

  JMutex gate;
  gate.Lock();
  StuckWorker stuck(gate);
  ok &= Check(stuck.Start() == 0, "a stuck worker started");

  Progress progress;
  std::vector<PrimeWorker*> workers;
  for (int i = 0; i < kWorkers; ++i) {
    workers.push_back(
        new PrimeWorker(kLimit * i / kWorkers, kLimit * (i + 1) / kWorkers, progress));
  }
  for (PrimeWorker* worker : workers) {
    ok &= (worker->Start() == 0);
  }

  bool anyRunning = true;
  while (anyRunning) {
    anyRunning = false;
    for (PrimeWorker* worker : workers) anyRunning |= worker->IsRunning();
    long checked = progress.Checked();
    std::printf("\r  progress: %ld of %ld numbers checked (%3ld%%)", checked, kLimit,
                checked * 100 / kLimit);
    std::fflush(stdout);
    if (anyRunning) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::printf("\n");

  long total = 0;
  for (PrimeWorker* worker : workers) {
    long* count = static_cast<long*>(worker->GetReturnValue());
    if (count == nullptr) {
      ok = Check(false, "every worker returned a count");
    } else {
      total += *count;
    }
    delete worker;
  }

  ok &= Check(stuck.IsRunning(), "the stuck worker is still running");
  ok &= Check(stuck.Kill() == 0, "Kill() ended the stuck worker");
  ok &= Check(!stuck.IsRunning(), "it no longer runs");
  ok &= Check(stuck.GetReturnValue() == nullptr, "it left no result");
  ok &= Check(stuck.Kill() == THREAD_ERR_NOT_RUNNING, "a second Kill() is refused");
  ok &= Check(gate.Unlock() == 0, "the gate is still ours");

  long expected = SieveCount(kLimit);
  std::printf("  primes below %ld: %ld from the workers, %ld from a sieve\n", kLimit, total,
              expected);
  ok &= Check(total == expected, "the workers' sum matches the sieve");

  std::printf("%s\n", ok ? "demo passed" : "demo FAILED");
  return ok ? 0 : 1;
}
