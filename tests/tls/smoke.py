#!/usr/bin/env python3
"""Checks that every RADIUS-over-TLS test peer does what it claims, before any client test
leans on it: the refusal peers of peers.sh, and the TLS listeners of a FreeRADIUS server.sh
started with --tls (handshakes with "openssl s_client", RADIUS exchanges with radsec.py).
Usage: smoke.py --peers PEERS_ENV | --freeradius PORTS_ENV   (exit 77: that server is unavailable)
"""

import argparse
import concurrent.futures
import os
import socket
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import radsec  # noqa: E402

S_CLIENT_TIMEOUT = 10  # seconds for one s_client run (the silent peer's check waits SILENT_WAIT)
SILENT_WAIT = 3
RAPID_CONNECTIONS = 24


def s_client(port, *options, host="127.0.0.1", wait=S_CLIENT_TIMEOUT):
    """One bounded "openssl s_client -brief" run: (handshake finished, its output)."""
    target = "[%s]:%d" % (host, port) if ":" in host else "%s:%d" % (host, port)
    try:
        proc = subprocess.run(["openssl", "s_client", "-connect", target, "-brief"] + list(options),
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=wait, check=False)
        out = proc.stdout.decode("utf-8", "replace")
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"").decode("utf-8", "replace") + "\n(s_client still waiting after %d s)" % wait
    return "CONNECTION ESTABLISHED" in out, out


def fingerprint_of_file(path):
    return subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in", path],
                          stdout=subprocess.PIPE, check=True, timeout=10).stdout.strip()


def served_fingerprint(port):
    """The SHA-256 fingerprint of the certificate the peer shows (not verified)."""
    proc = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port, "-showcerts"],
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          timeout=S_CLIENT_TIMEOUT, check=False)
    return subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256"], input=proc.stdout,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=10,
                          check=False).stdout.strip()


def psk_options(certs, key_file, version):
    with open(os.path.join(certs, "psk-identity"), encoding="ascii") as f:
        identity = f.read()
    with open(os.path.join(certs, key_file), encoding="ascii") as f:
        key = f.read().strip()
    flags = {"1.2": ["-tls1_2", "-cipher", "PSK"], "1.3": ["-tls1_3"]}[version]
    return flags + ["-psk_identity", identity, "-psk", key]


def expect_handshake(what, want, port, *options, host="127.0.0.1", contains=()):
    """A check: the handshake finishes (want True) or not, and the output holds CONTAINS."""
    def check():
        done, out = s_client(port, *options, host=host)
        missing = [c for c in contains if c not in out]
        if done != want or missing:
            return "%s: want handshake %s%s\n%s" % (what, "finished" if want else "refused",
                                                    ", output with %r" % missing if missing else "", out)
        return None
    return what, check


def expect_radius(what, connect, steps):
    """A check: on one connection, each step (user, password, use previous State, want code,
    want [(name, value)]) in turn; an attribute value None matches any value."""
    def check():
        try:
            conn = connect()
        except (OSError, ValueError) as e:
            return "%s: no connection: %s" % (what, e)
        try:
            state = None
            for identifier, (user, password, with_state, want_code, want_attrs) in enumerate(steps, 1):
                code, attrs, _ = radsec.exchange(conn, identifier, user, password, SECRET,
                                                 state if with_state else None)
                state = next((v for n, v in attrs if n == "State"), None)
                shown = [(n, None if w is None else v) for (n, v), (_, w) in zip(attrs, want_attrs)]
                if code != want_code or len(attrs) != len(want_attrs) or shown != want_attrs:
                    return "%s, step %d: want %s %r, got %s %r" % (what, identifier, want_code, want_attrs,
                                                                   code, attrs)
        except (OSError, ValueError, TimeoutError, ConnectionError) as e:
            return "%s: %s: %s" % (what, type(e).__name__, e)
        finally:
            conn.close()
        return None
    return what, check


