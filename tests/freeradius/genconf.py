#!/usr/bin/env python3
"""Writes the private FreeRADIUS 3.2 configuration for the interop tests into a state folder.

server.sh calls this with the UDP ports it picked; everything it writes stays inside the folder.
"""

import argparse
import os
import re
import shutil
import sys

HOST = "127.0.0.1"
HOST6 = "::1"

# One listener per shared secret: FreeRADIUS picks the client (and so the secret) by source
# address, and the library always sends from 127.0.0.1, so each secret needs its own port.
# The longest secret FreeRADIUS 3.2.1 takes from a client section is bounded by its config
# parser: one logical line (continuations included) must fit an 8192-byte buffer with room for
# the newline and the terminating NUL, i.e. at most 8190 bytes with the newline.  The shortest
# line that carries a secret is "secret=VALUE\n" (a bare word), which leaves 8182 bytes; a
# quoted secret gets two fewer.  Longer lines fail with "Line too long" at start-up.
SECRET_MAX_LEN = 8182
# The longest secret qvRadClient takes (longer ones give "6007#0#INVALID_INPUT_ERR"), so the
# longest one both ends of an exchange accept.
SECRET_LIBRARY_MAX_LEN = 256


def _pattern(n, seed):
    chars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
    return "".join(chars[(i * 11 + seed) % len(chars)] for i in range(n))


# Secrets stay free of quote, backslash, '$' and '%' so that they pass unchanged through the
# FreeRADIUS config parser, shell variables and radclient's command line.
LISTENS = [
    # name, secret, require Message-Authenticator (RFC 3579 section 3.2)
    ("MAIN", "testing123", False),
    ("S1", "x", False),
    ("S16", "0123456789abcdef", False),
    ("S64", "P!u#n&c(t)u*a+t,e-d./:;<=>?@[]^_`{|}~" + _pattern(64 - 37, 1), False),
    ("S256", _pattern(SECRET_LIBRARY_MAX_LEN, 3), False),
    ("SMAX", _pattern(SECRET_MAX_LEN, 2), False),
    ("MSGAUTH", "testing123", True),
]

# The listeners that also listen on ::1, on the same port and with the same secret, for a client
# at ::1: the IPv6 rows need an Accept, a Reject and a wrong secret, with the usual secret and
# the longest one the library takes.
LISTENS6 = ("MAIN", "S256")


def unescape(field):
    """Decodes a users.tsv field: \\xHH is one byte, \\\\ one backslash, the rest is UTF-8."""
    out = bytearray()
    raw = field.encode("utf-8")
    i = 0
    while i < len(raw):
        c = raw[i]
        if c != 0x5C:
            out.append(c)
            i += 1
            continue
        if raw[i + 1 : i + 2] == b"\\":
            out.append(0x5C)
            i += 2
        elif raw[i + 1 : i + 2] == b"x" and len(raw) >= i + 4:
            out.append(int(raw[i + 2 : i + 4].decode("ascii"), 16))
            i += 4
        else:
            raise ValueError("bad escape in %r" % field)
    return bytes(out)


KINDS = ("accept", "challenge", "challenge-otp", "reject", "reject-quiet", "drop", "nas-echo")


def otp_fields(replies):
    """A challenge-otp row's fields 5..9: (challenge text, code, welcome, Class, Cisco-AVPair)."""
    return tuple(replies)


def read_users(path):
    rows = []
    with open(path, encoding="utf-8") as f:
        for lineno, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            fields = line.split("\t")
            if len(fields) < 4:
                raise ValueError("%s:%d: need at least 4 fields" % (path, lineno))
            key, kind = fields[0], fields[1]
            if kind not in KINDS:
                raise ValueError("%s:%d: unknown kind %r" % (path, lineno, kind))
            if kind == "challenge-otp" and len(fields) != 9:
                raise ValueError("%s:%d: a challenge-otp row has 9 fields" % (path, lineno))
            rows.append(
                (key, kind, unescape(fields[2]), unescape(fields[3]), [unescape(r) for r in fields[4:]])
            )
    return rows


