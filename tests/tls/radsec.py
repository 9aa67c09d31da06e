#!/usr/bin/env python3
"""RADIUS over TLS for the test peers and their smoke test: an independent encoder and decoder.

Access-Request encoding (RFC 2865 sections 3, 5.2; Message-Authenticator, RFC 3579 section 3.2),
reply checks, RFC 6613 framing (packets back to back on the stream, each one's length in its
header) and two clients: Python's ssl module with certificates, "openssl s_client -psk" for
TLS-PSK (Python 3.11's ssl has no PSK).
Usage as a program: radsec.py --env PORTS_ENV [--mode cert|psk] [--host H] USER PASSWORD [STATE]
prints the reply code and attributes.
"""

import argparse
import hashlib
import hmac
import os
import select
import socket
import ssl
import struct
import subprocess
import sys
import time

# RFC 2865 section 4: packet codes.
ACCESS_REQUEST, ACCESS_ACCEPT, ACCESS_REJECT, ACCESS_CHALLENGE = 1, 2, 3, 11
CODE_NAMES = {ACCESS_ACCEPT: "Access-Accept", ACCESS_REJECT: "Access-Reject",
              ACCESS_CHALLENGE: "Access-Challenge"}
# RFC 2865 section 5 attribute types; Message-Authenticator is RFC 3579 section 3.2.
USER_NAME, USER_PASSWORD, REPLY_MESSAGE, STATE, CLASS, VENDOR_SPECIFIC = 1, 2, 18, 24, 25, 26
MESSAGE_AUTHENTICATOR = 80
ATTR_NAMES = {REPLY_MESSAGE: "Reply-Message", STATE: "State", CLASS: "Class"}
CISCO, CISCO_AVPAIR = 9, 1  # Vendor-Specific (RFC 2865 section 5.26): Cisco's vendor 9, type 1
HEADER = 20  # code, identifier, length, authenticator (RFC 2865 section 3)
MAX_PACKET = 4096  # RFC 2865 section 3
IO_TIMEOUT = 5.0  # seconds for any one connect, handshake or reply


def hide_password(password, secret, authenticator):
    """RFC 2865 section 5.2: the password padded to 16 octets, XORed with an MD5 chain."""
    padded = (password or b"\0") + b"\0" * (-max(len(password), 1) % 16)
    out, last = b"", authenticator
    for i in range(0, len(padded), 16):
        key = hashlib.md5(secret + last).digest()
        last = bytes(a ^ b for a, b in zip(padded[i:i + 16], key))
        out += last
    return out


def attribute(kind, value):
    assert 0 < len(value) <= 253
    return bytes([kind, len(value) + 2]) + value


def access_request(identifier, user, password, secret, state=None):
    """An Access-Request with a Message-Authenticator; returns (packet, request authenticator)."""
    authenticator = os.urandom(16)
    attrs = attribute(USER_NAME, user) + attribute(USER_PASSWORD, hide_password(password, secret, authenticator))
    if state is not None:
        attrs += attribute(STATE, state)
    attrs += attribute(MESSAGE_AUTHENTICATOR, b"\0" * 16)
    packet = struct.pack("!BBH", ACCESS_REQUEST, identifier, HEADER + len(attrs)) + authenticator + attrs
    mac = hmac.new(secret, packet, hashlib.md5).digest()
    return packet[:-16] + mac, authenticator


def parse_attributes(body):
    attrs, i = [], 0
    while i < len(body):
        if i + 2 > len(body) or body[i + 1] < 2 or i + body[i + 1] > len(body):
            raise ValueError("attribute overruns the packet at offset %d" % (HEADER + i))
        attrs.append((body[i], body[i + 2:i + body[i + 1]], HEADER + i))
        i += body[i + 1]
    return attrs


