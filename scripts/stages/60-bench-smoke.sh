#!/usr/bin/env bash
# The benchmarks of the Linux build (stage 10-linux's, Mbed TLS compiled in) run end to end for a
# token count of iterations (this checks that they work, not how fast anything is), then the
# instruction and system call counts with few calls and one short pair of paired processes, then
# the loss benchmark with 10 logins per level and client.
set -euo pipefail
b="$QVRAD_OUT/linux"
for program in bench/qvrad_bench_md5 bench/qvrad_bench_auth bench/qvrad_call_driver \
  bench/qvrad_stack_depth tools/qvrad-auth; do
  if [ ! -x "$b/$program" ]; then
    echo "missing $b/$program: the linux stage builds it (-DQVRAD_BUILD_BENCH=ON)" >&2
    exit 1
  fi
done
# The build of the run's Mbed TLS tree (TLS on or off as the run has it): what stage 10-linux made.
if [ -n "${QVRAD_MBEDTLS_SOURCE+set}" ]; then
  configured="$(sed -n 's/^QVRAD_MBEDTLS_SOURCE:[A-Z]*=//p' "$b/CMakeCache.txt")"
  if [ "$configured" != "$QVRAD_MBEDTLS_SOURCE" ]; then
    echo "$b was configured with QVRAD_MBEDTLS_SOURCE='$configured', this run has" \
      "'$QVRAD_MBEDTLS_SOURCE': run stage 10-linux first" >&2
    exit 1
  fi
fi
"$b/bench/qvrad_bench_md5" --smoke
"$b/bench/qvrad_bench_auth" --smoke
for mode in auth auth-signed login floor; do
  "$b/bench/qvrad_call_driver" "$mode" 20
done
"$b/bench/qvrad_stack_depth"
# A few seconds under valgrind and strace, and one short pair of processes; the counts and ratios
# are only printed here, the targets are judged by bench/run.sh on a Release build.
QVRAD_CALLGRIND_CALLS=20 timeout 120 "$QVRAD_ROOT/bench/callgrind.sh" "$b"
QVRAD_SYSCALL_CALLS=20 timeout 120 "$QVRAD_ROOT/bench/syscalls.sh" "$b"
QVRAD_PAIRS=1 QVRAD_PAIR_CALLS=200 timeout 120 "$QVRAD_ROOT/bench/paired.sh" "$b"
# RADIUS over TLS beside UDP against a private FreeRADIUS of its own, a token few of each (bench/
# tls.sh makes the figures on a Release build): kept connections, full and resumed handshakes.
if [ -x "$b/bench/qvrad_bench_tls" ]; then
  tls_state="$QVRAD_OUT/tls-bench-smoke"
  QVRAD_FR_TLS_MAX_CONNECTIONS=256 bash "$QVRAD_ROOT/tests/freeradius/server.sh" start \
    "$tls_state" --tls "$QVRAD_OUT/tls-bench-certs" >/dev/null
  tls_status=0
  timeout 120 "$b/bench/qvrad_bench_tls" "$tls_state/ports.env" --smoke || tls_status=$?
  bash "$QVRAD_ROOT/tests/freeradius/server.sh" stop "$tls_state"
  [ "$tls_status" -eq 0 ] || exit "$tls_status"
fi
# About 30 s: the relay, the private FreeRADIUS and every installed client work together, and
# without loss every login is accepted (loss.sh fails otherwise); the figures are not judged.
QVRAD_LOSS_LOGINS=10 QVRAD_LOSS_TOOL="$b/tools/qvrad-auth" timeout 120 \
  "$QVRAD_ROOT/bench/loss.sh" "$QVRAD_OUT/loss"