def fr_string(value):
    """Quotes bytes for the users file: a double-quoted string with octal escapes.

    Everything outside printable ASCII, and the characters the parser treats specially
    (quote, backslash, '%' which would start an expansion), is written as \\NNN.
    """
    out = ['"']
    for b in value:
        if 0x20 <= b < 0x7F and b not in (0x22, 0x5C, 0x25):
            out.append(chr(b))
        else:
            out.append("\\%03o" % b)
    out.append('"')
    return "".join(out)


def fr_name(value):
    """Quotes a user name for the users file.

    The entry name is matched byte for byte and the parser does not decode escapes in it, so
    the bytes go in raw; only what would end the quoted string is refused.
    """
    if any(b < 0x20 or b in (0x22, 0x5C, 0x7F) for b in value):
        raise ValueError("user name %r cannot be written to the users file" % value)
    return b'"' + value + b'"'


# The nas-echo kind's Reply-Message: what the server decoded, expanded per request.
NAS_ECHO = (
    '"NAS-Identifier %{NAS-Identifier}; '
    'NAS address %{%{NAS-IP-Address}:-%{%{NAS-IPv6-Address}:-none}}"'
)


def users_file(rows):
    lines = [b"# Generated by genconf.py from users.tsv; edits here are lost at the next start.", b""]
    seen = set()
    for key, kind, user, password, replies in rows:
        if kind == "reject":
            continue
        if user in seen:
            raise ValueError("user of %s appears twice" % key)
        seen.add(user)
        check = ["Cleartext-Password := " + fr_string(password)]
        if kind == "challenge":
            check.append("Auth-Type := qvrad-challenge")
        elif kind == "reject-quiet":
            check.append("Auth-Type := Reject")
            check.append('Tmp-String-0 := "quiet-reject"')
        elif kind == "drop":
            check.append("Response-Packet-Type := Do-Not-Respond")
        elif kind == "nas-echo":
            # Without a NAS-Identifier the first entry matches and rejects; with one the files
            # module goes on to the second, whose reply is expanded when it is sent.
            replies = [NAS_ECHO]
            lines.append(b"# " + key.encode("utf-8") + b": no NAS-Identifier, no login")
            lines.append(fr_name(user) + b"\tNAS-Identifier !* ANY, Auth-Type := Reject")
        elif kind == "challenge-otp":
            # Two entries: the files module takes the first whose checks match. Without a State
            # (RFC 2865 section 5.24) the password earns a challenge; with one, the code is the
            # password and the Accept carries the rest. The server makes the State itself, one
            # per challenge, and only a State it issued brings its session-state back.
            prompt, code, welcome, klass, avpair = otp_fields(replies)
            lines.append(b"# " + key.encode("utf-8") + b": first step, no State")
            lines.append(fr_name(user) + b"\tState !* ANY, " + check[0].encode("ascii")
                         + b", Auth-Type := qvrad-otp-challenge")
            lines.append(b"\tReply-Message += " + fr_string(prompt).encode("ascii"))
            lines.append(b"")
            check = ["State =* ANY", "Cleartext-Password := " + fr_string(code),
                     "Auth-Type := qvrad-otp-answer"]
            replies = [welcome]
            extra_reply = ["Class := " + fr_string(klass), "Cisco-AVPair += " + fr_string(avpair)]
            key += ": second step, answering the challenge's State"
        lines.append(b"# " + key.encode("utf-8"))
        lines.append(fr_name(user) + b"\t" + ", ".join(check).encode("ascii"))
        reply = ["Reply-Message += " + (r if r is NAS_ECHO else fr_string(r)) for r in replies]
        if kind == "challenge-otp":
            reply += extra_reply
        for i, item in enumerate(reply):
            lines.append(b"\t" + item.encode("ascii") + (b"," if i + 1 < len(reply) else b""))
        lines.append(b"")
    return b"\n".join(lines) + b"\n"


def cf_path(path):
    # Single-quoted strings are taken literally by the config parser, spaces included.
    if "'" in path or "\n" in path or "\\" in path:
        raise ValueError("state path must not contain quotes, backslashes or newlines: %r" % path)
    return "'" + path + "'"


def secret_item(secret):
    if secret.isalnum() and secret.isascii():
        return "secret=" + secret
    return 'secret="' + secret + '"'