def expect_refused(what, connect, user=b"alice", password=b"alice-pass"):
    """A check: no RADIUS reply comes back (the handshake or the first read fails)."""
    def check():
        try:
            conn = connect()
        except (OSError, ValueError):
            return None
        try:
            code, _, _ = radsec.exchange(conn, 1, user, password, SECRET)
            return "%s: want no reply, got %s" % (what, code)
        except (OSError, ValueError, TimeoutError, ConnectionError):
            return None
        finally:
            conn.close()
    return what, check


SECRET = b"radsec"


def peer_checks(env):
    certs = env["QVRAD_PEER_CERTS"]
    port = {name: int(env["QVRAD_PEER_PORT_" + name]) for name in env["QVRAD_PEER_NAMES"].split()}
    ca, other_ca = os.path.join(certs, "ca.pem"), os.path.join(certs, "other-ca.pem")
    strict = ["-CAfile", ca, "-verify_return_error"]
    checks = []
    # Each bad certificate is refused for its own reason, and is the file it claims to be.
    for name, cert, options, reason in [
        ("OTHER_CA", "server-other-ca.pem", strict, "unable to get local issuer certificate"),
        ("WRONG_NAME", "server-wrong-name.pem", strict + ["-verify_hostname", "localhost"], "hostname mismatch"),
        ("WRONG_NAME", "server-wrong-name.pem", strict + ["-verify_ip", "127.0.0.1"], "IP address mismatch"),
        ("EXPIRED", "server-expired.pem", strict, "certificate has expired"),
    ]:
        checks.append(expect_handshake("%s refused (%s)" % (name, reason), False, port[name], *options,
                                       contains=[reason]))
    for name, cert in [("OTHER_CA", "server-other-ca.pem"), ("CN_ONLY", "server-cn-only.pem"),
                       ("WRONG_NAME", "server-wrong-name.pem"), ("EXPIRED", "server-expired.pem"),
                       ("CLIENT_OTHER_CA", "server.pem"), ("CERT_ONLY", "server.pem")]:
        def shows(name=name, cert=cert):
            want, got = fingerprint_of_file(os.path.join(certs, cert)), served_fingerprint(port[name])
            return None if want and want == got else "%s shows %r, not %s (%r)" % (name, got, cert, want)
        checks.append(("%s shows %s" % (name, cert), shows))
    checks.append(expect_handshake("OTHER_CA taken with the other CA", True, port["OTHER_CA"],
                                   "-CAfile", other_ca, "-verify_return_error", "-verify_ip", "127.0.0.1"))

    def cn_only_has_no_san():
        out = subprocess.run(["openssl", "x509", "-noout", "-ext", "subjectAltName", "-subject", "-in",
                              os.path.join(certs, "server-cn-only.pem")], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, timeout=10, check=False).stdout.decode()
        return None if "CN = localhost" in out and "Alternative" not in out else "server-cn-only.pem: " + out
    checks.append(("CN_ONLY's certificate has CN localhost and no subjectAltName", cn_only_has_no_san))
    # CN_ONLY chains to the test CA: only the name check (subjectAltName required) refuses it.
    checks.append(expect_handshake("CN_ONLY chains to the test CA", True, port["CN_ONLY"], *strict))

    # The foreign client CA: the good client certificate is refused, the other CA's is taken.
    for version in (radsec.ssl.TLSVersion.TLSv1_2, radsec.ssl.TLSVersion.TLSv1_3):
        def good_client(version=version):
            return radsec.CertClient("127.0.0.1", port["CLIENT_OTHER_CA"], ca, os.path.join(certs, "client.pem"),
                                     os.path.join(certs, "client.key"), version=version)
        checks.append(expect_refused("CLIENT_OTHER_CA refuses client.pem (%s)" % version.name, good_client))

    def other_client():
        return radsec.CertClient("127.0.0.1", port["CLIENT_OTHER_CA"], ca, os.path.join(certs, "client-other-ca.pem"),
                                 os.path.join(certs, "client-other-ca.key"))
    checks.append(expect_radius("CLIENT_OTHER_CA takes client-other-ca.pem and answers", other_client,
                                [(b"alice", b"x", False, "Access-Accept",
                                  [("Reply-Message", b"qvrad test peer CLIENT_OTHER_CA")])]))

    # CERT_ONLY never selects a PSK: TLS 1.3 goes on with its certificate, TLS 1.2 PSK suites fail.
    checks.append(expect_handshake("CERT_ONLY answers a TLS 1.3 PSK offer with its certificate", True,
                                   port["CERT_ONLY"], *psk_options(certs, "psk.hex", "1.3"),
                                   contains=["Peer certificate: CN = localhost"]))
    checks.append(expect_handshake("CERT_ONLY has no TLS 1.2 PSK cipher suite", False, port["CERT_ONLY"],
                                   *psk_options(certs, "psk.hex", "1.2")))

    # The wrong-key PSK peers: the good key fails, their own (psk-wrong.hex) works, no certificate.
    for name, version in (("PSK13_WRONG_KEY", "1.3"), ("PSK12_WRONG_KEY", "1.2")):
        checks.append(expect_handshake("%s refuses psk.hex" % name, False, port[name],
                                       *psk_options(certs, "psk.hex", version)))
        checks.append(expect_handshake("%s takes psk-wrong.hex" % name, True, port[name],
                                       *psk_options(certs, "psk-wrong.hex", version),
                                       contains=["Protocol version: TLSv" + version, "No peer certificate"]))

    def silent():
        with socket.create_connection(("127.0.0.1", port["SILENT"]), timeout=SILENT_WAIT) as s:
            s.sendall(b"\x16\x03\x01\x00\x05hello")  # the start of a TLS record
            try:
                data = s.recv(1)
                return "SILENT sent %r" % data if data else "SILENT closed the connection"
            except socket.timeout:
                return None
    checks.append(("SILENT takes the connection and sends nothing for %d s" % SILENT_WAIT, silent))

    class Plain:
        def __init__(self):
            self.sock = socket.create_connection(("127.0.0.1", port["PLAIN"]), timeout=radsec.IO_TIMEOUT)
            self.framer = radsec.Framer(self._recv)

        def _recv(self, deadline):
            self.sock.settimeout(max(0.05, deadline - radsec.time.monotonic()))
            try:
                return self.sock.recv(radsec.MAX_PACKET)
            except socket.timeout:
                return None

        def send(self, packet):
            self.sock.sendall(packet)

        def close(self):
            self.sock.close()
    checks.append(expect_radius("PLAIN answers RADIUS over bare TCP, signed with radsec", Plain,
                                [(b"alice", b"x", False, "Access-Accept", [("Reply-Message", b"qvrad test peer PLAIN")]),
                                 (b"bob", b"y", False, "Access-Accept", [("Reply-Message", b"qvrad test peer PLAIN")])]))
    return checks


