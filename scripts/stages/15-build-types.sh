#!/usr/bin/env bash
# The build types the other stages do not compile, compile only (no test runs): Release with GCC
# (-O3, where GCC's flow-based warnings appear: library, tools, benchmarks) and Debug with
# clang-14 (the whole tree, tests included), with warnings as errors and Mbed TLS compiled in.
# Then the README's from-source line on a machine with only a compiler and CMake (see bare
# below), which has no Mbed TLS sources either.
set -euo pipefail
root="$QVRAD_ROOT"
jobs="${QVRAD_JOBS:-2}"
# shellcheck source=scripts/stage-tls.sh
. "$root/scripts/stage-tls.sh"

build() {
  local name=$1 type=$2 cc=$3 cxx=$4 tests=$5 start=$SECONDS
  local b="$QVRAD_OUT/$name"
  CC=$cc CXX=$cxx cmake -S "$root" -B "$b" -DCMAKE_BUILD_TYPE="$type" -DQVRAD_BUILD_TESTS="$tests" \
    -DQVRAD_BUILD_TOOLS=ON -DQVRAD_BUILD_BENCH=ON -DQVRAD_WERROR=ON "${qvrad_tls_args[@]}" \
    >/dev/null
  cmake --build "$b" -j "$jobs"
  echo "--- $name built in $((SECONDS - start)) s"
}

# Release: the library, the tools and the benchmarks; the tests' own code is compiled with GCC in
# stage 10-linux, which keeps the whole run within its time.
build release-gcc Release gcc g++ OFF
build debug-clang Debug clang-14 clang++-14 ON

# The README's from-source line (cmake -B, --build, --install) as a user without GoogleTest,
# Google Benchmark, OpenSSL or Python runs it (hidden from find_package here), and without the
# Mbed TLS sources: configure says in one line each that the tests are not built and that TLS is
# off, the library and qvrad-auth build and install, and a C consumer of the installed tree and
# the login example of examples/ build through the CMake package and through pkg-config and run.
bare() {
  local b="$QVRAD_OUT/bare" prefix="$QVRAD_OUT/bare-prefix" start=$SECONDS line
  rm -rf "$prefix"
  # Nothing of the other builds' Mbed TLS or compiler cache reaches this one.
  env -u QVRAD_MBEDTLS_SOURCE -u CMAKE_C_COMPILER_LAUNCHER \
    cmake -S "$root" -B "$b" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
    -DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON -DCMAKE_DISABLE_FIND_PACKAGE_Python3=ON \
    >"$b.configure.log" 2>&1 || { cat "$b.configure.log"; return 1; }
  line="$(grep -- '-- qvRadClient: tests not built' "$b.configure.log")" || {
    cat "$b.configure.log"; echo "FAIL bare: no line saying the tests are not built"; return 1; }
  echo "$line"
  line="$(grep -- '-- qvRadClient: TLS off: ' "$b.configure.log")" || {
    cat "$b.configure.log"; echo "FAIL bare: no line saying TLS is off"; return 1; }
  echo "$line"
  cmake --build "$b" -j "$jobs"
  cmake --install "$b" >/dev/null
  # Installed where it was configured to go, the pkg-config file is used as it is.
  grep -qxF "prefix=$prefix" "$prefix/lib/pkgconfig/qvRadClient.pc" || {
    echo "FAIL bare: qvRadClient.pc does not name the prefix $prefix"; return 1; }
  cmake -DPREFIX="$prefix" -DBUILD_DIR="$b" -DWORK_DIR="$QVRAD_OUT/bare-consumer" \
    -DCONSUMER="$root/tests/package/consumer" -DEXAMPLE="$root/examples" \
    -DGENERATOR="Unix Makefiles" \
    -P "$root/tests/package/install_test.cmake" >"$b.consumer.log" 2>&1 || {
    cat "$b.consumer.log"; return 1; }
  grep -- '-- consumer' "$b.consumer.log"
  [[ "$("$prefix/bin/qvrad-auth" --version)" == *"Quorvel SDK"* ]] || {
    echo "FAIL bare: the installed qvrad-auth does not run"; return 1; }
  echo "--- bare built, installed and consumed in $((SECONDS - start)) s"
}
bare
