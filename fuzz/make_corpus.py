#!/usr/bin/env python3
"""Writes the seed corpus of each fuzz target into fuzz/corpus/<target>/.

The replies are signed here with Python's own MD5 and HMAC (RFC 2865 section 3, RFC 3579
section 3.2) for the fixed request of fuzz_reply.cpp, whose secret, Request Authenticator and
Identifier are repeated below. Run it again after changing an input format; the files it
writes are committed.
"""
import hashlib
import hmac
import os
import shutil
import struct
import sys
import zlib

SECRET = b"fuzz-shared-secret-2865"
REQUEST_AUTHENTICATOR = b"qvRadClient-fuzz"
IDENTIFIER = 0x2A

ACCEPT, REJECT, CHALLENGE = 2, 3, 11
REPLY_MESSAGE, STATE, PROXY_STATE, VENDOR_SPECIFIC, PROMPT, MESSAGE_AUTHENTICATOR = (
    18, 24, 33, 26, 76, 80)


def attribute(kind, value):
    return bytes([kind, len(value) + 2]) + value


def signed_reply(code, attributes, message_authenticator):
    """A reply to the fixed request; with a Message-Authenticator first when asked."""
    area = b"".join(attributes)
    if message_authenticator:
        area = attribute(MESSAGE_AUTHENTICATOR, bytes(16)) + area
    length = 20 + len(area)
    packet = bytearray(struct.pack("!BBH", code, IDENTIFIER, length) + REQUEST_AUTHENTICATOR + area)
    if message_authenticator:
        packet[22:38] = hmac.new(SECRET, bytes(packet), hashlib.md5).digest()
    packet[4:20] = hashlib.md5(bytes(packet) + SECRET).digest()
    return bytes(packet)


