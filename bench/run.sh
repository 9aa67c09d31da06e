#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them all (about three minutes on two cores): MD5
# against OpenSSL, auth against the floor from 1 to 8 threads and in paired processes,
# qvrad_login_pap against auth, system calls and instructions per call, stack depth.
# Prints one Markdown table, each figure beside its target.
#   bench/run.sh [build-dir]        (default build-bench; the raw results stay in it)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-bench}"
jobs="${QVRAD_JOBS:-2}"

# -g only adds line tables for callgrind_annotate; the code is the same as without it.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g \
  -DQVRAD_BUILD_BENCH=ON -DQVRAD_BUILD_TESTS=OFF -DQVRAD_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target qvrad_bench_md5 qvrad_bench_auth qvrad_call_driver \
  qvrad_stack_depth >/dev/null

out="$build/bench-results"
mkdir -p "$out"
load="$(cut -d' ' -f1-3 /proc/loadavg)"
echo "running MD5 (about 20 s)..." >&2
"$build/bench/qvrad_bench_md5" --benchmark_min_time=0.2 --benchmark_repetitions=5 \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
  --benchmark_format=json >"$out/md5.json"
echo "running auth against the floor, then logins against auth (about 40 s)..." >&2
"$build/bench/qvrad_bench_auth" --benchmark_out="$out/auth.json" --benchmark_out_format=json \
  >"$out/auth.txt"
echo "auth and the floor in paired processes (about a minute)..." >&2
"$root/bench/paired.sh" "$build" >"$out/paired.txt"
echo "counting system calls and instructions..." >&2
"$root/bench/syscalls.sh" "$build" >"$out/syscalls.txt"
"$root/bench/callgrind.sh" "$build" --functions >"$out/callgrind.txt"
"$build/bench/qvrad_stack_depth" >"$out/stack.txt" || true

machine="$(. /etc/os-release && echo "$PRETTY_NAME"), $(uname -m), $(nproc) cores \
($(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)), \
$(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo), load before the run $load"

python3 - "$out" "$machine" <<'EOF'
import json, re, sys

out, machine = sys.argv[1], sys.argv[2]

def medians(path):
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    return {b["run_name"]: b for b in runs if b.get("aggregate_name") == "median"}

md5 = medians(out + "/md5.json")
allRuns = medians(out + "/auth.json")
auth = {n: b for n, b in allRuns.items() if n.startswith("auth_vs_floor/")}
login = {n: b for n, b in allRuns.items() if n.startswith("login_vs_auth/")}
with open(out + "/auth.json") as f:
    iterations = [b for b in json.load(f)["benchmarks"] if b.get("run_type") == "iteration"]
runs = [b for b in iterations if b["run_name"].startswith("auth_vs_floor/")]
loginRuns = [b for b in iterations if b["run_name"].startswith("login_vs_auth/")]
cg = open(out + "/callgrind.txt").read()
counts = dict(re.findall(r"^callgrind (\w+) (\d+)$", cg, re.M))
exclusive, _, inclusive = cg.partition("-- inclusive")

def per_call(text, pattern):
    # The sum over every function the pattern names (each listed once).
    return sum(int(m.group(1)) for m in re.finditer(r"^ *(\d+)  \S*" + pattern, text, re.M))
stack = re.findall(r"^stack (.*?) +(-?\d+) bytes", open(out + "/stack.txt").read(), re.M)
paired = dict((k, v.split()) for k, v in
              re.findall(r"^paired (\w+) (.*)$", open(out + "/paired.txt").read(), re.M))
syscalls = dict(re.findall(r"^syscalls (\w+) ([\d.]+)$", open(out + "/syscalls.txt").read(), re.M))

rows = []
def row(what, ours, reference, ratio, target, met=None):
    verdict = "" if met is None else ("met" if met else "**missed**")
    rows.append(f"| {what} | {ours} | {reference} | {ratio} | {target} | {verdict} |")

def mbps(b):
    return b["bytes_per_second"] / 1e6

for size in (16, 64, 1024, 4352):
    lib = md5[f"md5/library/{size}"]
    ossl = md5[f"md5/openssl_md5/{size}"]
    evp = md5[f"md5/openssl_evp/{size}"]
    ratio = mbps(lib) / mbps(ossl)
    target = size in (64, 4352)
    row(f"MD5 of {size} bytes, MB/s", f"{mbps(lib):.0f}",
        f"MD5() {mbps(ossl):.0f}; EVP_Digest {mbps(evp):.0f}",
        f"{ratio:.2f} (EVP {mbps(lib) / mbps(evp):.2f})",
        "≥ 0.90 × MD5()" if target else "", ratio >= 0.90 if target else None)

def threads(n):
    return next(b for name, b in auth.items() if name.endswith(f"/threads:{n}"))

one = threads(1)
spread = sorted(b["time_ratio"] for b in runs if b["threads"] == 1)
row(f"auth per call, 1 thread, µs (median of {len(spread)} runs of 2,000 calls each)",
    f"{one['auth_us']:.1f}", f"floor {one['floor_us']:.1f}",
    f"{one['time_ratio']:.3f} (runs {spread[0]:.2f} to {spread[-1]:.2f})",
    "≤ 1.10 × floor", one["time_ratio"] <= 1.10)
for n in (1, 2, 4, 8):
    b = threads(n)
    row(f"calls per second, {n} thread{'s' if n > 1 else ''}", f"{b['auth_per_s']:,.0f}",
        f"floor {b['floor_per_s']:,.0f}", f"{b['rate_ratio']:.3f}",
        "≥ 0.90 × floor" if n == 8 else "", b["rate_ratio"] >= 0.90 if n == 8 else None)
