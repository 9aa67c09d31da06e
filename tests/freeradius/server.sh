#!/usr/bin/env bash
# Starts and stops a private FreeRADIUS 3.2 server on 127.0.0.1 and ::1 for qvRadClient's interop
# tests.
# Usage: server.sh start DIR [--backports CACHE] [--tls CERTS] [--home REALM=ENV]... | stop DIR
#        | restart DIR (the same server, configuration and ports again, as a restart looks)
#   (DIR is a state folder; its path may contain spaces).
#   --backports CACHE  run the newer FreeRADIUS of Debian's backports suite (3.2.7 on bookworm,
#                      which signs every reply with a Message-Authenticator), fetched and unpacked
#                      into CACHE by scripts/freeradius-backports.sh, with that tree's libraries,
#                      dictionaries and modules; the system's server is neither used nor touched.
#                      When the mirror cannot be reached, ports.env holds QVRAD_FR_UNAVAILABLE and
#                      start exits 77 (CTest: skipped).
#   --tls CERTS        RADIUS over TLS (RFC 6614) as well, on TCP ports of its own on 127.0.0.1
#                      and ::1: a listener with mutual certificate authentication (TLS 1.2 and
#                      1.3; the client needs a certificate from the test CA) and a TLS-PSK one
#                      (RFC 9813; pinned to TLS 1.2 on 3.2.1 and to TLS 1.3 from 3.2.7 on,
#                      though either takes both when allowed: docs/freeradius.md), both with
#                      the UDP users; the material comes from tests/tls/make-certs.sh CERTS (run
#                      here, kept when complete). The server then runs threaded (-fxx, not -X):
#                      FreeRADIUS refuses TLS listeners in a single-threaded server.
#   --home REALM=ENV   a proxy instead: one MAIN listener that sends "user@REALM" (stripped to
#                      "user") to the MAIN listener of the running server whose ports.env is ENV.
#
# start writes a private configuration into DIR (nothing system-wide changes, the system service
# is never touched), runs "freeradius -X" on free UDP ports with its debug log in
# DIR/radiusd.log, waits until every listener answers Status-Server, writes DIR/ports.env
# (shell variables QVRAD_FR_*) and prints the main port. stop ends that server by its PID.
#
# DIR/ports.env (single-quoted values, sourceable by sh):
#   QVRAD_FR_HOST      127.0.0.1
#   QVRAD_FR_LISTENS   "MAIN S1 S16 S64 S256 SMAX MSGAUTH", one auth listener each, with
#   QVRAD_FR_PORT_<L>  its UDP port and
#   QVRAD_FR_SECRET_<L> its shared secret: MAIN testing123, S1 1 byte, S16 16 bytes,
#                      S64 64 bytes with punctuation, S256 256 bytes (the longest qvRadClient
#                      takes), SMAX 8182 bytes (the longest FreeRADIUS 3.2.1 reads from its
#                      configuration), MSGAUTH testing123 on a client with
#                      require_message_authenticator (requests without one are dropped)
#   QVRAD_FR_HOST6     ::1, where MAIN and S256 (QVRAD_FR_LISTENS6) listen as well, on the same
#                      ports with the same secrets, for a client at ::1; empty when ::1 cannot be
#                      bound here (IPv6 disabled), and then QVRAD_FR_NO_IPV6 says why
#   QVRAD_FR_PORT_CLOSED a UDP port picked with the others but never bound: nothing listens
#                      there (another process could take it later, which is unlikely)
#   QVRAD_FR_VERSION   the server's version (3.2.1, 3.2.7); QVRAD_FR_REALMS a proxy's realms
#   With --tls (all absent without it):
#   QVRAD_FR_TLS_PORT_CERT  TCP port of the certificate listener (127.0.0.1 and, when QVRAD_FR_HOST6
#                      is set, ::1): the server shows CERTS/server.pem (subjectAltName localhost,
#                      127.0.0.1, ::1) and requires a client certificate from CERTS/ca.pem
#   QVRAD_FR_TLS_PORT_PSK   TCP port of the TLS-PSK listener (same hosts): no certificates at all
#   QVRAD_FR_TLS_PSK_VERSION the one TLS version the PSK listener speaks: 1.2 (3.2.1) or 1.3 (3.2.7)
#   QVRAD_FR_TLS_PSK_IDENTITY the PSK identity it knows; QVRAD_FR_TLS_PSK_KEY_FILE the file with its
#                      key (64 hex digits: 32 octets)
#   QVRAD_FR_TLS_MAX_CONNECTIONS  the limit of the TLS listeners and client on ::1: FreeRADIUS's
#                      stock 16 connections (on 127.0.0.1 there is room for 256, for the peers that
#                      open a connection per check)
#   QVRAD_FR_TLS_IDLE_TIMEOUT  the seconds after which the server closes an idle TLS connection
#                      (short here; stock 30)
#   QVRAD_FR_TLS_SECRET  the RADIUS shared secret over TLS, "radsec" (RFC 6614 section 2.3)
#   QVRAD_FR_TLS_CERTS the material's folder (tests/tls/make-certs.sh lists its files);
#   QVRAD_FR_TLS_CA, QVRAD_FR_TLS_CLIENT_CERT, QVRAD_FR_TLS_CLIENT_KEY  the CA to check the server
#                      with, and the client certificate and key the certificate listener accepts
#   QVRAD_FR_USERS     the users table (users.tsv) the server was generated from
#   QVRAD_FR_LOG       FreeRADIUS's debug log, with each request as it decoded it
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# Overrides: QVRAD_FR_FREERADIUS (server binary), QVRAD_FR_PKGCONF (package configuration
# folder copied from), QVRAD_FR_USERS_TSV (users table).
pkgconf=${QVRAD_FR_PKGCONF:-/etc/freeradius/3.0}
users_tsv=${QVRAD_FR_USERS_TSV:-$here/users.tsv}