def reply_seeds():
    texts = [b"Welcome, alice", b"second message"]
    seeds = {}
    for code, name in ((ACCEPT, "accept"), (REJECT, "reject"), (CHALLENGE, "challenge")):
        for count in (0, 1, 2):
            attributes = [attribute(REPLY_MESSAGE, t) for t in texts[:count]]
            for ma in (False, True):
                tag = f"{name}-{count}rm" + ("-ma" if ma else "")
                # Mode 0: the datagram as received. Mode 1: the attribute area, signed by the
                # harness (flag 0x01 adds the Message-Authenticator first).
                seeds[f"raw-{tag}"] = b"\x00" + signed_reply(code, attributes, ma)
                seeds[f"signed-{tag}"] = bytes([1, code, 0x01 if ma else 0]) + b"".join(attributes)
    ok = attribute(REPLY_MESSAGE, b"ok")
    seeds["raw-accept-proxy-state"] = b"\x00" + signed_reply(
        ACCEPT, [attribute(PROXY_STATE, b"state"), ok], False)
    seeds["signed-accept-ma-last"] = bytes([1, ACCEPT, 0x02]) + ok
    seeds["signed-accept-two-ma"] = bytes([1, ACCEPT, 0x03]) + ok
    seeds["signed-accept-trailing"] = bytes([1, ACCEPT, 0x10 | 0xE0]) + ok
    seeds["signed-accept-malformed-tail"] = bytes([1, ACCEPT, 0]) + ok + b"\x12\x00"
    # Spool files (selector 0x40): a well-formed record, its CRC broken, a walk that overruns.
    area = (attribute(40, b"\x00\x00\x00\x02") + attribute(44, b"s-1") +
            attribute(41, b"\x00\x00\x00\x00"))
    def spool(area, at=1796851974):
        body = b"QVRADACC\x01\x00" + struct.pack(">HQ", len(area), at) + area
        return body + struct.pack(">I", zlib.crc32(body))
    seeds["spool-record"] = b"\x40" + spool(area)
    seeds["spool-bad-crc"] = b"\x40" + spool(area)[:-1] + b"\x00"
    seeds["spool-overrun"] = b"\x40" + spool(area[:-1] + b"\x09")
    seeds["raw-truncated"] = b"\x00" + signed_reply(ACCEPT, [ok], True)[:30]
    # Bit 5: the bytes a TLS connection delivered (RFC 6613 framing): two replies back to back,
    # one cut short of its Length, one whose Length is below 20.
    accept = signed_reply(ACCEPT, [ok], True)
    seeds["stream-two-packets"] = b"\x20" + accept + signed_reply(REJECT, [ok], False)
    seeds["stream-length-past-arrived"] = b"\x20" + accept[:30]
    seeds["stream-length-below-header"] = b"\x20" + accept[:2] + b"\x00\x13" + accept[4:]
    # Byte 0 bits 1-2: setting (1 yes, 2 no); bits 3-4: table before (1 this server, 3 full).
    for ma in (False, True):
        suffix = "-ma" if ma else ""
        for selector, tag in ((0x01 | 1 << 1, "yes"), (0x01 | 2 << 1, "no"),
                              (0x01 | 1 << 3, "learned"), (0x01 | 3 << 3, "full"),
                              (0x01 | 2 << 1 | 1 << 3, "no-learned")):
            seeds[f"signing-{tag}{suffix}"] = bytes([selector, ACCEPT, 0x01 if ma else 0]) + ok
    # The structured view (RFC 2865 section 5.26): a Vendor-Specific of two sub-attributes, ones
    # malformed (a sub-attribute past the value, a high Vendor-Id octet, the reserved enterprise
    # code 0, no sub-attribute, a sub-attribute Length of 1), Reply-Messages with a NUL inside and
    # empty, a challenge's State and Prompt.
    def vsa(vendor, subs):
        return attribute(VENDOR_SPECIFIC, struct.pack("!I", vendor) + subs)

    two = vsa(9, bytes([1, 5]) + b"abc" + bytes([2, 2]))
    seeds["view-vendor-two"] = bytes([1, ACCEPT, 0x01]) + ok + two
    seeds["view-vendor-malformed"] = bytes([1, ACCEPT, 0]) + b"".join([
        vsa(311, bytes([1, 9]) + b"abc"), vsa(0x01000009, bytes([1, 3, 0])),
        vsa(0, bytes([1, 3, 0])), vsa(9, b""),
        vsa(9, bytes([1, 1, 2])), two])
    seeds["view-messages-nul"] = bytes([1, REJECT, 0]) + b"".join([
        attribute(REPLY_MESSAGE, b"se\x00x"), attribute(REPLY_MESSAGE, b""),
        attribute(REPLY_MESSAGE, b"\x00"), attribute(REPLY_MESSAGE, b"third")])
    seeds["view-challenge-state-prompt"] = bytes([1, CHALLENGE, 0x01]) + b"".join([
        attribute(REPLY_MESSAGE, b"Enter the code"), attribute(PROMPT, bytes([0, 0, 0, 1])),
        attribute(STATE, b"s-1")])
    return seeds


# fuzz_packet.cpp operations: one byte (bit 7: second cursor) and its operands.
def begin(kind, cursor=0):
    return bytes([0 | cursor << 7, kind])


def text(n, seed=0, cursor=0):
    return bytes([1 | cursor << 7, n & 0xFF, n >> 8, seed])


def password(n, seed=0, cursor=0):
    return bytes([2 | cursor << 7, n & 0xFF, n >> 8, seed])


def message_authenticator(cursor=0):
    return bytes([3 | cursor << 7])


def find(kind, cursor=0):
    return bytes([4 | cursor << 7, kind])


def value(cursor=0):
    return bytes([5 | cursor << 7])


def prepare(n, seed=0):
    return bytes([6, n & 0xFF, n >> 8, seed])


def reset(cursor=0):
    return bytes([7 | cursor << 7])