def proxy_section(homes):
    """Proxying by realm suffix ("user@REALM", stripped before it goes on) to home servers."""
    if not homes:
        return "proxy_requests = no\n"
    out = ["proxy_requests = yes", "proxy server {", "\tdefault_fallback = no", "}"]
    for realm, (port, secret) in sorted(homes.items()):
        out += [
            "home_server home_%s {" % realm,
            "\ttype = auth",
            "\tipaddr = %s" % HOST,
            "\tport = %d" % port,
            "\t" + secret_item(secret),
            "\tresponse_window = 5",
            "\tstatus_check = none",
            "}",
            "home_server_pool pool_%s {" % realm,
            "\ttype = fail-over",
            "\thome_server = home_%s" % realm,
            "}",
            "realm %s {" % realm,
            "\tauth_pool = pool_%s" % realm,
            "}",
        ]
    return "\n".join(out) + "\n"


REALM_MODULE = """	realm suffix {
		format = suffix
		delimiter = "@"
	}
"""


# RADIUS over TLS (RFC 6614): the shared secret is "radsec" (RFC 6614 section 2.3), packets go
# back to back on the stream (RFC 6613 section 2.1).
TLS_SECRET = "radsec"
# The TLS listeners: CERT with mutual certificate authentication, PSK with TLS-PSK (RFC 9813).
TLS_LISTENS = ("CERT", "PSK")


def psk_tls_version(version):
    """The one TLS version of the PSK listener: 1.2 before 3.2.7, 1.3 from it on.

    Both versions can do both (3.2.1 answered RADIUS over TLS 1.3 PSK too); one each gives the
    tests a real server for TLS-PSK in either version, and a refusal of the other.
    """
    if version and tuple(int(x) for x in version.split(".")[:3]) >= (3, 2, 7):
        return "1.3"
    return "1.2"


# Connections per listener and per client. On ::1, FreeRADIUS's stock limit of 16
# (sites-available/tls), which a client that opened a connection per login soon ran into
# ("Ignoring new connection due to client max_connections (16)"): qvRadClient keeps its
# connections and lives with it, and the tests of that use ::1. On 127.0.0.1, room for the peers
# that open a connection per check (openssl s_client, each qvrad-auth run), whose closed
# connections the server counts for a few seconds more, and for every test of a parallel run.
# The idle timeout is short (stock: 30 s), so that a test sees the server close an idle
# connection soon. QVRAD_FR_TLS_MAX_CONNECTIONS sets the ::1 limit too (bench/tls.sh raises it).
TLS_MAX_CONNECTIONS = int(os.environ.get("QVRAD_FR_TLS_MAX_CONNECTIONS", "16"))
TLS_ROOMY_CONNECTIONS = max(256, TLS_MAX_CONNECTIONS)
TLS_IDLE_TIMEOUT = 5  # FreeRADIUS raises any shorter one to 5


def tls_limit(indent, host):
    limit = TLS_MAX_CONNECTIONS if host == HOST6 else TLS_ROOMY_CONNECTIONS
    items = ("limit {", "\tmax_connections = %d" % limit, "\tlifetime = 0",
             "\tidle_timeout = %d" % TLS_IDLE_TIMEOUT, "}")
    return "".join(indent + item + "\n" for item in items)


