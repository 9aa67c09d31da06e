#!/usr/bin/env bash
# Quick check that the test server of DIR (started by server.sh) accepts alice and rejects a
# wrong password with its Reply-Message, on 127.0.0.1 and on ::1. Usage: smoke.sh DIR
set -euo pipefail

[ $# -eq 1 ] || {
  echo "usage: $0 DIR" >&2
  exit 2
}
env_file="$1/ports.env"
[ -f "$env_file" ] || {
  echo "smoke.sh: $env_file missing: is the server started?" >&2
  exit 1
}
# shellcheck disable=SC1090
. "$env_file"

# ask HOST USER PASSWORD: radclient's view of one Access-Request to the MAIN listener on HOST;
# never fails on its own, the caller judges.
ask() {
  printf 'User-Name = "%s", User-Password = "%s", Message-Authenticator = 0x00\n' "$2" "$3" |
    radclient -x -t 2 -r 1 "$1:$QVRAD_FR_PORT_MAIN" auth "$QVRAD_FR_SECRET_MAIN" 2>&1 || true
}

expect() {
  local what=$1 out=$2 code=$3 message=$4
  if grep -q "^Received $code " <<<"$out" && grep -qxF "	Reply-Message = \"$message\"" <<<"$out"; then
    echo "ok: $what"
    return 0
  fi
  echo "FAIL: $what: want $code with Reply-Message \"$message\"; radclient said:" >&2
  echo "$out" >&2
  return 1
}

hosts=("$QVRAD_FR_HOST")
if [ -n "${QVRAD_FR_HOST6:-}" ]; then
  hosts+=("[$QVRAD_FR_HOST6]")
else
  echo "skipped on ::1: ${QVRAD_FR_NO_IPV6:-the server does not listen there}"
fi
status=0
for host in "${hosts[@]}"; do
  expect "alice accepted on $host" "$(ask "$host" alice alice-pass)" Access-Accept "Welcome, alice" ||
    status=1
  expect "wrong password rejected on $host" "$(ask "$host" alice wrong-pass)" Access-Reject \
    "Access denied" || status=1
done
exit "$status"
