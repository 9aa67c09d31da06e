#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 (when needed) and runs each for SECONDS, starting
# from its seeds and regression inputs copied into a scratch corpus in the build tree (the
# repository's corpus is never written). Fails on any finding: a crash, a failed check, a leak,
# a timeout or running out of memory. Usage: fuzz/run.sh SECONDS [BUILD_DIR] [TARGET...]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:?usage: fuzz/run.sh SECONDS [BUILD_DIR] [TARGET...]}"
build="${2:-$root/build-fuzz}"
shift $(($# >= 2 ? 2 : 1))
targets=("$@")
[ ${#targets[@]} -ne 0 ] || targets=(reply packet md5 arguments)
jobs="${QVRAD_JOBS:-2}"

# Mbed TLS compiled in when QVRAD_MBEDTLS_SOURCE names its tree (scripts/mbedtls-source.sh;
# stage 50-fuzz gives it), as in the library; set, it is given to the build folder each time.
tls=()
[ -z "${QVRAD_MBEDTLS_SOURCE+set}" ] || tls=(-DQVRAD_MBEDTLS_SOURCE="$QVRAD_MBEDTLS_SOURCE")
if [ ! -f "$build/CMakeCache.txt" ] || [ ${#tls[@]} -ne 0 ]; then
  CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQVRAD_BUILD_FUZZ=ON -DQVRAD_BUILD_TESTS=OFF -DQVRAD_BUILD_TOOLS=OFF -DQVRAD_WERROR=ON \
    "${tls[@]}"
fi
cmake --build "$build" -j "$jobs" --target qvrad_fuzzers

# Largest inputs: a datagram is at most 4352 bytes after the mode byte; six arguments may each
# be near the 2048-byte limit; a message for MD5 spans many blocks.
declare -A max_len=([reply]=4353 [packet]=4096 [md5]=8192 [arguments]=8192)
# One target, its summary on standard output; 0, or 1 on a finding.
run_one() {
  local target="$1"
  local exe="$build/fuzz/fuzz_$target"
  local corpus="$build/corpus/$target"
  local artifacts="$build/artifacts/$target"
  local log="$build/fuzz-$target.log"
  mkdir -p "$corpus"
  rm -rf "$artifacts" && mkdir -p "$artifacts"
  for dir in "$root/fuzz/corpus/$target" "$root/fuzz/regressions/$target"; do
    [ -d "$dir" ] && find "$dir" -maxdepth 1 -type f ! -name '.*' -exec cp -f {} "$corpus/" \;
  done
  echo "--- fuzz_$target: ${seconds} s, corpus $corpus"
  local rc=0
  # -timeout: an accepted call of fuzz_arguments waits its 1-second timeout by design.
  "$exe" -max_total_time="$seconds" -max_len="${max_len[$target]}" -timeout=10 \
    -rss_limit_mb=2560 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$corpus" >"$log" 2>&1 || rc=$?
  local execs rate found
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)"
  found="$(find "$artifacts" -type f | wc -l)"
  echo "fuzz_$target: ${execs:-?} executions, ${rate:-?} exec/s, corpus $(find "$corpus" -type f | wc -l) files, exit $rc"
  if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then
    echo "fuzz_$target FOUND a failure: artifacts in $artifacts; log $log"
    grep -E -A25 'ERROR|check failed|Test unit written' "$log" | head -60 || tail -40 "$log"
    echo "Keep the input in fuzz/regressions/$target/ once mended."
    return 1
  fi
  return 0
}

# As many targets at once as there are jobs (each libFuzzer run is one process on one core):
# the same fuzzing time per target in a fraction of the wall time. Summaries print in order.
status=0
pending=("${targets[@]}")
while [ ${#pending[@]} -ne 0 ]; do
  batch=("${pending[@]:0:$jobs}")
  pending=("${pending[@]:$jobs}")
  pids=()
  for target in "${batch[@]}"; do
    run_one "$target" >"$build/fuzz-$target.summary" 2>&1 &
    pids+=($!)
  done
  for i in "${!batch[@]}"; do
    rc=0
    wait "${pids[$i]}" || rc=$?
    cat "$build/fuzz-${batch[$i]}.summary"
    [ "$rc" -eq 0 ] || status=1
  done
done
exit "$status"
