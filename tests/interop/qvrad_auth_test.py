#!/usr/bin/env python3
"""qvrad-auth end to end against the private FreeRADIUS test server and a scripted loopback one.

Every exit status (the Code of a verified reply: Accept, Reject, Challenge, whatever text it
carries), each way of giving the secret (file, environment, command line) and the password
(stdin, command line, terminal prompt without echo), bounded input, the one-line escaped output,
--verbose with each reason a datagram is discarded, the secret file's type and permissions (its
DACL on Windows), --status, repeated options and usage faults. The cases run side by side,
since the lost ones each wait out a 1-second timeout.

Usage: qvrad_auth_test.py --env PORTS_ENV [--env327 PORTS_ENV] --work DIR [--preload SHIM]
                          [--no-terminal] [--no-proc] [--no-tls] [--crlf] [--set-dacl COMMAND]
                          -- COMMAND...   (COMMAND runs qvrad-auth, maybe via wine)
"""

import argparse
import atexit
import concurrent.futures
import hashlib
import hmac
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True

BANNER = b"Quorvel SDK for Win32 ver 1.1.0.2\n"
NETWORK_FAIL = b"6040#0#ERR_NETWORK_FAIL\n"
INVALID_FORMAT = b"6041#0#ERR_INVALID_RADIUS_FORMAT\n"
INVALID_INPUT = b"6007#0#INVALID_INPUT_ERR\n"
RUN_LIMIT = 60  # seconds for one run of the tool, far above any timeout it is given


def read_env(path):
    env = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            key, _, value = line.partition("=")
            if value.startswith("'") and value.endswith("'"):
                value = value[1:-1]
            env[key] = value
    return env


class Case:
    def __init__(self, name, args, code, stdout=None, stdin=b"", env=None, stderr=None, extra=None,
                 preexec=None, check=None, one_line=True, hidden=None, after=None):
        self.name = name
        self.args = args
        self.code = code
        # exact bytes, a compiled pattern, a callable(bytes) giving an error or None, or None for
        # "not checked"
        self.stdout = stdout
        self.stdin = stdin  # bytes, or the path of a file to read from
        self.env = env or {}
        self.stderr = stderr  # bytes that must appear on stderr, or a list of them in order
        self.hidden = hidden  # bytes that must appear on neither stream
        self.extra = extra or {}  # environment variables of the run only
        self.preexec = preexec
        self.check = check  # callable(Popen) run while the tool waits, returns an error or None
        self.one_line = one_line  # a result prints exactly one line
        self.after = after  # callable(seconds taken) run once the tool ended: an error or None


def run(command, case, base_env, crlf):
    env = dict(base_env)
    env.update(case.env)
    env.update(case.extra)
    start = time.monotonic()
    source = open(case.stdin, "rb") if isinstance(case.stdin, str) else None
    proc = subprocess.Popen(command + case.args, stdin=source or subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                            preexec_fn=case.preexec)
    if source:
        source.close()
    problem = case.check(proc) if case.check else None
    try:
        out, err = proc.communicate(None if source else case.stdin, timeout=RUN_LIMIT)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        problem = "did not finish within %d s" % RUN_LIMIT
    if crlf:
        if out.count(b"\r\n") != out.count(b"\n"):
            problem = "a line of stdout does not end in CR LF: %r" % out
        out = out.replace(b"\r\n", b"\n")
    return proc.returncode, out, err, time.monotonic() - start, problem


def judge(case, result):
    code, out, err, took, problem = result
    faults = []
    if problem:
        faults.append(problem)
    if code != case.code:
        faults.append("exit status %r, want %r" % (code, case.code))
    if hasattr(case.stdout, "fullmatch"):
        if not case.stdout.fullmatch(out):
            faults.append("stdout %r, want %r" % (out, case.stdout.pattern))
    elif callable(case.stdout):
        fault = case.stdout(out)
        if fault:
            faults.append(fault)
    elif case.stdout is not None and out != case.stdout:
        faults.append("stdout %r, want %r" % (out, case.stdout))
    if case.one_line and case.code in (0, 1, 2, 3, 4, 5) and out.count(b"\n") != 1:
        faults.append("stdout is not exactly one line: %r" % out)
    if case.code == 64 and (out != b"" or not err.startswith(b"qvrad-auth: ")):
        faults.append("a usage fault prints nothing on stdout and a message on stderr")
    at = 0
    for want in [case.stderr] if isinstance(case.stderr, bytes) else case.stderr or []:
        found = err.find(want, at)
        if found < 0:
            faults.append("stderr lacks %r (in this order)" % want)
        at = max(at, found)
    if case.hidden is not None and (case.hidden in out or case.hidden in err):
        faults.append("%r was shown" % case.hidden)
    if case.after and case.after(took):
        faults.append(case.after(took))
    return faults, took, err


def proc_check(secret_word, view):
    """While the tool waits for a lost reply, its /proc/PID/cmdline or environ (view) must
    not show the secret."""

    def check(proc):
        shown = b""
        for _ in range(100):  # 100 x 0.02 s for the tool to get past reading its secret
            time.sleep(0.02)
            try:
                with open("/proc/%d/cmdline" % proc.pid, "rb") as f:
                    line = f.read()
                with open("/proc/%d/%s" % (proc.pid, view), "rb") as f:
                    shown = f.read()
            except OSError:
                return "cannot read /proc/%d" % proc.pid
            if b"--user" in line and secret_word not in shown:  # the tool, no longer python
                return None
        return "%s still shows the secret: %r" % (view, shown)

    return check


class Responder:
    """A scripted RADIUS server on 127.0.0.1 (or ::1), on a port it picked: each request is
    answered by the datagrams the script of its User-Name returns. Replies are built here from
    RFC 2865 section 3 and RFC 3579 section 3.2 with hashlib and hmac, apart from the library."""

    SECRET = b"loopback-secret"

    def __init__(self, scripts, host="127.0.0.1"):
        self.scripts = scripts
        self.received = []  # every datagram, in order
        self.sock = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET,
                                  socket.SOCK_DGRAM)
        self.sock.bind((host, 0))
        self.sock.settimeout(0.05)
        self.port = str(self.sock.getsockname()[1])
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        deadline = time.monotonic() + 600  # far beyond the test's own limit
        while not self.stop.is_set() and time.monotonic() < deadline:
            try:
                request, peer = self.sock.recvfrom(65536)
            except socket.timeout:
                continue
            self.received.append(request)
            user = dict(attributes(request)).get(1, b"")
            for datagram in self.scripts.get(user, lambda r: [])(request):
                self.sock.sendto(datagram, peer)

    def close(self):
        self.stop.set()
        self.thread.join()
        self.sock.close()


def attributes(packet):
    out, at, end = [], 20, min(len(packet), int.from_bytes(packet[2:4], "big"))
    while at + 2 <= end and packet[at + 1] >= 2:
        out.append((packet[at], packet[at + 2:at + packet[at + 1]]))
        at += packet[at + 1]
    return out


def revealed(request, secret=Responder.SECRET):
    """The User-Password of request in clear (RFC 2865 section 5.2), padding dropped."""
    hidden, out, last = dict(attributes(request)).get(2, b""), b"", request[4:20]
    for at in range(0, len(hidden), 16):
        pad = hashlib.md5(secret + last).digest()
        out += bytes(a ^ b for a, b in zip(hidden[at:at + 16], pad))
        last = hidden[at:at + 16]
    return out.rstrip(b"\0")


def two_step(r):
    """A login of two challenges (RFC 2865 section 4.4): each answer counts only with the State
    of the challenge before it, byte for byte; the second asks for its answer to be echoed
    (Prompt 1, RFC 2869 section 5.10)."""
    step = (dict(attributes(r)).get(24), revealed(r))
    if step == (None, b"pw"):
        return [reply(r, 11, [(18, b"first factor"), (18, b"type the code"), (24, b"s1\0")])]
    if step == (b"s1\0", b"111"):
        return [reply(r, 11, [(18, b"second factor"), (24, b"s2"), (76, bytes([0, 0, 0, 1]))])]
    if step == (b"s2", b"222"):
        return [reply(r, 2, [(18, b"welcome, otp")])]
    return [reply(r, 3, [(18, b"wrong code")])]


def reply(request, code, attrs, secret=Responder.SECRET, ident=None, signed=None, extra=0,
          tail=b""):
    """A reply to request: Response Authenticator over secret; signed "good" or "bad" adds a
    Message-Authenticator first; extra is added to the Length field only; tail is raw bytes
    after the attributes (a malformed one, say)."""
    ident = request[1] if ident is None else ident
    body = b"".join(bytes([t, len(v) + 2]) + v for t, v in attrs) + tail
    if signed:
        body = bytes([80, 18]) + bytes(16) + body
    head = bytes([code, ident]) + (20 + len(body) + extra).to_bytes(2, "big")
    if signed:
        mac = bytearray(hmac.new(secret, head + request[4:20] + body, "md5").digest())
        if signed == "bad":
            mac[0] ^= 1
        body = body[:2] + bytes(mac) + body[18:]
    return head + hashlib.md5(head + request[4:20] + body + secret).digest() + body


