#!/usr/bin/env bash
# The fast suite (unit, hardening and thread tests) N times beside CPU-bound loops, as on a busy
# machine; prints each test that failed and how often. By hand, not in CI (see docs/testing.md).
#
#   scripts/stress-tests.sh N [BUILD_DIR]     # build in BUILD_DIR (default build-stress/)
#
# QVRAD_STRESS_LOOPS (default 2) CPU-bound loops run beside the suite; QVRAD_JOBS (default 2)
# is ctest's and the build's parallelism; QVRAD_STRESS_RUN_SECONDS (default 900) bounds each run;
# QVRAD_STRESS_BUILD_TYPE (default RelWithDebInfo, as CI's Linux stage) is the build type;
# QVRAD_MBEDTLS_SOURCE (scripts/mbedtls-source.sh prints it) builds TLS in, so that the TLS rows
# of the hygiene and thread tests run too.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
runs="${1:-}"
if ! [[ "$runs" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 N [BUILD_DIR]   (N runs of the fast suite, N >= 1)" >&2
  exit 2
fi
build="${2:-$root/build-stress}"
loops="${QVRAD_STRESS_LOOPS:-2}"
jobs="${QVRAD_JOBS:-2}"
limit="${QVRAD_STRESS_RUN_SECONDS:-900}"
build_type="${QVRAD_STRESS_BUILD_TYPE:-RelWithDebInfo}"
# The unit tests, the hardening tests with the fuzz seeds' replay, and the thread tests: no
# FreeRADIUS (label interop), no package or emulation tests.
labels='^(unit|hardening|threads)$'

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="$build_type" -DQVRAD_BUILD_TESTS=ON \
  -DQVRAD_WERROR=ON -DQVRAD_MBEDTLS_SOURCE="${QVRAD_MBEDTLS_SOURCE:-}" >/dev/null
cmake --build "$build" -j "$jobs" >/dev/null
total="$(ctest --test-dir "$build" -N -L "$labels" | sed -n 's/^Total Tests: //p')"
logs="$build/stress-logs"
rm -rf "$logs"
mkdir -p "$logs"

# The loops, and a run under way, are stopped by their PIDs on every way out of this script.
pids=()
runner=""
stop_all() {
  for pid in $runner "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  runner=""
  pids=()
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
for ((i = 0; i < loops; ++i)); do
  (while :; do :; done) &
  pids+=("$!")
done

echo "stress: $runs runs of $total tests (ctest -j $jobs) beside $loops CPU-bound loops;" \
  "logs in $logs"
declare -A failures=()
failed_runs=0
for ((run = 1; run <= runs; ++run)); do
  log="$logs/run-$run.log"
  failed_list="$build/Testing/Temporary/LastTestsFailed.log"
  rm -f "$failed_list"
  start=$SECONDS
  status=0
  # timeout(1) passes a signal, or its own on expiry, to its process group: ctest and the tests
  # it started. Waited for in the background, so that a signal to this script is seen at once.
  timeout -k 10 "$limit" ctest --test-dir "$build" -L "$labels" -j "$jobs" \
    --output-on-failure >"$log" 2>&1 &
  runner=$!
  wait "$runner" || status=$?
  runner=""
  names=()
  if [ -f "$failed_list" ]; then
    while IFS= read -r line; do names+=("${line#*:}"); done <"$failed_list"
  fi
  if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    names+=("(run stopped after $limit s)")
  elif [ "$status" -ne 0 ] && [ ${#names[@]} -eq 0 ]; then
    names+=("(ctest exited with $status)")
  fi
  if [ ${#names[@]} -eq 0 ]; then
    echo "run $run/$runs: passed in $((SECONDS - start)) s"
  else
    failed_runs=$((failed_runs + 1))
    echo "run $run/$runs: FAILED in $((SECONDS - start)) s: ${names[*]}"
    for name in "${names[@]}"; do failures["$name"]=$((${failures["$name"]:-0} + 1)); done
  fi
done
stop_all

if [ "$failed_runs" -eq 0 ]; then
  echo "stress: all $runs runs passed"
  exit 0
fi
echo "stress: $failed_runs of $runs runs failed; failures per test:"
for name in "${!failures[@]}"; do printf '%6d  %s\n' "${failures[$name]}" "$name"; done | sort -rn
exit 1
