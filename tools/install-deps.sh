#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs, from Debian's archive, whatever a command needs and the machine
# lacks. Needs root (or sudo) only when something is missing.
#
#   tools/install-deps.sh demo   what the native demonstration needs
#   tools/install-deps.sh [all]  what every build, test, package and the
#                                reference pages need
#   tools/install-deps.sh soak   the load that tools/soak-tests.sh runs beside
#                                the tests
#
# When another installation holds the package manager's lock, apt-get waits
# for it (up to ten minutes) instead of failing.
set -euo pipefail

# Building the library and the demonstration program natively.
demo_packages=(cmake make g++)

# valgrind also brings the client-request headers (valgrind/helgrind.h,
# valgrind/drd.h) that the library compiles in; libtsan2 is ThreadSanitizer's
# runtime, for the client programs of the race-detector tests.
packages=(
  cmake make g++ libgtest-dev googletest libbenchmark-dev valgrind libtsan2 pkg-config
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 python3
  clang-16 lld-16 llvm-16 libwine-dev binutils-mingw-w64-x86-64
)

# The release: Debian packages (dpkg-shlibdeps, file, lintian), the ABI
# comparison (libabigail) and the reference pages (doxygen).
release_packages=(dpkg-dev file lintian abigail-tools doxygen)

# The load beside repeated test runs (tools/soak-tests.sh).
soak_packages=(stress-ng)

# The Linux arm64 and i386 builds: cross compilers, Google Benchmark of each
# architecture (multiarch; GoogleTest is built from Debian's sources), and
# the emulators that build and boot the arm64 guest (tools/linuxvm).
foreign_architectures=(arm64 i386)
cross_packages=(
  g++-aarch64-linux-gnu g++-i686-linux-gnu libbenchmark-dev:arm64 libbenchmark-dev:i386
  qemu-system-arm qemu-efi-aarch64 qemu-user-static
)

case "${1:-all}" in
  demo) wanted=("${demo_packages[@]}") ;;
  soak) wanted=("${soak_packages[@]}") ;;
  all) wanted=("${packages[@]}" "${release_packages[@]}" "${cross_packages[@]}") ;;
  *)
    echo "usage: $0 [demo|soak|all]" >&2
    exit 2
    ;;
esac

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
if [ "${1:-all}" = all ]; then
  for arch in "${foreign_architectures[@]}"; do
    dpkg --print-foreign-architectures | grep -qx "$arch" ||
      "${sudo_cmd[@]}" dpkg --add-architecture "$arch"
  done
fi
apt_get=("${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600)
# A mirror caught mid-sync fails an index for a while: try again, then go on
# with what was fetched (the install below says if something is still missing).
for try in 1 2 3; do
  "${apt_get[@]}" update -q && break
  sleep $((try * 15))
done
DEBIAN_FRONTEND=noninteractive "${apt_get[@]}" install -y -q --no-install-recommends \
  "${missing[@]}"
