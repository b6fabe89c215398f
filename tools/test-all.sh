#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds every target and runs every test, then makes the release: the
# packages of each platform and the reference pages. Installs what is missing
# first.
#
#   VELKOR_SKIP_WIN32_VM=1 tools/test-all.sh   skips running the 32-bit Windows
#       programs in the emulated machine (the win32 and msvc-win32 builds are
#       then only checked statically), the i386 and arm64 Linux programs in
#       theirs, and the Arm64 Windows programs (msvc-arm64, then only checked
#       statically). CI never sets it.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh all

run_preset() {
  local preset=$1
  shift
  echo "=== $preset"
  cmake --preset "$preset" "$@"
  cmake --build --preset "$preset"
  ctest --preset "$preset" ${CTEST_EXCLUDE:+-E "$CTEST_EXCLUDE"}
}

for preset in native asan ubsan win64 msvc-win64; do
  run_preset "$preset"
done
# Linux on i386 and arm64: cross builds run in emulated machines (the first
# run builds the arm64 machine's image, cached afterwards).
for preset in linux-i386 linux-arm64; do
  if [ "${VELKOR_SKIP_WIN32_VM:-0}" = 1 ]; then
    CTEST_EXCLUDE=linuxvm run_preset "$preset"
  else
    run_preset "$preset"
  fi
done
# Windows on Arm64: its programs run under Wine in the same arm64 machine,
# whose image (Wine included) linux-arm64 has just built.
if [ "${VELKOR_SKIP_WIN32_VM:-0}" = 1 ]; then
  run_preset msvc-arm64 -DVELKOR_ARM64_VM=OFF
else
  run_preset msvc-arm64 -DVELKOR_ARM64_VM=ON
fi
for preset in win32 msvc-win32; do
  if [ "${VELKOR_SKIP_WIN32_VM:-0}" = 1 ]; then
    run_preset "$preset" -DVELKOR_WIN32_VM=OFF
  else
    # The first run builds the emulated machine's image (several minutes).
    run_preset "$preset" -DVELKOR_WIN32_VM=ON
  fi
done

# The release: what each preset ships (the Debian packages natively, one .zip
# per Windows ABI and architecture), in build/<preset>/packages. The tests
# above have already installed, used and checked each of them.
package_presets=(
  native
  linux-i386
  linux-arm64
  win64
  win32
  msvc-win64
  msvc-win32
  msvc-arm64
)
for preset in "${package_presets[@]}"; do
  echo "=== packages of $preset"
  cmake --build --preset "$preset" --target package
  find "build/$preset/packages" -maxdepth 1 \( -name '*.deb' -o -name '*.zip' \) -printf '  %f\n'
done

# The reference pages; any Doxygen warning fails the build.
echo "=== reference pages"
cmake --build --preset native --target docs
echo "=== all targets built and tested"
