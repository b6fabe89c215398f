// SPDX-License-Identifier: MIT
// Benchmarks of JMutex and JThread on Linux, on Google Benchmark.
//
// JMutex is compared with std::recursive_mutex, the nearest thing the
// standard library offers (recursive, owned by a thread): uncontended, one
// recursive level, two threads contending, and ping-pong between two threads.
// A robust recursive pthread mutex (what the library falls back on where it
// cannot use its own futexes) is measured beside them as a reference line.
// JThread is measured over many Start/Kill cycles, with the process's thread
// count and resident memory before and after, which is where a leak of threads
// or stacks would show.
//
// Everything is measured in a process that has already had a second thread:
// the C library drops its single-thread shortcuts for good once a thread has
// existed, and every JThread user is in that state.
//
// Google Benchmark reports each benchmark on its own; the ratios between
// them are printed at the end from the results of the same run, as the time
// of one operation with JMutex (or the robust mutex) over that with
// std::recursive_mutex.
//
// The "Scale" group asks what happens as a program uses more of them: the
// cost of creating and destroying a mutex, on one thread and on two at once;
// the memory of each live mutex, and what is still held once all are
// destroyed; creation beside thousands of destroyed mutexes that another
// thread still holds (orphans); Start and Kill with thousands of threads
// alive. Its figures are printed at the end beside the goal of each.
//
// Usage: bench_native [--quick] [Google Benchmark flags]
//   --quick  short runs and 300 instead of 10,000 Start/Kill cycles, and a
//            tenth of the Scale group's mutexes, orphans and threads: proves
//            the program runs, with rough figures
// The Scale group alone:
//   bench_native --benchmark_filter=^Scale/
// On a busy machine the two-thread figures move from run to run; the ratios
// then come from medians of interleaved repetitions, e.g.
//   bench_native --benchmark_filter=-StartKill --benchmark_repetitions=5
//                --benchmark_enable_random_interleaving=true
// and several such runs show the spread.
//
// The program only reports; it exits 0 whatever the figures are.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <malloc.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "jmutex.h"
#include "jthread.h"
#include "spinning_body.h"

namespace {

bool quick = false;

// ---------------------------------------------------------------------------
// a. Uncontended Lock + Unlock

void JMutexUncontended(benchmark::State& state) {
  JMutex mutex;
  for (auto _ : state) {
    mutex.Lock();
    mutex.Unlock();
  }
}

void StdRecursiveMutexUncontended(benchmark::State& state) {
  std::recursive_mutex mutex;
  for (auto _ : state) {
    mutex.lock();
    mutex.unlock();
  }
}

// What the library's mutexes are built on here: robust, so that the mutex of
// a thread that dies holding it is freed; recursive, so that an unlock by a
// thread that does not own it fails and changes nothing. It separates what
// those properties cost from what the library's layer adds.
class RobustRecursiveMutex {
 public:
  RobustRecursiveMutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }
  ~RobustRecursiveMutex() { pthread_mutex_destroy(&mutex_); }
  RobustRecursiveMutex(const RobustRecursiveMutex&) = delete;
  RobustRecursiveMutex& operator=(const RobustRecursiveMutex&) = delete;

  void lock() { pthread_mutex_lock(&mutex_); }
  void unlock() { pthread_mutex_unlock(&mutex_); }

 private:
  pthread_mutex_t mutex_;
};

void RobustMutexUncontended(benchmark::State& state) {
  RobustRecursiveMutex mutex;
  for (auto _ : state) {
    mutex.lock();
    mutex.unlock();
  }
}

// ---------------------------------------------------------------------------
// b. One recursive level: Lock + Unlock by a thread that already holds the
//    mutex once

template <typename Mutex>
struct LockAdapter;

template <typename Mutex>
void RecursiveLevel(benchmark::State& state) {
  Mutex mutex;
  LockAdapter<Mutex>::Lock(mutex);
  for (auto _ : state) {
    LockAdapter<Mutex>::Lock(mutex);
    LockAdapter<Mutex>::Unlock(mutex);
  }
  LockAdapter<Mutex>::Unlock(mutex);
}

// ---------------------------------------------------------------------------
// c. Two threads and one mutex
//
// Google Benchmark runs the body on two threads at once. "Contended": both
// take the mutex in a loop, for a short critical section. "Ping-pong": each
// iteration is one turn, and the turns must alternate, so the mutex passes
// from one thread to the other at every iteration. Both threads run the same
// number of iterations, so neither waits for a turn that never comes.
// (PingPong yields when it finds that the turn is not its own.)