def tls_sections(tls, ports, hosts, extra_client):
    """The TLS clients section and listen sections (text) for TLS, a dict of certs, psk_identity,
    psk_key and psk_version; hosts are (client name, address item, address) pairs."""
    clients = ["clients qvrad_tls {\n"]
    for client, item, host in hosts:
        clients.append(
            "\tclient %s {\n\t\t%s = %s\n\t\tproto = tls\n\t\tsecret = %s\n"
            "\t\trequire_message_authenticator = no\n%s%s\t}\n"
            % (client, item, host, TLS_SECRET, extra_client, tls_limit("\t\t", host))
        )
    clients.append("}\n")
    certs = tls["certs"]
    cert_tls = (
        "\t\t\tprivate_key_file = %s\n"
        "\t\t\tcertificate_file = %s\n"
        "\t\t\tca_file = %s\n"
        # Mutual authentication (RFC 6614 section 2.3): a client certificate from the test CA.
        "\t\t\trequire_client_cert = yes\n"
        "\t\t\ttls_min_version = \"1.2\"\n"
        "\t\t\ttls_max_version = \"1.3\"\n"
        "\t\t\tecdh_curve = \"prime256v1\"\n"
        % tuple(cf_path(os.path.join(certs, f)) for f in ("server.key", "server.pem", "ca.pem"))
    )
    # A static identity and key; no certificate item may be set beside them.
    psk_tls = (
        '\t\t\tpsk_identity = "%s"\n'
        '\t\t\tpsk_hexphrase = "%s"\n'
        '\t\t\ttls_min_version = "%s"\n'
        '\t\t\ttls_max_version = "%s"\n' % (tls["psk_identity"], tls["psk_key"], tls["psk_version"],
                                              tls["psk_version"])
    )
    listens = []
    for name, body in (("CERT", cert_tls), ("PSK", psk_tls)):
        for _, item, host in hosts:
            listens.append(
                "\tlisten {\n"
                "\t\ttype = auth\n"
                "\t\tproto = tcp\n"
                "\t\t%s = %s\n"
                "\t\tport = %d\n"
                "\t\tclients = qvrad_tls\n"
                "%s"
                "\t\ttls {\n%s"
                "\t\t\tcipher_list = \"DEFAULT\"\n"
                # Session resumption, which a client with kept connections uses on reconnecting
                # (FreeRADIUS's session cache; TLS 1.3 tickets).
                "\t\t\tcache {\n\t\t\t\tenable = yes\n\t\t\t\tlifetime = 24\n"
                "\t\t\t\tmax_entries = 255\n\t\t\t}\n"
                "\t\t\tverify {\n\t\t\t}\n"
                "\t\t}\n"
                "\t}\n" % (item, host, ports["TLS_" + name], tls_limit("\t\t", host), body)
            )
    return "".join(clients), "".join(listens)


