#!/usr/bin/env bash
# The one test command: installs what is missing, then builds and tests every variant.
# Each stage lives in scripts/stages/ and runs in name order; any failure fails the run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export QVRAD_ROOT="$root"
export QVRAD_OUT="${QVRAD_OUT:-$root/build-ci}"
export QVRAD_JOBS="${QVRAD_JOBS:-$(nproc)}"
mkdir -p "$QVRAD_OUT"

"$root/scripts/deps.sh"
# The Mbed TLS sources, fetched once into $QVRAD_OUT/mbedtls (reused by later runs) and given to
# every stage's builds through QVRAD_MBEDTLS_SOURCE; empty when the mirror cannot be reached, and
# the run then has TLS off (said loudly here and again at the end).
# shellcheck source=scripts/stage-tls.sh
. "$root/scripts/stage-tls.sh"
tls_note=""
[ -n "$QVRAD_MBEDTLS_SOURCE" ] ||
  tls_note=" WITH TLS OFF (no Mbed TLS sources; see the start of the log)"
# The compiler cache's counts are this run's (its objects stay for the next run).
[ -z "$qvrad_c_launcher" ] || ccache --zero-stats >/dev/null

# CPU seconds (user and system) of the finished children so far, into $cpu_now: on a loaded
# machine a stage's wall time says little, its CPU time more. (times runs in this shell: in the
# subshell of a $(...) it would count that subshell's children only.)
cpu() {
  times >"$QVRAD_OUT/.times"
  cpu_now=$(awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/)
    printf "%d", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "$QVRAD_OUT/.times")
}

failed=()
for stage in "$root"/scripts/stages/*.sh; do
  name="$(basename "$stage" .sh)"
  if [ -n "${QVRAD_STAGES:-}" ] && [[ " $QVRAD_STAGES " != *" $name "* ]]; then
    continue
  fi
  echo "=== stage $name ==="
  cpu
  start=$SECONDS start_cpu=$cpu_now
  if bash "$stage"; then
    cpu
    echo "=== stage $name passed in $((SECONDS - start)) s (CPU $((cpu_now - start_cpu)) s) ==="
  else
    cpu
    echo "=== stage $name FAILED after $((SECONDS - start)) s (CPU $((cpu_now - start_cpu)) s) ==="
    failed+=("$name")
  fi
done

if [ -n "$qvrad_c_launcher" ]; then
  ccache --print-stats | awk -F '\t' '{ n[$1] = $2 } END {
    printf "ccache: %d C compiles (Mbed TLS) taken from the cache, %d compiled\n",
      n["direct_cache_hit"] + n["preprocessed_cache_hit"], n["cache_miss"] }'
fi
cpu
if [ ${#failed[@]} -ne 0 ]; then
  echo "failed stages: ${failed[*]} ($SECONDS s, CPU $cpu_now s)$tls_note"
  exit 1
fi
echo "all stages passed in $SECONDS s (CPU $cpu_now s)$tls_note"
