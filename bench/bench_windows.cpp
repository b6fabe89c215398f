// SPDX-License-Identifier: MIT
// Benchmarks of JMutex and JThread on Windows (also under Wine), each against
// the bare KERNEL32 calls that do the same job, measured in one run so that
// every ratio compares figures taken under the same conditions.
//
// MinGW ships no Google Benchmark, hence the small harness below: each
// measurement is repeated as a series of trials, and every figure is the
// median over the trials. The compared kinds take turns (A B A B ...), trial
// by trial for the mutex loops and cycle by cycle for threads, so that drift
// in the machine's speed affects all of them alike. A trial's value is the
// mean time of its loop (mutexes) or the median of its cycles (threads).
//
// Usage: bench_windows [--quick | --scale FACTOR]
//   --quick         about a tenth of the work: proves the program runs
//   --scale FACTOR  multiplies trial lengths and counts (default 1)
//
// The program only reports; it exits 0 whatever the figures are.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "jmutex.h"
#include "jthread.h"
#include "spinning_body.h"

namespace {

// ---------------------------------------------------------------------------
// Time and statistics

double TicksPerNanosecond() {
  static const double value = [] {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(frequency.QuadPart) / 1e9;
  }();
  return value;
}

long long Ticks() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

double ElapsedNs(long long from, long long to) {
  return static_cast<double>(to - from) / TicksPerNanosecond();
}

double Median(std::vector<double> values) {
  if (values.empty()) {
    return 0.0;
  }
  std::sort(values.begin(), values.end());
  std::size_t middle = values.size() / 2;
  if (values.size() % 2 == 1) {
    return values[middle];
  }
  return (values[middle - 1] + values[middle]) / 2.0;
}

// One figure: the value of each trial, in nanoseconds.
struct Series {
  std::string name;
  std::string unit;  // "ns" or "us", for printing only
  std::vector<double> trialsNs;

  double MedianNs() const { return Median(trialsNs); }
};

double InUnit(double ns, const std::string& unit) { return unit == "us" ? ns / 1000.0 : ns; }

void PrintTable(const std::vector<const Series*>& rows) {
  std::printf("  %-46s %11s %11s %11s  %s\n", "measurement (per operation)", "median", "min", "max",
              "unit");
  for (const Series* row : rows) {
    double low = *std::min_element(row->trialsNs.begin(), row->trialsNs.end());
    double high = *std::max_element(row->trialsNs.begin(), row->trialsNs.end());
    std::printf("  %-46s %11.3f %11.3f %11.3f  %s\n", row->name.c_str(),
                InUnit(row->MedianNs(), row->unit), InUnit(low, row->unit), InUnit(high, row->unit),
                row->unit.c_str());
  }
  std::printf("\n");
}

// The ratio of the medians, and the median of the ratios of trials run side
// by side: the second is the less sensitive to slow drift of the machine.
void PrintRatio(const char* label, const Series& a, const Series& b, const char* note) {
  std::vector<double> pairRatios;
  std::size_t pairs = std::min(a.trialsNs.size(), b.trialsNs.size());
  for (std::size_t i = 0; i < pairs; ++i) {
    if (b.trialsNs[i] > 0.0) {
      pairRatios.push_back(a.trialsNs[i] / b.trialsNs[i]);
    }
  }
  double ratio = b.MedianNs() > 0.0 ? a.MedianNs() / b.MedianNs() : 0.0;
  std::printf("  %-52s %7.3f   (median of paired trials %.3f)%s%s\n", label, ratio,
              Median(pairRatios), note[0] != '\0' ? "  " : "", note);
}

// ---------------------------------------------------------------------------
// Settings

struct Settings {
  double scale = 1.0;

