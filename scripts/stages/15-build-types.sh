#!/usr/bin/env bash
# The build types the other stages do not compile, compile only (no test runs): Release with GCC
# (-O3, where GCC's flow-based warnings appear: library, tools, benchmarks) with Mbed TLS compiled
# in, and Debug with clang-14 (the whole tree, tests included) against a system Mbed TLS (see
# system_mbedtls below: a few logins over TLS prove it), warnings as errors in both. Then the
# README's from-source line on a machine with only a compiler and CMake (see bare below), which
# has no Mbed TLS either.
set -euo pipefail
root="$QVRAD_ROOT"
jobs="${QVRAD_JOBS:-2}"
# shellcheck source=scripts/stage-tls.sh
. "$root/scripts/stage-tls.sh"

build() {
  local name=$1 type=$2 cc=$3 cxx=$4 tests=$5 start=$SECONDS
  local b="$QVRAD_OUT/$name"
  shift 5
  CC=$cc CXX=$cxx cmake -S "$root" -B "$b" -DCMAKE_BUILD_TYPE="$type" -DQVRAD_BUILD_TESTS="$tests" \
    -DQVRAD_BUILD_TOOLS=ON -DQVRAD_BUILD_BENCH=ON -DQVRAD_WERROR=ON "${qvrad_tls_args[@]}" "$@" \
    >"$b.configure.log" || { cat "$b.configure.log"; return 1; }
  grep -- '-- qvRadClient: TLS ' "$b.configure.log"
  cmake --build "$b" -j "$jobs"
  echo "--- $name built in $((SECONDS - start)) s"
}

# A system Mbed TLS as Debian 13 installs one (its package's configuration: upstream's with
# threading on; shared libraries with their CMake package and pkg-config files), made once from
# the fetched sources into $QVRAD_OUT/mbedtls-system/prefix (C through the compiler cache) and
# reused while the sources stay the same. Prints the prefix.
system_mbedtls() {
  local d="$QVRAD_OUT/mbedtls-system" stamp setting start=$SECONDS
  stamp="$(cat "$QVRAD_MBEDTLS_SOURCE/.complete" 2>/dev/null || echo "$QVRAD_MBEDTLS_SOURCE")"
  if [ "$(cat "$d/prefix/.complete" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$d"
    mkdir -p "$d/src"
    tar -C "$QVRAD_MBEDTLS_SOURCE" --exclude=./tests -cf - . | tar -xf - -C "$d/src"
    for setting in MBEDTLS_THREADING_C MBEDTLS_THREADING_PTHREAD MBEDTLS_DEPRECATED_WARNING; do
      python3 "$d/src/scripts/config.py" -f "$d/src/include/mbedtls/mbedtls_config.h" set "$setting"
    done
    { cmake -S "$d/src" -B "$d/build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$d/prefix" \
        -DUSE_SHARED_MBEDTLS_LIBRARY=ON -DUSE_STATIC_MBEDTLS_LIBRARY=OFF -DENABLE_PROGRAMS=OFF \
        -DENABLE_TESTING=OFF ${qvrad_c_launcher:+-DCMAKE_C_COMPILER_LAUNCHER=$qvrad_c_launcher} &&
      cmake --build "$d/build" -j "$jobs" && cmake --install "$d/build"; } >"$d/build.log" 2>&1 ||
      { tail -n 30 "$d/build.log" >&2; echo "FAIL: the system Mbed TLS did not build" >&2; return 1; }
    echo "$stamp" >"$d/prefix/.complete"
    echo "--- system Mbed TLS built into $d/prefix in $((SECONDS - start)) s" >&2
  fi
  echo "$d/prefix"
}

# Logins over TLS with the debug-clang build's qvrad-auth, which has the system Mbed TLS linked
# in: certificates (TLS 1.3) and the PSK (TLS 1.2) against the private FreeRADIUS 3.2.1, which
# goes however the subshell ends.
system_tls_logins() (
  state="$QVRAD_OUT/system-tls-server"
  tool="$QVRAD_OUT/debug-clang/tools/qvrad-auth"
  ldd "$tool" | grep -qF " => $1/lib/libmbedtls.so" || {
    echo "FAIL: debug-clang's qvrad-auth does not load the system Mbed TLS of $1"; exit 1; }
  trap 'bash "$root/tests/freeradius/server.sh" stop "$state" || true' EXIT
  bash "$root/tests/freeradius/server.sh" start "$state" --tls "$QVRAD_OUT/system-tls-certs" >/dev/null
  # shellcheck disable=SC1091
  . "$state/ports.env"
  out=$(printf 'alice-pass\n' | "$tool" --server tls://127.0.0.1 --port "$QVRAD_FR_TLS_PORT_CERT" \
    --user alice --password-stdin --tls-ca "$QVRAD_FR_TLS_CA" --tls-cert "$QVRAD_FR_TLS_CLIENT_CERT" \
    --tls-key "$QVRAD_FR_TLS_CLIENT_KEY" -v 2>&1) && [[ "$out" == *"TLSv1.3"*"Welcome, alice"* ]] ||
    { echo "$out"; echo "FAIL: a login over TLS with certificates and the system Mbed TLS"; exit 1; }
  out=$(printf 'alice-pass\n' | "$tool" --server tls://127.0.0.1 --port "$QVRAD_FR_TLS_PORT_PSK" \
    --user alice --password-stdin --tls-psk-identity "$QVRAD_FR_TLS_PSK_IDENTITY" \
    --tls-psk-file "$QVRAD_FR_TLS_PSK_KEY_FILE" --tls-psk-tls12 -v 2>&1) &&
    [[ "$out" == *"TLSv1.2"*"Welcome, alice"* ]] ||
    { echo "$out"; echo "FAIL: a login over TLS with a PSK and the system Mbed TLS"; exit 1; }
  echo "--- debug-clang's qvrad-auth logged in over TLS 1.3 (certificates) and 1.2 (PSK)"
)

# Release: the library, the tools and the benchmarks; the tests' own code is compiled with GCC in
# stage 10-linux, which keeps the whole run within its time. Its Mbed TLS objects are the demo's
# (stage 20-demo, through the compiler cache).
build release-gcc Release gcc g++ OFF
# Debug: the whole tree, against the system Mbed TLS (and it must: QVRAD_TLS=ON) where the run has
# the sources to make one, so that every test compiles against a configuration not ours; its own
# Mbed TLS objects would serve no other build. Without the sources, no TLS.
if [ -n "$QVRAD_MBEDTLS_SOURCE" ]; then
  prefix=$(system_mbedtls)
  build debug-clang Debug clang-14 clang++-14 ON -DQVRAD_MBEDTLS_SOURCE= -DQVRAD_TLS=ON \
    -DCMAKE_PREFIX_PATH="$prefix"
  system_tls_logins "$prefix"
else
  build debug-clang Debug clang-14 clang++-14 ON
fi

# The README's from-source line (cmake -B, --build, --install) as a user without GoogleTest,
# Google Benchmark, OpenSSL, Python or a system Mbed TLS runs it (hidden from find_package here),
# and without the Mbed TLS sources: configure says in one line each that the tests are not built and that TLS is
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
    -DCMAKE_DISABLE_FIND_PACKAGE_MbedTLS=ON \
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