template <>
struct LockAdapter<JMutex> {
  static void Lock(JMutex& mutex) { mutex.Lock(); }
  static void Unlock(JMutex& mutex) { mutex.Unlock(); }
};

template <>
struct LockAdapter<std::recursive_mutex> {
  static void Lock(std::recursive_mutex& mutex) { mutex.lock(); }
  static void Unlock(std::recursive_mutex& mutex) { mutex.unlock(); }
};

template <>
struct LockAdapter<RobustRecursiveMutex> {
  static void Lock(RobustRecursiveMutex& mutex) { mutex.lock(); }
  static void Unlock(RobustRecursiveMutex& mutex) { mutex.unlock(); }
};

// One mutex and its data per mutex type, shared by the benchmark's threads.
// Built on first use, so not while the library itself may still be loading.
template <typename Mutex>
struct Shared {
  Mutex mutex;
  long counter = 0;  // guarded by mutex
  int turn = 0;      // guarded by mutex

  static Shared& Get() {
    static Shared shared;
    return shared;
  }
};

template <typename Mutex>
void Contended(benchmark::State& state) {
  Shared<Mutex>& shared = Shared<Mutex>::Get();
  for (auto _ : state) {
    LockAdapter<Mutex>::Lock(shared.mutex);
    ++shared.counter;
    benchmark::DoNotOptimize(shared.counter);
    LockAdapter<Mutex>::Unlock(shared.mutex);
  }
  state.SetItemsProcessed(state.iterations());
}

template <typename Mutex>
void PingPong(benchmark::State& state) {
  Shared<Mutex>& shared = Shared<Mutex>::Get();
  const int me = state.thread_index();
  for (auto _ : state) {
    for (;;) {
      LockAdapter<Mutex>::Lock(shared.mutex);
      if (shared.turn == me) {
        shared.turn = 1 - me;
        LockAdapter<Mutex>::Unlock(shared.mutex);
        break;
      }
      LockAdapter<Mutex>::Unlock(shared.mutex);
      // Not our turn: let the other thread have the processor, which it may
      // need if the machine is busy.
      std::this_thread::yield();
    }
  }
  state.SetItemsProcessed(state.iterations());
}

// ---------------------------------------------------------------------------
// d. Start/Kill cycles

long CountThreads() {
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) {
    return -1;
  }
  long count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') {
      ++count;
    }
  }
  closedir(dir);
  return count;
}

long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) {
      return std::atol(line.c_str() + 6);
    }
  }
  return -1;
}

// The thread count once it is down to `target`, or after 200 ms: Kill
// returns once the thread runs no more, which may be a moment before the
// kernel drops it from the process's list, and the library's reaper may still
// be joining the killed threads.
long SettledThreadCount(long target) {
  long count = CountThreads();
  for (int i = 0; i < 100 && count > target; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    count = CountThreads();
  }
  return count;
}

// Start returns once the body has called ThreadStarted, which may still be
// inside the mutex release: kill only once it spins.
bool StartSpinning(SpinningBody& thread) {
  thread.spinning.store(false, std::memory_order_relaxed);
  if (thread.Start() != 0) {
    return false;
  }
  while (!thread.spinning.load(std::memory_order_acquire)) {
    std::this_thread::yield();
  }
  return true;
}

void StartKill(benchmark::State& state) {
  SpinningBody thread;
  long coldRss = ResidentKb();

  // The first cycles set up what the library keeps for the life of the
  // process, and the C library keeps the stacks of ended threads for reuse:
  // the baseline is taken once that has happened.
  for (int i = 0; i < 20; ++i) {
    if (StartSpinning(thread)) {
      thread.Kill();
    }
  }
  long threadsBefore = CountThreads();
  long rssBefore = ResidentKb();

  using Clock = std::chrono::steady_clock;
  Clock::duration starting{};
  Clock::duration killing{};
  for (auto _ : state) {
    Clock::time_point begin = Clock::now();
    if (!StartSpinning(thread)) {
      state.SkipWithError("Start failed");
      break;
    }
    Clock::time_point spinning = Clock::now();
    thread.Kill();
    Clock::time_point end = Clock::now();
    starting += spinning - begin;
    killing += end - spinning;
  }

  long threadsAfter = CountThreads();
  long rssAfter = ResidentKb();
  long threadsSettled = SettledThreadCount(threadsBefore);

  double cycles = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
  state.counters["start_us"] = std::chrono::duration<double, std::micro>(starting).count() / cycles;
  state.counters["kill_us"] = std::chrono::duration<double, std::micro>(killing).count() / cycles;
  state.counters["threads_before"] = static_cast<double>(threadsBefore);
  state.counters["threads_after"] = static_cast<double>(threadsAfter);
  state.counters["threads_settled"] = static_cast<double>(threadsSettled);
  state.counters["rss_growth_kB"] = static_cast<double>(rssAfter - rssBefore);
  state.counters["rss_growth_cold_kB"] = static_cast<double>(rssAfter - coldRss);
}

