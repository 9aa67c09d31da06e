#!/usr/bin/env python3
"""Finds every configuration block of docs/freeradius.md in the test server's configuration.

genconf.py writes the configuration for FreeRADIUS 3.2.1 and for 3.2.7 (with TLS, into a scratch
folder, as server.sh has it write for the servers the interop tests run); each fenced block of
the page must appear, line by line, in one file of one of them: radiusd.conf or the users file.
Lines compare without their indentation, runs of white space or a trailing comment, and "a=b"
as "a = b"; blank lines and comment lines are left out; a line "..." in a block stands for any
lines. The values of the items that are the reader's own (KEYS_OF_THE_READER) are not compared.
Usage: check_docs.py PAGE PKGCONF USERS WORK_DIR
"""

import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
KEYS_OF_THE_READER = ("ipaddr", "ipv6addr", "port", "private_key_file", "certificate_file",
                      "ca_file", "psk_identity", "psk_hexphrase", "filename")
VERSIONS = ("3.2.1", "3.2.7")
PORTS = "MAIN=1812,S1=1813,S16=1814,S64=1815,S256=1816,SMAX=1817,MSGAUTH=1818,TLS_CERT=2083,TLS_PSK=2084"


def normalise(line):
    """A line as compared, or None for one left out."""
    line = line.strip()
    if not line or line.startswith("#"):
        return None
    if '"' not in line and "'" not in line:
        line = re.sub(r"\s+#.*$", "", line)
    line = " ".join(line.split())
    line = re.sub(r"^([A-Za-z_][\w-]*) ?= ?", r"\1 = ", line)
    key = line.split(" = ", 1)[0]
    if key in KEYS_OF_THE_READER and " = " in line:
        line = key + " = *"
    return line


def lines_of(text):
    return [n for n in (normalise(line) for line in text.splitlines()) if n is not None]


def found(block, text):
    """True when the block's runs (split at "...") appear in text, in order, each unbroken."""
    have = lines_of(text)
    at = 0
    runs, run = [], []
    for line in block.splitlines():
        if line.strip() == "...":
            runs.append(run)
            run = []
        else:
            run += lines_of(line)
    runs.append(run)
    for run in (r for r in runs if r):
        for start in range(at, len(have) - len(run) + 1):
            if have[start : start + len(run)] == run:
                at = start + len(run)
                break
        else:
            return False
    return True


def blocks_of(page):
    """The fenced blocks of a Markdown page, each with the line it starts on."""
    out, block, start = [], None, 0
    with open(page, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if line.startswith("```"):
                if block is None:
                    block, start = [], number
                else:
                    out.append((start, "".join(block)))
                    block = None
            elif block is not None:
                block.append(line)
    return out


def generated(pkgconf, users, work):
    """radiusd.conf and the users file genconf.py writes for each version, as (name, text)."""
    certs = os.path.join(work, "certs")
    os.makedirs(certs, exist_ok=True)
    with open(os.path.join(certs, "psk-identity"), "w", encoding="ascii") as f:
        f.write("qvrad-psk-client")
    with open(os.path.join(certs, "psk.hex"), "w", encoding="ascii") as f:
        f.write("00" * 32 + "\n")
    out = []
    for version in VERSIONS:
        state = os.path.join(work, version)
        shutil.rmtree(state, ignore_errors=True)
        subprocess.run([sys.executable, os.path.join(HERE, "genconf.py"), "--state", state,
                        "--pkgconf", pkgconf, "--users", users, "--ports", PORTS, "--tls", certs,
                        "--version", version], check=True, timeout=60)
        for name in ("radiusd.conf", os.path.join("mods-config", "files", "authorize")):
            with open(os.path.join(state, "raddb", name), encoding="utf-8",
                      errors="replace") as f:
                out.append(("%s %s" % (version, os.path.basename(name)), f.read()))
    return out


def main():
    page, pkgconf, users, work = sys.argv[1:5]
    files = generated(pkgconf, users, work)
    blocks = blocks_of(page)
    failures = 0
    for start, block in blocks:
        where = [name for name, text in files if found(block, text)]
        if where:
            print("ok   line %d: in %s" % (start, ", ".join(where)))
        else:
            failures += 1
            print("FAIL line %d: not in the test server's configuration:\n%s" % (start, block))
    print("%d blocks, %d not found" % (len(blocks), failures))
    sys.exit(1 if failures or not blocks else 0)


if __name__ == "__main__":
    main()