  // Larger scales lengthen the trials rather than adding more of them. The
  // count is odd, so that the median is a trial of its own.
  int Trials(int full) const {
    int trials = std::max(3, static_cast<int>(std::lround(full * std::min(scale, 1.0))));
    return trials % 2 == 1 ? trials : trials + 1;
  }
  int Count(int full) const { return std::max(5, static_cast<int>(std::lround(full * scale))); }
  double Milliseconds(double full) const { return std::max(2.0, full * scale); }
};

bool ParseArguments(int argc, char** argv, Settings* settings) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      settings->scale = 0.1;
    } else if (std::strcmp(argv[i], "--scale") == 0 && i + 1 < argc) {
      settings->scale = std::atof(argv[++i]);
      if (!(settings->scale > 0.0)) {
        std::fprintf(stderr, "--scale needs a positive number\n");
        return false;
      }
    } else {
      std::fprintf(stderr, "usage: %s [--quick | --scale FACTOR]\n", argv[0]);
      return false;
    }
  }
  return true;
}

// Under Wine every wait and release is a round trip to wineserver, which
// changes the figures by orders of magnitude: say so next to them.
std::string Environment() {
  std::string text = sizeof(void*) == 8 ? "64-bit Windows" : "32-bit Windows";
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  FARPROC probe = ntdll != nullptr ? GetProcAddress(ntdll, "wine_get_version") : nullptr;
  if (probe != nullptr) {
    typedef const char* (*VersionFunction)();
    VersionFunction version =
        reinterpret_cast<VersionFunction>(reinterpret_cast<void (*)()>(probe));
    text += " under Wine ";
    text += version();
  }
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  text += ", " + std::to_string(info.dwNumberOfProcessors) + " processors";
  return text;
}

// ---------------------------------------------------------------------------
// a. Uncontended Lock + Unlock

// Finds the loop length that makes one trial last about `targetMs`, so that
// the same program gives trials of similar length on Windows (tens of
// nanoseconds per call) and under Wine (tens of microseconds per call).
long CalibrateLoop(const std::function<double(long)>& trialNs, double targetMs) {
  long loops = 16;
  for (;;) {
    double perOpNs = trialNs(loops);
    double totalMs = perOpNs * static_cast<double>(loops) / 1e6;
    if (totalMs >= targetMs / 4.0 || loops >= (1L << 28)) {
      // The fastest of a few tries: a busy machine only ever slows a try.
      perOpNs = std::min({perOpNs, trialNs(loops), trialNs(loops)});
      double wanted = targetMs * 1e6 / std::max(perOpNs, 0.001);
      return std::max(16L, static_cast<long>(wanted));
    }
    loops *= 4;
  }
}

void BenchUncontendedMutex(const Settings& settings, Series* library, Series* raw) {
  JMutex mutex;
  HANDLE bare = CreateMutexA(nullptr, FALSE, nullptr);
  if (!mutex.IsInitialized() || bare == nullptr) {
    std::printf("  (no mutex could be created: skipped)\n");
    return;
  }

  auto libraryTrial = [&](long loops) {
    long long start = Ticks();
    for (long i = 0; i < loops; ++i) {
      mutex.Lock();
      mutex.Unlock();
    }
    return ElapsedNs(start, Ticks()) / static_cast<double>(loops);
  };
  auto rawTrial = [&](long loops) {
    long long start = Ticks();
    for (long i = 0; i < loops; ++i) {
      WaitForSingleObject(bare, INFINITE);
      ReleaseMutex(bare);
    }
    return ElapsedNs(start, Ticks()) / static_cast<double>(loops);
  };

  long loops = CalibrateLoop(rawTrial, settings.Milliseconds(100.0));
  libraryTrial(loops / 4 + 1);  // warm-up of the library's code path

  int trials = settings.Trials(21);
  for (int t = 0; t < trials; ++t) {
    library->trialsNs.push_back(libraryTrial(loops));
    raw->trialsNs.push_back(rawTrial(loops));
  }
  std::printf("  %d trial pairs of %ld Lock+Unlock pairs each\n", trials, loops);
  CloseHandle(bare);
}

// ---------------------------------------------------------------------------
// b. A full thread cycle: start, the body ends, the end is seen

