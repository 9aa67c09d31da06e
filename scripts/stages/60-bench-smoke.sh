#!/usr/bin/env bash
# The benchmarks of the Linux build run end to end for a token count of iterations (this checks
# that they work, not how fast anything is), then the instruction count with few calls.
set -euo pipefail
b="$QVRAD_OUT/linux"
for program in qvrad_bench_md5 qvrad_bench_auth qvrad_call_driver qvrad_stack_depth; do
  if [ ! -x "$b/bench/$program" ]; then
    echo "missing $b/bench/$program: the linux stage builds it (-DQVRAD_BUILD_BENCH=ON)" >&2
    exit 1
  fi
done
"$b/bench/qvrad_bench_md5" --smoke
"$b/bench/qvrad_bench_auth" --smoke
"$b/bench/qvrad_call_driver" auth 20
"$b/bench/qvrad_call_driver" floor 20
"$b/bench/qvrad_stack_depth"
# A few seconds under valgrind; the counts are only printed here, the targets are judged by
# bench/run.sh on a Release build.
QVRAD_CALLGRIND_CALLS=20 timeout 60 "$QVRAD_ROOT/bench/callgrind.sh" "$b"
