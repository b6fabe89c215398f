#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs one preset's tests again and again with the machine kept busy beside
# them, to shake out tests that pass only on a quiet machine (a time-out too
# tight, a sleep used as synchronisation, a race in a test). For use before
# landing; CI does not run it.
#
#   tools/soak-tests.sh PRESET N [LOAD]
#
# Configures and builds PRESET, then runs its ctest N times while LOAD runs
# (default: "stress-ng --cpu <cores>", one busy process per core). Prints the
# count of clean runs and, for each test that failed, how often. Each run's
# output is kept in build/PRESET/soak/run-K.log. Exits 0 only if every run
# was clean.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 2 ] || ! [[ $2 =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 PRESET N [LOAD]" >&2
  exit 2
fi
preset=$1 runs=$2
load=${3:-"stress-ng --cpu $(nproc) --quiet"}

if ! command -v "${load%% *}" >/dev/null; then
  tools/install-deps.sh soak
fi

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" >/dev/null

logs="build/$preset/soak"
rm -rf "$logs"
mkdir -p "$logs"

# The load runs in a process group of its own, so that it ends with us.
setsid bash -c "exec $load" >"$logs/load.log" 2>&1 &
load_pid=$!
trap 'kill -- -"$load_pid" 2>/dev/null || true' EXIT

clean=0
declare -A failures=()
for ((run = 1; run <= runs; run++)); do
  log="$logs/run-$run.log"
  start=$SECONDS
  if ctest --preset "$preset" --output-on-failure >"$log" 2>&1; then
    clean=$((clean + 1))
    echo "run $run of $runs: clean ($((SECONDS - start)) s)"
  else
    # ctest lists what failed after "The following tests FAILED:", one per
    # line: "  12 - name (Failed)".
    failed=$(sed -n '/The following tests FAILED:/,$p' "$log" |
      sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) .*/\1/p')
    echo "run $run of $runs: FAILED ($((SECONDS - start)) s):" $failed
    for name in $failed; do
      failures[$name]=$((${failures[$name]:-0} + 1))
    done
  fi
done

echo "$preset: $clean clean runs of $runs"
for name in "${!failures[@]}"; do
  echo "  $name failed in ${failures[$name]} of $runs runs"
done
[ "$clean" -eq "$runs" ]
