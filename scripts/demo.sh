#!/usr/bin/env bash
# The first thing to run in a fresh clone (Debian 12, as root): installs what is missing, builds
# qvrad-auth and the library (Release) into build-demo/, starts a private FreeRADIUS on
# 127.0.0.1 with two demo users, logs in once accepted and once rejected, and stops the server.
#
# Nothing system-wide changes beyond the installed packages: the server's configuration, state
# and log stay in build-demo/, its ports are free ones picked at start, the system's FreeRADIUS
# service is neither started nor touched. Running it again is fine. The screen shows the four
# steps and the two logins; apt-get's and the build's output go to packages.log and build.log in
# build-demo/, shown only when that step fails.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QVRAD_DEMO_BUILD:-$root/build-demo}"
jobs="${QVRAD_JOBS:-$(nproc 2>/dev/null || echo 2)}"
state="$build/freeradius"

step() { printf '\n== %s\n' "$*"; }
fail() {
  echo "demo.sh: $*" >&2
  exit 1
}

# ---- 1. packages ------------------------------------------------------------------------------
step "1/4 packages"
packages=(cmake make g++ python3 freeradius freeradius-utils)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "all present: ${packages[*]}"
else
  [ "$(id -u)" -eq 0 ] || fail "missing packages and not root; as root run: apt-get install -y --no-install-recommends ${missing[*]}"
  # apt-get writes hundreds of lines: they go to a log, shown only when the install fails.
  mkdir -p "$build"
  apt_log="$build/packages.log"
  echo "installing: ${missing[*]} (apt-get's output: $apt_log)"
  export DEBIAN_FRONTEND=noninteractive
  # The freeradius package would start the system-wide service; a policy-rc.d that refuses
  # service starts keeps it stopped, and goes again right after.
  policy=/usr/sbin/policy-rc.d
  made_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod +x "$policy"
    made_policy=1
    trap 'rm -f "$policy"' EXIT
  fi
  apt_status=0
  { apt-get update -q && apt-get install -y --no-install-recommends "${missing[@]}"; } \
    >"$apt_log" 2>&1 || apt_status=$?
  if [ "$made_policy" -eq 1 ]; then
    rm -f "$policy"
    trap - EXIT
  fi
  if [ "$apt_status" -ne 0 ]; then
    cat "$apt_log" >&2
    fail "installing the packages failed (exit status $apt_status; log: $apt_log)"
  fi
  echo "installed"
fi

# ---- 2. build ---------------------------------------------------------------------------------
step "2/4 building qvrad-auth and libqvRadClient (Release) in $build"
mkdir -p "$build"
log="$build/build.log"
# With Mbed TLS compiled in when QVRAD_MBEDTLS_SOURCE names its tree (scripts/mbedtls-source.sh
# fetches it; CI's demo stage gives it), else the system's where CMake finds one, else without
# TLS; the demo's logins are plain RADIUS either way, and it says which build it made.
tls=()
[ -z "${QVRAD_MBEDTLS_SOURCE+set}" ] || tls=(-DQVRAD_MBEDTLS_SOURCE="$QVRAD_MBEDTLS_SOURCE")
if ! { cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQVRAD_BUILD_TESTS=OFF \
  -DQVRAD_BUILD_TOOLS=ON -DQVRAD_BUILD_BENCH=OFF -DQVRAD_BUILD_FUZZ=OFF "${tls[@]}" &&
  cmake --build "$build" --target qvrad-auth -j "$jobs"; } >"$log" 2>&1; then
  tail -n 30 "$log" >&2
  fail "build failed (whole log: $log)"
