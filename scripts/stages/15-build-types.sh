#!/usr/bin/env bash
# The build types the other stages do not compile, compile only (no test runs): Release with GCC
# (-O3, where GCC's flow-based warnings appear) and Debug with clang-14, each the whole tree
# (library, tests, tools, benchmarks) with warnings as errors.
set -euo pipefail
root="$QVRAD_ROOT"
jobs="${QVRAD_JOBS:-2}"

build() {
  local name=$1 type=$2 cc=$3 cxx=$4 start=$SECONDS
  local b="$QVRAD_OUT/$name"
  CC=$cc CXX=$cxx cmake -S "$root" -B "$b" -DCMAKE_BUILD_TYPE="$type" -DQVRAD_BUILD_TESTS=ON \
    -DQVRAD_BUILD_TOOLS=ON -DQVRAD_BUILD_BENCH=ON -DQVRAD_WERROR=ON >/dev/null
  cmake --build "$b" -j "$jobs"
  echo "--- $name built in $((SECONDS - start)) s"
}

build release-gcc Release gcc g++
build debug-clang Debug clang-14 clang++-14
