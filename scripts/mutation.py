#!/usr/bin/env python3
"""Mutation run over the library: do the fast tests catch one small fault at a time?

Each mutant below replaces one snippet of one file of qvRadClient/radius/ or qvRadClient/api/
(a flipped comparison, an off-by-one, a deleted check), and a few of qvRadClient/login/,
qvRadClient/tls/, qvRadClient/platform/ and tools/. The mutants of RADIUS over TLS need the build
with Mbed TLS: the copy is configured with QVRAD_MBEDTLS_SOURCE from the environment, and without
it they are listed as needing TLS and not run (the run then fails, as for a stale one). A mutant is anchored by its snippet's text, never by a line number. The tree is copied to
a scratch folder under the build folder (the source tree is never written), built once, and then
for each mutant: the snippet is replaced in the copy, the mutant's suite is rebuilt incrementally
and run, and the file is put back. A mutant is killed when the build's tests fail or time out. A
snippet that no longer occurs exactly once in its file (the code moved on) is reported as stale,
not applied, and fails the run (and --list) until its anchor is mended. Equivalent mutants, those
no test can tell from the original, are listed with the reason and not run; they do not count in
the score.

Suites: "fast", the unit tests, the hostile-server and resource tests and the export check (no
interop, fuzz replay, sanitizer, thread or memory-hygiene tests; about 11 s); "hygiene", the
memory-hygiene tests, for the wipes only they can see; "tool", qvrad-auth's own end-to-end test
(it starts the private FreeRADIUS server), for the mutants of tools/.

Developers run it by hand, not CI:   scripts/mutation.py [--jobs 2] [--only ID ...] [--list]
"""
import argparse
import filecmp
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Which tests make the fast suite (ctest's -LE and -E), and the targets they need built.
FAST_EXCLUDE_LABELS = "interop|fuzz|threads"
FAST_EXCLUDE_NAMES = "HardeningHygiene|freeradius|install_and_find_package|bench|memcheck|NOT_BUILT"
RUN_TARGETS = ["qvrad_unit_tests", "qvrad_hardening_tests", "qvRadClient"]
# Each suite: the targets it rebuilds and ctest's selection of its tests.
SUITES = {
    "fast": (RUN_TARGETS, ["-LE", FAST_EXCLUDE_LABELS, "-E", FAST_EXCLUDE_NAMES]),
    "hygiene": (["qvrad_hygiene_tests"], ["-R", r"^HardeningHygiene\."]),
    "tool": (["qvrad-auth", "qvrad_no_free_descriptors"], ["-R", r"^interop\.qvrad_auth$"]),
}
# CTest lists the tests of every discovered program, so the programs whose tests are left out are
# built once, unmutated, for their lists.
LISTED_TARGETS = RUN_TARGETS + ["qvrad_hygiene_tests", "qvrad_thread_tests"]


class Mutant:
    def __init__(self, path, find, replace, why, equivalent=None, suite="fast", tls=False):
        self.path = path            # from the tree's root
        self.find = find            # must occur exactly once in the file
        self.replace = replace
        self.why = why              # the fault, in a few words
        self.equivalent = equivalent  # the reason no test can tell it apart, or None
        self.suite = suite          # the tests that must catch it (SUITES)
        self.tls = tls              # only a build with TLS can catch it
        self.id = ""


def M(path, find, replace, why, equivalent=None, suite="fast", tls=False):
    """A mutant of a file below qvRadClient/."""
    return Mutant("qvRadClient/" + path, find, replace, why, equivalent, suite, tls)


def T(path, find, replace, why):
    """A mutant of a file below tools/, for the tool's own test."""
    return Mutant("tools/" + path, find, replace, why, suite="tool")


MUTANTS = [
    # ---- radius/constants.h ----------------------------------------------------------------
    M("radius/constants.h", "kMaxPasswordLength = 128;", "kMaxPasswordLength = 127;",
      "password limit one short"),
    M("radius/constants.h", "kMaxTextLength = 253;", "kMaxTextLength = 254;",
      "text limit one long"),
    M("radius/constants.h", "kMaxSecretLength = 256;", "kMaxSecretLength = 255;",
      "secret limit one short"),
    M("radius/constants.h", "kMaxPacketLength = 4096;", "kMaxPacketLength = 4095;",
      "packet limit one short"),
    M("radius/constants.h", "kAccessReject = 3;", "kAccessReject = 4;", "wrong Reject code"),
    M("radius/constants.h", "kProxyState = 33;", "kProxyState = 34;", "wrong Proxy-State type"),
    M("radius/constants.h", "kMessageAuthenticatorLength = 18;",
      "kMessageAuthenticatorLength = 20;", "wrong Message-Authenticator length"),

    # ---- radius/packet.h -------------------------------------------------------------------
    M("radius/packet.h", "return static_cast<std::uint16_t>((p[0] << 8) | p[1]);",
      "return static_cast<std::uint16_t>((p[0] << 8) & p[1]);", "big-endian read broken"),
    M("radius/packet.h", "std::uint16_t savedPasswordLength = 0;",
      "std::uint16_t savedPasswordLength = 1;", "saved password length starts at 1"),

    # ---- radius/packet.cpp -----------------------------------------------------------------
    M("radius/packet.cpp", "    length = 0;\n    if (count > rad::kMaxSecretLength ||",
      "    length = 0;\n    if (count >= rad::kMaxSecretLength ||", "secret of 256 refused"),
    M("radius/packet.cpp",
      "    platform::SecureZero(octets, sizeof octets);\n    length = 0;\n    if (count",
      "    length = 0;\n    if (count", "a refused Assign keeps the old secret"),
    M("radius/packet.cpp",
      ": length(other.length) {\n    std::memcpy(octets, other.octets, length);",
      ": length(other.length) {\n", "secret copy copies no octets"),
    M("radius/packet.cpp", "    SetLength(rad::kHeaderLength);\n}",
      "    SetLength(rad::kHeaderLength + 2);\n}", "new packet's Length off"),
    M("radius/packet.cpp", "octets[2] = static_cast<std::uint8_t>(length >> 8);",
      "octets[2] = static_cast<std::uint8_t>(length >> 9);", "Length high byte wrong"),
    M("radius/packet.cpp", "rad::kAttributeHeaderLength > rad::kMaxPacketLength) {",
      "rad::kAttributeHeaderLength >= rad::kMaxPacketLength) {",
      "BeginAttribute refuses the last two bytes"),
    M("radius/packet.cpp", "    octets[length] = type;\n", "\n", "BeginAttribute writes no type"),
    M("radius/packet.cpp",
      "if (length <= rad::kHeaderLength || length > rad::kMaxPacketLength) return -1;",
      "if (length <= rad::kHeaderLength || length >= rad::kMaxPacketLength) return -1;",
      "FindAttribute refuses a 4096-byte packet"),
    M("radius/packet.cpp", "if (octets[offset] == type) {", "if (octets[offset] != type) {",
      "FindAttribute matches the wrong type"),
    M("radius/packet.cpp", "if (attributeLength < rad::kAttributeHeaderLength) break;",
      "if (attributeLength < 1) break;", "FindAttribute walks on over a Length octet of 1"),
    M("radius/packet.cpp",
      "if (packet == nullptr || offset < rad::kHeaderLength) return 0;",
      "if (packet == nullptr || offset < rad::kHeaderLength - 1) return 0;",
      "Type reads the header's last byte"),
    M("radius/packet.cpp",
      "if (packetLength > rad::kMaxPacketLength || offset + 1 >= packetLength) return -1;",
      "if (packetLength >= rad::kMaxPacketLength || offset + 1 >= packetLength) return -1;",
      "GetValue refuses a 4096-byte packet"),
    M("radius/packet.cpp", "offset + attributeLength > packetLength)",
      "offset + attributeLength >= packetLength)", "GetValue refuses the last attribute"),
    M("radius/packet.cpp",
      "if (attributeLength < rad::kAttributeHeaderLength ||"
      " offset + attributeLength > packetLength)",
      "if (attributeLength < 1 || offset + attributeLength > packetLength)",
      "GetValue takes a Length octet of 1"),
    M("radius/packet.cpp",
      "*valueLength = static_cast<std::uint16_t>(attributeLength - rad::kAttributeHeaderLength);",
      "*valueLength = static_cast<std::uint16_t>(attributeLength - 1);",
      "value length one long"),
    M("radius/packet.cpp",
      "return cursor.offset == length && length + attributeLength <= rad::kMaxPacketLength;",
      "return cursor.offset <= length && length + attributeLength <= rad::kMaxPacketLength;",
      "append on a stale cursor"),
    M("radius/packet.cpp",
      "return cursor.offset == length && length + attributeLength <= rad::kMaxPacketLength;",
      "return cursor.offset == length && length + attributeLength < rad::kMaxPacketLength;",
      "append refuses to end at 4096"),
    M("radius/packet.cpp", "n > rad::kMaxTextLength) return -1;",
      "n >= rad::kMaxTextLength) return -1;", "text of 253 refused"),
    M("radius/packet.cpp",
      "    std::memcpy(packet->octets + offset + rad::kAttributeHeaderLength, text, n);\n", "\n",
      "text value not copied"),
    M("radius/packet.cpp", "if (n > rad::kMaxPasswordLength) return -1;",
      "if (n >= rad::kMaxPasswordLength) return -1;", "password of 128 refused"),
    M("radius/packet.cpp", "    if (blocks == 0) blocks = 1;\n", "\n",
      "empty password gets no block"),
    M("radius/packet.cpp",
      "int blocks = static_cast<int>((n + rad::kPasswordBlock - 1) / rad::kPasswordBlock);",
      "int blocks = static_cast<int>((n + rad::kPasswordBlock) / rad::kPasswordBlock);",
      "one block too many at multiples of 16"),
    M("radius/packet.cpp", "    packet->savedPasswordOffset = offset;\n", "\n",
      "password offset not saved"),
    M("radius/packet.cpp",
      "    platform::SecureZero(packet->savedPassword, sizeof packet->savedPassword);\n", "\n",
      "a second password keeps the first's tail"),
    M("radius/packet.cpp",
      "    std::memset(packet->octets + offset + rad::kAttributeHeaderLength, 0,\n"
      "                static_cast<std::size_t>(blocks) * rad::kPasswordBlock);\n", "\n",
      "unprepared password value left stale"),
    M("radius/packet.cpp", "    packet->messageAuthenticatorOffset = offset;\n", "\n",
      "Message-Authenticator offset not saved"),

    # ---- radius/authenticators.cpp ---------------------------------------------------------
    M("radius/authenticators.cpp", "reversed[r++] = static_cast<char>('0' + value % 10);",
      "reversed[r++] = static_cast<char>('0' + value % 9);", "time digits wrong"),
    M("radius/authenticators.cpp",
      "while (hostLength + 1 < kHostNameLimit && host[hostLength] != '\\0') ++hostLength;",
      "while (hostLength < kHostNameLimit && host[hostLength] != '\\0') ++hostLength;",
      "host name cut one late"),
    M("radius/authenticators.cpp",
      "for (std::size_t i = 0; i < n; ++i) difference |= static_cast<unsigned>(a[i] ^ b[i]);",
      "for (std::size_t i = 0; i + 1 < n; ++i) difference |= static_cast<unsigned>(a[i] ^ b[i]);",
      "constant-time compare skips the last byte"),
    M("radius/authenticators.cpp",
      "g_requestCounter.fetch_add(1, std::memory_order_relaxed);",
      "g_requestCounter.fetch_add(0, std::memory_order_relaxed);", "counter never moves"),
    M("radius/authenticators.cpp",
      "static_cast<std::uint32_t>(textLength + kRandomLength + 4));",
      "static_cast<std::uint32_t>(textLength + kRandomLength));", "counter not hashed"),
    M("radius/authenticators.cpp",
      "if (secret.length == 0 || secret.length > rad::kMaxSecretLength) return -1;",
      "if (secret.length == 0 || secret.length >= rad::kMaxSecretLength) return -1;",
      "hiding refuses a 256-byte secret"),
    M("radius/authenticators.cpp", "    if (n == 0) return 0;\n", "    if (n <= 1) return 0;\n",
      "a one-byte plaintext is not hidden"),
    M("radius/authenticators.cpp",
      "blocks * rad::kPasswordBlock > rad::kMaxPacketLength)",
      "blocks * rad::kPasswordBlock >= rad::kMaxPacketLength)",
      "hiding refuses a password ending at 4096"),
    M("radius/authenticators.cpp",
      "const int take = n - start < rad::kPasswordBlock ? n - start : rad::kPasswordBlock;",
      "const int take = n - start <= rad::kPasswordBlock ? n - start : rad::kPasswordBlock;",
      "last-block size test flipped at 16",
      equivalent="when n - start is 16 both arms give 16"),
    M("radius/authenticators.cpp",
      "        std::memcpy(work + secret.length, block, sizeof block);\n", "\n",
      "blocks not chained"),
    M("radius/authenticators.cpp", "        std::memset(block, 0, sizeof block);\n", "\n",
      "last block padded with stale bytes"),
    M("radius/authenticators.cpp", "for (int j = 0; j < rad::kPasswordBlock; ++j)",
      "for (int j = 0; j < rad::kPasswordBlock - 1; ++j)", "last byte of each block unhidden"),
    M("radius/authenticators.cpp", "if (savedPasswordOffset >= rad::kHeaderLength) {",
      "if (savedPasswordOffset > rad::kHeaderLength) {",
      "a password as first attribute is not hidden"),
    M("radius/authenticators.cpp", "cursor.HidePassword(&kZero, 1, beside ? first : nullptr);",
      "cursor.HidePassword(&kZero, 0, beside ? first : nullptr);", "empty password not hidden"),
    M("radius/authenticators.cpp",
      "        std::memset(value, 0, rad::kAuthenticatorLength);\n        std::uint8_t mac",
      "        std::uint8_t mac", "Message-Authenticator not zeroed before signing again"),
    M("radius/authenticators.cpp", "HmacMd5(mac, secret.octets, secret.length, octets, length);",
      "HmacMd5(mac, secret.octets, secret.length, octets, length - 1);",
      "request HMAC one byte short"),
    M("radius/authenticators.cpp", "if (received < rad::kHeaderLength) return ReplyCheck::kTooShort;",
      "if (received < rad::kHeaderLength - 1) return ReplyCheck::kTooShort;",
      "19-byte datagram read",
      equivalent="a Length the next test lets through is 20 or more, so it exceeds any received "
                 "count below 20 and the reply is refused there"),
    M("radius/authenticators.cpp",
      "if (length < rad::kHeaderLength || length > rad::kMaxPacketLength || length > received)",
      "if (length < rad::kHeaderLength || length >= rad::kMaxPacketLength || length > received)",
      "a 4096-byte reply refused"),
    M("radius/authenticators.cpp",
      "if (length < rad::kHeaderLength || length > rad::kMaxPacketLength || length > received)",
      "if (length < rad::kHeaderLength || length > rad::kMaxPacketLength || length > received + 1)",
      "reply one byte short of its Length taken"),
    M("radius/authenticators.cpp",
      "if (secret == nullptr || secret->length == 0 || secret->length > rad::kMaxSecretLength)",
      "if (secret == nullptr || secret->length == 0 || secret->length >= rad::kMaxSecretLength)",
      "replies under a 256-byte secret refused"),
    # A reply and secret of at most 128 bytes are hashed as one copy; longer ones piece by piece.
    M("radius/authenticators.cpp", "MD5Update(&ctx, reply, rad::kAuthenticatorOffset);",
      "MD5Update(&ctx, reply, rad::kAuthenticatorOffset - 1);",
      "Length's low byte unhashed (reply and secret over 128 bytes)"),
    M("radius/authenticators.cpp",
      "    MD5Update(&ctx, reply + rad::kHeaderLength, length - rad::kHeaderLength);\n", "\n",
      "attributes not covered by the Response Authenticator (reply and secret over 128 bytes)"),
    M("radius/authenticators.cpp",
      "if (!ConstantTimeEqual(digest, octets + rad::kAuthenticatorOffset, sizeof digest))",
      "if (!ConstantTimeEqual(digest, octets + rad::kAuthenticatorOffset, sizeof digest - 1))",
      "Response Authenticator's last byte unchecked"),
    M("radius/authenticators.cpp",
      "    if (Identifier() != identifier) return ReplyCheck::kWrongIdentifier;\n",
      "\n", "Identifier unchecked"),
    M("radius/authenticators.cpp",
      "        if (type == rad::kProxyState) return ReplyCheck::kProxyState;\n", "\n",
      "Proxy-State accepted"),
    M("radius/authenticators.cpp",
      "if (attributeLength != rad::kMessageAuthenticatorLength || ++found > 1)",
      "if (attributeLength > rad::kMessageAuthenticatorLength || ++found > 1)",
      "short Message-Authenticator taken"),
    M("radius/authenticators.cpp",
      "if (attributeLength != rad::kMessageAuthenticatorLength || ++found > 1)",
      "if (attributeLength < rad::kMessageAuthenticatorLength || ++found > 1)",
      "long Message-Authenticator taken"),
    M("radius/authenticators.cpp",
      "if (attributeLength != rad::kMessageAuthenticatorLength || ++found > 1)",
      "if (attributeLength != rad::kMessageAuthenticatorLength || ++found > 2)",
      "two Message-Authenticators taken"),
    M("radius/authenticators.cpp",
      "if (attributeLength < rad::kAttributeHeaderLength || offset + attributeLength > length)\n"
      "            break;",
      "if (attributeLength < rad::kAttributeHeaderLength || offset + attributeLength >= length)\n"
      "            break;", "reply walk stops before the last attribute"),
    M("radius/authenticators.cpp", "    if (found == 0) return ReplyCheck::kVerified;\n",
      "    if (found == 0) return ReplyCheck::kNoSecret;\n",
      "replies without Message-Authenticator refused"),
    M("radius/authenticators.cpp", "    HmacMd5Update(&mac, kZeroBlock, sizeof kZeroBlock);\n",
      "\n", "reply HMAC without the zeroed value"),
    M("radius/authenticators.cpp",
      "if (!ConstantTimeEqual(digest, octets + valueAt, sizeof digest))",
      "if (!ConstantTimeEqual(digest, octets + valueAt, sizeof digest - 1))",
      "Message-Authenticator's last byte unchecked"),
    M("radius/authenticators.cpp", "    if (signedReply != nullptr) *signedReply = true;\n", "\n",
      "a signed reply not reported as signed"),

    # ---- radius/reply_signing.cpp ----------------------------------------------------------
    M("radius/reply_signing.cpp",
      "if (value == nullptr || IsWord(value, \"auto\")) return ReplySigning::kLearn;",
      "if (value == nullptr) return ReplySigning::kLearn;", "\"auto\" read as \"yes\""),
    M("radius/reply_signing.cpp", "    if (IsWord(value, \"no\")) return ReplySigning::kNever;\n",
      "\n", "\"no\" read as \"yes\""),
    M("radius/reply_signing.cpp", "c - 'A' + 'a'", "c", "case not ignored"),
    M("radius/reply_signing.cpp", "    return *value == '\\0';\n", "    return true;\n",
      "a word's prefix taken for it (\"nope\" as \"no\")"),
    M("radius/reply_signing.cpp", "(static_cast<std::uint64_t>(ip) << 16) | port;",
      "(static_cast<std::uint64_t>(ip) << 16);", "port left out of the server's key"),
    M("radius/reply_signing.cpp", "        if (held == key) return true;\n", "\n",
      "a learned server never known"),
    M("radius/reply_signing.cpp", "            return signedReply;\n", "            return true;\n",
      "\"yes\" lets unsigned replies through"),
    M("radius/reply_signing.cpp", "    return !table.Knows(server);\n", "    return true;\n",
      "a learned server's unsigned reply let through"),
    M("radius/reply_signing.cpp", "        table.Learn(server);", "        (void)table;",
      "nothing learned"),
    M("radius/reply_signing.cpp", "    if (!overflowed.load(std::memory_order_acquire)) return false;\n",
      "    return false;\n", "a server learned past the table's capacity forgotten (fail open)"),
    M("radius/reply_signing.cpp", "        if (held == 0) return false;\n", "\n",
      "a search runs past the free slot that ends its probe",
      equivalent="every later slot of the probe is free too, or holds another key: the answer "
                 "is the same, only later"),
    M("radius/reply_signing.cpp", "    return h | (std::uint64_t{1} << 63);",
      "    return h;", "an IPv6 key may collide with an IPv4 one or with the free value",
      equivalent="only an IPv6 server whose 64-bit hash equals an IPv4 key or 0 shows it, "
                 "and no test can find one"),

    # ---- radius/client.h -------------------------------------------------------------------
    M("radius/client.h", "static constexpr int kMaxServers = 10;",
      "static constexpr int kMaxServers = 9;", "nine servers at most"),
    M("radius/client.h", "std::int32_t attempts = CRadSchedule::kMaxTransmissions;",
      "std::int32_t attempts = 1;", "no retransmission"),

    # ---- radius/retransmit.{h,cpp} --------------------------------------------------------------
    M("radius/retransmit.cpp", "const std::int64_t initial = share / 5;",
      "const std::int64_t initial = share / 4;", "IRT a quarter of the share"),
    M("radius/retransmit.cpp", "if (nominalNext >= end - start - kMinInterval) return;",
      "if (nominalNext > end - start - kMinInterval) return;",
      "a retransmission in the share's last second (T = 2 sends twice)"),
    M("radius/retransmit.cpp", "if (at < last + kMinInterval) at = last + kMinInterval;",
      "", "two transmissions less than a second apart"),
    M("radius/retransmit.cpp", "if (at > end - kMinInterval) at = end - kMinInterval;",
      "", "a jittered retransmission in the share's last second"),
    M("radius/retransmit.cpp", "const int permille = jitter[sent - 1] * 201 / 256 - 100;",
      "const int permille = jitter[sent - 1] * 201 / 256;", "jitter only upwards, up to 20 %"),
    M("radius/retransmit.cpp", "step = step > kMaxInterval / 2 ? kMaxInterval : step * 2;",
      "step = step > kMaxInterval / 2 ? kMaxInterval : step;", "no backoff"),
    M("radius/retransmit.h", "if (share < CRadSchedule::kMinInterval) share = CRadSchedule::kMinInterval;",
      "", "a share under a second"),
    M("radius/retransmit.h", "return share > left ? left : share;", "return share;",
      "a share past the deadline"),

    # ---- radius/client.cpp -----------------------------------------------------------------
    M("radius/client.cpp", "            if (value == 0) return false;  // a leading zero",
      "            // a leading zero", "leading zero read as decimal"),
    M("radius/client.cpp", "            value = value * 10 + digit;\n            digit = *++p",
      "            value = value * 8 + digit;\n            digit = *++p", "two digits misread"),
    M("radius/client.cpp", "reversed[n++] = static_cast<char>('0' + value % 10);",
      "reversed[n++] = static_cast<char>('1' + value % 9);", "service text wrong",
      equivalent="the service only asks getaddrinfo for a numeric port; the address it returns "
                 "does not depend on it, and the port used is udpPort"),
    M("radius/client.cpp", "if (owner == nullptr || attempts <= 0) return nullptr;",
      "if (owner == nullptr || attempts < 0) return nullptr;", "zero attempts let through",
      equivalent="with attempts 0 the loop makes no attempt and returns null as well"),
    M("radius/client.h", "bool Sendable() const { return platform::IsSendable(ip); }",
      "bool Sendable() const { return ip.family != platform::kFamilyNone; }", "sends to 0.0.0.0"),
    M("radius/client.cpp", "static_cast<std::int64_t>(servers[currentServer]->timeoutSeconds) * 1000)",
      "static_cast<std::int64_t>(servers[currentServer]->timeoutSeconds) * 100)",
      "deadline a tenth"),
    M("radius/client.cpp", "if (sentVersion < 0) return nullptr;",
      "if (sentVersion < 0 || !schedule.HasNext()) return nullptr;",
      "the wait skipped after the last transmission"),
    M("radius/client.cpp", "            if (usable[(currentServer + k - tried) % serverCount]) ++sharing;",
      "            ++sharing;", "an unresolvable entry keeps its share"),
    M("radius/client.cpp", "    return host[n + 2] == '\\0';", "    return true;",
      "text after the bracket ignored"),
    M("radius/client.cpp", "if (*p == ':' || *p == '[' || *p == ']') return true;",
      "if (*p == '[' || *p == ']') return true;", "an address-like name sent to the name service",
      equivalent="the name service refuses such text too; only its time differs, which the "
                 "tests bound loosely"),
    M("radius/client.cpp", "ip = first4.family == platform::kFamilyIPv4 ? first4 : first6;",
      "ip = first6.family == platform::kFamilyIPv6 ? first6 : first4;",
      "a name's IPv6 address preferred to its IPv4 one"),
    M("radius/client.cpp", "        if (ready == 0) continue;\n",
      "        if (ready == 0) break;\n", "a signal ends the wait"),
    M("radius/client.cpp", "v >= 0 && !oversized; --v)", "v >= 0; --v)",
      "truncated datagram verified"),
    M("radius/client.cpp", "reply.octets, rad::kMaxPacketLength, &oversized, &from",
      "reply.octets, rad::kMaxPacketLength - 1, &oversized, &from",
      "receive one byte short of 4096"),
    M("radius/client.cpp", "platform::UdpSocketOpenNonBlocking(family);",
      "platform::UdpSocketOpen(family);", "blocking socket"),
    M("radius/client.cpp", "    if (platform::SocketBindAny(s, family) != 0) {",
      "    if (false) {", "socket never bound"),
    M("radius/client.cpp", "i < serverCount && i < kMaxServers; ++i) {",
      "i + 1 < serverCount && i < kMaxServers; ++i) {", "last server entry leaked"),
    M("radius/client.cpp", "    ++identifierCounter;\n", "\n", "Identifier never moves"),
    M("radius/client.cpp", "static_cast<std::uint8_t>(identifierCounter & 0xFF);",
      "static_cast<std::uint8_t>(identifierCounter & 0x7F);", "Identifier wraps at 128"),
    M("radius/client.cpp", "serverCount >= kMaxServers ||", "serverCount > kMaxServers ||",
      "an eleventh server"),
    M("radius/client.cpp", "if (!ready || serverCount", "if (serverCount",
      "server added without a socket"),
    M("radius/client.cpp", "if (++currentServer >= serverCount) currentServer = 0;",
      "if (++currentServer > serverCount) currentServer = 0;", "rotation runs off the end"),
    M("radius/client.cpp", "for (std::int32_t tried = 0; tried < serverCount; ++tried) {",
      "for (std::int32_t tried = 0; tried + 1 < serverCount; ++tried) {",
      "last server never tried"),

    # ---- api/arguments.cpp -----------------------------------------------------------------
    M("api/arguments.h", "constexpr std::size_t kArgumentLimit = 2048;",
      "constexpr std::size_t kArgumentLimit = 2049;", "argument limit one long"),
    M("api/arguments.cpp", "if (first == last || list->count >= kMaxServerEntries) return -1;",
      "if (list->count >= kMaxServerEntries) return -1;", "an empty list entry taken"),
    M("api/arguments.cpp", "if (first == last || list->count >= kMaxServerEntries) return -1;",
      "if (first == last || list->count > kMaxServerEntries) return -1;", "eleven entries taken"),
    M("api/arguments.cpp", "        while (first < last && IsSpace(list->text[first])) ++first;\n",
      "\n", "white space before a list entry kept"),
    M("api/arguments.cpp", "return end == nullptr ? kArgumentLimit",
      "return end == nullptr ? kArgumentLimit - 1", "unterminated argument measured short"),
    M("api/arguments.cpp", "if (lengths[i] >= kArgumentLimit) return -1;",
      "if (lengths[i] > kArgumentLimit) return -1;", "2048-byte argument taken"),
    M("api/arguments.cpp", "if (!IsSpace(text[i])) return true;",
      "if (IsSpace(text[i])) return true;", "white-space test inverted"),
    M("api/arguments.cpp", "    while (IsSpace(text[i])) ++i;\n", "\n",
      "leading white space not skipped"),
    M("api/arguments.cpp", "if (magnitude > limit) return -1;",
      "if (magnitude >= limit) return -1;", "INT_MAX refused"),
    M("api/arguments.cpp", "userLength > rad::kMaxTextLength ||",
      "userLength >= rad::kMaxTextLength ||", "253-byte user refused"),
    M("api/arguments.cpp", "passwordLength > rad::kMaxPasswordLength ||",
      "passwordLength >= rad::kMaxPasswordLength ||", "128-byte password refused"),
    M("api/arguments.cpp", "secretLength > rad::kMaxSecretLength || secretLength == 0",
      "secretLength >= rad::kMaxSecretLength || secretLength == 0", "256-byte secret refused"),
    M("api/arguments.cpp", "if (serverLength == 0 || userLength == 0",
      "if (userLength == 0", "empty server taken"),
    M("api/arguments.cpp",
      "if (!HasNonSpace(args.user, userLength) || !HasNonSpace(args.password, passwordLength))",
      "if (!HasNonSpace(args.password, passwordLength))", "white-space user taken"),
    M("api/arguments.cpp", "!= 0 || parsed <= 0) return -1;", "!= 0 || parsed < 0) return -1;",
      "port 0 taken",
      equivalent="a parsed 0 keeps 0 as its low 16 bits, which the next test refuses as it "
                 "refuses 65536"),
    M("api/arguments.cpp", "timeout < 1 || timeout > 19", "timeout < 1 || timeout > 20",
      "timeout 20 taken"),
    M("api/arguments.cpp", "timeout < 1 || timeout > 19", "timeout < 0 || timeout > 19",
      "timeout 0 taken"),
    M("api/arguments.cpp", "lengths[2] > rad::kMaxSecretLength) return -1;",
      "lengths[2] > rad::kMaxSecretLength + 1) return -1;", "probe takes a 257-byte secret"),
    M("api/arguments.cpp", "static_cast<unsigned>(parsed) & 0xFFFFu",
      "static_cast<unsigned>(parsed) & 0x7FFFu", "port's top bit dropped"),

    # ---- api/result.cpp and the attribute walk it relies on (radius/packet.cpp) -------------
    M("radius/packet.cpp",
      "length > rad::kMaxPacketLength)\n        return AttributeFault::kPacketLength;",
      "length >= rad::kMaxPacketLength)\n        return AttributeFault::kPacketLength;",
      "a 4096-byte reply's text refused"),
    M("radius/packet.cpp",
      "else if (attributeLength < rad::kAttributeHeaderLength)\n            fault = Attr",
      "else if (attributeLength < 1)\n            fault = Attr",
      "a Length octet of 1 passes as well formed"),
    M("radius/packet.cpp",
      "else if (offset + attributeLength > length)\n            fault = Attr",
      "else if (offset + attributeLength >= length)\n            fault = Attr",
      "last attribute taken as malformed"),
    M("api/result.cpp", "if (code != rad::kAccessAccept && code != rad::kAccessReject) {",
      "if (code != rad::kAccessAccept || code != rad::kAccessReject) {", "code test inverted"),
    M("api/result.cpp", "cursor.GetValue(&value, &valueLength) != 0 || valueLength == 0) {",
      "cursor.GetValue(&value, &valueLength) != 0) {", "empty Reply-Message taken"),
    M("api/result.cpp", "        CopyText(result, resultSize, kResultNetworkFail);",
      "        CopyText(result, resultSize, kResultInvalidFormat);", "wrong text for no reply"),
    M("api/result.cpp",
      "    if (n >= resultSize) n = resultSize - 1;\n    std::memcpy(result, value",
      "    if (n > resultSize) n = resultSize - 1;\n    std::memcpy(result, value",
      "Reply-Message bound one late",
      equivalent="a Reply-Message value is at most 253 bytes and auth passes 2048"),
    M("api/result.cpp", "const char kResultInvalidInput[] = \"6007#0#INVALID_INPUT_ERR\";",
      "const char kResultInvalidInput[] = \"6007#0#INVALID_INPUT\";", "error text changed"),

    # ---- api/auth_call.cpp and the request it builds (radius/access_request.cpp) -----------
    M("api/auth_call.cpp", "return CheckAuthArguments(args, &checked);",
      "return CheckAuthArguments(args, &checked) < -1;", "argument checks ignored"),
    M("api/auth_call.cpp", "const std::size_t secretLength = std::strlen(args.secret);",
      "const std::size_t secretLength = std::strlen(args.secret) - 1;",
      "secret's last byte dropped"),
    M("api/auth_call.cpp",
      "        request.SetIdentifier(client.NextIdentifier());\n        return CheckAuthArguments(",
      "        return CheckAuthArguments(", "Identifier not set",
      equivalent="a fresh client's first Identifier is 0, which a new packet already holds"),
    M("radius/access_request.cpp", "    rc |= cursor.AppendMessageAuthenticator();\n", "\n",
      "request without Message-Authenticator"),
    M("radius/access_request.cpp", "    rc |= cursor.AppendText(fields.user);\n", "\n",
      "no User-Name"),

    M("api/auth_call.cpp", "args.secret, std::strlen(args.secret),",
      "args.secret, std::strlen(args.secret) - 1,", "probe's secret loses its last byte"),
    M("api/auth_call.cpp", "return CheckStatusArguments(args, &checked);",
      "return CheckStatusArguments(args, &checked) < -1;", "probe's argument checks ignored"),
    M("api/auth_call.cpp", "? ReplySigning::kRequire\n", "? ReplySigning::kNever\n",
      "unsigned answer to a probe taken though the process requires signed replies"),
    M("api/auth_call.cpp", "        client.servers[0]->attempts = 1;\n", "\n",
      "probe's transmissions not pinned to one"),

    # ---- radius/status_server.cpp -----------------------------------------------------------
    M("radius/status_server.cpp", "    return cursor.AppendMessageAuthenticator();",
      "    return 0;", "Status-Server without Message-Authenticator"),
    M("radius/status_server.cpp", " || reply.Code() == rad::kAccountingResponse;", ";",
      "Accounting-Response not alive"),

    # ---- api/module.cpp, module.h ----------------------------------------------------------
    M("api/module.cpp", "if (granted != platform::kSocketVersion11) {",
      "if (granted < platform::kSocketVersion11) {", "a newer socket version loads"),
    M("api/module.cpp", "if (ops.start(platform::kSocketVersion11, &granted) != 0) return false;",
      "if (ops.start(platform::kSocketVersion20, &granted) != 0) return false;",
      "asks for the wrong version"),
    M("api/module.cpp", "        ops.end();\n", "\n", "refused version's start not ended"),
    M("api/module.cpp", "const char kBanner[] = \"Quorvel SDK for Win32 ver 1.1.0.2\";",
      "const char kBanner[] = \"Quorvel SDK for Win32 ver 1.1.0.3\";", "banner changed"),
    M("api/module.h", "constexpr unsigned kResultSize = 2048;",
      "constexpr unsigned kResultSize = 2047;", "result buffer one short",
      equivalent="every text auth writes is at most 253 bytes (a Reply-Message) or one of the "
                 "fixed texts; nothing reaches 2047"),

    # ---- api/winapp.cpp, winapp.h ----------------------------------------------------------
    M("api/winapp.cpp", "    g_theModuleApp = this;\n", "\n", "module object not registered"),
    M("api/winapp.cpp", "    if (locked) return true;\n    if (section == nullptr)",
      "    if (section == nullptr)", "a held lock taken again"),
    M("api/winapp.cpp", "    if (!locked) return true;\n    locked = false;",
      "    if (!locked) return false;\n    locked = false;", "unlocking what is not held fails"),
    M("api/winapp.cpp", "    if (section == nullptr) return false;\n", "\n",
      "lock on no section"),
    M("api/winapp.h", "static constexpr unsigned kInfinite = 0xFFFFFFFFu;",
      "static constexpr unsigned kInfinite = 1000u;", "finite wait",
      equivalent="CSingleLock::Lock does not honour its timeout: it always waits"),

    # ---- faults an independent mutation run found the suite let through (issue 24) ---------
    M("radius/packet.cpp",
      "CRadPacket::~CRadPacket() {\n"
      "    platform::SecureZero(savedPassword, sizeof savedPassword);\n",
      "CRadPacket::~CRadPacket() {\n", "saved password not wiped", suite="hygiene"),
    M("radius/authenticators.cpp",
      "    platform::SecureZero(work, MD5PaddedLength(hashed));  // every byte written\n", "\n",
      "hiding's work buffer (secret and chain) not wiped", suite="hygiene"),
    M("api/call_outline.cpp",
      "    unsigned char below[kCallWipeBytes];\n    ZeroBelow(below, sizeof below);\n",
      "    unsigned char below[kCallWipeBytes];\n    (void)below;\n",
      "no stack wipe below auth's frame", suite="hygiene"),
    M("radius/authenticators.cpp",
      "messageAuthenticatorOffset + rad::kMessageAuthenticatorLength <= length &&",
      "messageAuthenticatorOffset + rad::kMessageAuthenticatorLength < length &&",
      "a Message-Authenticator placed last is not signed"),
    M("platform/platform_posix.cpp",
      "    const int fd = ::open(\"/dev/urandom\", O_RDONLY | O_CLOEXEC | O_NOCTTY);\n",
      "    return GetrandomBytes(buffer, length);\n"
      "    const int fd = ::open(\"/dev/urandom\", O_RDONLY | O_CLOEXEC | O_NOCTTY);\n",
      "the /dev/urandom fallback calls getrandom again"),
    M("radius/authenticators.cpp", "        return ReplyCheck::kBadLength;\n",
      "        return ReplyCheck::kTooShort;\n", "a Length fault reported as too short"),
    M("radius/authenticators.cpp",
      "if (type == rad::kProxyState) return ReplyCheck::kProxyState;",
      "if (type == rad::kProxyState) return ReplyCheck::kMessageAuthenticatorForm;",
      "a Proxy-State reported as a Message-Authenticator form fault"),
    # The thread's random stream and the Request Authenticator drawn from it.
    M("platform/thread_random.cpp",
      "if (s.seeded && s.generation == ForkGeneration() && length <= kPoolLength - s.taken) {",
      "if (s.seeded && length <= kPoolLength - s.taken) {",
      "a forked child continues its parent's stream"),
    M("platform/thread_random.cpp",
      "if (s.sinceSeed + kOutputPerRefill > kStreamReseedBytes ||",
      "if (s.sinceSeed + kOutputPerRefill > 2 * kStreamReseedBytes ||",
      "a stream seeded for 2 MiB of output"),
    M("platform/thread_random.cpp", "        StreamListLockRelease();\n    }\n    Forget(*this);\n",
      "        StreamListLockRelease();\n    }\n",
      "a stream not wiped at its thread's end", suite="hygiene"),
    M("platform/thread_random.cpp",
      "for (Stream* s = g_streams; s != nullptr; s = s->following) Forget(*s);",
      "for (Stream* s = g_streams; s != nullptr; s = s->following) (void)s;",
      "the streams not wiped at unload", suite="hygiene"),
    M("platform/platform_posix.cpp",
      "g_forkGeneration.fetch_add(1, std::memory_order_relaxed);",
      "g_forkGeneration.fetch_add(0, std::memory_order_relaxed);",
      "a fork not counted"),
    M("radius/authenticators.cpp",
      "            authenticator[12 + i] ^= static_cast<std::uint8_t>(counter >> (8 * i));\n",
      "\n", "the request counter not folded into the Request Authenticator"),
    M("radius/authenticators.cpp",
      "        if (i == 0 && firstDigest != nullptr)\n",
      "        if (i == 1 && firstDigest != nullptr)\n",
      "the first hiding digest computed beside the key used for the second block"),
    M("md5/hmac_md5.cpp", "    const int count = besideState != nullptr && besideBlock != nullptr ? 3 : 2;",
      "    const int count = besideState != nullptr && besideBlock != nullptr ? 2 : 2;",
      "the block beside the key's pads never compressed"),
    T("text_escape.cpp", "        if (lead == 0xF4) high = 0x8F;\n", "\n",
      "code points above U+10FFFF printed raw"),
    T("terminal_posix.cpp", "if ((st.st_mode & 077) != 0) {", "if ((st.st_mode & 066) != 0) {",
      "a secret file with only an execute bit for group or others accepted"),
    T("qvrad-auth.cpp", "const bool echo = qvrad_login_prompt_echo(login) == 1;",
      "const bool echo = qvrad_login_prompt_echo(login) != 1;",
      "a challenge answer echoed unless the Prompt says echo"),
    T("attribute_names.cpp", '{27, "Session-Timeout", kInteger},',
      '{27, "Session-Timeout", kHex},', "an integer attribute printed in hex"),

    # ---- the structured interface's servers and reply view, RADIUS over TLS ----------------
    # Faults an independent run planted that the whole suite let through; TlsLogin.
    # RepliesOnTheConnection (an OpenSSL server in the unit tests) and the Login tables catch them.
    M("radius/tls_pool.cpp", "        if (now >= deadlineMillis) break;\n",
      "        if (now >= deadlineMillis + 2000) break;\n",
      "a TLS login waits past its deadline on a connection that stays silent", tls=True),
    M("radius/tls_exchange.cpp",
      "pool.Await(lease, waiter, shareEnd, why, sizeof why)",
      "pool.Await(lease, waiter, shareEnd + 2000, why, sizeof why)",
      "the wait for a TLS reply runs 2 s past the entry's share", tls=True),
    M("radius/tls_connection.cpp", "    if (verdict != ReplyCheck::kVerified) {\n",
      "    if (verdict == ReplyCheck::kMalformed) {\n",
      "a TLS reply whose Response Authenticator does not verify taken", tls=True),
    M("radius/tls_connection.cpp",
      "inbound.CheckResponseTo(identifier, slot.authenticator,",
      "inbound.CheckResponseTo(inbound.octets[1], slot.authenticator,",
      "a TLS reply to another request taken", tls=True),
    M("tls/tls_session.cpp", ": static_cast<std::size_t>(packetLength - s.pendingCount);",
      ": sizeof s.pending - s.pendingCount;",
      "a reply behind another in the same TLS record lost", tls=True),
    M("tls/tls_session.cpp", "if (packetLength > capacity) {", "if (packetLength >= capacity) {",
      "a reply of 4096 octets over TLS refused", tls=True),
    M("tls/tls_session.cpp", "    if (s.established) (void)mbedtls_ssl_close_notify(&s.ssl);\n",
      "\n", "TLS sessions end without close_notify", tls=True),
    M("radius/tls_connection.cpp", "waiter->rejects(waiter->rejectsContext, inbound))",
      "false)", "a challenge with two States taken over TLS", tls=True),
    M("radius/tls_exchange.cpp", "owner->replyServer = moment.serverIndex;",
      "owner->replyServer = 0;",
      "a challenge from a tls:// entry after the first answered to the first", tls=True),
    # Kept connections (TlsKept.ConnectionsSharedAndKept, the interop rows, the TSan row).
    M("radius/tls_connection.cpp", "        if (waiter->discarded++ == 0) waiter->firstDiscard = verdict;\n",
      "        if (waiter->discarded++ == 0) waiter->firstDiscard = verdict;\n        Die(\"bad\");\n",
      "a reply that does not verify tears the connection down with every request on it",
      tls=True),
    M("radius/tls_pool.cpp", "            if (chosen != nullptr || c->inFlight >= TlsConnection::kMaxInFlight) continue;",
      "            if (chosen != nullptr || c->inFlight >= 1) continue;",
      "one request at a time on a connection: every other login opens its own", tls=True),
    M("radius/tls_pool.cpp", "        pool->inherited_ = true;\n", "\n",
      "a forked child uses its parent's connections", tls=True),
    M("radius/tls_pool.cpp", "                record->tickets.Take(now, &ticket);\n", "\n",
      "reconnections never resume from a ticket", tls=True),
    M("radius/tls_exchange.cpp", "    for (int tries = 0; tries < 4 && transmissions < 2; ++tries) {",
      "    for (int tries = 0; tries < 1 && transmissions < 2; ++tries) {",
      "a request whose connection broke is not sent again on a new one", tls=True),
    M("tls/tls_session.cpp",
      "    if (state->stepBudget == 0 || platform::MonotonicMillis() >= state->stepDeadline)\n"
      "        return MBEDTLS_ERR_SSL_WANT_READ;\n"
      "    if (capacity > state->stepBudget) capacity = state->stepBudget;\n",
      "", "a peer that keeps sending ignored records holds a TLS read past its deadline",
      tls=True),
    M("radius/server_health.cpp", "    if (failures < kMaxFailures) ++failures;\n", "\n",
      "reconnections to a failing server never back off", tls=True),
    M("login/login.cpp", "const ServerSpec& spec = config.servers[first + i];",
      "const ServerSpec& spec = config.servers[i];",
      "a challenge answered with the first server's secret and settings"),
    M("login/login.cpp", "            place[i] = first + i;\n", "            place[i] = i;\n",
      "a second round's answer hidden with the first server's secret"),
    M("login/login.cpp", "client.replySigning = SigningOf(spec);",
      "client.replySigning = SigningOf(config.servers[0]);",
      "every server held to the first one's signing rule"),
    M("login/reply_view.cpp",
      "view->promptEcho = value[0] == 0 && value[1] == 0 && value[2] == 0 && value[3] == 1;",
      "view->promptEcho = 1;", "Prompt No-Echo reported as echo"),
    M("login/reply_view.cpp", "value[at + 1] < 2 ||", "value[at + 1] < 1 ||",
      "a vendor sub-attribute of Length 1 a row of SIZE_MAX octets"),
    M("login/reply_view.cpp", "static_cast<std::uint32_t>(value[2]) << 8",
      "static_cast<std::uint32_t>(value[2]) << 16", "vendor 311 reported as 65591"),
    M("login/reply_view.cpp", "value[0] != 0 || ", "",
      "a Vendor-Id whose high octet is not 0 read as a vendor"),
    M("radius/client.cpp", "(cursor.GetValue(&value, &valueLength) == 0 && valueLength == 0)",
      "(cursor.GetValue(&value, &valueLength) == 0 && valueLength > 253)",
      "a challenge's empty State echoed in the answer"),
]

# Files of the two folders with no mutant, and why.
NOT_MUTATED = {
    "api/arguments.h": "declarations only",
    "api/result.h": "declarations only",
    "api/auth_call.h": "declarations only",
    "api/exports.cpp": "two forwards (auth to RunAuth, info to the banner); every auth test and "
                       "the banner test go through them",
    "api/exports.map": "the export list; exports_match_header checks it in the fast suite, but "
                       "the linker, not a test, refuses most changes to it",
    "api/qvRadClient.def": "Windows only (MinGW builds); exports_match_header holds it to the "
                           "headers in the fast suite, the PE test of stage 30 to the DLL",
    "api/version.rc": "Windows only (MinGW builds, checked by the PE test of stage 30)",
}


def number_mutants():
    counts = {}
    for m in MUTANTS:
        counts[m.path] = counts.get(m.path, 0) + 1
        # An ordinal within its file, not a line: the mutant is anchored by its snippet's text.
        m.id = f"{Path(m.path).name}#{counts[m.path]}"


def sync_tree(source, copy):
    """Copies the source tree into copy, writing only files whose bytes differ, so that the
    scratch build stays incremental. Build folders and .git are left out."""
    skip = {".git", "__pycache__"}
    for directory, subdirs, files in os.walk(source):
        rel = Path(directory).relative_to(source)
        top = rel == Path(".")
        subdirs[:] = [d for d in subdirs
                      if d not in skip and not (top and d.startswith(("build", "out")))]
        (copy / rel).mkdir(parents=True, exist_ok=True)
        for name in files:
            src, dst = Path(directory) / name, copy / rel / name
            if not dst.exists() or not filecmp.cmp(src, dst, shallow=False):
                # A fresh modification time, never the source's: a file put back after a
                # mutant must look newer than the objects built from the mutant.
                shutil.copyfile(src, dst)
                shutil.copymode(src, dst)


def run(command, log, timeout, cwd=None):
    """Runs command in its own process group, output to log; kills the group on time-out.
    Returns the exit status, or None after a time-out."""
    with open(log, "w") as out:
        process = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT, cwd=cwd,
                                   start_new_session=True)
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            return None