// The bodies stamp the time they begin themselves, so that the caller need
// not spin to learn it: spinning would compete for a processor with the
// thread being created, which skews the figures on a busy two-processor
// machine.
class ShortBody : public JThread {
 public:
  std::atomic<long long> ranAt{0};

  void* Run() override {
    ranAt.store(Ticks(), std::memory_order_release);
    ThreadStarted();
    return this;
  }
};

struct RawStart {
  std::atomic<long long> ranAt{0};
};

DWORD WINAPI RawShortBody(void* param) {
  static_cast<RawStart*>(param)->ranAt.store(Ticks(), std::memory_order_release);
  return 0;
}

struct CycleSeries {
  Series cycle{"JThread Start -> body ends -> !IsRunning", "us", {}};
  Series startToBody{"  Start() until the body runs", "us", {}};
  Series start{"  Start() until it returns", "us", {}};
  Series rawCycle{"CreateThread+WaitForSingleObject+CloseHandle", "us", {}};
  Series rawStart{"  CreateThread until the thread runs", "us", {}};
  Series pollLag{"1 ms poll: thread runs -> the poll sees it", "us", {}};
  Series sleepOne{"Sleep(1)", "us", {}};
};

// The per-cycle times of one trial, each kept as its own list.
struct Samples {
  std::vector<double> ns;
  void Add(long long from, long long to) { ns.push_back(ElapsedNs(from, to)); }
  void EndTrial(Series* series) const { series->trialsNs.push_back(Median(ns)); }
};

// The library's cycle. The client has no join, so it polls IsRunning, giving
// the processor away between looks.
void JThreadCycle(ShortBody& thread, Samples* cycle, Samples* startToBody, Samples* start) {
  long long begin = Ticks();
  if (thread.Start() != 0) {
    std::printf("  Start failed: cycle skipped\n");
    return;
  }
  long long started = Ticks();
  while (thread.IsRunning()) {
    SwitchToThread();
  }
  cycle->Add(begin, Ticks());
  startToBody->Add(begin, thread.ranAt.load(std::memory_order_acquire));
  start->Add(begin, started);
}

// The bare cycle, exactly create, wait, close.
void RawCycle(Samples* cycle, Samples* start) {
  RawStart stamp;
  DWORD id = 0;
  long long begin = Ticks();
  HANDLE handle = CreateThread(nullptr, 0, RawShortBody, &stamp, 0, &id);
  if (handle == nullptr) {
    std::printf("  CreateThread failed: cycle skipped\n");
    return;
  }
  WaitForSingleObject(handle, INFINITE);
  CloseHandle(handle);
  cycle->Add(begin, Ticks());
  start->Add(begin, stamp.ranAt.load(std::memory_order_acquire));
}

// A bare thread whose start the caller learns of the way Start does: by
// looking, then sleeping 1 ms, until the thread has left its mark. What the
// poll costs is the lag between the mark and the look that sees it.
void PolledCycle(Samples* lag) {
  RawStart stamp;
  DWORD id = 0;
  HANDLE handle = CreateThread(nullptr, 0, RawShortBody, &stamp, 0, &id);
  if (handle == nullptr) {
    std::printf("  CreateThread failed: cycle skipped\n");
    return;
  }
  long long ranAt = 0;
  while ((ranAt = stamp.ranAt.load(std::memory_order_acquire)) == 0) {
    Sleep(1);
  }
  lag->Add(ranAt, Ticks());
  WaitForSingleObject(handle, INFINITE);
  CloseHandle(handle);
}

