#!/usr/bin/env bash
# Sanitizers and valgrind, each in its own build:
#   asan      the whole Linux CTest suite (interop tests included) under ASan + UBSan
#   tsan      the thread tests (HardeningThreads.*, label "threads") under ThreadSanitizer
#   memcheck  valgrind memcheck over 500 mixed calls (tests/hardening/memcheck_driver.cpp)
# QVRAD_SANITIZERS picks a subset ("asan tsan memcheck" by default); QVRAD_ASAN_BUILD,
# QVRAD_TSAN_BUILD and QVRAD_MEMCHECK_BUILD move a build elsewhere.
set -euo pipefail
root="$QVRAD_ROOT"
jobs="${QVRAD_JOBS:-2}"
parts=" ${QVRAD_SANITIZERS:-asan tsan memcheck} "
# shellcheck source=scripts/stage-tls.sh
. "$QVRAD_ROOT/scripts/stage-tls.sh"
status=0
stamp() { echo "--- $1 ($((SECONDS - start)) s)"; }
start=$SECONDS

if [[ "$parts" == *" asan "* ]]; then
  b="${QVRAD_ASAN_BUILD:-$QVRAD_OUT/asan}"
  cmake -S "$root" -B "$b" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQVRAD_SANITIZE=address \
    -DQVRAD_BUILD_TESTS=ON -DQVRAD_WERROR=ON "${qvrad_tls_args[@]}"
  cmake --build "$b" -j "$jobs"
  stamp "asan built"
  # Leaks are errors too; every UBSan finding stops the test that made it.
  # verify_asan_link_order=0: the package test runs a plain C consumer of the instrumented library.
  ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:check_initialization_order=1:verify_asan_link_order=0" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir "$b" --output-on-failure -j "$jobs" --timeout 600 || status=1
  stamp "asan suite done"
fi

if [[ "$parts" == *" tsan "* ]]; then
  b="${QVRAD_TSAN_BUILD:-$QVRAD_OUT/tsan}"
  cmake -S "$root" -B "$b" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQVRAD_SANITIZE=thread \
    -DQVRAD_BUILD_TESTS=ON -DQVRAD_BUILD_TOOLS=OFF -DQVRAD_WERROR=ON "${qvrad_tls_args[@]}"
  cmake --build "$b" -j "$jobs" --target qvrad_thread_tests
  stamp "tsan built"
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
    ctest --test-dir "$b" -R "^HardeningThreads[.]" --output-on-failure --timeout 600 \
      --no-tests=error || status=1
  stamp "tsan threads done"
fi

if [[ "$parts" == *" memcheck "* ]]; then
  b="${QVRAD_MEMCHECK_BUILD:-$QVRAD_OUT/memcheck}"
  cmake -S "$root" -B "$b" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQVRAD_BUILD_TESTS=ON \
    -DQVRAD_BUILD_TOOLS=OFF -DQVRAD_WERROR=ON "${qvrad_tls_args[@]}"
  cmake --build "$b" -j "$jobs" --target qvrad_memcheck_driver
  stamp "memcheck driver built"
  valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect --track-fds=yes --num-callers=30 \
    "$b/tests/hardening/qvrad_memcheck_driver" || status=1
  stamp "valgrind done"
fi
exit "$status"