def build(build_dir, jobs, log, targets):
    return run(["cmake", "--build", str(build_dir), "-j", str(jobs), "--target", *targets],
               log, 1800) == 0


def run_suite(suite, build_dir, jobs, log, timeout):
    return run(["ctest", "--test-dir", str(build_dir), "-j", str(jobs), "--stop-on-failure",
                *SUITES[suite][1], "--no-tests=error"], log, timeout)


def main():
    number_mutants()
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tree", type=Path, default=ROOT, help="source tree to mutate a copy of")
    parser.add_argument("--work", type=Path, default=ROOT / "build-mutation",
                        help="scratch folder: the copy, its build and the logs")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--only", nargs="*", default=[], help="mutant ids (see --list)")
    parser.add_argument("--list", action="store_true", help="list the mutants and stop")
    args = parser.parse_args()

    source_root = args.tree.resolve()
    tree = args.work.resolve() / "src"
    build_dir = args.work.resolve() / "build"
    logs = args.work.resolve() / "logs"
    chosen = [m for m in MUTANTS if not args.only or m.id in args.only]

    # Stale: the snippet must occur exactly once in the file as it is now.
    originals = {}
    status = {}
    for m in chosen:
        path = source_root / m.path
        if path not in originals:
            originals[path] = path.read_text() if path.exists() else None
        text = originals[path]
        if text is None or text.count(m.find) != 1:
            status[m.id] = "stale"
        elif m.equivalent:
            status[m.id] = "equivalent"
    tls_source = os.environ.get("QVRAD_MBEDTLS_SOURCE", "")
    if not tls_source:
        for m in chosen:
            if m.tls and m.id not in status:
                status[m.id] = "needs TLS"
    stale = [m for m in chosen if status.get(m.id) == "stale"]
    no_tls = [m for m in chosen if status.get(m.id) == "needs TLS"]
    if args.list:
        for m in chosen:
            print(f"{m.id:24} {status.get(m.id, 'run'):10} {m.suite:8} {m.why}"
                  + (f"  [equivalent: {m.equivalent}]" if m.equivalent else ""))
        if stale:
            print(f"{len(stale)} stale: their snippet no longer occurs exactly once")
        if no_tls:
            print(f"{len(no_tls)} need TLS: export QVRAD_MBEDTLS_SOURCE (scripts/mbedtls-source.sh)")
        return 1 if stale or no_tls else 0

    runnable = [m for m in chosen if m.id not in status]
    suites = sorted({m.suite for m in runnable})
    sync_tree(source_root, tree)
    logs.mkdir(parents=True, exist_ok=True)
    tools = "ON" if "tool" in suites else "OFF"
    if run(["cmake", "-S", str(tree), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
            "-DQVRAD_BUILD_TESTS=ON", f"-DQVRAD_BUILD_TOOLS={tools}", "-DQVRAD_BUILD_BENCH=OFF",
            "-DQVRAD_WERROR=OFF", f"-DQVRAD_MBEDTLS_SOURCE={tls_source}"],
           logs / "configure.log", 600) != 0:
        print(f"configure failed: {logs / 'configure.log'}")
        return 2
    start = time.monotonic()
    targets = sorted(set(LISTED_TARGETS).union(*(SUITES[s][0] for s in suites)))
    if not build(build_dir, args.jobs, logs / "baseline-build.log", targets):
        print(f"the unmutated tree does not build: {logs / 'baseline-build.log'}")
        return 2
    timeouts = {}
    for suite in suites:
        suite_start = time.monotonic()
        log = logs / f"baseline-{suite}.log"
        if run_suite(suite, build_dir, args.jobs, log, 600) != 0:
            print(f"the {suite} suite fails on the unmutated tree: {log}")
            return 2
        baseline = time.monotonic() - suite_start
        timeouts[suite] = max(60.0, 4 * baseline)
        print(f"baseline: {suite} suite passed in {baseline:.1f} s (a mutant's run is stopped "
              f"after {timeouts[suite]:.0f} s)")
    print(f"built in {time.monotonic() - start:.0f} s with the baselines")

    killed, survived, unbuilt = [], [], []
    # A mutated file is put back only when the next mutant is in another file (or at the end),
    # so that mutants of one file cost one compile each, not two.
    dirty = None
    try:
        for index, m in enumerate(runnable, 1):
            path = tree / m.path
            if dirty is not None and dirty != path:
                sync_tree(source_root, tree)
            original = (source_root / m.path).read_text()
            path.write_text(original.replace(m.find, m.replace, 1))
            dirty = path
            log = logs / (m.id.replace("#", "-") + ".log")
            began = time.monotonic()
            if not build(build_dir, args.jobs, log, SUITES[m.suite][0]):
                outcome = "did not build"
                unbuilt.append(m)
            else:
                rc = run_suite(m.suite, build_dir, args.jobs, log, timeouts[m.suite])
                outcome = "killed" if rc != 0 else "SURVIVED"
                if rc is None:
                    outcome = "killed (time-out)"
                (killed if rc != 0 else survived).append(m)
            print(f"[{index}/{len(runnable)}] {m.id:24} {outcome:18} "
                  f"{time.monotonic() - began:5.1f} s  {m.why}", flush=True)
    finally:
        # The copy is left as the tree is: the next run rebuilds only what changed.
        sync_tree(source_root, tree)

    equivalent = [m for m in chosen if status.get(m.id) == "equivalent"]
    scored = len(killed) + len(survived)
    print()
    print(f"mutants listed {len(chosen)}: killed {len(killed)}, survived {len(survived)}, "
          f"equivalent {len(equivalent)}, stale {len(stale)}, need TLS {len(no_tls)}, "
          f"did not build {len(unbuilt)}")
    if scored:
        print(f"score: {len(killed)}/{scored} = {100.0 * len(killed) / scored:.1f}% of the "
              f"non-equivalent mutants killed by their suite")
    for title, group in (("survivors", survived), ("stale (snippet no longer matches)", stale),
                         ("need TLS (QVRAD_MBEDTLS_SOURCE not set)", no_tls),
                         ("did not build", unbuilt)):
        if group:
            print(f"{title}:")
            for m in group:
                print(f"  {m.id:24} {m.why}\n      {m.find.strip()!r}\n   -> {m.replace.strip()!r}")
    return 0 if not survived and not stale and not no_tls else 1


if __name__ == "__main__":
    sys.exit(main())