// ---------------------------------------------------------------------------
// e. Scale: create and destroy
//
// The constructor creates the operating-system mutex and the destructor
// closes it, so `new` and `delete` of the object are the whole life of one.
// std::recursive_mutex's life is its allocation: the C library's mutex needs
// no call to create or destroy.

template <typename Mutex>
void NewDelete() {
  Mutex* mutex = new Mutex;
  benchmark::DoNotOptimize(mutex);
  delete mutex;
}

template <typename Mutex>
void CreateDestroy(benchmark::State& state) {
  for (auto _ : state) {
    NewDelete<Mutex>();
  }
  state.SetItemsProcessed(state.iterations());
}

// The mean time of one JMutex create+destroy, in nanoseconds, over batches
// until `budget` has passed: a cost that grows with what the library keeps
// would make a fixed count of them take minutes.
double CreateDestroyNs(std::chrono::milliseconds budget) {
  using Clock = std::chrono::steady_clock;
  long count = 0;
  Clock::time_point begin = Clock::now();
  Clock::time_point end = begin;
  do {
    for (int i = 0; i < 64; ++i) {
      NewDelete<JMutex>();
    }
    count += 64;
    end = Clock::now();
  } while (end - begin < budget);
  return std::chrono::duration<double, std::nano>(end - begin).count() / static_cast<double>(count);
}

// ---------------------------------------------------------------------------
// f. Scale: memory per live mutex, and what is kept once all are destroyed

bool Created(JMutex* mutex) { return mutex->IsInitialized(); }
bool Created(std::recursive_mutex*) { return true; }

struct MemoryUse {
  double heapBytes;      // in use by the allocator's clients, mmapped blocks included
  double residentBytes;  // the process's resident set
};

// The allocator may keep freed memory, and the fragments of what an earlier
// benchmark freed, for its own reuse: that is not memory its clients hold,
// and it would make each reading depend on what ran before. It gives back
// what it can first.
MemoryUse MeasureMemory() {
  malloc_trim(0);
  struct mallinfo2 info = mallinfo2();
  return {static_cast<double>(info.uordblks + info.hblkhd),
          static_cast<double>(ResidentKb()) * 1024.0};
}

// A call of each kind on this thread. The library may keep the memory of a
// destroyed mutex until every thread has made a later call or ended; the
// other threads of the benchmark have ended by the time this runs.
void CallLibrary() {
  JMutex mutex;
  mutex.Lock();
  mutex.Unlock();
}

template <typename Mutex>
void MemoryPerMutex(benchmark::State& state) {
  const std::size_t count = quick ? 50000 : 500000;
  // Filled before the baseline, so that its pages are resident in every
  // reading: the pointers are not the mutexes' memory.
  std::vector<Mutex*> mutexes(count, nullptr);
  CallLibrary();
  const long threadsBefore = SettledThreadCount(1);
  const MemoryUse before = MeasureMemory();
  MemoryUse live{};
  MemoryUse kept{};
  long threadsAfter = 0;
  bool allCreated = true;
  for (auto _ : state) {
    for (Mutex*& mutex : mutexes) {
      mutex = new Mutex;
      allCreated = allCreated && Created(mutex);
    }
    live = MeasureMemory();
    for (Mutex*& mutex : mutexes) {
      delete mutex;
      mutex = nullptr;
    }
    CallLibrary();
    threadsAfter = SettledThreadCount(1);
    kept = MeasureMemory();
  }
  if (!allCreated) {
    state.SkipWithError("a mutex was not created");
    return;
  }
  const double n = static_cast<double>(count);
  const double heapPeak = live.heapBytes - before.heapBytes;
  const double residentPeak = live.residentBytes - before.residentBytes;
  const double heapKept = kept.heapBytes - before.heapBytes;
  const double residentKept = kept.residentBytes - before.residentBytes;
  state.counters["mutexes"] = n;
  state.counters["heap_B_per_mutex"] = heapPeak / n;
  state.counters["rss_B_per_mutex"] = residentPeak / n;
  state.counters["heap_peak_kB"] = heapPeak / 1024.0;
  state.counters["rss_peak_kB"] = residentPeak / 1024.0;
  state.counters["heap_kept_kB"] = heapKept / 1024.0;
  state.counters["rss_kept_kB"] = residentKept / 1024.0;
  state.counters["threads_before"] = static_cast<double>(threadsBefore);
  state.counters["threads_after"] = static_cast<double>(threadsAfter);
}