# Bounds: every wait below is a fixed number of fixed sleeps.
readonly bind_attempts=5     # fresh ports when another process took one between pick and bind
readonly ready_polls=100     # x 0.1 s for "Ready to process requests"
readonly status_tries=3      # radclient Status-Server rounds per listener (1 s timeout each)
readonly term_polls=50       # x 0.1 s after SIGTERM
readonly kill_polls=20       # x 0.1 s after SIGKILL

die() {
  echo "server.sh: $*" >&2
  exit 1
}

usage() {
  echo "usage: $0 start DIR [--backports CACHE] [--tls CERTS] [--home REALM=ENV]... | stop DIR |" \
    "restart DIR" >&2
  exit 2
}

backports=""
tls=""
homes=()
libdir=/usr/lib/freeradius
dictdir=""

find_freeradius() {
  local fr
  if [ -n "$backports" ]; then
    fr="$backports/usr/sbin/freeradius"
  elif [ -n "${QVRAD_FR_FREERADIUS:-}" ]; then
    # Explicit choice (also how the missing-server message is tested): no fallback.
    fr=$(command -v -- "$QVRAD_FR_FREERADIUS" 2>/dev/null || true)
  else
    fr=$(command -v freeradius 2>/dev/null || true)
    if [ -z "$fr" ] && [ -x /usr/sbin/freeradius ]; then fr=/usr/sbin/freeradius; fi
  fi
  if [ -z "$fr" ] && [ -n "${QVRAD_FR_FREERADIUS:-}" ]; then
    die "FreeRADIUS not found: QVRAD_FR_FREERADIUS=$QVRAD_FR_FREERADIUS is not an executable"
  fi
  if [ -z "$fr" ]; then
    die "FreeRADIUS not found (no 'freeradius' on PATH, no /usr/sbin/freeradius);" \
      "install it with: apt-get install -y --no-install-recommends freeradius freeradius-utils"
  fi
  local version
  version=$(LD_LIBRARY_PATH="$libdir" "$fr" -v 2>&1 | head -n 1 || true)
  case "$version" in
    *"Version 3.2."*) ;;
    *"Version 3."*) echo "server.sh: warning: expected FreeRADIUS 3.2, found: $version" >&2 ;;
    *) die "$fr is not FreeRADIUS 3 ($version)" ;;
  esac
  echo "$fr"
}