void BenchThreadCycle(const Settings& settings, CycleSeries* out) {
  ShortBody thread;
  int trials = settings.Trials(15);
  int cycles = settings.Count(30);
  int sleeps = settings.Count(20);

  // Warm-up: the first threads of a process pay for one-time setup.
  {
    Samples unused;
    for (int i = 0; i < 3; ++i) {
      JThreadCycle(thread, &unused, &unused, &unused);
      RawCycle(&unused, &unused);
    }
  }

  for (int t = 0; t < trials; ++t) {
    // The kinds take turns cycle by cycle: thread creation is the slowest
    // and noisiest step, above all under Wine on a busy machine.
    Samples cycle, startToBody, start, rawCycle, rawStart, pollLag;
    for (int i = 0; i < cycles; ++i) {
      JThreadCycle(thread, &cycle, &startToBody, &start);
      RawCycle(&rawCycle, &rawStart);
      PolledCycle(&pollLag);
    }
    cycle.EndTrial(&out->cycle);
    startToBody.EndTrial(&out->startToBody);
    start.EndTrial(&out->start);
    rawCycle.EndTrial(&out->rawCycle);
    rawStart.EndTrial(&out->rawStart);
    pollLag.EndTrial(&out->pollLag);

    Samples sleepOne;
    for (int i = 0; i < sleeps; ++i) {
      long long begin = Ticks();
      Sleep(1);
      sleepOne.Add(begin, Ticks());
    }
    sleepOne.EndTrial(&out->sleepOne);
  }
  std::printf("  %d trials of %d cycles of each kind and %d Sleep(1) calls\n", trials, cycles,
              sleeps);
}

// The ratios, and what Start adds over a bare creation: the lag of the 1 ms
// poll (measured on bare threads), and the rest of the handshake, that is its
// mutex calls and two hand-overs between the threads (the new thread waits
// for Start to let go of launchMutex, then Start for startedMutex).
void ReportThreadCycle(const CycleSeries& cycles) {
  PrintRatio("JThread cycle / raw thread cycle", cycles.cycle, cycles.rawCycle, "");
  PrintRatio("JThread Start / raw create-until-running", cycles.start, cycles.rawStart, "");
  double cycleNs = cycles.cycle.MedianNs();
  if (cycleNs <= 0.0) {
    return;
  }
  double extraNs = cycles.start.MedianNs() - cycles.rawStart.MedianNs();
  double pollNs = cycles.pollLag.MedianNs();
  double sleepNs = cycles.sleepOne.MedianNs();
  std::printf("  %-52s %6.1f%%  (%.0f of %.0f us)\n", "share of the JThread cycle that Start adds",
              100.0 * extraNs / cycleNs, extraNs / 1000.0, cycleNs / 1000.0);
  std::printf("  %-52s %6.1f%%  (%.0f us, the lag of a 1 ms poll)\n",
              "  of which the 1 ms poll, estimated", 100.0 * pollNs / cycleNs, pollNs / 1000.0);
  std::printf("  %-52s %6.1f%%  (%.0f us)\n", "  of which the rest of the handshake",
              100.0 * (extraNs - pollNs) / cycleNs, (extraNs - pollNs) / 1000.0);
  std::printf("  %-52s %6.1f%%  (%.0f us)\n", "one Sleep(1) as a share of the JThread cycle",
              100.0 * sleepNs / cycleNs, sleepNs / 1000.0);
}

// ---------------------------------------------------------------------------
// c. Kill latency

struct RawSpinState {
  std::atomic<bool> spinning{false};
  std::atomic<bool> stop{false};
};

DWORD WINAPI RawSpinningBody(void* param) {
  RawSpinState* state = static_cast<RawSpinState*>(param);
  state->spinning.store(true, std::memory_order_release);
  while (!state->stop.load(std::memory_order_relaxed)) {
  }
  return 0;
}

// Start returns once the body has called ThreadStarted, which may still be
// inside the system's release of the mutex: kill only once it spins.
void WaitForSpin(const std::atomic<bool>& spinning) {
  while (!spinning.load(std::memory_order_acquire)) {
    SwitchToThread();
  }
}