// ---------------------------------------------------------------------------
// g. Scale: creation beside orphans
//
// A JMutex destroyed while another thread holds it is an orphan: the library
// keeps it until its holder lets it go. A helper thread locks many mutexes
// and waits; the main thread destroys them all, then measures creation, which
// should not care how many orphans there are. The helper then ends still
// holding them, which lets them go, and creation is measured once more: the
// kernel lets go of at most 2048 of the robust mutexes an ending thread holds
// (the limit of its walk of the thread's robust list), and that last figure
// shows what becomes of the rest.

struct HolderSignals {
  std::mutex mutex;
  std::condition_variable changed;
  bool holding = false;  // guarded by mutex
  bool release = false;  // guarded by mutex
};

void CreateBesideOrphans(benchmark::State& state) {
  const std::size_t count = quick ? 1000 : 10000;
  const std::chrono::milliseconds budget(quick ? 20 : 300);
  std::vector<JMutex*> mutexes;
  for (std::size_t i = 0; i < count; ++i) {
    mutexes.push_back(new JMutex);
  }
  HolderSignals signals;
  double aloneNs = 0.0;
  double besideNs = 0.0;
  double afterNs = 0.0;
  double closeUs = 0.0;
  for (auto _ : state) {
    aloneNs = CreateDestroyNs(budget);
    // A thread of the C++ runtime, not a JThread: nothing kills it, and the
    // library learns of its end only from the kernel.
    std::thread holder([&mutexes, &signals] {
      for (JMutex* mutex : mutexes) {
        mutex->Lock();
      }
      std::unique_lock<std::mutex> lock(signals.mutex);
      signals.holding = true;
      signals.changed.notify_all();
      signals.changed.wait(lock, [&signals] { return signals.release; });
      // Returns holding every one of them.
    });
    {
      std::unique_lock<std::mutex> lock(signals.mutex);
      signals.changed.wait(lock, [&signals] { return signals.holding; });
    }
    using Clock = std::chrono::steady_clock;
    Clock::time_point closing = Clock::now();
    for (JMutex* mutex : mutexes) {
      delete mutex;
    }
    closeUs = std::chrono::duration<double, std::micro>(Clock::now() - closing).count() /
              static_cast<double>(count);
    mutexes.clear();
    besideNs = CreateDestroyNs(budget);
    {
      std::lock_guard<std::mutex> lock(signals.mutex);
      signals.release = true;
    }
    signals.changed.notify_all();
    holder.join();
    afterNs = CreateDestroyNs(budget);
  }
  state.counters["orphans"] = static_cast<double>(count);
  state.counters["alone_ns"] = aloneNs;
  state.counters["beside_ns"] = besideNs;
  state.counters["after_end_ns"] = afterNs;
  state.counters["orphaning_close_us"] = closeUs;
}

// ---------------------------------------------------------------------------
// h. Scale: Start and Kill with thousands of threads alive

// Waits on a mutex that the benchmark holds, so that thousands of them cost
// no processor; a body waiting on a JMutex may be killed.
class WaitingBody : public JThread {
 public:
  explicit WaitingBody(JMutex* gate) : gate_(gate) {}

  std::atomic<bool> waiting{false};

  void* Run() override {
    ThreadStarted();
    // Start may return while the body is still inside ThreadStarted, a
    // member of JThread: it is killed only once past it.
    waiting.store(true, std::memory_order_release);
    gate_->Lock();
    gate_->Unlock();
    return nullptr;
  }

