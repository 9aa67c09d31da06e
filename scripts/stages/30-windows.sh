#!/usr/bin/env bash
# MinGW-w64 cross build (warnings are errors) of the Win64 DLL and its whole CTest suite under
# wine64. The Win32 DLL is stage 35-win32's.
set -euo pipefail
root="$QVRAD_ROOT"
jobs="${QVRAD_JOBS:-2}"
# shellcheck source=scripts/stage-tls.sh
. "$QVRAD_ROOT/scripts/stage-tls.sh"

b64="${QVRAD_WIN64_BUILD:-$QVRAD_OUT/win64}"
cmake -S "$root" -B "$b64" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64-w64-mingw32.cmake" -DQVRAD_BUILD_TESTS=ON \
  -DQVRAD_WERROR=ON "${qvrad_tls_args[@]}"
cmake --build "$b64" -j "$jobs"
status=0
ctest --test-dir "$b64" --output-on-failure -j "$jobs" --timeout 300 || status=$?

# What the emulator script left in the prefix (its idle anchor, the wine server) is stopped.
"$root/scripts/wine-stop.sh" "$b64/wineprefix"
exit "$status"
