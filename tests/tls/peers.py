#!/usr/bin/env python3
"""Loopback TLS peers that a RADIUS-over-TLS client must refuse, and two bare TCP ones.

Started by peers.sh; one process, one thread per connection. Every TLS peer that completes a
handshake answers each framed Access-Request (RFC 6613 section 2.1) with a correctly signed
Access-Accept (secret "radsec", RFC 6614 section 2.3) whose Reply-Message names the peer, so a
client that should have refused the peer but did not is seen getting an Accept.
Usage: peers.py CERTS STATE_DIR LIFETIME: binds every Python peer on 127.0.0.1 port 0 itself,
starts one "openssl s_server" per wrong-key PSK peer as a child (ended by its PID with this
process), and once every port takes connections writes NAME=PORT lines to STATE_DIR/peers.ports
and the children's PIDs to STATE_DIR/children.pids; exits after LIFETIME seconds or on SIGTERM.
"""

import os
import signal
import subprocess
import socket
import ssl
import sys
import threading
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import radsec  # noqa: E402

HOST = "127.0.0.1"
SECRET = b"radsec"
IDLE = 30.0  # seconds a connection may stay quiet (the silent peer holds it that long at most)
MAX_CONNECTIONS = 64  # at once; more wait in the listen backlog
MAX_PACKETS = 100  # answered per connection


def tls_context(certs, cert, client_ca=None):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    ctx.load_cert_chain(os.path.join(certs, cert + ".pem"), os.path.join(certs, cert + ".key"))
    if client_ca:
        ctx.verify_mode = ssl.CERT_REQUIRED
        ctx.load_verify_locations(os.path.join(certs, client_ca))
    return ctx


def peers(certs):
    """NAME -> TLS context (None: bare TCP) and what the peer does after accepting."""
    return {
        # Bad server certificates (tests/tls/make-certs.sh says what is wrong with each).
        "OTHER_CA": (tls_context(certs, "server-other-ca"), "answer"),
        "CN_ONLY": (tls_context(certs, "server-cn-only"), "answer"),
        "WRONG_NAME": (tls_context(certs, "server-wrong-name"), "answer"),
        "EXPIRED": (tls_context(certs, "server-expired"), "answer"),
        # A good server certificate, but only client certificates of the other CA are taken.
        "CLIENT_OTHER_CA": (tls_context(certs, "server", client_ca="other-ca.pem"), "answer"),
        # Certificates only (no PSK is ever selected): a PSK-only client must not go on.
        "CERT_ONLY": (tls_context(certs, "server"), "answer"),
        # Takes the connection and never sends a byte: no handshake ever finishes.
        "SILENT": (None, "silent"),
        # RADIUS over TCP without TLS: a client that expects TLS must not take its Accept.
        "PLAIN": (None, "answer"),
    }


def answer(name, stream, recv):
    framer = radsec.Framer(recv)
    for _ in range(MAX_PACKETS):
        packet = framer.packet(time.monotonic() + IDLE)
        if packet[0] == radsec.ACCESS_REQUEST:
            stream.sendall(radsec.access_accept(packet, SECRET, ("qvrad test peer " + name).encode()))


def serve(name, ctx, behaviour, conn, slots):
    try:
        conn.settimeout(IDLE)
        if behaviour == "silent":
            # Reads (and drops) until the client closes or IDLE passes; writes nothing.
            deadline = time.monotonic() + IDLE
            while time.monotonic() < deadline and conn.recv(4096):
                pass
            return
        stream = ctx.wrap_socket(conn, server_side=True) if ctx else conn

        def recv(deadline):
            stream.settimeout(max(0.05, deadline - time.monotonic()))
            try:
                return stream.recv(radsec.MAX_PACKET)
            except socket.timeout:
                return None

        answer(name, stream, recv)
    except (OSError, ValueError, TimeoutError, ConnectionError):
        pass  # a refused handshake, a closed or idle connection: the client's business
    finally:
        conn.close()
        slots.release()


def listen_loop(name, ctx, behaviour, sock, slots):
    while True:
        conn, _ = sock.accept()
        slots.acquire()
        threading.Thread(target=serve, args=(name, ctx, behaviour, conn, slots), daemon=True).start()


# The wrong-key PSK peers (Python's ssl has no PSK): openssl s_server options beside the port.
PSK_PEERS = {
    "PSK13_WRONG_KEY": ["-tls1_3"],
    # TLS 1.2: PSK key exchange cipher suites only (there is no certificate to offer).
    "PSK12_WRONG_KEY": ["-tls1_2", "-cipher", "PSK"],
}
BIND_ATTEMPTS = 5  # fresh ports for an s_server whose port was taken between pick and bind
READY_POLLS = 50  # x 0.1 s for an s_server to take connections


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def takes_connections(port):
    try:
        socket.create_connection((HOST, port), timeout=1).close()
        return True
    except OSError:
        return False


def start_psk_peer(name, options, certs, state, children):
    """An s_server with the wrong key; returns its port once it takes connections."""
    with open(os.path.join(certs, "psk-identity"), encoding="ascii") as f:
        identity = f.read()
    with open(os.path.join(certs, "psk-wrong.hex"), encoding="ascii") as f:
        key = f.read().strip()
    for _ in range(BIND_ATTEMPTS):
        port = free_port()
        # -nocert: PSK only. The key is a test key, so it may show in the process list.
        with open(os.path.join(state, name + ".log"), "wb") as log:
            child = subprocess.Popen(
                ["openssl", "s_server", "-accept", "%s:%d" % (HOST, port), "-nocert", "-psk_identity",
                 identity, "-psk", key, "-quiet"] + options,
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        children.append(child)
        for _ in range(READY_POLLS):
            if child.poll() is not None:
                break  # its port was taken meanwhile: another one
            if takes_connections(port):
                return port
            time.sleep(0.1)
        if child.poll() is None:
            sys.exit("%s does not take connections on port %d" % (name, port))
    sys.exit("%s could not bind a port in %d attempts" % (name, BIND_ATTEMPTS))


def end_children(children):
    for child in children:
        if child.poll() is None:
            child.terminate()
    for child in children:
        try:
            child.wait(timeout=3)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait(timeout=3)


def write_atomically(path, lines):
    with open(path + ".tmp", "w", encoding="ascii") as f:
        f.write("".join(line + "\n" for line in lines))
    os.replace(path + ".tmp", path)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    certs, state, lifetime = sys.argv[1], sys.argv[2], float(sys.argv[3])
    children = []
    # SIGTERM (peers.sh stop) ends the children first, by their PIDs.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        slots = threading.BoundedSemaphore(MAX_CONNECTIONS)
        lines = []
        for name, (ctx, behaviour) in peers(certs).items():
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sock.bind((HOST, 0))
            sock.listen(16)
            lines.append("%s=%d" % (name, sock.getsockname()[1]))
            threading.Thread(target=listen_loop, args=(name, ctx, behaviour, sock, slots), daemon=True).start()
        for name, options in PSK_PEERS.items():
            lines.append("%s=%d" % (name, start_psk_peer(name, options, certs, state, children)))
        write_atomically(os.path.join(state, "children.pids"), [str(c.pid) for c in children])
        write_atomically(os.path.join(state, "peers.ports"), lines)
        time.sleep(lifetime)  # bounded: a forgotten peer goes away on its own
    finally:
        end_children(children)


if __name__ == "__main__":
    main()