 private:
  JMutex* gate_;
};

double MeanUs(std::vector<double>::const_iterator begin, std::vector<double>::const_iterator end) {
  if (begin == end) {
    return 0.0;
  }
  double sum = 0.0;
  for (auto it = begin; it != end; ++it) {
    sum += *it;
  }
  return sum / static_cast<double>(end - begin);
}

void StartKillManyAlive(benchmark::State& state) {
  const std::size_t count = quick ? 200 : 2000;
  JMutex gate;
  gate.Lock();
  // One cycle first, so that what the library sets up at its first kill is
  // not in the first Start's time.
  {
    WaitingBody warmUp(&gate);
    if (warmUp.Start() == 0) {
      while (!warmUp.waiting.load(std::memory_order_acquire)) {
        std::this_thread::yield();
      }
      warmUp.Kill();
    }
  }
  const long threadsBefore = SettledThreadCount(1);
  std::vector<std::unique_ptr<WaitingBody>> bodies;
  for (std::size_t i = 0; i < count; ++i) {
    bodies.push_back(std::make_unique<WaitingBody>(&gate));
  }

  using Clock = std::chrono::steady_clock;
  std::vector<double> startUs;
  std::vector<double> killUs;
  long threadsAlive = 0;
  for (auto _ : state) {
    for (const auto& body : bodies) {
      Clock::time_point begin = Clock::now();
      if (body->Start() != 0) {
        break;
      }
      startUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
    }
    threadsAlive = CountThreads();
    for (std::size_t i = 0; i < startUs.size(); ++i) {
      while (!bodies[i]->waiting.load(std::memory_order_acquire)) {
        std::this_thread::yield();
      }
      Clock::time_point begin = Clock::now();
      bodies[i]->Kill();
      killUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
    }
  }
  gate.Unlock();
  const long threadsAfter = CountThreads();
  const long threadsSettled = SettledThreadCount(threadsBefore);
  if (startUs.size() != count) {
    state.SkipWithError("Start failed");
    return;
  }

  const std::size_t tenth = std::max<std::size_t>(count / 10, 1);
  state.counters["threads"] = static_cast<double>(count);
  state.counters["start_first_us"] = MeanUs(startUs.begin(), startUs.begin() + tenth);
  state.counters["start_last_us"] = MeanUs(startUs.end() - tenth, startUs.end());
  state.counters["kill_first_us"] = MeanUs(killUs.begin(), killUs.begin() + tenth);
  state.counters["kill_last_us"] = MeanUs(killUs.end() - tenth, killUs.end());
  state.counters["threads_before"] = static_cast<double>(threadsBefore);
  state.counters["threads_alive"] = static_cast<double>(threadsAlive);
  state.counters["threads_after"] = static_cast<double>(threadsAfter);
  state.counters["threads_settled"] = static_cast<double>(threadsSettled);
}

// ---------------------------------------------------------------------------
// Reporting

// Prints as the console reporter does, and keeps each benchmark's result for
// the ratios. With --benchmark_repetitions, the median of the repetitions
// stands for the benchmark. A benchmark run on several thread counts is also
// kept under its name followed by "/threads:N".
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  explicit CollectingReporter(OutputOptions options) : ConsoleReporter(options) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) {
        continue;
      }
      const std::string& name = run.run_name.function_name;
      const std::string withThreads = name + "/threads:" + std::to_string(run.threads);
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        medians_[name] = run;
        medians_[withThreads] = run;
      } else if (run.run_type == Run::RT_Iteration) {
        singles_[name] = run;
        singles_[withThreads] = run;
      }
    }
  }

  const Run* Find(const std::string& name) const {
    auto median = medians_.find(name);
    if (median != medians_.end()) {
      return &median->second;
    }
    auto single = singles_.find(name);
    return single != singles_.end() ? &single->second : nullptr;
  }

 private:
  std::map<std::string, Run> medians_;
  std::map<std::string, Run> singles_;
};

double Counter(const benchmark::BenchmarkReporter::Run& run, const char* name) {
  auto found = run.counters.find(name);
  return found != run.counters.end() ? found->second.value : 0.0;
}

// Operations per second over both threads: the iterations of all threads in
// the wall-clock time of the run.
double Throughput(const benchmark::BenchmarkReporter::Run& run) {
  return run.real_accumulated_time > 0.0
             ? static_cast<double>(run.iterations) / run.real_accumulated_time
             : 0.0;
}

