#!/usr/bin/env bash
# RADIUS over TLS beside UDP against one private FreeRADIUS 3.2 (tests/freeradius/server.sh, with
# its TLS listeners): kept-connection logins at 1 and 8 threads, full and resumed handshakes,
# wall and client CPU. Builds in Release with Mbed TLS (QVRAD_MBEDTLS_SOURCE, as the tests).
#   bench/tls.sh [build-dir]        (default build-bench; prints "tls ..." lines, then a table)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-bench}"
jobs="${QVRAD_JOBS:-2}"
[ -n "${QVRAD_MBEDTLS_SOURCE:-}" ] ||
  { echo "bench/tls.sh: set QVRAD_MBEDTLS_SOURCE (scripts/mbedtls-source.sh DIR prints it)" >&2; exit 2; }

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQVRAD_BUILD_BENCH=ON \
  -DQVRAD_BUILD_TESTS=OFF -DQVRAD_BUILD_TOOLS=OFF -DQVRAD_MBEDTLS_SOURCE="$QVRAD_MBEDTLS_SOURCE" \
  >/dev/null
cmake --build "$build" -j "$jobs" --target qvrad_bench_tls >/dev/null

state="$build/tls-bench-server"
certs="$build/tls-bench-certs"
stop() { bash "$root/tests/freeradius/server.sh" stop "$state" || true; }
trap stop EXIT
# Room for the series of full handshakes (each on a client of its own, closed at once), which
# outruns the server's reaping of closed connections at the stock limit of 16.
# No debug log (QVRAD_FR_QUIET): its lines per packet, many more for TLS, would be what is measured.
QVRAD_FR_QUIET=1 QVRAD_FR_TLS_MAX_CONNECTIONS=256 \
  bash "$root/tests/freeradius/server.sh" start "$state" --tls "$certs" >/dev/null
load="$(cut -d' ' -f1-3 /proc/loadavg)"
out="$build/tls-bench.txt"
"$build/bench/qvrad_bench_tls" "$state/ports.env" | tee "$out"

python3 - "$out" "$load" <<'PY'
import re, sys
rows = {}
for line in open(sys.argv[1]):
    m = re.match(r"tls (\w+) median_ms ([\d.]+) cpu_ms ([\d.]+) per_second (\d+) failed (-?\d+)", line)
    if m:
        rows[m.group(1)] = [float(m.group(i)) for i in (2, 3, 4)] + [int(m.group(5))]
def r(name, i):
    return rows[name][i]
print()
print("| Measure | Ours | Reference | Ratio | Target | |")
print("|---|---|---|---|---|---|")
def row(what, ours, ref, ratio, target, met):
    print(f"| {what} | {ours} | {ref} | {ratio} | {target} | {'met' if met else '**missed**'} |")
k, u = r("kept_certificate_1", 0), r("udp_1", 0)
row("login over a kept TLS connection, median ms (1 thread)", f"{k:.3f}", f"UDP {u:.3f}",
    f"{k / u:.2f}", "≤ 1.5 × UDP", k <= 1.5 * u)
print(f"| client CPU per kept TLS login, ms | {r('kept_certificate_1', 1):.3f} | UDP {r('udp_1', 1):.3f} | | | |")
p8, u8 = r("kept_certificate_8", 2), r("udp_8", 2)
row("logins per second over TLS, 8 threads", f"{p8:.0f}", f"UDP {u8:.0f}", f"{p8 / u8:.2f}",
    "≥ 3 × radcli (2,170/s, 0.46 ms a login, one at a time)", p8 >= 3 * 2170)
f = r("full_certificate", 1)
row("full certificate handshake + login (FreeRADIUS), client CPU ms", f"{f:.2f}", "", "",
    "< 3.5 ms", f < 3.5)
of, os_ = r("openssl_full_certificate", 1), r("openssl_resumed_certificate", 1)
row("resumed handshake + login (OpenSSL server), client CPU ms", f"{os_:.2f}", f"full {of:.2f}",
    f"{os_ / of:.2f}", "≤ 1/3 of full", os_ <= of / 3)
print(f"| full PSK handshake + login, client CPU ms | {r('full_psk', 1):.2f} | | | | |")
print()
print(f"load before the run: {sys.argv[2]}")
PY