need_tools() {
  command -v radclient >/dev/null 2>&1 ||
    die "radclient not found; install it with: apt-get install -y --no-install-recommends freeradius-utils"
  command -v python3 >/dev/null 2>&1 || die "python3 not found"
  [ -d "$pkgconf" ] || die "FreeRADIUS configuration folder $pkgconf not found"
}

# True while PID is a live process started from this state folder's configuration. A zombie or a
# recycled PID has a different (or empty) command line, so it never matches.
is_ours() {
  local pid=$1 raddb=$2
  [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ] || return 1
  tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | grep -qxF -- "$raddb"
}

# True while our own child PID runs. Used during start-up instead of is_ours: between fork and
# exec the child still shows the shell's command line.
child_alive() {
  local pid=$1 stat
  kill -0 "$pid" 2>/dev/null || return 1
  stat=$(cat "/proc/$pid/stat" 2>/dev/null || true)
  # Field 3 of /proc/PID/stat (after the parenthesised name) is the state; Z is a zombie.
  case "${stat##*) }" in
    Z* | X* | "") return 1 ;;
  esac
}

wait_gone() {
  local pid=$1 raddb=$2 polls=$3 i
  for ((i = 0; i < polls; i++)); do
    is_ours "$pid" "$raddb" || return 0
    sleep 0.1
  done
  ! is_ours "$pid" "$raddb"
}

stop_server() {
  local dir=$1 pidfile="$1/server.pid" pid
  [ -f "$pidfile" ] || return 0
  pid=$(head -n 1 "$pidfile" 2>/dev/null || true)
  if is_ours "$pid" "$dir/raddb"; then
    kill -TERM "$pid" 2>/dev/null || true
    if ! wait_gone "$pid" "$dir/raddb" "$term_polls"; then
      echo "server.sh: FreeRADIUS $pid ignored SIGTERM, sending SIGKILL" >&2
      kill -KILL "$pid" 2>/dev/null || true
      wait_gone "$pid" "$dir/raddb" "$kill_polls" || die "FreeRADIUS $pid does not exit"
    fi
  fi
  # The log stays for post-mortems; ports.env goes so that nobody talks to a dead server.
  rm -f "$pidfile" "$dir/ports.env"
}

# pick_ports "NAMES6" NAME...: prints NAME=PORT,... with one distinct free UDP port per listener
# (a TCP port for a NAME written tcp:NAME, printed without the prefix; all sockets are bound to
# 127.0.0.1:0 at once, so the kernel hands out distinct ports, read back, then released), each
# of NAMES6 free on ::1 as well; then a second line, empty, or why ::1 cannot be bound here
# (IPv6 disabled: no AF_INET6 sockets, or no ::1), and NAMES6 is ignored.
pick_ports() {
  python3 - "$@" <<'EOF'
import socket, sys
names6, names = sys.argv[1].split(), sys.argv[2:]
held, picked, no6 = [], [], ""
try:
    with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as probe:
        probe.bind(("::1", 0))
except OSError as e:
    no6 = "cannot bind ::1: " + (e.strerror or str(e))
for name in names:
    kind = socket.SOCK_STREAM if name.startswith("tcp:") else socket.SOCK_DGRAM
    name = name[4:] if name.startswith("tcp:") else name
    for _ in range(20):  # a port taken on ::1 stays held, so the next one differs
        s = socket.socket(socket.AF_INET, kind)
        s.bind(("127.0.0.1", 0))
        held.append(s)
        port = s.getsockname()[1]
        if no6 or name not in names6:
            break
        s6 = socket.socket(socket.AF_INET6, kind)
        held.append(s6)
        try:
            s6.bind(("::1", port))
            break
        except OSError:
            pass
    else:
        sys.exit("no port free on both 127.0.0.1 and ::1 for " + name)
    picked.append("%s=%d" % (name, port))
print(",".join(picked))
print(no6)
for s in held:
    s.close()
EOF
}