def freeradius_checks(env):
    certs = env["QVRAD_FR_TLS_CERTS"]
    ca = env["QVRAD_FR_TLS_CA"]
    version = env["QVRAD_FR_TLS_PSK_VERSION"]
    other = {"1.2": "1.3", "1.3": "1.2"}[version]
    hosts = [env["QVRAD_FR_HOST"]] + ([env["QVRAD_FR_HOST6"]] if env.get("QVRAD_FR_HOST6") else [])
    cert_port, psk_port = int(env["QVRAD_FR_TLS_PORT_CERT"]), int(env["QVRAD_FR_TLS_PORT_PSK"])
    client = ["-cert", env["QVRAD_FR_TLS_CLIENT_CERT"], "-key", env["QVRAD_FR_TLS_CLIENT_KEY"]]
    users = {row[0]: row for row in radsec_users(env)}
    otp = users["challenge-otp"]
    prompt, code, welcome, klass, avpair = otp[4]
    checks = []
    for host in hosts:
        verify = ["-CAfile", ca, "-verify_return_error", "-verify_ip", host]
        for flag, name in (("-tls1_2", "TLSv1.2"), ("-tls1_3", "TLSv1.3")):
            checks.append(expect_handshake("certificate listener at %s, %s" % (host, name), True, cert_port,
                                           flag, *verify, *client, host=host,
                                           contains=["Protocol version: " + name]))
        checks.append(expect_handshake("PSK listener at %s, TLS %s" % (host, version), True, psk_port,
                                       *psk_options(certs, "psk.hex", version), host=host,
                                       contains=["Protocol version: TLSv" + version, "No peer certificate"]))
        checks.append(expect_handshake("PSK listener at %s refuses TLS %s" % (host, other), False, psk_port,
                                       *psk_options(certs, "psk.hex", other), host=host))
        checks.append(expect_handshake("PSK listener at %s refuses the wrong key" % host, False, psk_port,
                                       *psk_options(certs, "psk-wrong.hex", version), host=host))
        for cert, key, why in ((None, None, "no client certificate"),
                               ("client-other-ca.pem", "client-other-ca.key", "a client certificate of another CA")):
            def connect(host=host, cert=cert, key=key):
                return radsec.CertClient(host, cert_port, ca, cert and os.path.join(certs, cert),
                                         key and os.path.join(certs, key))
            checks.append(expect_refused("certificate listener at %s refuses %s" % (host, why), connect))
        # The UDP users, over each TLS listener: Accept, Reject, and the two-step challenge.
        for mode in ("cert", "psk"):
            def connect(host=host, mode=mode):
                return radsec.connect(env, mode, host)
            steps = [
                (b"alice", b"alice-pass", False, "Access-Accept", [("Reply-Message", b"Welcome, alice")]),
                (b"alice", b"wrong-pass", False, "Access-Reject", [("Reply-Message", b"Access denied")]),
                (otp[2], otp[3], False, "Access-Challenge", [("Reply-Message", prompt), ("State", None)]),
                (otp[2], code, True, "Access-Accept",
                 [("Reply-Message", welcome), ("Class", klass), ("Cisco-AVPair", avpair)]),
                (otp[2], otp[3], False, "Access-Challenge", [("Reply-Message", prompt), ("State", None)]),
                (otp[2], b"999999", True, "Access-Reject", [("Reply-Message", b"Access denied")]),
            ]
            checks.append(expect_radius("RADIUS over %s TLS at %s" % (mode, host), connect, steps))
    # More connections one after the other than a client section's default limit (16) allows
    # while closed ones wait to be reaped: every one must be served.
    def in_a_row():
        for n in range(RAPID_CONNECTIONS):
            fault = expect_radius("", lambda: radsec.connect(env, "cert", hosts[0]),
                                  [(b"bob", b"bob-pass", False, "Access-Accept", [])])[1]()
            if fault:
                return "connection %d of %d%s" % (n + 1, RAPID_CONNECTIONS, fault)
        return None
    checks.append(("%d certificate connections in a row, each answered" % RAPID_CONNECTIONS, in_a_row))
    return checks


def radsec_users(env):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "freeradius"))
    import genconf  # noqa: E402
    return genconf.read_users(env["QVRAD_FR_USERS"])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    group = ap.add_mutually_exclusive_group(required=True)
    group.add_argument("--peers")
    group.add_argument("--freeradius")
    args = ap.parse_args()
    env = radsec.read_env(args.peers or args.freeradius)
    if "QVRAD_FR_UNAVAILABLE" in env:
        print("skipped: " + env["QVRAD_FR_UNAVAILABLE"])
        return 77
    if args.freeradius and "QVRAD_FR_TLS_PORT_CERT" not in env:
        print("FAIL: %s has no TLS listeners (server.sh start without --tls?)" % args.freeradius)
        return 1
    checks = peer_checks(env) if args.peers else freeradius_checks(env)
    # Side by side: the refusals and the silent peer each wait a little.
    with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
        faults = list(pool.map(lambda c: c[1](), checks))
    failed = 0
    for (what, _), fault in zip(checks, faults):
        if fault:
            failed += 1
            print("FAIL: " + fault)
        else:
            print("ok: " + what)
    print("%d passed, %d failed" % (len(checks) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