void BenchKill(const Settings& settings, Series* kill, Series* rawKill) {
  SpinningBody thread;
  int trials = settings.Trials(15);
  int kills = settings.Count(20);

  // Warm-up: the first terminations in a process are slower (far slower
  // under Wine) than the ones that follow.
  for (int i = 0; i < 2; ++i) {
    thread.spinning.store(false);
    if (thread.Start() == 0) {
      WaitForSpin(thread.spinning);
      thread.Kill();
    }
    RawSpinState state;
    DWORD id = 0;
    HANDLE handle = CreateThread(nullptr, 0, RawSpinningBody, &state, 0, &id);
    if (handle != nullptr) {
      WaitForSpin(state.spinning);
      TerminateThread(handle, 0);
      WaitForSingleObject(handle, INFINITE);
      CloseHandle(handle);
    }
  }

  for (int t = 0; t < trials; ++t) {
    std::vector<double> killNs;
    for (int i = 0; i < kills; ++i) {
      thread.spinning.store(false);
      if (thread.Start() != 0) {
        std::printf("  Start failed: kill skipped\n");
        continue;
      }
      WaitForSpin(thread.spinning);
      long long begin = Ticks();
      int result = thread.Kill();
      long long end = Ticks();
      if (result == 0) {
        killNs.push_back(ElapsedNs(begin, end));
      }
    }
    kill->trialsNs.push_back(Median(killNs));

    // The bare equivalent: terminate, then wait until the thread is gone,
    // which is what Kill promises.
    std::vector<double> rawNs;
    for (int i = 0; i < kills; ++i) {
      RawSpinState state;
      DWORD id = 0;
      HANDLE handle = CreateThread(nullptr, 0, RawSpinningBody, &state, 0, &id);
      if (handle == nullptr) {
        std::printf("  CreateThread failed: kill skipped\n");
        continue;
      }
      WaitForSpin(state.spinning);
      long long begin = Ticks();
      TerminateThread(handle, 0);
      WaitForSingleObject(handle, INFINITE);
      long long end = Ticks();
      CloseHandle(handle);
      rawNs.push_back(ElapsedNs(begin, end));
    }
    rawKill->trialsNs.push_back(Median(rawNs));
  }
  std::printf("  %d trials of %d kills of each kind\n", trials, kills);
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!ParseArguments(argc, argv, &settings)) {
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IONBF, 0);  // progress shows at once, also under Wine
  long long runStart = Ticks();
  std::printf("velkorthread benchmarks: %s, scale %.2f%s\n\n", Environment().c_str(),
              settings.scale, settings.scale < 1.0 ? " (a short run: rough figures)" : "");

  Series lock{"JMutex Lock+Unlock", "ns", {}};
  Series rawLock{"WaitForSingleObject+ReleaseMutex", "ns", {}};
  std::printf("a. uncontended Lock+Unlock\n");
  BenchUncontendedMutex(settings, &lock, &rawLock);

  CycleSeries cycles;
  std::printf("b. thread cycle\n");
  BenchThreadCycle(settings, &cycles);

  Series kill{"JThread::Kill on a spinning body", "us", {}};
  Series rawKill{"TerminateThread+WaitForSingleObject", "us", {}};
  std::printf("c. kill latency\n");
  BenchKill(settings, &kill, &rawKill);

  std::printf("\nMedians over trials; min and max are those of the trial values.\n");
  std::vector<const Series*> rows;
  for (const Series* series :
       {&lock, &rawLock, &cycles.cycle, &cycles.startToBody, &cycles.start, &cycles.rawCycle,
        &cycles.rawStart, &cycles.pollLag, &cycles.sleepOne, &kill, &rawKill}) {
    if (!series->trialsNs.empty()) {
      rows.push_back(series);
    }
  }
  PrintTable(rows);

  std::printf("Ratios (this run):\n");
  if (!lock.trialsNs.empty()) {
    PrintRatio("JMutex Lock+Unlock / raw mutex pair", lock, rawLock, "expected within 1.10");
  }
  if (!cycles.cycle.trialsNs.empty() && !cycles.rawCycle.trialsNs.empty()) {
    ReportThreadCycle(cycles);
  }
  if (!kill.trialsNs.empty() && !rawKill.trialsNs.empty()) {
    PrintRatio("JThread::Kill / raw terminate+wait", kill, rawKill, "");
  }
  std::printf("\nTotal time %.1f s\n", ElapsedNs(runStart, Ticks()) / 1e9);
  return 0;
}