// The time of one operation of `mutex` over that of std::recursive_mutex in
// the benchmark family `family`: CPU time on one thread, wall-clock time per
// operation (the inverse of the throughput over both threads) on two.
double TimeRatio(const CollectingReporter& reporter, const std::string& family,
                 const std::string& mutex, bool twoThreads) {
  const auto* a = reporter.Find(family + "/" + mutex);
  const auto* b = reporter.Find(family + "/std::recursive_mutex");
  if (a == nullptr || b == nullptr) {
    return 0.0;
  }
  if (twoThreads) {
    return Throughput(*a) > 0.0 ? Throughput(*b) / Throughput(*a) : 0.0;
  }
  return b->GetAdjustedCPUTime() > 0.0 ? a->GetAdjustedCPUTime() / b->GetAdjustedCPUTime() : 0.0;
}

void PrintRatio(const CollectingReporter& reporter, const char* label, const std::string& family,
                bool twoThreads, double target) {
  const double jmutex = TimeRatio(reporter, family, "JMutex", twoThreads);
  const double robust = TimeRatio(reporter, family, "pthread_robust_recursive", twoThreads);
  if (jmutex <= 0.0) {
    return;
  }
  std::printf("  %-16s JMutex %6.3f   robust pthread %6.3f   (JMutex target at most %.2f)\n", label,
              jmutex, robust, target);
}

void PrintRatios(const CollectingReporter& reporter) {
  std::printf("\nTime per operation over std::recursive_mutex's (this run):\n");
  PrintRatio(reporter, "uncontended", "Uncontended", false, 1.05);
  PrintRatio(reporter, "recursive level", "RecursiveLevel", false, 1.0);
  PrintRatio(reporter, "contended", "Contended", true, 1.2);
  PrintRatio(reporter, "ping-pong", "PingPong", true, 1.05);
  const auto* jmutex = reporter.Find("Uncontended/JMutex");
  const auto* robust = reporter.Find("Uncontended/pthread_robust_recursive");
  if (jmutex != nullptr && robust != nullptr && robust->GetAdjustedCPUTime() > 0.0) {
    std::printf("  uncontended: JMutex %.2f ns, robust pthread %.2f ns (CPU time)\n",
                jmutex->GetAdjustedCPUTime(), robust->GetAdjustedCPUTime());
  }

  const auto* cycles = reporter.Find("StartKill");
  if (cycles != nullptr) {
    std::printf(
        "\nStart/Kill: %lld cycles, %.1f us per cycle (Start until the body spins %.1f us, "
        "Kill %.1f us)\n",
        static_cast<long long>(cycles->iterations), cycles->GetAdjustedRealTime(),
        Counter(*cycles, "start_us"), Counter(*cycles, "kill_us"));
    std::printf("  threads: %.0f before, %.0f right after, %.0f settled (target: back at %.0f)\n",
                Counter(*cycles, "threads_before"), Counter(*cycles, "threads_after"),
                Counter(*cycles, "threads_settled"), Counter(*cycles, "threads_before"));
    std::printf(
        "  resident memory growth: %.0f kB after warm-up, %.0f kB from cold (target < 2048)\n",
        Counter(*cycles, "rss_growth_kB"), Counter(*cycles, "rss_growth_cold_kB"));
  }
}

// The wall-clock time that one thread spends on one operation, in
// nanoseconds: with two threads at once, twice the wall-clock time per
// operation over both, so that it equals the one-thread figure when the
// second thread costs the first nothing.
double NsPerOperationOnEachThread(const benchmark::BenchmarkReporter::Run& run) {
  return run.iterations > 0
             ? run.real_accumulated_time * 1e9 * run.threads / static_cast<double>(run.iterations)
             : 0.0;
}

double Ratio(double a, double b) { return b > 0.0 ? a / b : 0.0; }