pw, pc = paired["wall_ratio"], paired["cpu_ratio"]
row(f"auth per call in paired processes, wall µs (median of {paired['pairs'][0]} pairs of "
    f"{int(paired['calls_per_process'][0]):,}-call processes)", paired["auth_wall_us"][0],
    f"floor {paired['floor_wall_us'][0]}", f"{pw[0]} (pairs {pw[2]} to {pw[3]})",
    "≤ 1.10 × floor", float(pw[0]) <= 1.10)
row("auth per call in paired processes, CPU µs of the calling thread", paired["auth_cpu_us"][0],
    f"floor {paired['floor_cpu_us'][0]}", f"{pc[0]} (pairs {pc[2]} to {pc[3]})", "", None)
sa, sf = float(syscalls["auth_per_call"]), float(syscalls["floor_per_call"])
row("system calls per call, calling thread (strace)", f"{sa:.2f}", f"floor {sf:.2f}",
    f"{sa - sf:+.2f}", "none beyond the floor's", sa <= sf)
oneLogin = next(b for name, b in login.items() if name.endswith("/threads:1"))
loginSpread = sorted(b["time_ratio"] for b in loginRuns if b["threads"] == 1)
row(f"qvrad_login_pap per call (a client made once), 1 thread, µs (median of {len(loginSpread)} "
    "runs of 2,000)", f"{oneLogin['login_us']:.1f}", f"auth {oneLogin['auth_us']:.1f}",
    f"{oneLogin['time_ratio']:.3f} (runs {loginSpread[0]:.2f} to {loginSpread[-1]:.2f})",
    "≤ 1.05 × auth", oneLogin["time_ratio"] <= 1.05)
eightLogin = next(b for name, b in login.items() if name.endswith("/threads:8"))
row("logins per second, 8 threads", f"{eightLogin['login_per_s']:,.0f}",
    f"auth {eightLogin['auth_per_s']:,.0f}", f"{eightLogin['rate_ratio']:.3f}", "", None)
row("heap allocations per call: login · auth",
    f"{oneLogin['login_allocs']:.0f} ({oneLogin['login_alloc_bytes']:,.0f} bytes)",
    f"auth {oneLogin['auth_allocs']:.0f} ({oneLogin['auth_alloc_bytes']:,.0f} bytes)", "", "", None)
eight = threads(8)
row("responder during the 8-thread runs", f"on a CPU {eight['responder_busy'] * 100:.0f}% of the time",
    f"could answer {eight['responder_max_per_s']:,.0f}/s on one core", "", "not the bottleneck",
    eight["responder_max_per_s"] > 1.5 * eight["floor_per_s"])
ia, fl = int(counts["auth_instructions_per_call"]), int(counts["floor_instructions_per_call"])
row("user-space instructions per call (callgrind)", f"{ia:,}", f"floor {fl:,}", "", "≤ 8,000",
    ia <= 8000)
if "login_instructions_per_call" in counts:
    il = int(counts["login_instructions_per_call"])
    row("… per qvrad_login_pap login (callgrind)", f"{il:,}", f"auth {ia:,}", f"{il / ia:.3f}", "",
        None)
if "auth_signed_instructions_per_call" in counts:
    isg = int(counts["auth_signed_instructions_per_call"])
    row("… per auth call whose reply carries a Message-Authenticator (callgrind)", f"{isg:,}",
        f"auth {ia:,}", "", "", None)
# The request's MAC: its key made ready (the pads, side by side with the first hiding block) and
# the MAC with it.
hmac = per_call(inclusive, r"hmac_md5\.cpp:HmacMd5(KeyInit\w*|Keyed)\(")
# Whichever build of the one-block compression ran (the portable one, or the one for BMI1), and
# of the side-by-side pass (SSE2 or AVX).
transform = per_call(exclusive, r"md5\.cpp:\(anonymous namespace\)::Transform\w*\(")
lanes = per_call(exclusive, r"\(anonymous namespace\)::CompressLanes\w*\(")
wipe = per_call(exclusive, r".*(WipeAfterCall|ZeroWith\w+)\(")
row("… of which MD5 compression one block at a time (Transform, 4 blocks)", f"{transform:,}", "",
    "", "", None)
row("… of which MD5 side by side (one pass: the HMAC key's two pads, the first hiding block)",
    f"{lanes:,}", "", "", "", None)
row("… of which the request's Message-Authenticator (HMAC-MD5: the pass above, 3 blocks)",
    f"{hmac:,}", "", "", "", None)
if wipe:
    row("… of which the stack wipe below auth's frame", f"{wipe:,}", "", "", "", None)
row("auth without the Message-Authenticator's HMAC (computed)", f"{ia - hmac:,}", "", "",
    "≤ 8,000", ia - hmac <= 8000)
for name, depth in stack:
    row(f"stack of one auth call: {name}, bytes", f"{int(depth):,}", "", "", "< 16,384",
        0 <= int(depth) < 16384)

print(f"Machine: {machine}")
print()
print("| Measure | qvRadClient | Reference | Ratio | Target | |")
print("|---|---|---|---|---|---|")
print("\n".join(rows))
EOF

# RADIUS over TLS beside UDP, against a private FreeRADIUS (with the Mbed TLS sources only).
if [ -n "${QVRAD_MBEDTLS_SOURCE:-}" ]; then
  echo >&2
  echo "RADIUS over TLS against FreeRADIUS (about a minute)..." >&2
  "$root/bench/tls.sh" "$build-tls"
fi