log_tail() {
  echo "---- last lines of $1 ----" >&2
  tail -n 40 "$1" >&2 || true
  echo "----" >&2
}

# Status-Server (RFC 5997) to one listener, status_tries times at most; RFC 5997 section 3 wants
# a Message-Authenticator in it, which radclient only adds when asked to.
answers_status() {
  local target=$1 secret=$2 try
  for ((try = 0; try < status_tries; try++)); do
    if echo "Message-Authenticator = 0x00" |
      radclient -q -t 1 -r 1 "$target" status "$secret" >/dev/null 2>&1; then
      return 0
    fi
  done
  return 1
}

# Each listener with its own secret, on 127.0.0.1 and, for those of QVRAD_FR_LISTENS6, on ::1:
# all at once (radclient takes a quarter of a second to start), then each result in turn.
check_listeners() {
  local env=$1 name host target port_var secret_var i status=0
  local -a pids=() targets=()
  # shellcheck disable=SC1090
  . "$env"
  for name in $QVRAD_FR_LISTENS; do targets+=("$name $QVRAD_FR_HOST"); done
  for name in ${QVRAD_FR_LISTENS6:-}; do targets+=("$name [$QVRAD_FR_HOST6]"); done
  for target in "${targets[@]}"; do
    name=${target%% *}
    host=${target#* }
    port_var=QVRAD_FR_PORT_$name
    secret_var=QVRAD_FR_SECRET_$name
    answers_status "$host:${!port_var}" "${!secret_var}" &
    pids+=($!)
  done
  for i in "${!pids[@]}"; do
    if ! wait "${pids[$i]}"; then
      echo "server.sh: listener ${targets[$i]} does not answer Status-Server" >&2
      status=1
    fi
  done
  return "$status"
}

# A server that cannot run here: a ports.env in DIR that says why, and exit 77 (CTest: skipped).
unavailable() {
  local dir=$1 why=$2
  mkdir -p -- "$dir"
  printf "QVRAD_FR_UNAVAILABLE='%s'\n" "$(printf '%s' "$why" | tr -d "'\n")" >"$dir/ports.env"
  echo "server.sh: $why" >&2
  exit 77
}

# The backports tree (fetched once into its cache folder); on an unreachable mirror, unavailable.
use_backports() {
  local dir=$1 cache=$2 rc=0
  backports=$("$here/../../scripts/freeradius-backports.sh" "$cache") || rc=$?
  [ "$rc" != 77 ] || unavailable "$dir" "backports FreeRADIUS unavailable: $(cat "$cache/UNAVAILABLE")"
  [ "$rc" = 0 ] || die "could not fetch the backports FreeRADIUS (exit $rc)"
  pkgconf="$backports/etc/freeradius/3.0"
  libdir="$backports/usr/lib/freeradius"
  dictdir="$backports/usr/share/freeradius"
}

start_server() {
  local dir=$1 fr attempt ports pid i state version
  [ -z "$backports" ] || use_backports "$dir" "$backports"
  fr=$(find_freeradius)
  version=$( (LD_LIBRARY_PATH="$libdir" "$fr" -v 2>&1 || true) | sed -n '1s/.*Version \([0-9.]*\).*/\1/p')
  local -a extra=(--libdir "$libdir" --version "$version")
  # genconf's --home REALM=PORT from --home REALM=ENV: that server's MAIN port.
  local item realm env port
  for item in "${homes[@]}"; do
    realm=${item%%=*}
    env=${item#*=}
    [ -f "$env" ] || die "no ports.env for realm $realm: $env (is that server running?)"
    ! grep -q '^QVRAD_FR_UNAVAILABLE=' "$env" ||
      unavailable "$dir" "the home server of realm $realm is unavailable"
    port=$(. "$env" && echo "${QVRAD_FR_PORT_MAIN:-}")
    [ -n "$port" ] || die "$env has no MAIN port"
    extra+=(--home "$realm=$port")
  done
  need_tools
  if [ -n "$tls" ]; then
    [ ${#homes[@]} -eq 0 ] || die "--tls and --home do not go together"
    # The test CA and keys, made once and kept (idempotent, safe beside a concurrent start).
    "$here/../tls/make-certs.sh" "$tls" || die "could not make the TLS test material in $tls"
    tls=$(cd -- "$tls" && pwd)
  fi
  mkdir -p -- "$dir"
  dir=$(cd -- "$dir" && pwd)
  case "$dir" in
    *"'"* | *\\* | *$'\n'*) die "state folder must not contain quotes, backslashes or newlines: $dir" ;;
  esac
  # A server left over from an earlier run (crash, aborted test) of this folder goes first.
  stop_server "$dir"
  rm -rf -- "$dir/raddb" "$dir/run" "$dir/log"
  rm -f -- "$dir/ports.env" "$dir/radiusd.log"

  local names names6 picked no6
  # The listeners, then those of them also on ::1.
  names=$(python3 -B -c 'import sys; sys.path.insert(0, sys.argv[1]); import genconf; print(" ".join(n for n, _, _ in genconf.LISTENS)); print(" ".join(genconf.LISTENS6))' "$here")
  names6=""
  { read -r names && read -r names6; } <<<"$names" || true
  [ ${#homes[@]} -eq 0 ] || names=MAIN
  for ((attempt = 1; attempt <= bind_attempts; attempt++)); do
    # The TLS listeners' TCP ports, on ::1 as well.
    local -a tls_ports=()
    [ -z "$tls" ] || tls_ports=(tcp:TLS_CERT tcp:TLS_PSK)
    # shellcheck disable=SC2086
    picked=$(pick_ports "$names6 TLS_CERT TLS_PSK" $names CLOSED ACCT "${tls_ports[@]}")
    no6=""
    { read -r ports && read -r no6; } <<<"$picked" || true
    [ -z "$no6" ] || echo "server.sh: no listener on ::1 ($no6)" >&2
    python3 "$here/genconf.py" --state "$dir" --pkgconf "$pkgconf" --users "$users_tsv" --ports "$ports" \
      --no-ipv6 "$no6" --tls "$tls" "${extra[@]}"
    local -a dict=()
    [ -z "$dictdir" ] || dict=(-D "$dictdir")
    # -X is -sfxx -l stdout: single-threaded, which TLS listeners refuse (each TLS connection
    # is read by a thread of its own), so with --tls the same minus -s.
    local -a mode=(-X)
    [ -z "$tls" ] || mode=(-f -xx -l stdout)
    # QVRAD_FR_QUIET=1 (a benchmark's server): no debug log, whose lines per packet (many more
    # for TLS) would be what is measured; the start's readiness line is still logged.
    [ "${QVRAD_FR_QUIET:-}" != 1 ] || mode=(-f -l stdout)
    # The same server, configuration and ports again, for restart.
    {
      echo "#!/usr/bin/env bash"
      printf 'export LD_LIBRARY_PATH=%q\n' "$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
      printf 'exec'
      printf ' %q' "$fr" "${mode[@]}" -d "$dir/raddb" "${dict[@]}"
      echo
    } >"$dir/relaunch.sh"
    LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
      "$fr" "${mode[@]}" -d "$dir/raddb" "${dict[@]}" </dev/null >"$dir/radiusd.log" 2>&1 &
    pid=$!
    echo "$pid" >"$dir/server.pid"
    state=dead
    for ((i = 0; i < ready_polls; i++)); do
      if ! child_alive "$pid"; then
        state=dead
        break
      fi
      if grep -q "Ready to process requests" "$dir/radiusd.log"; then
        state=ready
        break
      fi
      state=slow
      sleep 0.1
    done
    if [ "$state" = ready ]; then
      if check_listeners "$dir/ports.env"; then
        echo "$QVRAD_FR_PORT_MAIN"
        return 0
      fi
      log_tail "$dir/radiusd.log"
      stop_server "$dir"
      die "FreeRADIUS started but does not answer on its listeners"
    fi
    if [ "$state" = slow ]; then
      log_tail "$dir/radiusd.log"
      stop_server "$dir"
      die "FreeRADIUS not ready after $((ready_polls / 10)) s"
    fi
    wait "$pid" 2>/dev/null || true
    rm -f "$dir/server.pid"
    if grep -qi "address already in use\|failed binding" "$dir/radiusd.log"; then
      echo "server.sh: a picked port was taken meanwhile (attempt $attempt), picking again" >&2
      continue
    fi
    log_tail "$dir/radiusd.log"
    die "FreeRADIUS exited during start-up (log: $dir/radiusd.log)"
  done
  log_tail "$dir/radiusd.log"
  die "FreeRADIUS could not bind its ports in $bind_attempts attempts"
}

# Stops the server of a state folder and starts it again with the same configuration and ports
# (a server restart as its clients see it: every connection closed, then refused until it is
# back); the log goes on in the same file. Prints the seconds the server was away.
restart_server() {
  local dir=$1 pidfile="$1/server.pid" pid ready i
  [ -f "$dir/relaunch.sh" ] && [ -f "$dir/ports.env" ] || die "no server started in $dir"
  pid=$(head -n 1 "$pidfile" 2>/dev/null || true)
  is_ours "$pid" "$dir/raddb" || die "the server of $dir is not running"
  ready=$(grep -c "Ready to process requests" "$dir/radiusd.log" || true)
  local began=$SECONDS
  kill -TERM "$pid" 2>/dev/null || true
  wait_gone "$pid" "$dir/raddb" "$term_polls" || { kill -KILL "$pid" 2>/dev/null || true;
    wait_gone "$pid" "$dir/raddb" "$kill_polls" || die "FreeRADIUS $pid does not exit"; }
  bash "$dir/relaunch.sh" </dev/null >>"$dir/radiusd.log" 2>&1 &
  pid=$!
  echo "$pid" >"$pidfile"
  for ((i = 0; i < ready_polls; i++)); do
    child_alive "$pid" || { log_tail "$dir/radiusd.log"; die "FreeRADIUS exited on restart"; }
    [ "$(grep -c "Ready to process requests" "$dir/radiusd.log" || true)" -gt "$ready" ] && break
    sleep 0.1
  done
  [ "$i" -lt "$ready_polls" ] || die "FreeRADIUS not ready again after $((ready_polls / 10)) s"
  echo $((SECONDS - began))
}

[ $# -ge 2 ] || usage
[ -n "$2" ] || usage
case "$1" in
  start)
    cmd_dir=$2
    shift 2
    while [ $# -gt 0 ]; do
      case "$1" in
        --backports) [ $# -ge 2 ] || usage; backports=$2; shift 2 ;;
        --home) [ $# -ge 2 ] && [[ "$2" == *=* ]] || usage; homes+=("$2"); shift 2 ;;
        --tls) [ $# -ge 2 ] && [ -n "$2" ] || usage; tls=$2; shift 2 ;;
        *) usage ;;
      esac
    done
    start_server "$cmd_dir"
    ;;
  stop)
    [ $# -eq 2 ] || usage
    if [ -d "$2" ]; then stop_server "$(cd -- "$2" && pwd)"; fi
    ;;
  restart)
    [ $# -eq 2 ] && [ -d "$2" ] || usage
    restart_server "$(cd -- "$2" && pwd)"
    ;;
  *) usage ;;
esac
