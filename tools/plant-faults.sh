#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Proof that the schedules tests bite: plants one fault at a time in a copy of
# src/jthread.cpp, then of the futex mutex (src/platform/linux/futex/; the
# source tree is never touched), builds the scenarios against it on the
# simulated kernel, and reports the smallest preemption bound at which a
# scenario catches it, and the time that took (the lower bounds of every
# scenario included), then how many seeded random runs of that scenario find
# it.
#
#   tools/plant-faults.sh [MAX_BOUND] [jthread|futex] [FAULT]   (default 3, all)
set -euo pipefail
cd "$(dirname "$0")/.."

max_bound=${1:-3}
only=${2:-}
pick=${3:-}
command -v python3 >/dev/null || { echo "plant-faults.sh needs python3" >&2; exit 2; }
work=build/planted-faults
mkdir -p "$work"
cxx=${CXX:-g++}
flags=(-std=c++17 -O2 -g -Wall -Wextra -Werror -DVELKOR_KERNEL_SIM -Iinclude -Isrc)

# What does not change from fault to fault is compiled once.
sched_objects=()
for source in src/sched/*.cpp tests/schedules/schedules_main.cpp; do
  object=$work/$(basename "$source" .cpp).o
  "$cxx" "${flags[@]}" -c "$source" -o "$object"
  sched_objects+=("$object")
done
common=(src/jmutex.cpp src/platform/sim/kernel_sim.cpp tests/schedules/scenarios.cpp)
objects=("${sched_objects[@]}")
for source in "${common[@]}"; do
  object=$work/$(basename "$source" .cpp).o
  "$cxx" "${flags[@]}" -c "$source" -o "$object"
  objects+=("$object")
done

# rewrite SOURCE COPY: reads a Python expression on stdin that turns `s` (the
# source) into the faulty source; fails if the text it replaces is gone.
rewrite() {
  python3 -c '
import sys
s = open(sys.argv[1]).read()
def swap(old, new):
    global s
    if s.count(old) != 1:
        sys.exit("planted fault no longer applies: " + old)
    s = s.replace(old, new)
exec(sys.stdin.read())
open(sys.argv[2], "w").write(s)
' "$1" "$2"
}

# report NAME KIND PROGRAM: the smallest bound that catches the fault.
report() {
  local result
  result=$("$3" --bound "$max_bound" --random 100000 --until-caught 2>/dev/null || true)
  printf '%-24s %-40s %s\n' "$1" "$2" "$result"
}

# plant NAME KIND: a fault in src/jthread.cpp.
plant() {
  local name=$1 kind=$2
  [[ -z $pick || $pick == "$name" ]] || { cat >/dev/null; return 0; }
  rewrite src/jthread.cpp "$work/jthread_$name.cpp"
  "$cxx" "${flags[@]}" "$work/jthread_$name.cpp" "${objects[@]}" -o "$work/schedules_$name"
  report "$name" "$kind" "$work/schedules_$name"
}

# plant_futex NAME KIND FILE: a fault in src/platform/linux/futex/FILE, with
# everything that includes it built again.
futex_flags=("${flags[@]}" -DVELKOR_FUTEX_MODEL)
plant_futex() {
  local name=$1 kind=$2 file=$3
  [[ -z $pick || $pick == "$name" ]] || { cat >/dev/null; return 0; }
  local overlay=$work/futex_$name
  local sources=(src/platform/sim/futex_sim.cpp tests/schedules/futex_scenarios.cpp)
  mkdir -p "$overlay/platform/linux/futex"
  if [[ $file == futex_mutex.h ]]; then
    rewrite src/platform/linux/futex/futex_mutex.h "$overlay/platform/linux/futex/futex_mutex.h"
  else
    rewrite "src/platform/linux/futex/$file" "$overlay/$file"
    sources+=("$overlay/$file")
  fi
  for source in futex_mutex.cpp abandonment.cpp; do
    [[ $file == "$source" ]] || sources+=("src/platform/linux/futex/$source")
  done
  "$cxx" "${futex_flags[@]/#-Isrc/-I$overlay}" -Isrc "${sources[@]}" "${sched_objects[@]}" \
    -o "$work/futex_schedules_$name"
  report "$name" "$kind" "$work/futex_schedules_$name"
}

printf '%-24s %-40s %s\n' fault kind result
if [[ -z $only || $only == jthread ]]; then

plant handshake_order "ordering in the handshake" <<'EOF'
swap("""  self->startedMutex.Lock();

  self->stateMutex.Lock();
  self->running = true;
  self->stateMutex.Unlock();
""", """  self->stateMutex.Lock();
  self->running = true;
  self->stateMutex.Unlock();

  self->startedMutex.Lock();
""")
EOF

plant kill_without_lock "a missing lock (Kill)" <<'EOF'
swap("""  int result = 0;  // also with no stateMutex: no thread can have been started
  if (stateMutex.Lock() == 0) {""", """  int result = 0;  // also with no stateMutex: no thread can have been started
  if (stateMutex.IsInitialized()) {""")
EOF

plant unlock_before_kill "a result stored after a kill" <<'EOF'
swap("""      running = false;
      kernel::ThreadTerminate(threadHandle, 0);""", """      running = false;
      stateMutex.Unlock();
      kernel::ThreadTerminate(threadHandle, 0);
      stateMutex.Lock();""")
EOF

plant self_kill_stays_running "a body's own Kill leaves it running" <<'EOF'
swap("""      running = false;
      kernel::ThreadTerminate(threadHandle, 0);""", """      kernel::ThreadTerminate(threadHandle, 0);
      running = false;""")
EOF

plant kill_skips_launch "a Kill inside a launch" <<'EOF'
swap("""  bool launchHeld = launchMutex.Lock() == 0;""", """  bool launchHeld = false;""")
EOF

plant start_test_unlocked "racing Starts both launch" <<'EOF'
swap("""  launchMutex.Lock();

  stateMutex.Lock();
  if (running) {
    stateMutex.Unlock();
    launchMutex.Unlock();
    return THREAD_ERR_ALREADY_RUNNING;
  }
  stateMutex.Unlock();
""", """  stateMutex.Lock();
  if (running) {
    stateMutex.Unlock();
    return THREAD_ERR_ALREADY_RUNNING;
  }
  stateMutex.Unlock();

  launchMutex.Lock();
""")
EOF

plant stale_result_restarted "a restarted run shows the old result" <<'EOF'
swap("""  void* value = running ? nullptr : returnValue;""", """  void* value = returnValue;""")
EOF

plant result_outside_lock "a result stored outside the lock" <<'EOF'
swap("""  self->stateMutex.Lock();
  self->running = false;
  self->returnValue = result;""", """  self->returnValue = result;
  self->stateMutex.Lock();
  self->running = false;""")
EOF

plant handle_closed_early "a handle closed too early" <<'EOF'
swap("""  stateMutex.Unlock();

  launchMutex.Unlock();
""", """  stateMutex.Unlock();

  launchMutex.Unlock();
  kernel::HandleClose(threadHandle);
""")
EOF

plant poll_reads_once "a lost wake-up (Start's poll)" <<'EOF'
swap("""  stateMutex.Lock();
  while (!running) {
    stateMutex.Unlock();
    kernel::SleepMilliseconds(1);
    stateMutex.Lock();
  }
  stateMutex.Unlock();
""", """  stateMutex.Lock();
  bool seen = running;
  stateMutex.Unlock();
  while (!seen) {
    kernel::SleepMilliseconds(1);
  }
""")
EOF

plant signal_lost "a lost wake-up (ThreadStarted)" <<'EOF'
swap("""void JThread::ThreadStarted() { startedMutex.Unlock(); }""",
     """void JThread::ThreadStarted() { launchMutex.Unlock(); }""")
EOF

plant destroy_without_kill "destruction leaves the body running" <<'EOF'
swap("""      kernel::ThreadTerminate(threadHandle, 0);
      running = false;""", """      running = false;""")
EOF
fi

if [[ -z $only || $only == futex ]]; then
plant_futex owed_wake_dropped "the owed wake never paid" futex_mutex.h <<'EOF'
swap("""    if (__builtin_expect(mutex->wakeOwed.load(std::memory_order_seq_cst) != 0, 0)) {
      FutexPayOwedWake(mutex);
    }""", "")
EOF

plant_futex pending_cleared_early "the pending entry cleared before the word is free" \
  futex_mutex.h <<'EOF'
swap("""  PendingOperation pending(self->head, EntryOf(mutex));
  VELKOR_MUTEX_STEP(MutexStep::kReleasePending);
  UnlinkHeld(EntryOf(mutex));""", """  {
    PendingOperation pending(self->head, EntryOf(mutex));
    UnlinkHeld(EntryOf(mutex));
  }""")
EOF

plant_futex pending_set_late "the pending entry set after the word is taken" \
  futex_mutex.h <<'EOF'
swap("""  PendingOperation pending(head, EntryOf(mutex));
  VELKOR_MUTEX_STEP(MutexStep::kAcquirePending);
  std::uint32_t expected = 0;""", """  std::uint32_t expected = 0;""")
swap("""  VELKOR_MUTEX_STEP(MutexStep::kAcquireTaken);
  LinkHeld(""", """  PendingOperation pending(head, EntryOf(mutex));
  LinkHeld(""")
EOF

plant_futex waiters_dropped "FUTEX_WAITERS not kept on a takeover" futex_mutex.cpp <<'EOF'
swap("""(slept || (value & FUTEX_WAITERS) != 0)""", """slept""")
EOF

plant_futex unlink_after_release "the node unlinked after the word is free" futex_mutex.h <<'EOF'
swap("""  UnlinkHeld(EntryOf(mutex));
  VELKOR_MUTEX_STEP(MutexStep::kReleaseUnlinked);""", "")
swap("""  VELKOR_MUTEX_STEP(MutexStep::kReleaseWoken);
}""", """  UnlinkHeld(EntryOf(mutex));
}""")
EOF

plant_futex wake_always_settles "a wake that found someone settles the debt" \
  futex_mutex.cpp <<'EOF'
swap("""  if (FutexWakeOneShared(&mutex->word) == 0) {
    WakeFoundNobody(mutex);
  }""", """  FutexWakeOneShared(&mutex->word);
  WakeFoundNobody(mutex);""")
EOF

plant_futex hazard_dropped_early "the pending entry cleared before the owed wake" \
  futex_mutex.h <<'EOF'
swap("""    VELKOR_MUTEX_STEP(MutexStep::kReleaseFreed);
    // A debt""", """    VELKOR_MUTEX_STEP(MutexStep::kReleaseFreed);
    ReleaseListField(&self->head->listOpPending, nullptr);
    // A debt""")
EOF

plant_futex walk_limit_missed "the layer's walk misses a list one past the limit" \
  abandonment.cpp <<'EOF'
swap("""constexpr int kKernelWalkLimit = 2048;""", """constexpr int kKernelWalkLimit = 2049;""")
EOF

plant_futex depth_kept "a takeover keeps the dead owner's depth" futex_mutex.h <<'EOF'
swap("""  mutex->owner.store(self->serial, std::memory_order_relaxed);
  mutex->depth = 1;""", """  mutex->owner.store(self->serial, std::memory_order_relaxed);
  if (mutex->depth == 0) {
    mutex->depth = 1;
  }""")
EOF
fi
