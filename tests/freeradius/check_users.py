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


REPLY_ATTR = re.compile(rb"^\t(\S+) = (.*)$")


def reply_attrs(out):
    """The reply's attributes as radclient printed them: [(name, value bytes)], strings decoded.

    Message-Authenticator is left out: radclient has checked it (RFC 3579 section 3.2), and
    only 3.2.5 and later send one in every reply.
    """
    attrs, in_reply = [], False
    for line in out.split(b"\n"):
        if RECEIVED.match(line):
            in_reply = True
            continue
        m = REPLY_ATTR.match(line) if in_reply else None
        if not m or m.group(1) == b"Message-Authenticator":
            continue
        value = m.group(2)
        if value.startswith(b'"') and value.endswith(b'"'):
            value = unprint(value[1:-1])
        elif value.startswith(b"0x"):
            value = bytes.fromhex(value[2:].decode())
        attrs.append((m.group(1).decode(), value))
    return attrs


def request(user, password, with_ma=True, nas=None, state=None):
    attrs = [b"User-Name = " + fr_value(user).encode(), b"User-Password = " + fr_value(password).encode()]
    if state is not None:
        attrs.append(b"State = 0x" + state.hex().encode())
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


# The fixed State of the "challenge" kind (genconf.py): one this server never issued for a
# challenge-otp login.
FOREIGN_STATE = bytes.fromhex("71767261642d6368616c6c656e6765")


def otp_flows(key, user, password, fields, host, port, secret):
    """A challenge-otp row's two-step logins (RFC 2865 section 4.4) as (name, function) pairs;
    each function runs one login in order and returns its faults."""
    prompt, code, welcome, klass, avpair = genconf.otp_fields(fields)
    denied = [("Reply-Message", b"Access denied")]

    def ask(state, secret_password):
        got, _, out = radclient(host, port, secret, "auth", request(user, secret_password, state=state))
        return got, reply_attrs(out), out

    def challenge(faults):
        got, attrs, out = ask(None, password)
        states = [v for n, v in attrs if n == "State"]
        others = [(n, v) for n, v in attrs if n != "State"]
        if got != "Access-Challenge" or len(states) != 1 or others != [("Reply-Message", prompt)]:
            faults.append("first step: want Access-Challenge with one State and Reply-Message %r\n%s"
                          % (prompt, out.decode("utf-8", "replace")))
            return None
        return states[0]

    def answer(faults, what, state, given, want_code, want_attrs):
        got, attrs, out = ask(state, given)
        if got != want_code or attrs != want_attrs:
            faults.append("%s: want %s %r, got %s %r\n%s" % (what, want_code, want_attrs, got, attrs,
                                                            out.decode("utf-8", "replace")))

    accepted = [("Reply-Message", welcome), ("Class", klass), ("Cisco-AVPair", avpair)]

    def right_code():
        faults = []
        state = challenge(faults)
        if state is not None:
            answer(faults, "the code with the State", state, code, "Access-Accept", accepted)
            answer(faults, "the answered State again", state, code, "Access-Reject", denied)
        return faults

    def wrong_code():
        faults = []
        state = challenge(faults)
        if state is not None:
            answer(faults, "a wrong code with the State", state, password, "Access-Reject", denied)
        return faults

    def second_challenge_differs():
        faults = []
        first, second = challenge(faults), challenge(faults)
        if first is not None and first == second:
            faults.append("two challenges carried the same State %s" % first.hex())
        return faults

    def foreign_state():
        faults = []
        answer(faults, "the code with a State never issued", FOREIGN_STATE, code, "Access-Reject", denied)
        return faults

    where = "users.tsv %s at %s" % (key, host)
    return [
        (where + ": challenge, then the code with its State", right_code),
        (where + ": challenge, then a wrong code with its State", wrong_code),
        (where + ": each challenge has its own State", second_challenge_differs),
        (where + ": the code with a State the server never issued", foreign_state),
    ]


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
    flows = []
    for key, kind, user, password, replies in rows:
        if kind == "challenge-otp":
            for where in [host] + (["[%s]" % env["QVRAD_FR_HOST6"]] if env.get("QVRAD_FR_HOST6") else []):
                flows += otp_flows(key, user, password, replies, where, main_port, main_secret)
            continue
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
        flow_results = [pool.submit(flow) for _, flow in flows]
        results = list(pool.map(run, cases))
        flow_results = [f.result() for f in flow_results]

    passed, failed = 0, 0
    for (name, _, _, _, _, want), (got, got_replies, out) in zip(cases, results):
        have = (got, got_replies) if isinstance(want, tuple) else got
        if have == want:
            passed += 1
            continue
        failed += 1
        print("FAIL %s: got %r, want %r" % (name, have, want))
        print(out.decode("utf-8", "replace"))

    for (name, _), faults in zip(flows, flow_results):
        if not faults:
            passed += 1
            continue
        failed += 1
        print("FAIL %s:" % name)
        for fault in faults:
            print(fault)

    print("%d passed, %d failed" % (passed, failed))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