def packet_seeds():
    header = bytes([1]) + bytes(range(16))
    auth_like = (begin(80) + message_authenticator() + begin(1) + text(5) + begin(2) +
                 password(8) + prepare(10) + find(80) + value() + find(2) + value())
    fill = b"".join(begin(18) + text(253, i) for i in range(17))
    return {
        "auth-like": header + auth_like,
        "text-limits": header + begin(1) + text(253) + begin(1) + text(254) + value(),
        "password-limits": header + begin(2) + password(128) + prepare(16) + begin(2) +
        password(129) + value(),
        "empty-password": header + begin(2) + password(0) + prepare(3) + find(2) + value(),
        "fill-to-4096": header + fill + begin(80) + message_authenticator() + prepare(40),
        "two-cursors": header + begin(1) + begin(25, 1) + text(3) + text(4, 0, 1) + value(1) +
        find(25, 1) + value(1),
        "secret-limits": header + begin(80) + message_authenticator() + prepare(256) +
        prepare(257) + prepare(0),
        "stale-cursor": header + begin(1) + reset() + text(3) + find(9) + value(),
    }


def md5_seeds():
    message = bytes((i * 7 + 3) & 0xFF for i in range(300))

    def cuts(*positions):
        return bytes([len(positions)]) + b"".join(struct.pack("<H", p) for p in positions)

    return {
        "empty": cuts() + b"\x00",
        "abc": cuts() + b"\x03" + b"abc",
        "block-edges": cuts(55, 56, 64, 119, 120, 128) + b"\x10" + message[:200],
        "long-key": cuts(1, 77) + bytes([100]) + message,
        "key-64": cuts(64) + bytes([64]) + message[:130],
        "key-65": cuts(3, 65) + bytes([65]) + message[:131],
    }


def argument_seeds():
    def args(fields, nulls=0, stretch=0):
        return bytes([nulls, stretch]) + b"\x00".join(f.encode("latin-1") for f in fields)

    good = ["127.0.0.1", "1812", "testing123", "alice", "password", "5"]

    def with_field(i, v):
        f = list(good)
        f[i] = v
        return f

    seeds = {"accepted": args(good)}
    for i, name in enumerate(["server", "port", "secret", "user", "password", "timeout"]):
        seeds[f"null-{name}"] = args(good, nulls=1 << i)
        seeds[f"empty-{name}"] = args(with_field(i, ""))
        seeds[f"long-{name}"] = args(good, stretch=1 << i)
    forms = {
        "user-space": (3, " \t\r\n"), "password-space": (4, "   "),
        "port-signed-space": (1, "  +1812"), "port-trailing": (1, "1812abc"),
        "port-zero": (1, "0"), "port-negative": (1, "-1"), "port-int-max": (1, "2147483647"),
        "port-int-max-plus-1": (1, "2147483648"), "port-wraps": (1, "67348"),
        "port-wraps-to-zero": (1, "65536"), "port-wraps-to-zero-twice": (1, "131072"),
        "timeout-19": (5, "19"), "timeout-20": (5, "20"), "timeout-huge": (5, "4294967297"),
        "user-253": (3, "u" * 253), "user-254": (3, "u" * 254),
        "password-128": (4, "p" * 128), "password-129": (4, "p" * 129),
        "secret-256": (2, "s" * 256), "secret-257": (2, "s" * 257),
        "server-2047": (0, "h" * 2047), "server-2048": (0, "h" * 2048),
    }
    for name, (i, v) in forms.items():
        seeds[name] = args(with_field(i, v))
    return seeds


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    for target, seeds in (("reply", reply_seeds()), ("packet", packet_seeds()),
                          ("md5", md5_seeds()), ("arguments", argument_seeds())):
        directory = os.path.join(root, target)
        shutil.rmtree(directory, ignore_errors=True)
        os.makedirs(directory)
        for name, data in seeds.items():
            with open(os.path.join(directory, name), "wb") as out:
                out.write(data)
        print(f"{target}: {len(seeds)} seeds", file=sys.stderr)


if __name__ == "__main__":
    main()
