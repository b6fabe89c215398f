#!/usr/bin/env bash
# Builds and runs the demonstration program: installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target prime_counter
tools/wine64-run.sh build/win64/bin/prime_counter.exe
