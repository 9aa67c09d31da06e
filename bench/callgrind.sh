#!/usr/bin/env bash
# User-space instructions per auth call, per auth call whose reply carries a Message-Authenticator,
# per qvrad_login_pap login (a client made once, each login freed) and per floor round trip,
# counted by callgrind. The driver makes N and then 2N calls, collecting only inside its call loop
# (not the responder's thread, not start-up); the difference over N is what one call costs,
# first-call binding cancelled. System calls run in the kernel and are not counted.
#   bench/callgrind.sh [build-dir] [--functions]
# --functions adds the per-call instructions of each function of an auth call (exclusive),
# from the same difference.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-bench}"
functions=0
[ "${2:-}" = "--functions" ] && functions=1
driver="$build/bench/qvrad_call_driver"
calls="${QVRAD_CALLGRIND_CALLS:-200}"
if [ ! -x "$driver" ]; then
  echo "no $driver: build with -DQVRAD_BUILD_BENCH=ON first" >&2
  exit 1
fi
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Total instructions collected in one run: the "totals:" line callgrind writes at the end.
count() {
  local mode="$1" n="$2" loop="$3"
  valgrind --tool=callgrind --collect-atstart=no --toggle-collect="$loop" \
    --callgrind-out-file="$work/$mode.$n" "$driver" "$mode" "$n" >"$work/$mode.$n.log" 2>&1 ||
    { cat "$work/$mode.$n.log" >&2; return 1; }
  awk '/^totals:/ {print $2}' "$work/$mode.$n"
}

declare -A perCall
for mode in auth auth-signed login acct floor; do
  case "$mode" in
    floor) loop=QvradDriverFloorCalls ;;
    login) loop=QvradDriverLoginCalls ;;
    acct) loop=QvradDriverAccountingCalls ;;
    *) loop=QvradDriverAuthCalls ;;
  esac
  one="$(count "$mode" "$calls" "$loop")"
  two="$(count "$mode" "$((2 * calls))" "$loop")"
  perCall[$mode]=$(((two - one) / calls))
done
echo "callgrind auth_instructions_per_call ${perCall[auth]}"
echo "callgrind auth_signed_instructions_per_call ${perCall[auth-signed]}"
echo "callgrind login_instructions_per_call ${perCall[login]}"
echo "callgrind acct_instructions_per_call ${perCall[acct]}"
echo "callgrind floor_instructions_per_call ${perCall[floor]}"

# Per-call instructions of each function: the 2N run's counts minus the N run's, over N.
per_function() {
  local inclusive="$1" n
  for n in "$calls" "$((2 * calls))"; do
    callgrind_annotate --auto=no --inclusive="$inclusive" --threshold=100 "$work/auth.$n" \
      2>/dev/null | sed -nE 's/^ *([0-9,]+) +\([ 0-9.]+%\) +(.*[^ ]) *$/\1\t\2/p' |
      awk -F'\t' -v OFS='\t' '{gsub(",", "", $1); sub(/ \[[^]]*\]$/, "", $2);
        sub(/^.*\/qvRadClient\//, "qvRadClient/", $2); sub(/^.*\/bench\//, "bench/", $2); print}' \
        >"$work/functions.$n"
  done
  awk -F'\t' -v n="$calls" 'NR==FNR {one[$2]=$1; next}
    {d=($1-one[$2])/n; if (d >= 10) printf "%8.0f  %s\n", d, $2}' \
    "$work/functions.$calls" "$work/functions.$((2 * calls))" | sort -rn |
    awk '{name = $0; sub(/^ *[0-9]+  /, "", name); if (!seen[name]++) print}'
}

if [ "$functions" = 1 ]; then
  echo "-- exclusive instructions per auth call, by function"
  per_function no | awk '!/PROGRAM TOTALS/ && ++n <= 40' 
  echo "-- inclusive instructions per auth call, library functions"
  per_function yes | awk '/ qvRadClient\// && ++n <= 25' 
fi
