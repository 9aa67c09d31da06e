#!/usr/bin/env bash
# The build types the other stages do not compile, compile only (no test runs): Release with GCC
# (-O3, where GCC's flow-based warnings appear: library, tools, benchmarks) and Debug with
# clang-14 (the whole tree, tests included), with warnings as errors.
set -euo pipefail
root="$QVRAD_ROOT"
jobs="${QVRAD_JOBS:-2}"

build() {
  local name=$1 type=$2 cc=$3 cxx=$4 tests=$5 start=$SECONDS
  local b="$QVRAD_OUT/$name"
  CC=$cc CXX=$cxx cmake -S "$root" -B "$b" -DCMAKE_BUILD_TYPE="$type" -DQVRAD_BUILD_TESTS="$tests" \
    -DQVRAD_BUILD_TOOLS=ON -DQVRAD_BUILD_BENCH=ON -DQVRAD_WERROR=ON >/dev/null
  cmake --build "$b" -j "$jobs"
  echo "--- $name built in $((SECONDS - start)) s"
}

# Release: the library, the tools and the benchmarks; the tests' own code is compiled with GCC in
# stage 10-linux, which keeps the whole run within its time.
build release-gcc Release gcc g++ OFF
build debug-clang Debug clang-14 clang++-14 ON