void PrintCreateDestroy(const CollectingReporter& reporter) {
  const auto* jmutex1 = reporter.Find("Scale/CreateDestroy/JMutex/threads:1");
  const auto* std1 = reporter.Find("Scale/CreateDestroy/std::recursive_mutex/threads:1");
  const auto* jmutex2 = reporter.Find("Scale/CreateDestroy/JMutex/threads:2");
  const auto* std2 = reporter.Find("Scale/CreateDestroy/std::recursive_mutex/threads:2");
  if (jmutex1 == nullptr || std1 == nullptr) {
    return;
  }
  const double j1 = NsPerOperationOnEachThread(*jmutex1);
  const double s1 = NsPerOperationOnEachThread(*std1);
  std::printf(
      "  create+destroy, one thread: JMutex %.1f ns, std::recursive_mutex %.1f ns: %.2fx "
      "(target at most 3x)\n",
      j1, s1, Ratio(j1, s1));
  if (jmutex2 == nullptr || std2 == nullptr) {
    return;
  }
  const double j2 = NsPerOperationOnEachThread(*jmutex2);
  const double s2 = NsPerOperationOnEachThread(*std2);
  std::printf(
      "  two threads at once, each thread's time per create+destroy over one thread alone:\n"
      "    JMutex %.1f ns, %.2fx; std::recursive_mutex %.1f ns, %.2fx "
      "(target: JMutex's factor at most std's)\n",
      j2, Ratio(j2, j1), s2, Ratio(s2, s1));
}

void PrintMemory(const CollectingReporter& reporter, const char* label, const std::string& name) {
  const auto* run = reporter.Find(name);
  if (run == nullptr) {
    return;
  }
  const double heapPeak = Counter(*run, "heap_peak_kB");
  const double heapKept = Counter(*run, "heap_kept_kB");
  const double residentPeak = Counter(*run, "rss_peak_kB");
  const double residentKept = Counter(*run, "rss_kept_kB");
  std::printf("  %-20s live: %6.1f B heap, %6.1f B resident per mutex (%.0f mutexes)\n", label,
              Counter(*run, "heap_B_per_mutex"), Counter(*run, "rss_B_per_mutex"),
              Counter(*run, "mutexes"));
  std::printf(
      "  %-20s all destroyed, still held: heap %.0f kB (%.1f%% of peak), resident %.0f kB "
      "(%.1f%% of peak); threads %.0f before, %.0f at the reading\n",
      "", heapKept, 100.0 * Ratio(heapKept, heapPeak), residentKept,
      100.0 * Ratio(residentKept, residentPeak), Counter(*run, "threads_before"),
      Counter(*run, "threads_after"));
}

void PrintScale(const CollectingReporter& reporter) {
  std::printf("\nScale (this run):\n");
  PrintCreateDestroy(reporter);

  const auto* memory = reporter.Find("Scale/MemoryPerMutex/JMutex");
  if (memory != nullptr) {
    const double heapTarget = std::max(1024.0, Counter(*memory, "heap_peak_kB") / 100.0);
    std::printf(
        "  memory (JMutex targets: at most 128 B per live mutex; once all are destroyed, "
        "at most %.0f kB held, max(1 MB, 1%% of peak)):\n",
        heapTarget);
  } else if (reporter.Find("Scale/MemoryPerMutex/std::recursive_mutex") != nullptr) {
    std::printf("  memory:\n");
  }
  PrintMemory(reporter, "JMutex", "Scale/MemoryPerMutex/JMutex");
  PrintMemory(reporter, "std::recursive_mutex", "Scale/MemoryPerMutex/std::recursive_mutex");

  const auto* orphans = reporter.Find("Scale/CreateBesideOrphans");
  if (orphans != nullptr) {
    std::printf(
        "  create+destroy beside %.0f orphans: %.1f ns, beside none %.1f ns: %.2fx "
        "(target 1x);\n    once their holder has ended %.1f ns; destroying a held mutex "
        "%.1f us\n",
        Counter(*orphans, "orphans"), Counter(*orphans, "beside_ns"), Counter(*orphans, "alone_ns"),
        Ratio(Counter(*orphans, "beside_ns"), Counter(*orphans, "alone_ns")),
        Counter(*orphans, "after_end_ns"), Counter(*orphans, "orphaning_close_us"));
  }

  const auto* threads = reporter.Find("Scale/StartKillManyAlive");
  if (threads != nullptr) {
    const double startFirst = Counter(*threads, "start_first_us");
    const double startLast = Counter(*threads, "start_last_us");
    const double killFirst = Counter(*threads, "kill_first_us");
    const double killLast = Counter(*threads, "kill_last_us");
    std::printf(
        "  %.0f threads alive, mean of the first and of the last tenth (target: within "
        "1.3x):\n    Start %.1f us, %.1f us: %.2fx; Kill %.1f us, %.1f us: %.2fx\n",
        Counter(*threads, "threads"), startFirst, startLast, Ratio(startLast, startFirst),
        killFirst, killLast, Ratio(killLast, killFirst));
    std::printf(
        "    threads: %.0f before, %.0f with all alive, %.0f right after, %.0f settled "
        "(target: back at %.0f)\n",
        Counter(*threads, "threads_before"), Counter(*threads, "threads_alive"),
        Counter(*threads, "threads_after"), Counter(*threads, "threads_settled"),
        Counter(*threads, "threads_before"));
  }
}

