#!/usr/bin/env bash
# The one test command: installs what is missing, then builds and tests every variant.
# Each stage lives in scripts/stages/ and runs in name order; any failure fails the run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export QVRAD_ROOT="$root"
export QVRAD_OUT="${QVRAD_OUT:-$root/build-ci}"
export QVRAD_JOBS="${QVRAD_JOBS:-$(nproc)}"
mkdir -p "$QVRAD_OUT"

"$root/scripts/deps.sh"

failed=()
for stage in "$root"/scripts/stages/*.sh; do
  name="$(basename "$stage" .sh)"
  if [ -n "${QVRAD_STAGES:-}" ] && [[ " $QVRAD_STAGES " != *" $name "* ]]; then
    continue
  fi
  echo "=== stage $name ==="
  start=$SECONDS
  if bash "$stage"; then
    echo "=== stage $name passed in $((SECONDS - start)) s ==="
  else
    echo "=== stage $name FAILED after $((SECONDS - start)) s ==="
    failed+=("$name")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "failed stages: ${failed[*]}"
  exit 1
fi
echo "all stages passed"
