#!/usr/bin/env bash
# Runs one Windows test program under wine (a cross build's CTest emulator), in a wine prefix
# inside the build tree that is created on first use, so no test touches ~/.wine.
# Usage: wine-run.sh [--emulation DIR] PROGRAM [ARGUMENTS]...
#   Win64 programs run under the system's wine64. With --emulation DIR (prepared by
#   scripts/win32-emulation.sh), Win32 programs run under DIR's 32-bit wine in qemu-i386, in
#   the same kind of 64-bit prefix with the 32-bit Windows side of wine added, served by the
#   system's wineserver.
set -euo pipefail
loader=/usr/lib/wine/wine64
emulation=""
if [ "${1:-}" = "--emulation" ]; then
  emulation=$2
  shift 2
  loader="$emulation/wine32"
  if [ ! -f "$emulation/.complete" ] || [ ! -x "$loader" ]; then
    echo "wine-run: $emulation is not prepared (scripts/win32-emulation.sh $emulation)" >&2
    exit 125
  fi
fi
here="$(pwd -P)"
# The prefix lives beside CMakeCache.txt: CTest runs each test from inside the build tree.
build="$here"
while [ "$build" != "/" ] && [ ! -f "$build/CMakeCache.txt" ]; do build="$(dirname "$build")"; done
[ -f "$build/CMakeCache.txt" ] || build="$here"
export WINEPREFIX="${QVRAD_WINEPREFIX:-$build/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"  # no Mono/Gecko prompts
server=/usr/lib/wine/wineserver

# Tests run in parallel: one of them creates the prefix while the others wait on the lock.
mkdir -p "$(dirname "$WINEPREFIX")"
if [ ! -f "$WINEPREFIX/.qvrad-ready" ]; then
  exec 9>"$WINEPREFIX.lock"
  flock -w 300 9
  if [ ! -f "$WINEPREFIX/.qvrad-ready" ]; then
    mkdir -p "$WINEPREFIX"
    timeout 240 /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 9>&- || true
    timeout 60 "$server" -w || true
    [ -f "$WINEPREFIX/system.reg" ] || { echo "wine-run: could not create $WINEPREFIX" >&2; exit 125; }
    if [ -n "$emulation" ]; then
      # The 32-bit DLLs where a WoW64 wineboot would put them (without them: "could not load
      # kernel32.dll"); hard links where the file system allows, since they are never written.
      wow="$WINEPREFIX/drive_c/windows/syswow64"
      mkdir -p "$wow"
      cp -lf "$emulation"/sysroot/usr/lib/i386-linux-gnu/wine/i386-windows/* "$wow"/ 2>/dev/null ||
        cp -f "$emulation"/sysroot/usr/lib/i386-linux-gnu/wine/i386-windows/* "$wow"/
    fi
    touch "$WINEPREFIX/.qvrad-ready"
  fi
  exec 9>&-
fi

# An idle anchor program keeps the prefix's wine server and services up between tests. Without
# it every test starts the services afresh, they inherit that test's output pipe (so CTest waits
# for them), and a test that starts while the idle server is going away fails with "wine
# client error ... Connection reset". The session's first process starts wineboot (64-bit: the
# 32-bit loader reaches it through the wine64 link beside it) and every later one waits up to
# 2 minutes for it to signal. Each anchor exits after 300 s; a new one is started once the
# current one is 240 s old, so they overlap while tests keep coming. Their PIDs and start
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