template <typename Mutex>
void RegisterPair(const char* family, const std::string& name, double minTime) {
  const std::string full = std::string(family) + "/" + name;
  if (std::strcmp(family, "Contended") == 0) {
    benchmark::RegisterBenchmark(full.c_str(), Contended<Mutex>)
        ->Threads(2)
        ->UseRealTime()
        ->MinTime(minTime);
  } else {
    benchmark::RegisterBenchmark(full.c_str(), PingPong<Mutex>)
        ->Threads(2)
        ->UseRealTime()
        ->MinTime(minTime);
  }
}

// In this order: the memory of std::recursive_mutex is measured first, since
// the heap it leaves is whole again once the allocator has given back what it
// can, and JMutex's before the orphans and the threads leave the library
// mutexes of their own to keep.
void RegisterScale(double minTime) {
  benchmark::RegisterBenchmark("Scale/CreateDestroy/JMutex", CreateDestroy<JMutex>)
      ->Threads(1)
      ->Threads(2)
      ->UseRealTime()
      ->MinTime(minTime);
  benchmark::RegisterBenchmark("Scale/CreateDestroy/std::recursive_mutex",
                               CreateDestroy<std::recursive_mutex>)
      ->Threads(1)
      ->Threads(2)
      ->UseRealTime()
      ->MinTime(minTime);
  benchmark::RegisterBenchmark("Scale/MemoryPerMutex/std::recursive_mutex",
                               MemoryPerMutex<std::recursive_mutex>)
      ->Iterations(1)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Scale/MemoryPerMutex/JMutex", MemoryPerMutex<JMutex>)
      ->Iterations(1)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Scale/CreateBesideOrphans", CreateBesideOrphans)
      ->Iterations(1)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Scale/StartKillManyAlive", StartKillManyAlive)
      ->Iterations(1)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
}

void RegisterBenchmarks() {
  const double minTime = quick ? 0.05 : 0.5;
  benchmark::RegisterBenchmark("Uncontended/JMutex", JMutexUncontended)->MinTime(minTime);
  benchmark::RegisterBenchmark("Uncontended/std::recursive_mutex", StdRecursiveMutexUncontended)
      ->MinTime(minTime);
  benchmark::RegisterBenchmark("Uncontended/pthread_robust_recursive", RobustMutexUncontended)
      ->MinTime(minTime);
  benchmark::RegisterBenchmark("RecursiveLevel/JMutex", RecursiveLevel<JMutex>)->MinTime(minTime);
  benchmark::RegisterBenchmark("RecursiveLevel/std::recursive_mutex",
                               RecursiveLevel<std::recursive_mutex>)
      ->MinTime(minTime);
  benchmark::RegisterBenchmark("RecursiveLevel/pthread_robust_recursive",
                               RecursiveLevel<RobustRecursiveMutex>)
      ->MinTime(minTime);
  for (const char* family : {"Contended", "PingPong"}) {
    RegisterPair<JMutex>(family, "JMutex", minTime);
    RegisterPair<std::recursive_mutex>(family, "std::recursive_mutex", minTime);
    RegisterPair<RobustRecursiveMutex>(family, "pthread_robust_recursive", minTime);
  }
  // Start includes a poll that sleeps 1 ms, so wall-clock time is what counts.
  benchmark::RegisterBenchmark("StartKill", StartKill)
      ->Iterations(quick ? 300 : 10000)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
  RegisterScale(minTime);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (i > 0 && std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else {
      args.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
    return 2;
  }
  // A process that has had a second thread, as every JThread user has.
  std::thread([] {}).join();
  RegisterBenchmarks();

  CollectingReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                    : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintRatios(reporter);
  PrintScale(reporter);
  benchmark::Shutdown();
  return 0;
}
