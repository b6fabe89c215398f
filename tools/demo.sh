#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and runs the demonstration program natively: installs what is
# missing first (a compiler, CMake and make: not Wine, the cross compilers or
# the test tools).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh demo
cmake --preset demo >/dev/null
cmake --build --preset demo --target prime_counter
build/demo/examples/prime_counter
