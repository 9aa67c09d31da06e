#!/usr/bin/env bash
# Starts and stops the RADIUS-over-TLS refusal peers on 127.0.0.1: servers a TLS client must
# refuse, plus a silent and a plain-TCP one. Usage: peers.sh start DIR CERTS | stop DIR
#   (DIR is a state folder; CERTS is tests/tls/make-certs.sh's folder, made here when needed).
#
# start runs peers.py, which serves every peer whose handshake Python's ssl can do on ports it
# binds itself and starts one "openssl s_server -psk" per wrong-key PSK peer; once every port
# takes connections (bounded wait) this writes DIR/peers.env. stop ends peers.py by its PID
# (which ends its children), then any child left, by PID (each checked against its start time,
# so a recycled PID is left alone). Every peer also ends by itself after 2 hours. Output goes
# to DIR/*.log.
#
# DIR/peers.env (single-quoted values, sourceable by sh):
#   QVRAD_PEER_HOST            127.0.0.1 (every peer listens there only)
#   QVRAD_PEER_CERTS           the CERTS folder; QVRAD_PEER_SECRET "radsec", the RADIUS secret
#                              every answering peer signs its Access-Accept with
#   QVRAD_PEER_NAMES           the peers below, by NAME; each has QVRAD_PEER_PORT_<NAME>, a TCP port:
#   OTHER_CA        TLS 1.2/1.3, server-other-ca.pem: a certificate from a CA the client does not trust
#   CN_ONLY         server-cn-only.pem: the name in the Common Name only, no subjectAltName
#   WRONG_NAME      server-wrong-name.pem: subjectAltName DNS:other-host.example only
#   EXPIRED         server-expired.pem: expired two days ago
#   CLIENT_OTHER_CA server.pem (good), but requires a client certificate from other-ca.pem: the
#                   good client.pem is refused (in TLS 1.3 after the client's Finished, with an alert)
#   CERT_ONLY       server.pem, TLS 1.2/1.3 with certificates only: never selects a PSK, so a
#                   PSK-only client finds no common cipher suite (1.2) or no PSK taken (1.3)
#   PSK13_WRONG_KEY TLS 1.3 only, PSK identity from psk-identity with the key of psk-wrong.hex
#   PSK12_WRONG_KEY TLS 1.2 only, the same identity and wrong key, PSK cipher suites only
#   SILENT          plain TCP: accepts and never sends a byte (holds the connection 30 s at most)
#   PLAIN           plain TCP, no TLS: answers each framed Access-Request with a signed Access-Accept
# The TLS peers of peers.py that finish a handshake (the client should not have let them) answer
# each Access-Request with an Access-Accept whose Reply-Message is "qvrad test peer NAME".
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly lifetime=7200   # seconds: peers end by themselves if stop never comes
readonly ready_polls=300 # x 0.1 s until every peer takes connections (a slow Python start)
readonly term_polls=30   # x 0.1 s after SIGTERM, then SIGKILL

die() {
  echo "peers.sh: $*" >&2
  exit 1
}

usage() {
  echo "usage: $0 start DIR CERTS | stop DIR" >&2
  exit 2
}

# Field 22 of /proc/PID/stat, the start time in clock ticks, counted after the parenthesised name.
start_time() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  # shellcheck disable=SC2086
  set -- $stat
  echo "${20}"
}

# True while PID is the process recorded with START (not a recycled PID, not a zombie).
is_ours() {
  local pid=$1 start=$2 stat
  [ "$(start_time "$pid" 2>/dev/null || true)" = "$start" ] || return 1
  stat=$(cat "/proc/$pid/stat" 2>/dev/null || true)
  case "${stat##*) }" in
    Z* | X* | "") return 1 ;;
  esac
}

stop_peers() {
  local dir=$1 pid start i
  [ -f "$dir/peers.pids" ] || return 0
  while read -r pid start; do
    is_ours "$pid" "$start" || continue
    kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < term_polls; i++)); do
      is_ours "$pid" "$start" || break
      sleep 0.1
    done
    if is_ours "$pid" "$start"; then
      echo "peers.sh: $pid ignored SIGTERM, sending SIGKILL" >&2
      kill -KILL "$pid" 2>/dev/null || true
    fi
  done <"$dir/peers.pids"
  rm -f "$dir/peers.pids" "$dir/peers.env"
}

record() {
  local pid=$1 start
  start=$(start_time "$pid") || return 1
  echo "$pid $start" >>"$DIR/peers.pids"
}

start_peers() {
  local i pid
  mkdir -p -- "$DIR"
  DIR=$(cd -- "$DIR" && pwd)
  stop_peers "$DIR"
  rm -f -- "$DIR"/*.log "$DIR/peers.ports" "$DIR/children.pids"
  "$here/make-certs.sh" "$CERTS" || die "could not make the TLS test material in $CERTS"
  CERTS=$(cd -- "$CERTS" && pwd)
  case "$DIR$CERTS" in
    *"'"* | *$'\n'*) die "folders must not contain quotes or newlines" ;;
  esac

  # Whatever started goes again when start fails half way.
  trap 'stop_peers "$DIR"' EXIT
  python3 -B "$here/peers.py" "$CERTS" "$DIR" "$lifetime" >"$DIR/peers-py.log" 2>&1 &
  local pypid=$! i
  record "$pypid" || die "peers.py ended at once: $(cat "$DIR/peers-py.log")"
  for ((i = 0; i < ready_polls; i++)); do
    [ ! -s "$DIR/peers.ports" ] && kill -0 "$pypid" 2>/dev/null || break
    sleep 0.1
  done
  [ -s "$DIR/peers.ports" ] || die "the peers did not start: $(cat "$DIR/peers-py.log")"
  # Its s_server children too, so that stop finds them even if peers.py was killed outright.
  while read -r pid; do record "$pid" || true; done <"$DIR/children.pids"
  local -a lines=()
  mapfile -t lines <"$DIR/peers.ports"
  {
    echo "# RADIUS-over-TLS refusal peers of this folder; written by peers.sh, sourced by tests."
    echo "QVRAD_PEER_HOST='127.0.0.1'"
    echo "QVRAD_PEER_CERTS='$CERTS'"
    echo "QVRAD_PEER_SECRET='radsec'"
    echo "QVRAD_PEER_NAMES='${lines[*]%%=*}'"
    for i in "${lines[@]}"; do echo "QVRAD_PEER_PORT_$i"; done
  } >"$DIR/peers.env.tmp"
  mv -f "$DIR/peers.env.tmp" "$DIR/peers.env"
  trap - EXIT
}

[ $# -ge 2 ] && [ -n "$2" ] || usage
case "$1" in
  start)
    [ $# -eq 3 ] && [ -n "$3" ] || usage
    DIR=$2
    CERTS=$3
    start_peers
    ;;
  stop)
    [ $# -eq 2 ] || usage
    if [ -d "$2" ]; then stop_peers "$(cd -- "$2" && pwd)"; fi
    ;;
  *) usage ;;
esac
