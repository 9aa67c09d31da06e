#!/usr/bin/env bash
# System calls per auth call, per qvrad_login_pap login and per floor round trip, made by the
# calling thread, counted by strace. The driver makes N and then 2N calls; strace follows its
# first thread only (no -f: the responder's thread and its calls are not traced), and the
# difference over N is what one call makes, start-up cancelled.
#   bench/syscalls.sh [build-dir]
# Prints "syscalls MODE_per_call COUNT" for each mode, then each mode's calls by name.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-bench}"
driver="$build/bench/qvrad_call_driver"
calls="${QVRAD_SYSCALL_CALLS:-200}"
if [ ! -x "$driver" ]; then
  echo "no $driver: build with -DQVRAD_BUILD_BENCH=ON first" >&2
  exit 1
fi
command -v strace >/dev/null || { echo "strace is not installed" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# One traced run: one line per system call, its name first.
trace() {
  local mode="$1" n="$2"
  strace -qq -o "$work/$mode.$n" "$driver" "$mode" "$n" >"$work/$mode.$n.log" 2>&1 ||
    { cat "$work/$mode.$n.log" >&2; return 1; }
  sed -E 's/^([a-z0-9_]+)\(.*/\1/; t; d' "$work/$mode.$n" | sort | uniq -c |
    awk '{print $2, $1}' >"$work/$mode.$n.names"
}

modes=(auth login floor)
for mode in "${modes[@]}"; do
  trace "$mode" "$calls"
  trace "$mode" "$((2 * calls))"
  one=$(awk '{s += $2} END {print s + 0}' "$work/$mode.$calls.names")
  two=$(awk '{s += $2} END {print s + 0}' "$work/$mode.$((2 * calls)).names")
  echo "syscalls ${mode}_per_call $(awk -v a="$one" -v b="$two" -v n="$calls" \
    'BEGIN {printf "%.2f", (b - a) / n}')"
done
for mode in "${modes[@]}"; do
  echo "-- $mode, per call, by name"
  awk -v n="$calls" 'NR == FNR {one[$1] = $2; next} {d = ($2 - one[$1]) / n;
    if (d >= 0.01) printf "%8.2f  %s\n", d, $1}' \
    "$work/$mode.$calls.names" "$work/$mode.$((2 * calls)).names" | sort -rn
done
