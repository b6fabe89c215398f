#!/usr/bin/env bash
# Builds every target and runs every test: installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

run_preset() {
  local preset=$1
  echo "=== $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
}

for preset in win64 win32; do
  run_preset "$preset"
done
echo "=== all targets built and tested"
