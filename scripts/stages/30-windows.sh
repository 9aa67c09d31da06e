#!/usr/bin/env bash
# MinGW-w64 cross builds (warnings are errors) of the Win32 and Win64 DLLs. Win32: the PE check
# only, since nothing here runs 32-bit programs. Win64: the whole CTest suite under wine.
set -euo pipefail
root="$QVRAD_ROOT"
jobs="${QVRAD_JOBS:-2}"

b32="${QVRAD_WIN32_BUILD:-$QVRAD_OUT/win32}"
cmake -S "$root" -B "$b32" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-w64-mingw32.cmake" -DQVRAD_BUILD_TESTS=ON \
  -DQVRAD_WERROR=ON
cmake --build "$b32" -j "$jobs"
# From the tests/windows directory alone: the unit tests' list would have to be read by running
# the 32-bit test program.
ctest --test-dir "$b32/tests/windows" -R '^pe_' --output-on-failure --timeout 120 --no-tests=error

b64="${QVRAD_WIN64_BUILD:-$QVRAD_OUT/win64}"
cmake -S "$root" -B "$b64" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64-w64-mingw32.cmake" -DQVRAD_BUILD_TESTS=ON \
  -DQVRAD_WERROR=ON
cmake --build "$b64" -j "$jobs"
status=0
ctest --test-dir "$b64" --output-on-failure -j "$jobs" --timeout 300 || status=$?

# The emulator script keeps an idle anchor program in the prefix between tests (PIDs listed in
# wineprefix.anchor): stop those still running, each checked to be an anchor before the signal,
# then wait for the prefix's wine server to leave.
export WINEPREFIX="$b64/wineprefix"
if [ -f "$WINEPREFIX.anchor" ]; then
  while read -r anchor _; do
    if grep -qa qvrad_wine_anchor "/proc/$anchor/cmdline" 2>/dev/null; then
      kill "$anchor" 2>/dev/null || true
    fi
  done < "$WINEPREFIX.anchor"
  rm -f "$WINEPREFIX.anchor"
fi
if [ -d "$WINEPREFIX" ]; then
  timeout 30 /usr/lib/wine/wineserver -w || /usr/lib/wine/wineserver -k || true
fi
exit "$status"