def radiusd_conf(state, raddb, pkgconf, ports, libdir, homes, listens_used, listens6, extra_client,
                 tls=None):
    always = open(os.path.join(pkgconf, "mods-available", "always"), encoding="utf-8").read()
    pap = open(os.path.join(pkgconf, "mods-available", "pap"), encoding="utf-8").read()
    clients = []
    listens = []
    for name, secret, require_ma in listens_used:
        lname = "qvrad_" + name.lower()
        # A listener on ::1 as well: a second client, at ::1, in the same clients section.
        hosts = [("localhost", "ipaddr", HOST)]
        if name in listens6:
            hosts.append(("localhost6", "ipv6addr", HOST6))
        clients.append("clients %s {\n" % lname)
        for client, item, host in hosts:
            clients.append(
                "\tclient %s {\n"
                "\t\t%s = %s\n"
                # Unindented, and bare when it can be: the parser's line buffer bounds the secret.
                "%s\n"
                "\t\trequire_message_authenticator = %s\n"
                "%s"
                "\t}\n"
                % (client, item, host, secret_item(secret), "yes" if require_ma else "no", extra_client)
            )
            listens.append(
                "\tlisten {\n"
                "\t\ttype = auth\n"
                "\t\t%s = %s\n"
                "\t\tport = %d\n"
                "\t\tclients = %s\n"
                "\t}\n" % (item, host, ports[name], lname)
            )
        clients.append("}\n")
    # Accounting (RFC 2866) on a port of its own, for the MAIN client and secret; every record
    # is written by the detail module, one file the tests read.
    if "ACCT" in ports and any(n == "MAIN" for n, _, _ in listens_used):
        listens.append(
            "\tlisten {\n"
            "\t\ttype = acct\n"
            "\t\tipaddr = %s\n"
            "\t\tport = %d\n"
            "\t\tclients = qvrad_main\n"
            "\t}\n" % (HOST, ports["ACCT"])
        )
    if tls:
        hosts = [("localhost", "ipaddr", HOST)]
        if listens6:
            hosts.append(("localhost6", "ipv6addr", HOST6))
        tls_clients, tls_listens = tls_sections(tls, ports, hosts, extra_client)
        clients.append(tls_clients)
        listens.append(tls_listens)
    return f"""# Private FreeRADIUS configuration for qvRadClient's interop tests, generated by genconf.py.
prefix = /usr
exec_prefix = /usr
sysconfdir = /etc
localstatedir = {cf_path(state)}
sbindir = /usr/sbin
logdir = {cf_path(os.path.join(state, "log"))}
raddbdir = {cf_path(raddb)}
radacctdir = {cf_path(os.path.join(state, "log", "radacct"))}
name = freeradius
confdir = {cf_path(raddb)}
modconfdir = {cf_path(os.path.join(raddb, "mods-config"))}
certdir = {cf_path(os.path.join(raddb, "certs"))}
cadir = {cf_path(os.path.join(raddb, "certs"))}
run_dir = {cf_path(os.path.join(state, "run"))}
db_dir = {cf_path(raddb)}
libdir = {cf_path(libdir)}
pidfile = {cf_path(os.path.join(state, "run", "freeradius.pid"))}

max_request_time = 10
cleanup_delay = 5
# Requests are tracked for cleanup_delay after their reply (duplicate detection): the stock 1024
# dropped logins ("1025 is too many") once a load run passed 200 a second.
max_requests = 65536
hostname_lookups = no

log {{
	destination = files
	file = {cf_path(os.path.join(state, "log", "radius.log"))}
	colourise = no
	stripped_names = no
	auth = yes
	auth_badpass = yes
	auth_goodpass = yes
}}

# No user/group: the server keeps running as whoever started it, so the state folder stays
# readable and writable.
security {{
	allow_core_dumps = no
	max_attributes = 200
	reject_delay = 0
	status_server = yes
}}

{proxy_section(homes)}
thread pool {{
	start_servers = 1
	max_servers = 4
	min_spare_servers = 1
	max_spare_servers = 2
	max_requests_per_server = 0
	auto_limit_acct = no
}}

{"".join(clients)}
modules {{
# --- copied from {pkgconf}/mods-available/always
{always}
# --- copied from {pkgconf}/mods-available/pap
{pap}
{REALM_MODULE if homes else ""}	detail {{
		filename = {cf_path(os.path.join(state, "log", "radacct", "detail"))}
		escape_filenames = no
		permissions = 0600
		header = "%t"
		locking = no
	}}
	files {{
		filename = {cf_path(os.path.join(raddb, "mods-config", "files", "authorize"))}
	}}
}}

instantiate {{
}}

server default {{
{"".join(listens)}
	authorize {{
{"		suffix" if homes else ""}
		files
		pap
		# Status-Server (RFC 5997) answers on every auth listener, for the readiness check.
		Autz-Type Status-Server {{
			ok
		}}
	}}

	authenticate {{
		Auth-Type PAP {{
			pap
		}}
		# A correct password earns an Access-Challenge instead of an Access-Accept.
		Auth-Type qvrad-challenge {{
			pap
			if (ok) {{
				update control {{
					&Response-Packet-Type := Access-Challenge
				}}
				update reply {{
					&State := 0x71767261642d6368616c6c656e6765
				}}
			}}
		}}
		# challenge-otp, first step: the password earns an Access-Challenge whose State the
		# server makes (none in the reply: it adds a fresh one), remembered with this
		# session-state until the answer comes (RFC 2865 section 4.4).
		Auth-Type qvrad-otp-challenge {{
			pap
			if (ok) {{
				update control {{
					&Response-Packet-Type := Access-Challenge
				}}
				update session-state {{
					&Tmp-String-0 := "qvrad-otp"
				}}
			}}
		}}
		# Second step: only a State this server issued brings the session-state back; then
		# the code is checked as the password. Any other State is refused.
		Auth-Type qvrad-otp-answer {{
			if (&session-state:Tmp-String-0 && &session-state:Tmp-String-0 == "qvrad-otp") {{
				pap
			}}
			else {{
				reject
			}}
		}}
	}}

	accounting {{
		detail
		ok
	}}

	post-auth {{
		# The caller's own attributes seen by the server, echoed into the Accept's Reply-Messages.
		if (&request:Calling-Station-Id) {{
			update reply {{
				&Reply-Message += "Calling-Station-Id %{{request:Calling-Station-Id}}"
			}}
		}}
		if (&request:Cisco-AVPair) {{
			update reply {{
				&Reply-Message += "Cisco-AVPair %{{request:Cisco-AVPair}}"
			}}
		}}
		# Every Access-Reject carries exactly one Reply-Message, except for users marked quiet,
		# and never the Class or Cisco-AVPair a challenge-otp answer entry adds.
		Post-Auth-Type REJECT {{
			update reply {{
				&Reply-Message !* ANY
				&Class !* ANY
				&Cisco-AVPair !* ANY
			}}
			if (!&control:Tmp-String-0 || &control:Tmp-String-0 != "quiet-reject") {{
				update reply {{
					&Reply-Message := "Access denied"
				}}
			}}
		}}
	}}
}}
"""


