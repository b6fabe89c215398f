#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a 64-bit Windows program under wine64, in a prefix of the project's own
# (created on first use), with Wine's own chatter turned off. CTest uses this
# as the emulator of the win64 build.
set -euo pipefail

export WINEPREFIX="${VELKOR_WINE64_PREFIX:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/velkorthread/wine64}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers: the programs need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="

wine64=/usr/lib/wine/wine64
[ -x "$wine64" ] || wine64=$(command -v wine64)

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  "$wine64" wineboot --init >/dev/null 2>&1 || true
fi
exec "$wine64" "$@"
