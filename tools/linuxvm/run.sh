#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs Linux programs of another processor in an emulated machine with a
# real kernel, all in one boot, through tools/win32vm/run.sh (its options and
# job files): i386 programs in the x86_64 guest of tools/win32vm, whose kernel
# runs 32-bit code and which has the i386 C and C++ runtimes, arm64 programs
# in the guest of build-image.sh here.
#
# Usage: run.sh i386|arm64 [win32vm/run.sh options] DIR --job FILE
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
case ${1:-} in
    i386) shift; exec "$here/../win32vm/run.sh" --linux "$@" ;;
    arm64) shift; exec "$here/../win32vm/run.sh" --linux --guest "$here/arm64.sh" "$@" ;;
    *) sed -n '2,8s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2; exit 2 ;;
esac
