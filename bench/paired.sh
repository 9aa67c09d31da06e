#!/usr/bin/env bash
# auth against the floor in paired processes: each pair runs one process of N auth calls and one
# of N floor round trips (socket, bind, sendto, poll, recvfrom, close; no RADIUS work) one after
# the other, the order swapped from pair to pair, so that both see the same seconds of a shared
# machine. Each process times its own call loop: the wall time, and the calling thread's CPU
# time (its system calls included, the responder's thread not). Per pair, auth's time over the
# floor's; the medians over the pairs are the ratios.
#   bench/paired.sh [build-dir]     QVRAD_PAIRS (default 11), QVRAD_PAIR_CALLS (100000)
# Prints "paired KEY VALUE" lines: per-call µs medians, the wall and CPU ratios and their range.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-bench}"
driver="$build/bench/qvrad_call_driver"
pairs="${QVRAD_PAIRS:-11}"
calls="${QVRAD_PAIR_CALLS:-100000}"
if [ ! -x "$driver" ]; then
  echo "no $driver: build with -DQVRAD_BUILD_BENCH=ON first" >&2
  exit 1
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
for ((i = 0; i < pairs; i++)); do
  order=(auth floor)
  [ $((i % 2)) -eq 1 ] && order=(floor auth)
  for mode in "${order[@]}"; do
    "$driver" "$mode" "$calls" --times >>"$work/times" || { echo "$mode run $i failed" >&2; exit 1; }
  done
done
python3 - "$work/times" "$calls" "$(cut -d' ' -f1-3 /proc/loadavg)" <<'PY'
import re, statistics, sys

path, calls, load = sys.argv[1], int(sys.argv[2]), sys.argv[3]
runs = {"auth": [], "floor": []}
for line in open(path):
    m = re.match(r"(\w+) \d+ calls: wall_ns (\d+) cpu_ns (\d+)", line)
    if m:
        runs[m.group(1)].append((int(m.group(2)), int(m.group(3))))
pairs = list(zip(runs["auth"], runs["floor"]))
wall = sorted(a[0] / f[0] for a, f in pairs)
cpu = sorted(a[1] / f[1] for a, f in pairs)
us = lambda ns: ns / calls / 1000
print(f"paired pairs {len(pairs)}")
print(f"paired calls_per_process {calls}")
print(f"paired auth_wall_us {us(statistics.median(a[0] for a, _ in pairs)):.2f}")
print(f"paired floor_wall_us {us(statistics.median(f[0] for _, f in pairs)):.2f}")
print(f"paired auth_cpu_us {us(statistics.median(a[1] for a, _ in pairs)):.2f}")
print(f"paired floor_cpu_us {us(statistics.median(f[1] for _, f in pairs)):.2f}")
print(f"paired wall_ratio {statistics.median(wall):.3f} range {wall[0]:.3f} {wall[-1]:.3f}")
print(f"paired cpu_ratio {statistics.median(cpu):.3f} range {cpu[0]:.3f} {cpu[-1]:.3f}")
print(f"paired load_after {load}")
PY
