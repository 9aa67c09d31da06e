#!/usr/bin/env bash
# Native Linux build (warnings are errors, Mbed TLS compiled in) and the whole CTest suite,
# interop tests included.
set -euo pipefail
# shellcheck source=scripts/stage-tls.sh
. "$QVRAD_ROOT/scripts/stage-tls.sh"
b="$QVRAD_OUT/linux"
cmake -S "$QVRAD_ROOT" -B "$b" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQVRAD_BUILD_TESTS=ON \
  -DQVRAD_BUILD_BENCH=ON -DQVRAD_WERROR=ON "${qvrad_tls_args[@]}"
cmake --build "$b" -j "$QVRAD_JOBS"
ctest --test-dir "$b" --output-on-failure -j "$QVRAD_JOBS" --timeout 300