def check_reply(packet, identifier, request_authenticator, secret):
    """Verifies a reply (RFC 2865 section 3 Response Authenticator; RFC 3579 section 3.2
    Message-Authenticator when there is one) and returns (code name, [(name, value)], signed)."""
    if len(packet) < HEADER:
        raise ValueError("reply of %d octets" % len(packet))
    code, ident, length = struct.unpack("!BBH", packet[:4])
    if length != len(packet) or ident != identifier:
        raise ValueError("reply length %d/%d, identifier %d/%d" % (length, len(packet), ident, identifier))
    expect = hashlib.md5(packet[:4] + request_authenticator + packet[HEADER:] + secret).digest()
    if not hmac.compare_digest(expect, packet[4:20]):
        raise ValueError("wrong Response Authenticator")
    out, signed = [], False
    for kind, value, offset in parse_attributes(packet[HEADER:]):
        if kind == MESSAGE_AUTHENTICATOR:
            zeroed = packet[:4] + request_authenticator + packet[HEADER:offset + 2] + b"\0" * 16 + packet[offset + 18:]
            if len(value) != 16 or not hmac.compare_digest(hmac.new(secret, zeroed, hashlib.md5).digest(), value):
                raise ValueError("wrong Message-Authenticator")
            signed = True
        elif kind == VENDOR_SPECIFIC and len(value) >= 6 and value[:4] == struct.pack("!I", CISCO) \
                and value[4] == CISCO_AVPAIR and value[5] == len(value) - 4:
            out.append(("Cisco-AVPair", value[6:]))
        elif kind in ATTR_NAMES:
            out.append((ATTR_NAMES[kind], value))
        else:
            out.append(("Attr-%d" % kind, value))
    return CODE_NAMES.get(code, "Code-%d" % code), out, signed


def access_accept(request, secret, message):
    """The signed Access-Accept a test peer answers REQUEST with: one Reply-Message, a
    Message-Authenticator (RFC 3579 section 3.2), the Response Authenticator (RFC 2865 section 3)."""
    ident, request_authenticator = request[1], request[4:20]
    attrs = attribute(REPLY_MESSAGE, message) + attribute(MESSAGE_AUTHENTICATOR, b"\0" * 16)
    head = struct.pack("!BBH", ACCESS_ACCEPT, ident, HEADER + len(attrs))
    mac = hmac.new(secret, head + request_authenticator + attrs, hashlib.md5).digest()
    attrs = attrs[:-16] + mac
    return head + hashlib.md5(head + request_authenticator + attrs + secret).digest() + attrs


class Framer:
    """RFC 6613 section 2.1 framing on a byte stream: reads whole packets, bounded in time."""

    def __init__(self, recv):
        self.recv, self.buf = recv, b""

    def packet(self, deadline):
        while True:
            if len(self.buf) >= 4:
                length = struct.unpack("!H", self.buf[2:4])[0]
                if length < HEADER or length > MAX_PACKET:
                    raise ValueError("framed length %d" % length)
                if len(self.buf) >= length:
                    packet, self.buf = self.buf[:length], self.buf[length:]
                    return packet
            if time.monotonic() >= deadline:
                raise TimeoutError("no whole reply in time")
            data = self.recv(deadline)  # None: nothing yet; b"": closed
            if data is None:
                continue
            if not data:
                raise ConnectionError("the peer closed the connection")
            self.buf += data


class CertClient:
    """A TLS connection with a client certificate (ssl module), checking the server's name."""

    def __init__(self, host, port, ca, cert=None, key=None, server_name="localhost", version=None):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.load_verify_locations(ca)
        if cert:
            ctx.load_cert_chain(cert, key)
        if version:
            ctx.minimum_version = ctx.maximum_version = version
        raw = socket.create_connection((host, port), timeout=IO_TIMEOUT)
        try:
            self.sock = ctx.wrap_socket(raw, server_hostname=server_name)
        except BaseException:
            raw.close()
            raise
        self.version, self.cipher = self.sock.version(), self.sock.cipher()[0]
        self.framer = Framer(self._recv)

    def _recv(self, deadline):
        self.sock.settimeout(max(0.05, deadline - time.monotonic()))
        try:
            return self.sock.recv(MAX_PACKET)
        except socket.timeout:
            return None

    def send(self, packet):
        self.sock.sendall(packet)

    def close(self):
        self.sock.close()


