#!/usr/bin/env bash
# MinGW-w64 cross build (warnings are errors) of the Win32 DLL, its PE check, and its whole CTest
# suite (unit, Windows, FreeRADIUS interop and qvrad-auth tests) run by 32-bit wine under
# qemu-i386, which scripts/win32-emulation.sh fetches once into the build folder.
set -euo pipefail
root="$QVRAD_ROOT"
jobs="${QVRAD_JOBS:-2}"
b32="${QVRAD_WIN32_BUILD:-$QVRAD_OUT/win32}"
emu="$QVRAD_OUT/win32-emulation"
# shellcheck source=scripts/stage-tls.sh
. "$QVRAD_ROOT/scripts/stage-tls.sh"

rc=0
start=$SECONDS
"$root/scripts/win32-emulation.sh" "$emu" >/dev/null || rc=$?
echo "35-win32: emulation prepared in $((SECONDS - start)) s"
emulation=()
case $rc in
  0) emulation=(-DQVRAD_WIN32_EMULATION="$emu") ;;
  77) echo "35-win32: THE WIN32 SUITE DOES NOT RUN: $(cat "$emu/UNAVAILABLE"); the DLL is built" \
        "and PE-checked only" ;;
  *) exit "$rc" ;;
esac
# Configured each time with or without the emulation, as it is there now.
cmake -S "$root" -B "$b32" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-w64-mingw32.cmake" -DQVRAD_BUILD_TESTS=ON \
  -DQVRAD_WERROR=ON -UQVRAD_WIN32_EMULATION "${emulation[@]}" "${qvrad_tls_args[@]}"
cmake --build "$b32" -j "$jobs"
if [ $rc -ne 0 ]; then
  # The PE check alone: nothing here runs the tests.
  exec ctest --test-dir "$b32/tests/windows" -R '^pe_' --output-on-failure --timeout 120 \
    --no-tests=error
fi

status=0
start=$SECONDS
ctest --test-dir "$b32" --output-on-failure -j "$jobs" --timeout 300 || status=$?
# What the emulator script left in the prefix (its idle anchor, the wine server) is stopped.
"$root/scripts/wine-stop.sh" "$b32/wineprefix"
echo "35-win32: tests and wine's stop took $((SECONDS - start)) s"
exit "$status"
