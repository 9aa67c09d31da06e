#!/usr/bin/env bash
# The loss benchmark: qvrad-auth, radclient and pyrad log in through a seeded lossy relay in front
# of the private FreeRADIUS at 0 %, 10 % and 30 % loss each way. Prints one Markdown table.
#   bench/loss.sh [build-dir]       (default build-loss; the raw results stay in it)
# Environment: QVRAD_LOSS_LOGINS (100 per level and client), QVRAD_LOSS_LANES (8 logins at once),
# QVRAD_LOSS_SEED (1), QVRAD_LOSS_TOOL (a built qvrad-auth to use instead of building one).
# A full run takes about four minutes; the server and the relay are stopped by their PIDs however
# it ends.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-loss}"
jobs="${QVRAD_JOBS:-2}"
logins="${QVRAD_LOSS_LOGINS:-100}"
lanes="${QVRAD_LOSS_LANES:-8}"
seed="${QVRAD_LOSS_SEED:-1}"
readonly relay_polls=50       # x 0.1 s for the relay's ports file
readonly relay_seconds=3600   # the relay ends by itself after this, whatever happens here

die() {
  echo "loss.sh: $*" >&2
  exit 1
}

if [ -n "${QVRAD_LOSS_TOOL:-}" ]; then
  tool="$QVRAD_LOSS_TOOL"
else
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQVRAD_BUILD_TOOLS=ON \
    -DQVRAD_BUILD_TESTS=OFF -DQVRAD_BUILD_BENCH=OFF -DQVRAD_BUILD_FUZZ=OFF >/dev/null
  cmake --build "$build" -j "$jobs" --target qvrad-auth >/dev/null
  tool="$build/tools/qvrad-auth"
fi
[ -x "$tool" ] || die "no qvrad-auth at $tool"

# pyrad comes from Debian's python3-pyrad: use the system's python3 when the one on PATH (a
# virtual environment, say) cannot import it.
py=python3
if ! python3 -c 'import pyrad' 2>/dev/null && [ -x /usr/bin/python3 ] &&
  /usr/bin/python3 -c 'import pyrad' 2>/dev/null; then
  py=/usr/bin/python3
fi

out="$build/loss-results"
state="$out/freeradius"
mkdir -p "$out"
relay_pid=""
cleanup() {
  if [ -n "$relay_pid" ]; then
    kill -TERM "$relay_pid" 2>/dev/null || true
    wait "$relay_pid" 2>/dev/null || true
  fi
  bash "$root/tests/freeradius/server.sh" stop "$state" || true
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

load="$(cut -d' ' -f1-3 /proc/loadavg)"
bash "$root/tests/freeradius/server.sh" start "$state" >/dev/null ||
  die "the FreeRADIUS test server did not start (log: $state/radiusd.log)"
# shellcheck disable=SC1091
. "$state/ports.env"
secret_file="$out/secret"
(
  umask 077
  printf '%s\n' "$QVRAD_FR_SECRET_MAIN" >"$secret_file"
)

ports="$out/relay.ports"
rm -f "$ports"
"$py" "$root/bench/loss_relay.py" --upstream "$QVRAD_FR_PORT_MAIN" --lanes "$lanes" \
  --seed "$seed" --ports-file "$ports" --max-seconds "$relay_seconds" &
relay_pid=$!
for ((i = 0; i < relay_polls; i++)); do
  [ ! -f "$ports" ] || break
  kill -0 "$relay_pid" 2>/dev/null || die "the relay exited during start-up"
  sleep 0.1
done
[ -f "$ports" ] || die "the relay wrote no ports in $((relay_polls / 10)) s"

echo "Machine: $(. /etc/os-release && echo "$PRETTY_NAME"), $(uname -m), $(nproc) cores," \
  "load before the run $load; FreeRADIUS $QVRAD_FR_VERSION; $logins logins per level and" \
  "client, $lanes at a time, seed $seed"
echo
"$py" "$root/bench/loss_logins.py" --relay-ports "$ports" --secret-file "$secret_file" \
  --tool "$tool" --out "$out" --logins "$logins"
