#!/usr/bin/env bash
# The README's first command, as a newcomer runs it: scripts/demo.sh builds qvrad-auth (Release),
# logs in accepted and rejected against a private FreeRADIUS and stops it. Its build goes into
# the CI output folder instead of build-demo/ of the tree.
set -euo pipefail
QVRAD_DEMO_BUILD="$QVRAD_OUT/demo" bash "$QVRAD_ROOT/scripts/demo.sh"
