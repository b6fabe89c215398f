#!/usr/bin/env bash
# Installs, from Debian's archive, whatever the builds and tests need and the
# machine lacks. Needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(
  cmake make g++ libgtest-dev googletest libbenchmark-dev valgrind pkg-config
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64
  clang-16 lld-16 llvm-16 libwine-dev binutils-mingw-w64-x86-64
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends \
  "${missing[@]}"
