#!/usr/bin/env bash
# The libFuzzer targets, built with clang-14 (ASan + UBSan) and run each for 30 seconds
# (QVRAD_FUZZ_SECONDS overrides; longer campaigns are run by hand) from the committed seeds and regression inputs. Any finding fails.
set -euo pipefail
# Mbed TLS compiled in (fuzz/run.sh passes QVRAD_MBEDTLS_SOURCE on).
# shellcheck source=scripts/stage-tls.sh
. "$QVRAD_ROOT/scripts/stage-tls.sh"
exec "$QVRAD_ROOT/fuzz/run.sh" "${QVRAD_FUZZ_SECONDS:-30}" "$QVRAD_OUT/fuzz"
