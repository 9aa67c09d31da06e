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
server=/usr/lib/wine/wineserver

# Tests run in parallel: one of them creates the prefix while the others wait on the lock.
mkdir -p "$(dirname "$WINEPREFIX")"
if [ ! -f "$WINEPREFIX/.qvrad-ready" ]; then
  exec 9>"$WINEPREFIX.lock"
  flock -w 300 9
  if [ ! -f "$WINEPREFIX/.qvrad-ready" ]; then
    mkdir -p "$WINEPREFIX"
    timeout 240 "$loader" wineboot -i >/dev/null 2>&1 9>&- || true
    timeout 60 "$server" -w || true
    [ -f "$WINEPREFIX/system.reg" ] || { echo "wine64-run: could not create $WINEPREFIX" >&2; exit 125; }
    touch "$WINEPREFIX/.qvrad-ready"
  fi
  exec 9>&-
fi

# An idle anchor program keeps the prefix's wine server and services up between tests. Without
# it every test starts the services afresh, they inherit that test's output pipe (so CTest waits
# for them), and a test that starts while the idle server is going away fails with "wine
# client error ... Connection reset". Each anchor exits after 300 s; a new one is started once
# the current one is 240 s old, so they overlap while tests keep coming. Their PIDs and start
# times are appended to $WINEPREFIX.anchor, for whoever wants to stop them sooner.
anchor_exe="$build/tests/windows/qvrad_wine_anchor.exe"
if [ -f "$anchor_exe" ] && [ "${QVRAD_WINE_ANCHOR:-1}" = 1 ]; then
  exec 8>"$WINEPREFIX.anchor.lock"
  flock -w 60 8
  record="$WINEPREFIX.anchor"
  pid="" started=0
  [ -f "$record" ] && read -r pid started < <(tail -n 1 "$record") || true
  now=$(date +%s)
  if [ -z "$pid" ] || ! kill -0 "$pid" 2>/dev/null || [ $((now - started)) -ge 240 ]; then
    ready="$WINEPREFIX.anchor.ready"
    rm -f "$ready"
    # Not holding the lock descriptors: the anchor outlives this script.
    setsid "$loader" "$anchor_exe" 300 "$ready" </dev/null >/dev/null 2>&1 8>&- 9>&- &
    echo "$! $now" >> "$record"
    for _ in $(seq 1 300); do  # up to 30 s for the services to come up
      [ -f "$ready" ] && break
      sleep 0.1
    done
  fi
  exec 8>&-
fi
exec "$loader" "$@"