# The invisible format characters, each range by its ends; then code points kept: each one
# beside a range, and the variation selectors U+FE0F (as in an emoji), U+E0100 and U+E01EF.
INVISIBLE = [0xAD, 0x180E, 0x200B, 0x200D, 0x2060, 0x206F, 0xFFF0, 0xFFFB, 0x1BCA0, 0x1BCA3,
             0x1D173, 0x1D17A, 0xE0000, 0xE007F, 0xE00FF, 0xE01F0, 0xE0FFF]
INVISIBLE_KEPT = [0xAC, 0xAE, 0x180D, 0x180F, 0x200A, 0x205F, 0xFE0F, 0xFEFE, 0xFFEF, 0xFFFC,
                  0x1BC9F, 0x1BCA4, 0x1D172, 0x1D17B, 0xDFFFF, 0xE0100, 0xE01EF, 0xE1000]


def loopback_scripts():
    def discards(r):
        message = [(18, b"made it")]
        return [
            b"\x02\x00\x00",                                   # shorter than a header
            reply(r, 2, message) + bytes(5000),                    # larger than 4096
            reply(r, 2, message, extra=10),                        # Length past the bytes
            reply(r, 2, message, secret=b"another-secret"),        # a wrong secret's reply
            reply(r, 2, message, ident=(r[1] + 7) & 0xFF),         # another Identifier
            reply(r, 2, [(33, b"st")] + message),                  # a Proxy-State
            reply(r, 2, [(80, bytes(8))] + message),               # Message-Authenticator of 10
            reply(r, 2, message, signed="bad"),                    # HMAC that does not verify
            reply(r, 2, message, signed="good"),                   # the one that counts
        ]

    hostile = (b"esc:\x1b[2J c1:\xc2\x9b31m raw:\x9b cut:\xe2\x82 overlong:\xc0\xaf "
               b"surrogate:\xed\xa0\x80 kept:\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x94\x91 \\ end")
    # U+202E, U+2066..U+2069, U+200E/F, U+061C, U+2028/9, U+FEFF reorder or break what a
    # terminal shows; U+202F and U+2070 beside them are kept; F4 90 80 80 is past U+10FFFF.
    bidi = ("rlo:\u202e lri:\u2066 pdi:\u2069 lrm:\u200e rlm:\u200f alm:\u061c ls:\u2028 "
            "ps:\u2029 bom:\ufeff kept:\u202f\u2070").encode() + b" past:\xf4\x90\x80\x80"
    invisible = ("hid:" + "".join(map(chr, INVISIBLE)) + " kept:" +
                 "".join(map(chr, INVISIBLE_KEPT))).encode()
    return {
        b"discards": discards,
        b"hostile": lambda r: [reply(r, 3, [(18, hostile)])],
        b"bidi": lambda r: [reply(r, 2, [(18, bidi)])],
        b"invisible": lambda r: [reply(r, 2, [(18, invisible)])],
        b"unsigned": lambda r: [reply(r, 2, [(18, b"unsigned")])],
        b"wrong-secret": lambda r: [reply(r, 2, [(18, b"forged")], secret=b"another-secret")],
        b"signed": lambda r: [reply(r, 2, [(18, b"signed")], signed="good")],
        b"quiet-accept": lambda r: [reply(r, 2, [(25, b"\x01\x02")])],
        # A Length octet of 1, then a Proxy-State the reply checks never reach.
        b"malformed-accept": lambda r: [reply(r, 2, [(18, b"looks fine")],
                                              tail=b"\x19\x01" + b"\x21\x04ps")],
        b"error-text-accept": lambda r: [reply(r, 2, [(18, b"6007#0#INVALID_INPUT_ERR")])],
        b"error-text-reject": lambda r: [reply(r, 3, [(18, b"6042#0#ERR_SDK_INTERNAL(x)")])],
        b"otp": two_step,
        b"endless": lambda r: [reply(r, 11, [(24, b"again")])],
        # RFC 2865 section 5.26: vendor 9, one sub-attribute; the second Vendor-Specific's
        # Vendor-Id has a high octet, so it is no usual layout and stays whole.
        b"attrs": lambda r: [reply(r, 2, [
            (18, b"one"), (18, b"two\x1b"), (25, b"\x01\x02\xff"),
            (26, bytes([0, 0, 0, 9, 1, 19]) + b"shell:priv-lvl=15"),
            (27, (3600).to_bytes(4, "big")), (8, bytes([127, 0, 0, 9])), (200, b"\x00\x01"),
            (26, b"\x01\x00\x00\x09\x01")])],
    }


LOAD_SUMMARY = re.compile(
    rb"logins: ([0-9]+) of ([0-9]+) in [0-9.]+ s by ([0-9]+) threads, [0-9.]+ per second\n"
    rb"accepted: ([0-9]+)\nrejected: ([0-9]+)\nchallenged: ([0-9]+) \(not answered\)\n"
    rb"((?:failed: [^\n]+\n)*)"
    rb"latency ms: p50 ([0-9.]+), p90 ([0-9.]+), p99 ([0-9.]+), max ([0-9.]+)\n")


def load_summary(total, threads, accepted, rejected=0, challenged=0, failed=b"", stopped=False):
    """The load mode's summary on stdout: these counts (stopped: an interrupted run, so fewer
    logins than total, every one of them accepted), these failure lines, ordered percentiles."""

    def check(out):
        m = LOAD_SUMMARY.fullmatch(out)
        if not m:
            return "not a load summary: %r" % out
        done, of, by, acc, rej, chal = (int(x) for x in m.group(1, 2, 3, 4, 5, 6))
        want = ((acc if stopped else total), total, threads, (done if stopped else accepted),
                rejected, challenged)
        if (done, of, by, acc, rej, chal) != want or (stopped and not 0 < done < total):
            return "summary counts %r, want %r: %r" % ((done, of, by, acc, rej, chal), want, out)
        if m.group(7) != failed:
            return "failure lines %r, want %r" % (m.group(7), failed)
        latencies = [float(x) for x in m.group(8, 9, 10, 11)]
        if latencies != sorted(latencies) or latencies[0] <= 0:
            return "latencies not p50 <= p90 <= p99 <= max: %r" % latencies
        return None

    return check


def status_request_faults(request):
    """What is wrong with a Status-Server on the wire (RFC 5997 section 3: Code 12, one
    Message-Authenticator, HMAC-MD5 over the packet with its value zeroed, no credentials)."""
    attrs = attributes(request)
    if request[0] != 12 or len(request) != 38 or [t for t, _ in attrs] != [80]:
        return "not a bare Status-Server: %r" % request
    zeroed = request[:22] + bytes(16) + request[38:]
    if hmac.new(Responder.SECRET, zeroed, "md5").digest() != attrs[0][1]:
        return "its Message-Authenticator does not verify"
    return None


def limit_descriptors():
    import resource

    resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))


def status_loop(scripts, host="127.0.0.1"):
    """A loopback server of its own for some cases: scripts by User-Name, or one script for
    Status-Server, which has none."""
    loop = Responder(scripts if isinstance(scripts, dict) else {b"": scripts}, host)
    atexit.register(loop.close)
    return loop


