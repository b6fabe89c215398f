#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Proof that the schedules test bites: plants one fault at a time in a copy of
# src/jthread.cpp (the source tree is never touched), builds the scenarios
# against it on the simulated kernel, and reports the smallest preemption
# bound at which a scenario catches it, and the time that took (the lower
# bounds of every scenario included), then how many seeded random runs of that
# scenario find it.
#
#   tools/plant-faults.sh [MAX_BOUND]     (default 3)
set -euo pipefail
cd "$(dirname "$0")/.."

max_bound=${1:-3}
command -v python3 >/dev/null || { echo "plant-faults.sh needs python3" >&2; exit 2; }
work=build/planted-faults
mkdir -p "$work"
cxx=${CXX:-g++}
flags=(-std=c++17 -O2 -g -Wall -Wextra -Werror -DVELKOR_KERNEL_SIM -Iinclude -Isrc)

# What does not change from fault to fault is compiled once.
common=(src/jmutex.cpp src/platform/sim/kernel_sim.cpp src/sched/*.cpp
  tests/schedules/scenarios.cpp tests/schedules/schedules_main.cpp)
objects=()
for source in "${common[@]}"; do
  object=$work/$(basename "$source" .cpp).o
  "$cxx" "${flags[@]}" -c "$source" -o "$object"
  objects+=("$object")
done

# plant NAME KIND: reads a Python expression on stdin that turns `s` (the
# source) into the faulty source; fails if the text it replaces is gone.
plant() {
  local name=$1 kind=$2
  python3 -c '
import sys
s = open("src/jthread.cpp").read()
def swap(old, new):
    global s
    if s.count(old) != 1:
        sys.exit("planted fault no longer applies: " + old)
    s = s.replace(old, new)
exec(sys.stdin.read())
open(sys.argv[1], "w").write(s)
' "$work/jthread_$name.cpp"
  "$cxx" "${flags[@]}" "$work/jthread_$name.cpp" "${objects[@]}" -o "$work/schedules_$name"
  local result
  result=$("$work/schedules_$name" --bound "$max_bound" --random 100000 --until-caught \
    2>/dev/null || true)
  printf '%-22s %-34s %s\n' "$name" "$kind" "$result"
}

printf '%-22s %-34s %s\n' fault kind result

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