class PskClient:
    """A TLS-PSK connection through "openssl s_client -quiet": its stdin and stdout are the
    stream. Ended by its PID (terminate, then kill) when closed."""

    def __init__(self, host, port, identity, key_hex, version):
        flag = {"1.2": "-tls1_2", "1.3": "-tls1_3"}[version]
        target = "[%s]:%d" % (host, port) if ":" in host else "%s:%d" % (host, port)
        self.proc = subprocess.Popen(
            ["openssl", "s_client", "-quiet", "-connect", target, flag, "-psk_identity", identity,
             "-psk", key_hex],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.framer = Framer(self._recv)

    def _recv(self, deadline):
        ready, _, _ = select.select([self.proc.stdout], [], [], max(0.0, deadline - time.monotonic()))
        # At the end of s_client (a failed handshake, a closed connection) its stdout reads empty.
        return os.read(self.proc.stdout.fileno(), MAX_PACKET) if ready else None

    def send(self, packet):
        self.proc.stdin.write(packet)
        self.proc.stdin.flush()

    def stderr(self):
        return self.proc.stderr.read().decode("utf-8", "replace") if self.proc.poll() is not None else ""

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=2)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=2)
        for f in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                f.close()
            except OSError:
                pass


def exchange(conn, identifier, user, password, secret, state=None):
    """One Access-Request on an open connection; returns check_reply's answer."""
    packet, authenticator = access_request(identifier, user, password, secret, state)
    conn.send(packet)
    deadline = time.monotonic() + IO_TIMEOUT
    return check_reply(conn.framer.packet(deadline), identifier, authenticator, secret)


def read_env(path):
    env = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            key, sep, value = line.rstrip("\n").partition("=")
            if sep and not key.startswith("#"):
                env[key] = value[1:-1] if value[:1] == "'" and value[-1:] == "'" else value
    return env


def connect(env, mode, host):
    """A connection to a FreeRADIUS TLS listener of ports.env ENV: "cert" or "psk"."""
    if mode == "cert":
        return CertClient(host, int(env["QVRAD_FR_TLS_PORT_CERT"]), env["QVRAD_FR_TLS_CA"],
                          env["QVRAD_FR_TLS_CLIENT_CERT"], env["QVRAD_FR_TLS_CLIENT_KEY"])
    with open(env["QVRAD_FR_TLS_PSK_KEY_FILE"], encoding="ascii") as f:
        key = f.read().strip()
    return PskClient(host, int(env["QVRAD_FR_TLS_PORT_PSK"]), env["QVRAD_FR_TLS_PSK_IDENTITY"], key,
                     env["QVRAD_FR_TLS_PSK_VERSION"])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--env", required=True)
    ap.add_argument("--mode", choices=("cert", "psk"), default="cert")
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("user")
    ap.add_argument("password")
    ap.add_argument("state", nargs="?", help="State to send, in hex")
    args = ap.parse_args()
    env = read_env(args.env)
    conn = connect(env, args.mode, args.host)
    try:
        state = bytes.fromhex(args.state) if args.state else None
        code, attrs, signed = exchange(conn, 1, args.user.encode(), args.password.encode(),
                                       env["QVRAD_FR_TLS_SECRET"].encode(), state)
    finally:
        conn.close()
    print(code + (" (signed)" if signed else ""))
    for name, value in attrs:
        print("\t%s = %s" % (name, value.hex() if name == "State" else value.decode("utf-8", "replace")))


if __name__ == "__main__":
    sys.exit(main())