def server_cases(fr, fr327, work, preload, proc_checks, loop, windows, set_dacl):
    host = fr["QVRAD_FR_HOST"]
    main_port = fr["QVRAD_FR_PORT_MAIN"]
    main_secret = fr["QVRAD_FR_SECRET_MAIN"]

    def path(name, data):
        p = os.path.join(work, name)
        with open(p, "wb") as f:
            f.write(data)
        os.chmod(p, 0o600)
        return p

    secret_file = path("secret", main_secret.encode() + b"\n")
    secret_crlf = path("secret-crlf", main_secret.encode() + b"\r\nsecond line\n")
    secret_bare = path("secret-bare", main_secret.encode())
    s256_file = path("secret-256", fr["QVRAD_FR_SECRET_S256"].encode() + b"\n")
    smax_file = path("secret-8182", fr["QVRAD_FR_SECRET_SMAX"].encode() + b"\n")
    empty_file = path("secret-empty", b"")

    def to(port=main_port, *rest):
        return ["--server", host, "--port", port] + list(rest)

    with_file = ["--secret-file", secret_file]
    env_secret = {"QVRAD_SECRET": main_secret}
    alice = b"Welcome, alice\n"
    cases = [
        Case("accept: secret file, password on stdin; the short secret draws a warning",
             to(main_port, "--user", "alice", "--password-stdin", *with_file), 0, alice,
             b"alice-pass\n", stderr=b"warning: the shared secret is 10 bytes"),
        Case("reject: secret from the environment, exit 1", to(main_port, "--user", "alice",
             "--password-stdin"), 1, b"Access denied\n", b"wrong-pass\n", env_secret),
        Case("stdin line ending \\r\\n dropped", to(main_port, "--user", "alice",
             "--password-stdin", *with_file), 0, alice, b"alice-pass\r\n"),
        Case("stdin without a line ending", to(main_port, "--user", "alice",
             "--password-stdin", *with_file), 0, alice, b"alice-pass"),
        Case("stdin: only the first line is the password", to(main_port, "--user", "alice",
             "--password-stdin", *with_file), 0, alice, b"alice-pass\nsecond\n"),
        Case("secret and password on the command line, --name=value", ["--server=" + host,
             "--port=" + main_port, "--secret=" + main_secret, "--user=alice",
             "--password=alice-pass"], 0, alice),
        Case("secret file: first line, \\r\\n dropped", to(main_port, "--user", "alice",
             "--password-stdin", "--secret-file", secret_crlf), 0, alice, b"alice-pass\n"),
        Case("secret file without a line ending", to(main_port, "--user", "alice",
             "--password-stdin", "--secret-file", secret_bare), 0, alice, b"alice-pass\n"),
        Case("secret file wins over the environment", to(main_port, "--user", "alice",
             "--password-stdin", *with_file), 0, alice, b"alice-pass\n",
             {"QVRAD_SECRET": "not-the-secret"}),
        Case("Accept without Reply-Message: the host's text, exit 0", to(main_port, "--user",
             "bob", "--password-stdin", *with_file), 0, INVALID_FORMAT, b"bob-pass\n"),
        Case("Access-Challenge, no terminal and no answer source: exit 6, its message printed",
             to(main_port, "--user", "carol", "--password-stdin", "-v", *with_file), 6,
             b"Enter the code shown on your token\n", b"carol-pass\n",
             stderr=[b"Received Access-Challenge Id ", b"verified", b"\tReply-Message = \"Enter",
                     b"\tState = 0x71767261642d6368616c6c656e6765", b"--answer-stdin"]),
        Case("reject, verbose: exit 1", to(main_port, "--user", "alice", "--password-stdin",
             "--verbose", *with_file), 1, b"Access denied\n", b"wrong-pass\n",
             stderr=[b"Sent Access-Request Id ", b" to %s:%s, 63 bytes" % (host.encode(),
                     main_port.encode()), b"\tMessage-Authenticator = <present, 16 bytes>",
                     b"\tUser-Name = \"alice\"", b"\tUser-Password = <hidden, 16 bytes>",
                     b"Received Access-Reject Id ", b"verified",
                     b"\tReply-Message = \"Access denied\""], hidden=b"wrong-pass"),
        Case("wrong secret, verbose: sent, never answered", to(main_port, "--user", "alice",
             "--password-stdin", "--timeout", "1", "-v"), 2, NETWORK_FAIL, b"alice-pass\n",
             {"QVRAD_SECRET": "wrong"}, stderr=[b"Sent Access-Request Id ", b"No reply verified",
                                                b"shared secret"]),
        # Each refusal and failure says what to fix on stderr, without -v, never a secret.
        Case("refused: port 0, the reason named", to("0", "--user", "alice", "--password-stdin",
             *with_file), 4, INVALID_INPUT, b"alice-pass\n",
             stderr=b"qvrad-auth: --port 0: a number from 1 to 65535", hidden=main_secret.encode()),
        Case("refused: a 300-byte user, its length told", to(main_port, "--user", "u" * 300,
             "--password-stdin", *with_file), 4, INVALID_INPUT, b"alice-pass\n",
             stderr=b"qvrad-auth: user: 300 octets; a User-Name holds 1 to 253 octets",
             hidden=b"uuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuu"),
        Case("server never answers: exit 2", to(main_port, "--user", "ghost", "--password-stdin",
             "--timeout", "1", *with_file), 2, NETWORK_FAIL, b"ghost-pass\n"),
        Case("wrong secret: exit 2, what the server did on stderr", to(main_port, "--user",
             "alice", "--password-stdin", "--timeout", "1"), 2, NETWORK_FAIL, b"alice-pass\n",
             {"QVRAD_SECRET": "wrong-secret-word"},
             stderr=b"qvrad-auth: no verified reply within 1 s: server 1 (%s port %s): silent "
                    b"after 1 transmission" % (host.encode(), main_port.encode()),
             hidden=b"wrong-secret-word"),
        Case("nothing listens on the port: exit 2", to(fr["QVRAD_FR_PORT_CLOSED"], "--user",
             "alice", "--password-stdin", "--timeout", "1", *with_file), 2, NETWORK_FAIL,
             b"alice-pass\n"),
        Case("256-byte secret from a file, no warning", to(fr["QVRAD_FR_PORT_S256"], "--user",
             "alice", "--password-stdin", "--secret-file", s256_file), 0, alice, b"alice-pass\n",
             hidden=b"warning"),
        Case("8182-byte secret, FreeRADIUS's longest, refused by the library: exit 4",
             to(fr["QVRAD_FR_PORT_SMAX"], "--user", "alice", "--password-stdin"), 4,
             INVALID_INPUT, b"alice-pass\n", {"QVRAD_SECRET": fr["QVRAD_FR_SECRET_SMAX"]},
             stderr=b"qvrad-auth: secret: 2048 octets or more; at most 256",
             hidden=fr["QVRAD_FR_SECRET_SMAX"][:16].encode()),
        Case("8182-byte secret file: the read ends at 320 bytes, exit 64",
             to(fr["QVRAD_FR_PORT_SMAX"], "--user", "alice", "--password-stdin",
                "--secret-file", smax_file), 64, None, b"alice-pass\n",
             stderr=b"longer than 320 bytes (the library takes 256 at most)"),
        Case("timeout 0 refused: exit 4", to(main_port, "--user", "alice", "--password-stdin",
             "--timeout", "0", *with_file), 4, INVALID_INPUT, b"alice-pass\n",
             stderr=b"qvrad-auth: --timeout 0: seconds from 1 to 300"),
        Case("port that is no number refused: exit 4", to("radius", "--user", "alice",
             "--password-stdin", *with_file), 4, INVALID_INPUT, b"alice-pass\n",
             stderr=b"qvrad-auth: --port radius: a number from 1 to 65535"),
        Case("empty password line refused: exit 4", to(main_port, "--user", "alice",
             "--password-stdin", *with_file), 4, INVALID_INPUT, b"\n",
             stderr=b"qvrad-auth: password: empty; a PAP password is 1 to 128 octets"),
        Case("password of 150 bytes refused by the library, not cut: exit 4", to(main_port,
             "--user", "alice", "--password-stdin", *with_file), 4, INVALID_INPUT,
             b"p" * 150 + b"\n", stderr=b"qvrad-auth: password: 150 octets",
             hidden=b"p" * 20),
        Case("password line of 2100 bytes: the read ends at 192, exit 64", to(main_port,
             "--user", "alice", "--password-stdin", *with_file), 64, None, b"p" * 2100 + b"\n",
             stderr=b"longer than 192 bytes (the library takes 128 at most)"),
        Case("--password-stdin from /dev/zero ends: exit 64", to(main_port, "--user", "alice",
             "--password-stdin", *with_file), 64, None, os.devnull.replace("null", "zero"),
             stderr=b"longer than 192 bytes"),
        Case("secret file under a name outside any code page", to(main_port, "--user", "alice",
             "--password-stdin", "--secret-file", path("secret-\u043a\u043b\u044e\u0447-\u20ac",
                                                       main_secret.encode() + b"\n")), 0, alice,
             b"alice-pass\n"),
        Case("empty secret file: usage fault", to(main_port, "--user", "alice",
             "--password-stdin", "--secret-file", empty_file), 64, None, b"alice-pass\n",
             stderr=b"empty"),
        Case("Reply-Message with CR LF stays on one line", to(main_port, "--user", "fay",
             "--password-stdin", *with_file), 0, b"line one\\x0d\\x0aline two\n", b"fay-pass\n"),
        Case("Reply-Message control bytes and invalid UTF-8 escaped", to(main_port, "--user",
             "rawreply", "--password-stdin", *with_file), 0,
             b"bytes:\\x01\\x7f\\x80\\xc3\\xff\n", b"rawreply-pass\n"),
        Case("repeated options: the last one wins", to("1", "--user", "nobody", "--timeout", "0",
             "--secret-file", "/nonexistent", "--password", "wrong", "--port", main_port,
             "--user", "alice", "--timeout", "3", "--password", "alice-pass", *with_file), 0,
             alice),
        Case("UTF-8 user and password", to(main_port, "--user", "jürgen", "--password-stdin",
             *with_file), 0, "Willkommen, Jürgen ✓\n".encode(),
             "pässwörd-€-пароль\n".encode()),
        Case("user name with spaces sent as given", to(main_port, "--user", " spaced ",
             "--password-stdin", *with_file), 0, b"Welcome, spaced\n", b"spaced-pass\n"),
        Case("two Reply-Messages, each on its line, in order", to(main_port, "--user", "dave",
             "--password-stdin", *with_file), 0, b"first line\nsecond line\n", b"dave-pass\n",
             one_line=False),
        Case("--timeout 300 taken", to(main_port, "--user", "alice", "--password-stdin",
             "--timeout", "300", *with_file), 0, alice, b"alice-pass\n"),
        Case("--timeout 301 refused: exit 4", to(main_port, "--user", "alice", "--password-stdin",
             "--timeout", "301", *with_file), 4, INVALID_INPUT, b"alice-pass\n",
             stderr=b"qvrad-auth: --timeout 301: seconds from 1 to 300"),
        Case("port 65536 refused, not cut to 16 bits: exit 4", to("65536", "--user", "alice",
             "--password-stdin", *with_file), 4, INVALID_INPUT, b"alice-pass\n",
             stderr=b"qvrad-auth: --port 65536: a number from 1 to 65535"),
        Case("listener requiring Message-Authenticator", to(fr["QVRAD_FR_PORT_MSGAUTH"],
             "--user", "alice", "--password-stdin", *with_file), 0, alice, b"alice-pass\n"),
        Case("localhost resolves", ["--server", "localhost", "--port", main_port, "--user",
             "alice", "--password-stdin", *with_file], 0, alice, b"alice-pass\n"),
    ]
    loop_secret = path("secret-loopback", Responder.SECRET + b"\n")
    # The default timeout of 5 s: these end at the reply, and a loaded machine has time.
    at_loop = ["--server", "127.0.0.1", "--port", loop.port, "--secret-file", loop_secret,
               "--password-stdin"]
    cases += [
        Case("loopback: every discard reason, then the signed Accept", at_loop + ["--user",
             "discards", "-v"], 0, b"made it\n", b"pw\n", stderr=[
                 b"Received 3 bytes, discarded: shorter than a RADIUS header",
                 b"Received more than 4096 bytes, discarded: larger than any RADIUS packet",
                 b"discarded: its Length field is below 20, above 4096 or past the bytes",
                 b"discarded: Response Authenticator does not verify",
                 b", 29 bytes, discarded: Identifier ", b", expected ",
                 b"discarded: it carries a Proxy-State",
                 b"discarded: Message-Authenticator not of length 18",
                 b"discarded: Message-Authenticator does not verify",
                 b", 47 bytes, verified",
                 b"\tMessage-Authenticator = <present, 16 bytes>",
                 b"\tReply-Message = \"made it\""]),
        Case("loopback: C1, escape and invalid UTF-8 escaped, printable UTF-8 kept",
             at_loop + ["--user", "hostile", "-v"], 1,
             b"esc:\\x1b[2J c1:\\xc2\\x9b31m raw:\\x9b cut:\\xe2\\x82 overlong:\\xc0\\xaf "
             b"surrogate:\\xed\\xa0\\x80 kept:\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x94\x91 \\\\ end\n",
             b"pw\n", stderr=b"\tReply-Message = \"esc:\\x1b[2J c1:\\xc2\\x9b31m"),
        Case("loopback: Accept without Reply-Message, exit 0", at_loop + ["--user",
             "quiet-accept"], 0, INVALID_FORMAT, b"pw\n"),
        Case("loopback: unsigned reply where one must be signed", at_loop + ["--user",
             "unsigned", "-v", "--timeout", "1"], 2, NETWORK_FAIL, b"pw\n",
             extra={"QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR": "yes"},
             stderr=b"discarded: no Message-Authenticator, which this server must send"),
        Case("loopback: replies of another secret discarded, the reason without -v",
             at_loop + ["--user", "wrong-secret", "--timeout", "1"], 2, NETWORK_FAIL, b"pw\n",
             stderr=b"): 1 transmission, 1 reply discarded: bad Response Authenticator (wrong "
                    b"secret?)", hidden=Responder.SECRET),
        Case("loopback: unsigned reply, --require-message-authenticator over auto",
             at_loop + ["--user", "unsigned", "--timeout", "1",
                        "--require-message-authenticator"], 2, NETWORK_FAIL, b"pw\n",
             stderr=b"without the Message-Authenticator it must carry"),
        Case("loopback: signed reply, --require-message-authenticator over no",
             at_loop + ["--user", "signed", "--require-message-authenticator"], 0,
             b"signed\n", b"pw\n", extra={"QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR": "no"}),
        # A list: 127.0.0.2 (nothing there) stays silent for its 1.5 s share of 3 s, then the
        # loopback server answers; --verbose shows the sends, the switch and what answered.
        Case("loopback: a list fails over to its second server, shown by --verbose",
             at_loop[:1] + ["127.0.0.2, 127.0.0.1"] + at_loop[2:] +
             ["--user", "signed", "--timeout", "3", "-v"], 0, b"signed\n", b"pw\n", stderr=[
                 b"to 127.0.0.2:" + loop.port.encode() + b", 64 bytes, transmission 1 at +0.0",
                 b"Server 1 stayed silent for its share: trying server 2",
                 b"to 127.0.0.1:" + loop.port.encode() + b", 64 bytes, transmission 1 at +1.",
                 b"verified, at +1.", b"after transmission 1 to server 2"]),
        Case("loopback: Accept with a malformed attribute is a Reject, exit 1",
             at_loop + ["--user", "malformed-accept", "-v"], 1, INVALID_FORMAT, b"pw\n",
             stderr=[b"\tReply-Message = \"looks fine\"", b"malformed attribute (type 25) at "
                     b"byte 32: its Length octet is below 2", b"treated as an Access-Reject"],
             hidden=b"Proxy-State"),
        Case("loopback: Accept whose text reads like an argument error, exit 0",
             at_loop + ["--user", "error-text-accept"], 0, INVALID_INPUT, b"pw\n"),
        Case("loopback: Reject whose text reads like an internal error, exit 1",
             at_loop + ["--user", "error-text-reject"], 1, b"6042#0#ERR_SDK_INTERNAL(x)\n",
             b"pw\n"),
        Case("loopback: bidirectional controls, separators, BOM and F4 90 escaped",
             at_loop + ["--user", "bidi"], 0,
             b"rlo:\\xe2\\x80\\xae lri:\\xe2\\x81\\xa6 pdi:\\xe2\\x81\\xa9 "
             b"lrm:\\xe2\\x80\\x8e rlm:\\xe2\\x80\\x8f alm:\\xd8\\x9c "
             b"ls:\\xe2\\x80\\xa8 ps:\\xe2\\x80\\xa9 bom:\\xef\\xbb\\xbf "
             b"kept:\xe2\x80\xaf\xe2\x81\xb0 past:\\xf4\\x90\\x80\\x80\n", b"pw\n"),
        Case("loopback: invisible format characters escaped, marks and letters beside kept",
             at_loop + ["--user", "invisible"], 0,
             b"hid:" + b"".join(b"".join(b"\\x%02x" % byte for byte in chr(c).encode())
                                for c in INVISIBLE) +
             b" kept:" + "".join(map(chr, INVISIBLE_KEPT)).encode() + b"\n", b"pw\n"),
    ]
    # Access-Challenge (RFC 2865 section 4.4): the answers from each source, each sent with the
    # State before it to the server that challenged (two_step checks both), over IPv4 and IPv6.
    answer_file = path("answers", b"111\r\n222\n")
    for server in ["127.0.0.1"] + (["::1"] if fr["QVRAD_FR_HOST6"] else []):
        at = loop if server == "127.0.0.1" else status_loop(loopback_scripts(), "::1")
        cases.append(Case("loopback %s: two challenges answered from --answer-stdin" % server,
                          ["--server", server, "--port", at.port, "--secret-file", loop_secret,
                           "--password-stdin", "--user", "otp", "--answer-stdin"], 0,
                          b"welcome, otp\n", b"pw\n111\n222\n",
                          stderr=[b"first factor", b"type the code", b"second factor"]))
    otp = at_loop + ["--user", "otp"]
    cases += [
        Case("loopback: answers from --answer-file, CR LF dropped", otp + ["--answer-file",
             answer_file], 0, b"welcome, otp\n", b"pw\n"),
        Case("loopback: a wrong answer is the server's Reject", otp + ["--answer-stdin"], 1,
             b"wrong code\n", b"pw\n111\n999\n"),
        Case("loopback: an empty answer refused, the reason named", otp + ["--answer-stdin"], 4,
             INVALID_INPUT, b"pw\n\n", stderr=b"qvrad-auth: answer: empty; an answer goes as a "
                                              b"password: 1 to 128 octets"),
        Case("loopback: challenged, no terminal and no answer source: exit 6", otp, 6,
             b"first factor\ntype the code\n", b"pw\n", one_line=False,
             stderr=b"--answer-stdin or --answer-file"),
        Case("loopback: --answer-stdin runs out at the second challenge: exit 6", otp +
             ["--answer-stdin"], 6, b"second factor\n", b"pw\n111\n",
             stderr=b"standard input holds no answer to challenge 2"),
        Case("loopback: an 11th challenge ends the login: exit 3", at_loop + ["--user",
             "endless", "--answer-stdin"], 3, INVALID_FORMAT, b"pw\n" + b"x\n" * 12,
             stderr=b"qvrad-auth: the server sent Access-Challenge number 11; "
                    b"QVRAD_OPT_MAX_CHALLENGES allows 10"),
        Case("loopback: --attributes, every row after the messages", at_loop + ["--user",
             "attrs", "--attributes"], 0, b"one\ntwo\\x1b\n"
             b"\tReply-Message = \"one\"\n\tReply-Message = \"two\\x1b\"\n"
             b"\tClass = 0x0102ff\n"
             b"\tVendor-Specific vendor=9 type=1 = \"shell:priv-lvl=15\"\n"
             b"\tSession-Timeout = 3600\n\tFramed-IP-Address = 127.0.0.9\n"
             b"\tAttr-200 = 0x0001\n\tVendor-Specific = 0x0100000901\n", b"pw\n",
             one_line=False),
        Case("loopback: -v names the reply's attributes as --attributes does",
             at_loop + ["--user", "attrs", "-v"], 0, b"one\ntwo\\x1b\n", b"pw\n",
             one_line=False, stderr=[b"\tClass = 0x0102ff",
                                     b"\tVendor-Specific vendor=9 type=1 = \"shell:priv-lvl=15\"",
                                     b"\tSession-Timeout = 3600",
                                     b"\tVendor-Specific = 0x0100000901"]),
    ]
    # The load mode (--repeat, --parallel): every login counted by its outcome, in one client;
    # a mix of Accept, Reject, Challenge and silence, one each in turn, so each count is known.
    def load_mix():
        arrived = [0]

        def script(r):
            arrived[0] += 1  # one responder thread: no lock needed
            code = [2, 3, 11, None][(arrived[0] - 1) % 4]
            return [] if code is None else [reply(r, code, [(24, b"s")], signed="good")]

        return script
    mix = status_loop({b"load-mix": load_mix()})
    accepting = status_loop({b"load": lambda r: [reply(r, 2, [], signed="good")]})
    load_at = ["--server", "127.0.0.1", "--secret-file", loop_secret, "--password-stdin"]
    cases += [
        Case("load: 200 logins by 8 threads, all accepted, exit 0, no progress off a terminal",
             load_at + ["--port", accepting.port, "--user", "load", "--repeat", "200",
                        "--parallel", "8"], 0, load_summary(200, 8, 200), b"pw\n",
             one_line=False, hidden=None if windows else b"\r"),
        Case("load: Accept, Reject, Challenge and silence counted apart, exit 2, the first "
             "failure's detail", load_at + ["--port", mix.port, "--user", "load-mix", "--repeat",
                                            "20", "--parallel", "4", "--timeout", "1"], 2,
             load_summary(20, 4, 5, 5, 5, b"failed: 5: no verified reply within the timeout\n"),
             b"pw\n", one_line=False,
             stderr=b"qvrad-auth: the first of these: no verified reply within 1 s: server 1 "
                    b"(127.0.0.1 port %s): silent after 1 transmission" % mix.port.encode()),
        Case("load: a refused user refuses the run as one login, exit 4", load_at +
             ["--port", accepting.port, "--user", "u" * 254, "--repeat", "50", "--parallel", "4"],
             4, INVALID_INPUT, b"pw\n", stderr=b"qvrad-auth: user: 254 octets"),
        Case("load: --parallel 257 is a usage fault", load_at + ["--port", accepting.port,
             "--user", "load", "--repeat", "10", "--parallel", "257"], 64, None, b"pw\n",
             stderr=b"--parallel takes a number of threads from 1 to 256"),
        Case("load: --repeat 1000001 is a usage fault", load_at + ["--port", accepting.port,
             "--user", "load", "--repeat", "1000001"], 64, None, b"pw\n",
             stderr=b"--repeat takes a number of logins from 1 to 1000000"),
        Case("load: -v is a usage fault", load_at + ["--port", accepting.port, "--user", "load",
             "--repeat", "2", "-v"], 64, None, b"pw\n", stderr=b"drop -v and --attributes"),
    ]
    if not windows:  # no SIGINT for a program under wine
        endless = status_loop({b"load": lambda r: [reply(r, 2, [], signed="good")]})

        def interrupt_after_some(proc):
            for _ in range(500):  # 500 x 0.02 s for the first logins to arrive
                if len(endless.received) >= 20:
                    proc.send_signal(signal.SIGINT)
                    return None
                time.sleep(0.02)
            return "no 20 logins arrived within 10 s"
        cases.append(Case("load: SIGINT stops the run cleanly with the summary so far, exit 130",
                          ["--server", "127.0.0.1", "--port", endless.port, "--secret-file",
                           loop_secret, "--user", "load", "--password", "pw", "--repeat",
                           "1000000", "--parallel", "2"], 130,
                          load_summary(1000000, 2, 0, stopped=True), one_line=False,
                          check=interrupt_after_some,
                          stderr=b"qvrad-auth: interrupted: waiting at most 5 s for the logins "
                                 b"under way"))
    if not windows:
        exposed_answers = path("answers-0644", b"111\n")
        os.chmod(exposed_answers, 0o644)
        cases.append(Case("answer file open to others refused: exit 64", otp + ["--answer-file",
                          exposed_answers], 64, None, b"pw\n",
                          stderr=[b"answer file", b"chmod 600"]))
    # --status (RFC 5997): a signed Access-Accept or Accounting-Response is alive, whatever the
    # setting only a signed reply counts, a signed reply of another Code is not alive, and
    # silence is one datagram, then exit 2 at the timeout.
    def status_to(port, *rest):
        return ["--status", "--server", "127.0.0.1", "--port", port,
                "--secret-file", loop_secret] + list(rest)
    alive = re.compile(rb"alive, round trip [0-9]+ ms\n")
    silent = status_loop(lambda r: [])
    unsigned_status = status_loop(lambda r: [reply(r, 2, [])])

    def one_probe(took):
        if len(silent.received) != 1:
            return "%d datagrams reached the silent server, want 1" % len(silent.received)
        if not 0.9 <= took < RUN_LIMIT:
            return "ended after %.2f s, want the 1 s timeout" % took
        return status_request_faults(silent.received[0])
    cases += [
        Case("--status: silence is one Status-Server, then exit 2", status_to(silent.port,
             "--timeout", "1", "-v"), 2, b"no answer within 1 s\n",
             stderr=[b"Sent Status-Server Id 0 to 127.0.0.1:%s, 38 bytes" % silent.port.encode(),
                     b"\tMessage-Authenticator = <present, 16 bytes>"], after=one_probe),
        Case("--status: unsigned Access-Accept alive, with a warning",
             status_to(unsigned_status.port), 0, alive,
             extra={"QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR": "no"},
             stderr=b"does not sign its Status-Server replies"),
        Case("--status: unsigned Access-Accept discarded under --require-message-authenticator",
             status_to(unsigned_status.port, "--timeout", "1", "--require-message-authenticator"),
             2, b"no answer within 1 s\n", stderr=b"without the Message-Authenticator it must carry"),
        Case("--status: a timeout past 19 s refused, the reason named",
             status_to(silent.port, "--timeout", "20"), 4, INVALID_INPUT,
             stderr=b"qvrad-auth: --timeout 20: seconds from 1 to 19 for --status"),
        Case("--status: signed Accounting-Response is alive", status_to(status_loop(
             lambda r: [reply(r, 5, [], signed="good")]).port), 0, alive),
        Case("--status: signed Access-Reject is not alive, exit 3", status_to(status_loop(
             lambda r: [reply(r, 3, [], signed="good")]).port), 3,
             b"answered Access-Reject, not alive\n"),
        # FreeRADIUS 3.2.1 answers Status-Server with an unsigned Access-Accept.
        Case("--status against FreeRADIUS %s: its unsigned answer alive, with a warning" %
             fr.get("QVRAD_FR_VERSION", ""), ["--status", "--server", host, "--port", main_port,
                                             "--timeout", "1", *with_file], 0, alive,
             stderr=b"does not sign its Status-Server replies"),
    ]
    if fr327:
        secret327 = path("secret-327", fr327["QVRAD_FR_SECRET_MAIN"].encode() + b"\n")
        cases.append(Case("--status against FreeRADIUS %s, which signs: alive" %
                          fr327.get("QVRAD_FR_VERSION", ""), ["--status", "--server", host,
                          "--port", fr327["QVRAD_FR_PORT_MAIN"], "--secret-file", secret327], 0,
                          alive, hidden=b"does not sign"))
    fifo = os.path.join(work, "secret-fifo")
    if not os.path.exists(fifo):
        os.mkfifo(fifo, 0o600)
    cases.append(Case("secret file that is a FIFO refused, without blocking", to(main_port,
                      "--user", "alice", "--password-stdin", "--secret-file", fifo), 64, None,
                      b"alice-pass\n", stderr=b"is not a regular file"))
    if not windows:  # Windows files carry access control lists, not an owner and mode
        def exposed(name, mode):
            p = path(name, main_secret.encode() + b"\n")
            os.chmod(p, mode)
            return p
        for mode in (0o640, 0o604, 0o620, 0o610, 0o601):
            cases.append(Case("secret file of mode %04o refused" % mode, to(main_port, "--user",
                              "alice", "--password-stdin", "--secret-file",
                              exposed("secret-%o" % mode, mode)), 64, None, b"alice-pass\n",
                              stderr=[b"open to group or others", b"chmod 600"]))
        if os.geteuid() == 0:
            foreign = path("secret-foreign", main_secret.encode() + b"\n")
            os.chown(foreign, 65534, 65534)
            cases.append(Case("secret file of another user refused", to(main_port, "--user",
                              "alice", "--password-stdin", "--secret-file", foreign), 64, None,
                              b"alice-pass\n", stderr=b"belongs to another user"))
    if windows and set_dacl:
        # A DACL set with SetNamedSecurityInfoW that lets Everyone read. Wine keeps no DACL as
        # set: it turns one into mode bits and shows one made from them (the others' read is
        # Everyone's), so Users, Authenticated Users, Guests and the passing of an owner or
        # Administrators DACL cannot be shown there; the owner-only (0600) files above pass.
        p = path("secret-dacl-everyone", main_secret.encode() + b"\n")
        subprocess.run(set_dacl + [p], check=True, timeout=RUN_LIMIT)
        cases.append(Case("secret file whose DACL lets Everyone read it: exit 64", to(main_port,
                          "--user", "alice", "--password-stdin", "--secret-file", p), 64, None,
                          b"alice-pass\n", stderr=[b"can be read by Everyone (S-1-1-0)",
                                                   b"icacls"]))
    if preload and (" " in preload or ":" in preload):
        # LD_PRELOAD splits its list at spaces and colons: use a copy at a plain path.
        plain = tempfile.mkdtemp(prefix="qvrad-preload-")
        atexit.register(shutil.rmtree, plain, True)
        preload = shutil.copy(preload, os.path.join(plain, os.path.basename(preload)))
    if preload:
        cases.append(Case("no descriptor left for the socket: exit 5", to(main_port, "--user",
                          "alice", "--secret", main_secret, "--password", "alice-pass"), 5,
                          b"6042#0#ERR_SDK_INTERNAL(Can not create RADIUS client stack)\n",
                          extra={"LD_PRELOAD": preload}, preexec=limit_descriptors))
    if proc_checks:
        word = "cmdline-secret-" + str(os.getpid())
        cases.append(Case("secret and password blanked in the command line", to(main_port,
                          "--user", "ghost", "--timeout", "3", "--secret", word, "--password",
                          word), 2, NETWORK_FAIL, check=proc_check(word.encode(), "cmdline")))
        word = "environ-secret-" + str(os.getpid())
        cases.append(Case("QVRAD_SECRET wiped from the environment", to(main_port, "--user",
                          "ghost", "--timeout", "3", "--password", "x"), 2, NETWORK_FAIL,
                          env={"QVRAD_SECRET": word}, check=proc_check(word.encode(), "environ")))
    # NAS identification (RFC 2865 section 4.1) through the options and the environment; the
    # server's nas user echoes what it decoded and rejects a request without a NAS-Identifier.
    nas = ["--user", "nas", "--password-stdin", *with_file]
    echo = b"NAS-Identifier %s; NAS address %s\n"
    for server, family in ((host, b"NAS-IP-Address"), (fr["QVRAD_FR_HOST6"], b"NAS-IPv6-Address")):
        if server:  # no ::1 listener where IPv6 is off
            cases.append(Case("--nas-ip-address auto to " + server, ["--server", server, "--port",
                              main_port, "--nas-identifier", "tool-nas", "--nas-ip-address", "auto",
                              "-v"] + nas, 0, echo % (b"tool-nas", server.encode()), b"nas-pass\n",
                              stderr=[b'\tNAS-Identifier = "tool-nas"',
                                      b"\t%s = %s" % (family, server.encode())]))
    cases += [
        Case("QVRAD_NAS_IDENTIFIER", to(main_port, *nas), 0, echo % (b"env-nas", b"none"),
             b"nas-pass\n", extra={"QVRAD_NAS_IDENTIFIER": "env-nas"}),
        Case("--nas-identifier empty: none sent, rejected", to(main_port, "--nas-identifier=",
             *nas), 1, b"Access denied\n", b"nas-pass\n", extra={"QVRAD_NAS_IDENTIFIER": "env-nas"}),
        Case("--nas-ip-address not an address", to(main_port, "--nas-ip-address", "127.1", *nas),
             64, None, b"nas-pass\n", stderr=b"--nas-ip-address takes"),
    ]
    return cases


