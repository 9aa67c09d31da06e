#!/usr/bin/env bash
# Ends what cmake/wine-run.sh left running in a wine prefix once the tests are done: the idle
# anchor programs (PIDs in PREFIX.anchor), then the prefix's wine server and services.
# Usage: wine-stop.sh PREFIX
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 PREFIX" >&2; exit 2; }
[ -d "$1" ] || exit 0  # no prefix: nothing ran
WINEPREFIX=$(cd "$1" && pwd)  # wineserver takes only an absolute path
export WINEPREFIX
# Each PID is checked to still be an anchor before the signal (PIDs are reused).
if [ -f "$WINEPREFIX.anchor" ]; then
  while read -r anchor _; do
    if grep -qa qvrad_wine_anchor "/proc/$anchor/cmdline" 2>/dev/null; then
      kill "$anchor" 2>/dev/null || true
    fi
  done <"$WINEPREFIX.anchor"
  rm -f "$WINEPREFIX.anchor"
fi
# With no program left the server ends its services and goes; -k if it has not within 30 s.
timeout 30 /usr/lib/wine/wineserver -w || /usr/lib/wine/wineserver -k || true
