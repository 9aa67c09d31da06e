#!/usr/bin/env bash
# Runs one Win64 test program under 64-bit wine (the cross build's CTest emulator), in a wine
# prefix inside the build tree that is created on first use, so no test touches ~/.wine.
set -euo pipefail
here="$(pwd -P)"
# The prefix lives beside CMakeCache.txt: CTest runs each test from inside the build tree.
build="$here"
while [ "$build" != "/" ] && [ ! -f "$build/CMakeCache.txt" ]; do build="$(dirname "$build")"; done
[ -f "$build/CMakeCache.txt" ] || build="$here"
export WINEPREFIX="${QVRAD_WINEPREFIX:-$build/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"  # no Mono/Gecko prompts
loader=/usr/lib/wine/wine64

# Tests run in parallel: one of them creates the prefix while the others wait on the lock.
mkdir -p "$(dirname "$WINEPREFIX")"
if [ ! -f "$WINEPREFIX/.qvrad-ready" ]; then
  exec 9>"$WINEPREFIX.lock"
  flock -w 300 9
  if [ ! -f "$WINEPREFIX/.qvrad-ready" ]; then
    mkdir -p "$WINEPREFIX"
    timeout 240 "$loader" wineboot -i >/dev/null 2>&1 || true
    timeout 60 /usr/lib/wine/wineserver -w || true
    [ -f "$WINEPREFIX/system.reg" ] || { echo "wine64-run: could not create $WINEPREFIX" >&2; exit 125; }
    touch "$WINEPREFIX/.qvrad-ready"
  fi
  exec 9>&-
fi
exec "$loader" "$@"