fi
tool="$build/tools/qvrad-auth"
[ -x "$tool" ] || fail "no $tool after the build (log: $log)"
echo "built $tool"
tls_line=$(grep -m 1 -- '-- qvRadClient: TLS ' "$log" || true)
tls_line=${tls_line#-- qvRadClient: }
echo "${tls_line:-TLS: not said by configure (log: $log)}"
case "$tls_line" in
  "TLS off"*) echo "  (RADIUS over TLS needs Mbed TLS 3.6: QVRAD_MBEDTLS_SOURCE=\$(scripts/mbedtls-source.sh" \
    "build-demo/mbedtls) scripts/demo.sh, or the system's; see the README, Installing)" ;;
esac
"$tool" --version

# ---- 3. the private FreeRADIUS ----------------------------------------------------------------
step "3/4 starting a private FreeRADIUS on 127.0.0.1"
users="$build/demo-users.tsv"
# The users table format is explained in tests/freeradius/users.tsv; fields are TAB-separated.
printf '%s\n' \
  "# Demo users for scripts/demo.sh (generated; edits are lost at the next run)." \
  $'alice\taccept\talice\talice-pass\tWelcome, alice' \
  $'bob\taccept\tbob\tbob-pass\tHello bob, you are in' \
  $'bob-wrong\treject\tbob\tnot-bobs-password\tAccess denied' >"$users"

stop_server() { bash "$root/tests/freeradius/server.sh" stop "$state" || true; }
# From here on the server goes, however the script ends (server.sh stops it by its PID).
trap stop_server EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
QVRAD_FR_USERS_TSV="$users" bash "$root/tests/freeradius/server.sh" start "$state" >/dev/null ||
  fail "the FreeRADIUS test server did not start (log: $state/radiusd.log)"
# shellcheck disable=SC1091
. "$state/ports.env"
fr_version=$(freeradius -v 2>/dev/null | head -n 1 || true)
echo "${fr_version:-FreeRADIUS}"
echo "listening on $QVRAD_FR_HOST port $QVRAD_FR_PORT_MAIN (debug log: $QVRAD_FR_LOG)"

# The secret goes in a file only we can read: on the command line others could see it in ps.
secret_file="$state/demo-secret"
(
  umask 077
  printf '%s\n' "$QVRAD_FR_SECRET_MAIN" >"$secret_file"
)

# ---- 4. two logins ----------------------------------------------------------------------------
step "4/4 logging in with qvrad-auth"
failures=0
# login USER PASSWORD WANT_TEXT WANT_STATUS: runs the tool, password on stdin, and shows what it
# printed and its exit status.
login() {
  local user=$1 password=$2 want=$3 want_status=$4 out status=0
  echo
  echo "\$ echo $password | qvrad-auth --server $QVRAD_FR_HOST --port $QVRAD_FR_PORT_MAIN" \
    "--secret-file $(printf %q "$secret_file") --user $user --password-stdin"
  out=$(printf '%s\n' "$password" | "$tool" --server "$QVRAD_FR_HOST" --port "$QVRAD_FR_PORT_MAIN" \
    --secret-file "$secret_file" --user "$user" --password-stdin --timeout 5) || status=$?
  echo "printed:     $out"
  echo "exit status: $status"
  if [ "$status" -ne "$want_status" ] || [ "$out" != "$want" ]; then
    echo "  unexpected: wanted \"$want\" with exit status $want_status" >&2
    failures=$((failures + 1))
  fi
}
login alice alice-pass "Welcome, alice" 0
echo "  (an Access-Accept, exit status 0: the server's Reply-Message for alice)"
login bob not-bobs-password "Access denied" 1
echo "  (an Access-Reject, exit status 1, with the server's Reply-Message: the exit status, not the"
echo "   text, tells an Accept from a Reject. 2 would be no verified reply, 3 more challenges than"
echo "   the tool takes, 4 a refused argument, 5 the library's own failure, 6 a challenge left"
echo "   unanswered.)"

echo
if [ "$failures" -ne 0 ]; then
  fail "$failures login(s) did not give what they should"
fi
echo "demo done: the server is stopped; run again any time, or see docs/qvrad-auth.md for qvrad-auth."
