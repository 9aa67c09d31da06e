#!/usr/bin/env bash
# The README's first command, as a newcomer runs it: scripts/demo.sh builds qvrad-auth (Release),
# logs in accepted and rejected against a private FreeRADIUS and stops it. Its build goes into
# the CI output folder instead of build-demo/ of the tree, with Mbed TLS compiled in.
set -euo pipefail
# shellcheck source=scripts/stage-tls.sh
. "$QVRAD_ROOT/scripts/stage-tls.sh"
# The C compiler (Mbed TLS's) named gcc, as in stage 15-build-types' release-gcc, whose objects
# ccache then hands over (ccache tells compilers apart by the name they are called by as well).
CC=gcc CMAKE_C_COMPILER_LAUNCHER="$qvrad_c_launcher" QVRAD_DEMO_BUILD="$QVRAD_OUT/demo" \
  bash "$QVRAD_ROOT/scripts/demo.sh" | tee "$QVRAD_OUT/demo.out"
# It says whether its build has TLS: with the run's sources, it has.
want="TLS on: "
[ -n "$QVRAD_MBEDTLS_SOURCE" ] || want="TLS off: "
grep -q "^$want" "$QVRAD_OUT/demo.out" || { echo "FAIL: the demo does not say '$want...'"; exit 1; }