def shell_quote(value):
    if "'" in value:
        raise ValueError("value must not contain a single quote")
    return "'" + value + "'"


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--state", required=True)
    ap.add_argument("--pkgconf", required=True)
    ap.add_argument("--users", required=True)
    ap.add_argument("--libdir", default="/usr/lib/freeradius", help="the server's module folder")
    ap.add_argument("--version", default="", help="the server's version, written to ports.env")
    ap.add_argument(
        "--home",
        action="append",
        default=[],
        help="REALM=PORT: a proxy with one MAIN listener, sending user@REALM to that port's MAIN",
    )
    ap.add_argument(
        "--ports",
        required=True,
        help="comma-separated NAME=PORT for " + ",".join(n for n, _, _ in LISTENS) + " (and optionally CLOSED)",
    )
    ap.add_argument(
        "--no-ipv6",
        metavar="REASON",
        default="",
        help="::1 cannot be bound here (REASON): no listener on it, and ports.env says why",
    )
    ap.add_argument(
        "--tls",
        metavar="CERTS",
        default="",
        help="TLS listeners too (ports TLS_CERT and TLS_PSK), with the material make-certs.sh made in CERTS",
    )
    args = ap.parse_args()

    state = os.path.abspath(args.state)
    ports = {}
    for item in args.ports.split(","):
        name, _, port = item.partition("=")
        ports[name] = int(port)
    homes = {}
    for item in args.home:
        realm, _, port = item.partition("=")
        homes[realm] = (int(port), dict((n, sec) for n, sec, _ in LISTENS)["MAIN"])
    # A proxy serves one listener; its home servers answer the users.
    listens_used = [entry for entry in LISTENS if not homes or entry[0] == "MAIN"]
    listens6 = [] if args.no_ipv6 else [n for n, _, _ in listens_used if n in LISTENS6]
    # From 3.2.5 on a client section may drop requests with a Proxy-State and no
    # Message-Authenticator (limit_proxy_state); ours never carry one, a proxy's always do.
    extra_client = ""
    if args.version and tuple(int(x) for x in args.version.split(".")[:3]) >= (3, 2, 5):
        extra_client = "\t\tlimit_proxy_state = no\n"
    missing = [n for n, _, _ in listens_used if n not in ports]
    if missing:
        sys.exit("genconf.py: no port for " + ",".join(missing))

    tls = None
    if args.tls:
        missing = [n for n in TLS_LISTENS if "TLS_" + n not in ports]
        if missing:
            sys.exit("genconf.py: no port for TLS_" + ",TLS_".join(missing))
        certs = os.path.abspath(args.tls)
        cf_path(certs)
        with open(os.path.join(certs, "psk-identity"), encoding="ascii") as f:
            psk_identity = f.read()
        with open(os.path.join(certs, "psk.hex"), encoding="ascii") as f:
            psk_key = f.read().strip()
        if not re.fullmatch(r"[A-Za-z0-9.@_-]{1,128}", psk_identity):
            sys.exit("genconf.py: the PSK identity must be plain ASCII: %r" % psk_identity)
        if len(psk_key) != 64 or any(c not in "0123456789abcdef" for c in psk_key):
            sys.exit("genconf.py: the PSK key must be 32 octets in hex")
        tls = {"certs": certs, "psk_identity": psk_identity, "psk_key": psk_key,
               "psk_version": psk_tls_version(args.version)}

    rows = read_users(args.users)
    raddb = os.path.join(state, "raddb")
    if os.path.isdir(raddb):
        shutil.rmtree(raddb)
    os.makedirs(os.path.join(raddb, "mods-config", "files"))
    os.makedirs(os.path.join(state, "log"), exist_ok=True)
    os.makedirs(os.path.join(state, "run"), exist_ok=True)
    shutil.copyfile(os.path.join(args.pkgconf, "dictionary"), os.path.join(raddb, "dictionary"))
    with open(os.path.join(raddb, "radiusd.conf"), "w", encoding="utf-8") as f:
        f.write(
            radiusd_conf(
                state, raddb, args.pkgconf, ports, args.libdir, homes, listens_used, listens6, extra_client,
                tls,
            )
        )
    with open(os.path.join(raddb, "mods-config", "files", "authorize"), "wb") as f:
        f.write(users_file(rows))

    env = ["# FreeRADIUS test server of this folder; generated by genconf.py, sourced by tests."]
    env.append("QVRAD_FR_HOST=" + shell_quote(HOST))
    env.append("QVRAD_FR_LISTENS=" + shell_quote(" ".join(n for n, _, _ in listens_used)))
    # The same ports on ::1 for the listeners of QVRAD_FR_LISTENS6; none where ::1 cannot be bound.
    env.append("QVRAD_FR_HOST6=" + shell_quote(HOST6 if listens6 else ""))
    env.append("QVRAD_FR_LISTENS6=" + shell_quote(" ".join(listens6)))
    if args.no_ipv6:
        env.append("QVRAD_FR_NO_IPV6=" + shell_quote(args.no_ipv6.replace("'", "")))
    env.append("QVRAD_FR_VERSION=" + shell_quote(args.version))
    env.append("QVRAD_FR_REALMS=" + shell_quote(" ".join(sorted(homes))))
    for name, secret, require_ma in listens_used:
        env.append("QVRAD_FR_PORT_%s=%d" % (name, ports[name]))
        env.append("QVRAD_FR_SECRET_%s=%s" % (name, shell_quote(secret)))
    if "ACCT" in ports and "MAIN" in [n for n, _, _ in listens_used]:
        env.append("QVRAD_FR_PORT_ACCT=%d" % ports["ACCT"])
        env.append("QVRAD_FR_DETAIL=" + shell_quote(os.path.join(state, "log", "radacct", "detail")))
    if "CLOSED" in ports:
        # Picked with the listeners' ports, so distinct from them, and left unbound.
        env.append("QVRAD_FR_PORT_CLOSED=%d" % ports["CLOSED"])
    if tls:
        env.append("QVRAD_FR_TLS_PORT_CERT=%d" % ports["TLS_CERT"])
        env.append("QVRAD_FR_TLS_PORT_PSK=%d" % ports["TLS_PSK"])
        env.append("QVRAD_FR_TLS_SECRET=" + shell_quote(TLS_SECRET))
        env.append("QVRAD_FR_TLS_CERTS=" + shell_quote(tls["certs"]))
        env.append("QVRAD_FR_TLS_CA=" + shell_quote(os.path.join(tls["certs"], "ca.pem")))
        env.append("QVRAD_FR_TLS_CLIENT_CERT=" + shell_quote(os.path.join(tls["certs"], "client.pem")))
        env.append("QVRAD_FR_TLS_CLIENT_KEY=" + shell_quote(os.path.join(tls["certs"], "client.key")))
        env.append("QVRAD_FR_TLS_PSK_IDENTITY=" + shell_quote(tls["psk_identity"]))
        env.append("QVRAD_FR_TLS_PSK_KEY_FILE=" + shell_quote(os.path.join(tls["certs"], "psk.hex")))
        env.append("QVRAD_FR_TLS_PSK_VERSION=" + shell_quote(tls["psk_version"]))
        env.append("QVRAD_FR_TLS_MAX_CONNECTIONS=%d" % TLS_MAX_CONNECTIONS)
        env.append("QVRAD_FR_TLS_IDLE_TIMEOUT=%d" % TLS_IDLE_TIMEOUT)
    env.append("QVRAD_FR_USERS=" + shell_quote(os.path.abspath(args.users)))
    env.append("QVRAD_FR_LOG=" + shell_quote(os.path.join(state, "radiusd.log")))
    tmp = os.path.join(state, "ports.env.tmp")
    with open(tmp, "w", encoding="utf-8") as f:
        f.write("\n".join(env) + "\n")
    os.replace(tmp, os.path.join(state, "ports.env"))


if __name__ == "__main__":
    main()
