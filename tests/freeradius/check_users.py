#!/usr/bin/env python3
"""Checks with radclient that a running test server answers every users.tsv row as listed.

It also checks every shared-secret listener and the Message-Authenticator listener, so a fault
found later by the interop tests can be told apart from a wrong server set-up.
Usage: check_users.py STATE_DIR   (the folder given to "server.sh start")
"""

import concurrent.futures
import os
import re
import subprocess
import sys

# No __pycache__ in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import genconf  # noqa: E402

RADCLIENT_TIMEOUT = "1"  # seconds; radclient gets one try (-r 1), so a drop costs one second


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


def fr_value(value):
    """Bytes as a radclient input string: the same octal escapes the users file uses."""
    return genconf.fr_string(value)


def unprint(text):
    """Inverts radclient's printing of a string value (between the quotes)."""
    out = bytearray()
    i = 0
    simple = {ord("\\"): 0x5C, ord('"'): 0x22, ord("r"): 0x0D, ord("n"): 0x0A, ord("t"): 0x09}
    while i < len(text):
        c = text[i]
        if c != 0x5C:
            out.append(c)
            i += 1
        elif text[i + 1 : i + 4].isdigit() and len(text[i + 1 : i + 4]) == 3:
            out.append(int(text[i + 1 : i + 4], 8))
            i += 4
        elif i + 1 < len(text) and text[i + 1] in simple:
            out.append(simple[text[i + 1]])
            i += 2
        else:
            raise ValueError("cannot decode radclient output %r" % text)
    return bytes(out)


RECEIVED = re.compile(rb"^Received (\S+) Id \d+ from ")
REPLY_MESSAGE = re.compile(rb'^\tReply-Message = "(.*)"$')


def radclient(host, port, secret, code, attrs):
    """Sends one request; returns (reply code name or None, [Reply-Message bytes], output)."""
    proc = subprocess.run(
        ["radclient", "-x", "-t", RADCLIENT_TIMEOUT, "-r", "1", "%s:%s" % (host, port), code, secret],
        input=attrs,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        timeout=30,
        check=False,
    )
    got, replies, in_reply = None, [], False
    for line in proc.stdout.split(b"\n"):
        m = RECEIVED.match(line)
        if m:
            got, in_reply = m.group(1).decode(), True
            continue
        if in_reply:
            m = REPLY_MESSAGE.match(line)
            if m:
                replies.append(unprint(m.group(1)))
    return got, replies, proc.stdout


def request(user, password, with_ma=True, nas=None):
    attrs = [b"User-Name = " + fr_value(user).encode(), b"User-Password = " + fr_value(password).encode()]
    if nas is not None:
        attrs.append(b"NAS-Identifier = " + fr_value(nas).encode())
    if with_ma:
        # radclient fills in the real HMAC-MD5 (RFC 3579 section 3.2) for a placeholder.
        attrs.append(b"Message-Authenticator = 0x00")
    return b", ".join(attrs) + b"\n"


EXPECTED_CODE = {
    "accept": "Access-Accept",
    "challenge": "Access-Challenge",
    "reject": "Access-Reject",
    "reject-quiet": "Access-Reject",
    "drop": None,
    "nas-echo": "Access-Accept",
}


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    state = sys.argv[1]
    env = read_env(os.path.join(state, "ports.env"))
    host = env["QVRAD_FR_HOST"]
    rows = genconf.read_users(env["QVRAD_FR_USERS"])

    # (case name, port, secret, radclient command, request, expected (code, replies) or code)
    cases = []
    main_port, main_secret = env["QVRAD_FR_PORT_MAIN"], env["QVRAD_FR_SECRET_MAIN"]
    for key, kind, user, password, replies in rows:
        want = (EXPECTED_CODE[kind], replies)
        if kind == "nas-echo":
            # With a NAS-Identifier the server echoes it; without one it rejects.
            echo = [b"NAS-Identifier check-users; NAS address none"]
            cases.append(("users.tsv " + key, main_port, main_secret, "auth",
                          request(user, password, nas=b"check-users"), ("Access-Accept", echo)))
            want = ("Access-Reject", [b"Access denied"])
            key += " without a NAS-Identifier"
        cases.append(("users.tsv " + key, main_port, main_secret, "auth", request(user, password), want))

    alice = request(b"alice", b"alice-pass")
    for name, _, require_ma in genconf.LISTENS:
        port, secret = env["QVRAD_FR_PORT_" + name], env["QVRAD_FR_SECRET_" + name]
        what = "listener %s (secret of %d bytes)" % (name, len(secret))
        cases.append((what, port, secret, "auth", alice, ("Access-Accept", [b"Welcome, alice"])))
        # A wrong secret garbles the password and the server's reply fails radclient's
        # Response Authenticator check (RFC 2865 section 3), so nothing valid comes back.
        wrong = secret[:-1] if len(secret) > 1 else secret + "y"
        cases.append((what + " with a secret one byte off", port, wrong, "auth", alice, None))
        if require_ma:
            bare = request(b"alice", b"alice-pass", with_ma=False)
            cases.append((what + " without Message-Authenticator", port, secret, "auth", bare, None))

    cases.append(("Status-Server with Message-Authenticator", main_port, main_secret, "status",
                  b"Message-Authenticator = 0x00\n", "Access-Accept"))
    cases.append(("Status-Server without Message-Authenticator (RFC 5997 section 3)", main_port,
                  main_secret, "status", b'NAS-Identifier = "check"\n', None))

    def run(case):
        _, port, secret, code, attrs, _ = case
        return radclient(host, port, secret, code, attrs)

    # Unanswered requests each wait out radclient's timeout, so the cases run side by side.
    with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
        results = list(pool.map(run, cases))

    passed, failed = 0, 0
    for (name, _, _, _, _, want), (got, got_replies, out) in zip(cases, results):
        have = (got, got_replies) if isinstance(want, tuple) else got
        if have == want:
            passed += 1
            continue
        failed += 1
        print("FAIL %s: got %r, want %r" % (name, have, want))
        print(out.decode("utf-8", "replace"))

    print("%d passed, %d failed" % (passed, failed))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