def otp_user():
    """The two-step user of the test server's users.tsv (kind challenge-otp: user, password,
    challenge text, code, welcome, Class, Cisco-AVPair), or None where the table has none."""
    table = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "freeradius",
                         "users.tsv")
    with open(table, encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if len(fields) == 9 and fields[1] == "challenge-otp":
                return [field.encode() for field in fields[2:]]
    return None


def otp_cases(servers, work):
    """The two-step user against each FreeRADIUS server, over 127.0.0.1 and ::1: the code
    answered from --answer-stdin, the Accept's Class and Cisco-AVPair (vendor 9, type 1) shown
    by --attributes among whatever else the server adds."""
    row = otp_user()
    if row is None:
        print("skip the FreeRADIUS two-step login: users.tsv has no challenge-otp row")
        return []
    user, password, prompt, code, welcome, klass, avpair = row
    rows = rb"(?:\t[^\n]*\n)*"
    want = re.compile(re.escape(welcome + b"\n") + rows + re.escape(b"\tClass = 0x" +
                      klass.hex().encode() + b"\n") + rows + re.escape(
                      b"\tVendor-Specific vendor=9 type=1 = \"" + avpair + b"\"\n") +
                      rows)
    cases = []
    for fr in servers:
        secret = os.path.join(work, "secret-otp-" + fr["QVRAD_FR_PORT_MAIN"])
        with open(secret, "wb") as f:
            f.write(fr["QVRAD_FR_SECRET_MAIN"].encode() + b"\n")
        os.chmod(secret, 0o600)
        for host in filter(None, (fr["QVRAD_FR_HOST"], fr.get("QVRAD_FR_HOST6"))):
            cases.append(Case("FreeRADIUS %s at %s: the code answered from --answer-stdin" %
                              (fr.get("QVRAD_FR_VERSION", ""), host), ["--server", host, "--port",
                              fr["QVRAD_FR_PORT_MAIN"], "--secret-file", secret, "--user",
                              user.decode(), "--password-stdin", "--answer-stdin",
                              "--attributes"], 0, want, password + b"\n" + code + b"\n",
                              stderr=prompt, one_line=False))
    return cases


def tls_cases(fr, fr327, built_with_tls):
    """RADIUS over TLS to the servers' TLS listeners with the --tls-* options: certificates with
    what --verbose shows of the connection, the PSK over TLS 1.2 by --tls-psk-tls12 (3.2.1) and
    TLS 1.3 (3.2.7), an option in its variable's place, a refusal and its reason, and settings
    that make neither mode. A build without TLS refuses a tls:// server, sending nothing."""
    if not built_with_tls:
        return [Case("tls:// in a build without TLS: 6007, exit 4, the reason on stderr",
                     ["--server", "tls://127.0.0.1", "--port", fr["QVRAD_FR_PORT_MAIN"],
                      "--tls-psk-identity", "x", "--tls-psk-file", os.devnull, "--user", "alice",
                      "--password-stdin"], 4, b"6007#0#INVALID_INPUT_ERR\n", b"alice-pass\n",
                     {"QVRAD_SECRET": "unused"}, stderr=b"this build has no TLS")]
    if "QVRAD_FR_TLS_PORT_CERT" not in fr:
        print("skip the TLS rows: the server has no TLS listeners")
        return []
    port = fr["QVRAD_FR_TLS_PORT_CERT"]
    certs = ["--tls-ca", fr["QVRAD_FR_TLS_CA"], "--tls-cert", fr["QVRAD_FR_TLS_CLIENT_CERT"],
             "--tls-key", fr["QVRAD_FR_TLS_CLIENT_KEY"]]
    psk = ["--tls-psk-identity", fr["QVRAD_FR_TLS_PSK_IDENTITY"], "--tls-psk-file",
           fr["QVRAD_FR_TLS_PSK_KEY_FILE"]]
    # Over TLS the secret is "radsec" (RFC 6614 section 2.3): this one only must not be the PSK,
    # and being short draws no warning there.
    secret = {"QVRAD_SECRET": "unused"}
    login = ["--user", "alice", "--password-stdin"]
    alice = b"Welcome, alice\n"
    cases = [
        Case("tls:// with certificates and no secret given (radsec), verbose: version, suite, "
             "subject and issuer",
             ["--server", "tls://127.0.0.1", "--port", port, "-v"] + certs + login, 0, alice,
             b"alice-pass\n", stderr=[
                 b"Server 1: new TLS connection to 127.0.0.1:%s: TLSv1.3, TLS1-3-" % port.encode(),
                 b"\tcertificate subject CN=localhost, O=qvRadClient tests",
                 b"\tissued by CN=qvRadClient test CA, O=qvRadClient tests",
                 b"\tsubjectAltName DNS:localhost, IP:127.0.0.1", b"\tvalid from 20",
                 b"\tchain certificate 1 subject CN=qvRadClient test CA",
                 b"Received Access-Accept Id 1"], hidden=b"warning"),
        Case("tls:// refused: the certificate does not name the server asked for, exit 2",
             ["--server", "tls://127.0.0.1", "--port", port, "--tls-server-name",
              "radius.invalid"] + certs + login, 2, NETWORK_FAIL, b"alice-pass\n", secret,
             stderr=b"qvrad-auth: RADIUS over TLS failed: server 1 (tls://127.0.0.1 port %s): the "
                    b"name radius.invalid is not in the server certificate's subjectAltName"
                    % port.encode()),
        Case("tls:// refused, verbose: the chain that did not verify is shown",
             ["--server", "tls://127.0.0.1", "--port", port, "--tls-server-name",
              "radius.invalid", "-v"] + certs + login, 2, NETWORK_FAIL, b"alice-pass\n", secret,
             stderr=[b"Server 1: no TLS connection to 127.0.0.1:%s: the name radius.invalid"
                     % port.encode(), b"\tcertificate subject CN=localhost",
                     b"\tsubjectAltName DNS:localhost, IP:127.0.0.1", b"\tvalid from 20"]),
        Case("tls:// client certificate of another CA: refused (in TLS 1.3 after the handshake), "
             "told as a refusal and not as a request taken",
             ["--server", "tls://127.0.0.1", "--port", port, "-v", "--tls-ca", fr["QVRAD_FR_TLS_CA"],
              "--tls-cert", os.path.join(fr["QVRAD_FR_TLS_CERTS"], "client-other-ca.pem"),
              "--tls-key", os.path.join(fr["QVRAD_FR_TLS_CERTS"], "client-other-ca.key")] + login,
             2, NETWORK_FAIL, b"alice-pass\n", secret,
             # The server's close may also come while the client's last flight is under way.
             stderr=[b"Server 1: ", b"this client's certificate",
                     b"qvrad-auth: RADIUS over TLS failed: server 1 (tls://127.0.0.1 port %s): "
                     % port.encode(), b"this client's certificate"]),
        Case("tls:// option in its variable's place: --tls-server-name over QVRAD_TLS_SERVER_NAME",
             ["--server", "tls://127.0.0.1", "--port", port, "--tls-server-name", "localhost"] +
             login, 0, alice, b"alice-pass\n", secret, extra={
                 "QVRAD_TLS_CA_FILE": fr["QVRAD_FR_TLS_CA"],
                 "QVRAD_TLS_CERT_FILE": fr["QVRAD_FR_TLS_CLIENT_CERT"],
                 "QVRAD_TLS_KEY_FILE": fr["QVRAD_FR_TLS_CLIENT_KEY"],
                 "QVRAD_TLS_SERVER_NAME": "radius.invalid"}),
        Case("tls:// PSK over TLS 1.2 by --tls-psk-tls12, rejected, verbose",
             ["--server", "tls://127.0.0.1", "--port", fr["QVRAD_FR_TLS_PORT_PSK"], "-v",
              "--tls-psk-tls12"] + psk + login, 1, b"Access denied\n", b"wrong-pass\n", secret,
             stderr=b": TLSv1.2, TLS-ECDHE-PSK-WITH-CHACHA20-POLY1305-SHA256"),
        Case("tls:// PSK to the certificate listener: the server's refusal in words",
             ["--server", "tls://127.0.0.1", "--port", port] + psk + login, 2, NETWORK_FAIL,
             b"alice-pass\n", secret, stderr=b"the server closed the connection during the "
                                              b"handshake: it refused this client's PSK identity "
                                              b"or key"),
        Case("tls:// settings of neither mode: usage fault naming what is missing",
             ["--server", "tls://127.0.0.1", "--port", port, "--tls-cert",
              fr["QVRAD_FR_TLS_CLIENT_CERT"]] + login, 64, None, b"alice-pass\n", secret,
             stderr=[b"--tls-ca, --tls-cert", b"QVRAD_TLS_CA_FILE is not set"]),
        Case("--tls-* options without a tls:// server: usage fault",
             ["--server", fr["QVRAD_FR_HOST"], "--port", fr["QVRAD_FR_PORT_MAIN"]] + certs + login,
             64, None, b"alice-pass\n", secret, stderr=b"--server names none"),
    ]
    if fr327 and "QVRAD_FR_TLS_PORT_PSK" in fr327:
        cases.append(Case("tls:// PSK over TLS 1.3 to 3.2.7", ["--server", "tls://127.0.0.1",
                          "--port", fr327["QVRAD_FR_TLS_PORT_PSK"], "-v"] + psk + login, 0,
                          alice, b"alice-pass\n", secret, stderr=b": TLSv1.3, TLS1-3-"))
    return cases


def usage_cases(fr, no_tls):
    host, port = fr["QVRAD_FR_HOST"], fr["QVRAD_FR_PORT_MAIN"]
    base = ["--server", host, "--port", port]
    secret = {"QVRAD_SECRET": fr["QVRAD_FR_SECRET_MAIN"]}
    return [
        Case("no arguments", [], 64, stderr=b"--server is required"),
        Case("unknown option", base + ["--user", "alice", "--frobnicate"], 64,
             stderr=b"unknown argument: --frobnicate"),
        Case("stray argument", base + ["--user", "alice", "extra"], 64,
             stderr=b"unknown argument: extra"),
        Case("no --user", base + ["--password-stdin"], 64, stdin=b"x\n", env=secret,
             stderr=b"--user is required"),
        Case("no --server", ["--user", "alice", "--password-stdin"], 64, stdin=b"x\n",
             env=secret, stderr=b"--server is required"),
        Case("option value missing", base + ["--user"], 64, stderr=b"needs a value: --user"),
        Case("flag given a value", ["--help=yes"], 64, stderr=b"takes no value: --help"),
        Case("two secret sources", base + ["--user", "alice", "--secret", "s", "--secret-file",
             "f", "--password-stdin"], 64, stdin=b"x\n", stderr=b"give the secret once"),
        Case("no secret anywhere", base + ["--user", "alice", "--password-stdin"], 64,
             stdin=b"x\n", stderr=b"no secret"),
        Case("two password sources", base + ["--user", "alice", "--password", "p",
             "--password-stdin"], 64, env=secret, stderr=b"give the password once"),
        Case("no password, stdin not a terminal", base + ["--user", "alice"], 64, env=secret,
             stderr=b"--password-stdin"),
        Case("secret file missing: the system's reason", base + ["--user", "alice",
             "--password-stdin", "--secret-file", "/nonexistent/qvrad-secret"], 64, stdin=b"x\n",
             stderr=b"cannot open the secret file /nonexistent/qvrad-secret: ",
             hidden=b"the reason is unknown"),
        Case("answer file missing: the system's reason", base + ["--user", "alice",
             "--password-stdin", "--answer-file", "/nonexistent/qvrad-answers"], 64, stdin=b"x\n",
             env=secret, stderr=b"cannot open the answer file /nonexistent/qvrad-answers: ",
             hidden=b"the reason is unknown"),
        Case("--password-stdin on empty input", base + ["--user", "alice", "--password-stdin"],
             64, env=secret, stderr=b"standard input is empty"),
        Case("--password-stdin line with a NUL byte", base + ["--user", "alice",
             "--password-stdin"], 64, stdin=b"alice\x00pass\n", env=secret, stderr=b"NUL"),
        Case("--help", ["--help"], 0, None, one_line=False),
        Case("--version: the tool's and library's versions, TLS in or out, then the banner",
             ["--version"], 0, re.compile(
                 rb"qvrad-auth [0-9]+\.[0-9]+\.[0-9]+\nlibrary: qvRadClient [0-9.]+, linked in\n"
                 + (rb"RADIUS over TLS: not built in \(no Mbed TLS sources\): tls:// servers are "
                    rb"refused\n" if no_tls else
                    rb"RADIUS over TLS: built in, with Mbed TLS 3\.[6-9]\.[0-9]+\n") +
                 re.escape(BANNER)), one_line=False),
        Case("--status with --user", ["--status", "--user", "alice"] + base, 64, env=secret,
             stderr=b"--status sends no credentials"),
        Case("--status with a password", ["--status", "--password-stdin"] + base, 64,
             stdin=b"x\n", env=secret, stderr=b"--status sends no credentials"),
    ]


def terminal_cases(command, fr, base_env, loop):
    """The prompt on a pseudo-terminal: no echo of the typed password, echo back afterwards,
    also after an interrupt; challenge answers typed there."""
    import pty
    import select
    import termios

    env = dict(base_env)
    env["QVRAD_SECRET"] = fr["QVRAD_FR_SECRET_MAIN"]
    args = ["--server", fr["QVRAD_FR_HOST"], "--port", fr["QVRAD_FR_PORT_MAIN"], "--user", "alice"]
    faults = []

    def read_until(fd, want, seconds):
        seen = b""
        deadline = time.monotonic() + seconds
        while want not in seen and time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], 0.1)
            if ready:
                try:
                    chunk = os.read(fd, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                seen += chunk
        return seen

    for interrupt in (False, True):
        what = "terminal prompt" + (", interrupted" if interrupt else "")
        master, slave = pty.openpty()
        try:
            # A session of its own: the pty is then not its controlling terminal, so changing
            # the pty's modes never stops it with SIGTTOU.
            proc = subprocess.Popen(command + args, stdin=slave, stdout=subprocess.PIPE,
                                    stderr=slave, env=env, start_new_session=True)
            seen = read_until(master, b"Password: ", 10)
            if b"Password: " not in seen:
                faults.append("%s: no prompt, saw %r" % (what, seen))
                proc.kill()
                proc.communicate()
                continue
            if interrupt:
                proc.send_signal(signal.SIGINT)
                out, _ = proc.communicate(timeout=RUN_LIMIT)
                if proc.returncode != -signal.SIGINT:
                    faults.append("%s: exit %r, want death by SIGINT" % (what, proc.returncode))
            else:
                os.write(master, b"alice-pass\n")
                out, _ = proc.communicate(timeout=RUN_LIMIT)
                seen += read_until(master, b"\n", 2)
                if proc.returncode != 0 or out != b"Welcome, alice\n":
                    faults.append("%s: exit %r, stdout %r" % (what, proc.returncode, out))
                if b"alice-pass" in seen:
                    faults.append("%s: the password was echoed: %r" % (what, seen))
            if not termios.tcgetattr(slave)[3] & termios.ECHO:
                faults.append("%s: echo left off" % what)
        finally:
            os.close(master)
            os.close(slave)
    # Two challenges answered at the terminal: the first hidden, the second shown, as its
    # Prompt asks (RFC 2869 section 5.10).
    what = "challenge answers at the terminal"
    master, slave = pty.openpty()
    try:
        proc = subprocess.Popen(command + ["--server", "127.0.0.1", "--port", loop.port,
                                           "--user", "otp", "--password", "pw"],
                                stdin=slave, stdout=subprocess.PIPE, stderr=slave,
                                env=dict(env, QVRAD_SECRET=Responder.SECRET.decode()),
                                start_new_session=True)
        seen = read_until(master, b"Answer: ", 10)
        os.write(master, b"111\n")
        seen += read_until(master, b"Answer: ", 10)  # the second prompt, after its message
        os.write(master, b"222\n")
        out, _ = proc.communicate(timeout=RUN_LIMIT)
        seen += read_until(master, b"\n", 2)
        if proc.returncode != 0 or out != b"welcome, otp\n":
            faults.append("%s: exit %r, stdout %r" % (what, proc.returncode, out))
        if b"first factor" not in seen or b"111" in seen or b"222" not in seen:
            faults.append("%s: want the first answer hidden, the second shown: %r" % (what, seen))
    finally:
        os.close(master)
        os.close(slave)
    # The load mode's progress line on a terminal: updated in place, four times a second at
    # most, ended by a line feed. Four silent logins by two threads take two 1-second timeouts.
    what = "load progress on a terminal"
    master, slave = pty.openpty()
    try:
        start = time.monotonic()
        proc = subprocess.Popen(command + ["--server", "127.0.0.1", "--port", loop.port, "--user",
                                           "nobody-answers", "--password", "pw", "--timeout", "1",
                                           "--repeat", "4", "--parallel", "2"],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=slave,
                                env=dict(env, QVRAD_SECRET=Responder.SECRET.decode()),
                                start_new_session=True)
        out, _ = proc.communicate(timeout=RUN_LIMIT)
        took = time.monotonic() - start
        seen = read_until(master, b"4/4 logins", 5)
        seen += read_until(master, b"\n", 2)
        updates = seen.count(b" logins: ")
        if proc.returncode != 2 or not out.startswith(b"logins: 4 of 4"):
            faults.append("%s: exit %r, stdout %r" % (what, proc.returncode, out))
        # The terminal shows the line feed as CR LF (ONLCR).
        if not 2 <= updates <= 4 * took + 2 or b"\r4/4 logins: " not in seen or \
                b"per second    \r\n" not in seen:
            faults.append("%s: %d updates in %.1f s: %r" % (what, updates, took, seen))
    finally:
        os.close(master)
        os.close(slave)
    return faults


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--env", required=True)
    ap.add_argument("--env327", help="ports.env of the backports server (3.2.7), if it runs")
    ap.add_argument("--work", required=True)
    ap.add_argument("--preload")
    ap.add_argument("--no-terminal", action="store_true")
    ap.add_argument("--no-proc", action="store_true")
    ap.add_argument("--no-tls", action="store_true", help="the tool was built without TLS")
    ap.add_argument("--crlf", action="store_true", help="the tool ends lines with CR LF (Windows)")
    ap.add_argument("--set-dacl", help="the Windows helper that gives a file an explicit DACL, "
                    "run as COMMAND runs the tool")
    ap.add_argument("command", nargs="+")
    args = ap.parse_args()

    fr = read_env(args.env)
    fr327 = None
    if args.env327 and os.path.exists(args.env327):
        fr327 = read_env(args.env327)
        if "QVRAD_FR_UNAVAILABLE" in fr327 or "QVRAD_FR_PORT_MAIN" not in fr327:
            print("skip --status against the backports server: it does not run here")
            fr327 = None
    os.makedirs(args.work, exist_ok=True)
    base_env = {k: v for k, v in os.environ.items()
                if k not in ("QVRAD_SECRET", "QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR")
                and not k.startswith("QVRAD_TLS_")}
    # No NAS-Identifier unless a row names one: the 63-byte request the rows pin.
    base_env.update(QVRAD_NAS_IDENTIFIER="", QVRAD_NAS_IP_ADDRESS="")
    loop = Responder(loopback_scripts())
    atexit.register(loop.close)
    set_dacl = args.command[:-1] + [args.set_dacl] if args.set_dacl else None
    cases = server_cases(fr, fr327, args.work, args.preload, not args.no_proc, loop, args.crlf,
                         set_dacl) + otp_cases([fr] + ([fr327] if fr327 else []),
                                                args.work) + tls_cases(fr, fr327, not args.no_tls) + usage_cases(fr, args.no_tls)

    start = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
        results = list(pool.map(lambda c: run(args.command, c, base_env, args.crlf), cases))
    failed = 0
    for case, result in zip(cases, results):
        faults, took, err = judge(case, result)
        for word in (b"visible to other users", b"last of a repeated option wins",
                     b"1   Access-Reject", b"On Windows nothing is blanked", b"--tls-psk-tls12"):
            if case.name == "--help" and word not in result[1]:
                faults.append("--help does not say %r" % word)
        if faults:
            failed += 1
            print("FAIL %s (%.2f s): %s" % (case.name, took, "; ".join(faults)))
            if err:
                print("  stderr: %r" % err)
        else:
            print("ok   %s (%.2f s)" % (case.name, took))
    if not args.no_terminal:
        for fault in terminal_cases(args.command, fr, base_env, loop):
            failed += 1
            print("FAIL " + fault)
        print("terminal prompt cases done")
    print("%d cases, %d failed, %.1f s" % (len(cases), failed, time.monotonic() - start))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
