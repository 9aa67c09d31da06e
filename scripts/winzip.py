#!/usr/bin/env python3
"""Writes one Windows release zip with the same bytes on every build of a commit.

Usage: winzip.py OUT.zip NAME=FILE...   Members in name order, each stamped with
SOURCE_DATE_EPOCH and fixed permissions, then a SHA256SUMS member listing the others.
"""
import hashlib
import os
import sys
import time
import zipfile


def entry(name, when):
    info = zipfile.ZipInfo(name, date_time=when)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.create_system = 3  # Unix, so that the permission bits below are what unzip sets
    info.external_attr = (0o100755 if name.endswith((".exe", ".dll")) else 0o100644) << 16
    return info


def main(argv):
    if len(argv) < 3:
        sys.exit("usage: winzip.py OUT.zip NAME=FILE...")
    # The zip format cannot store times before 1980; UTC so that the time zone does not matter.
    epoch = max(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")), 315532800)
    when = time.gmtime(epoch)[:6]
    members = {}
    for arg in argv[2:]:
        name, _, path = arg.partition("=")
        with open(path, "rb") as f:
            members[name] = f.read()
    sums = "".join("%s  %s\n" % (hashlib.sha256(members[n]).hexdigest(), n)
                   for n in sorted(members))
    members["SHA256SUMS"] = sums.encode()
    with zipfile.ZipFile(argv[1], "w") as z:
        for name in sorted(members):
            z.writestr(entry(name, when), members[name], compresslevel=9)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
