#!/usr/bin/env bash
# Builds and runs the demonstration program natively: installs what is
# missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native --target prime_counter
build/native/examples/prime_counter
