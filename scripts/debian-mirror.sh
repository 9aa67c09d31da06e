#!/usr/bin/env bash
# Prints the mirror of the system's own Debian main suite (deb822 .sources first, then one-line
# lists), for scripts that fetch from another suite of it with a private apt configuration.
# Usage: debian-mirror.sh CODENAME. QVRAD_BACKPORTS_MIRROR overrides it (a local mirror).
set -euo pipefail
[ $# -eq 1 ] && [ -n "$1" ] || { echo "usage: $0 CODENAME" >&2; exit 2; }
if [ -n "${QVRAD_BACKPORTS_MIRROR:-}" ]; then
  echo "$QVRAD_BACKPORTS_MIRROR"
  exit 0
fi
python3 - "$1" <<'PY'
import glob, sys
codename = sys.argv[1]
for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
    for stanza in open(path, encoding="utf-8", errors="replace").read().split("\n\n"):
        fields = {}
        for line in stanza.splitlines():
            if ":" in line and not line.startswith((" ", "#")):
                k, v = line.split(":", 1)
                fields[k.strip().lower()] = v.split()
        if codename in fields.get("suites", []) and "deb" in fields.get("types", []):
            print(fields["uris"][0]); sys.exit(0)
for path in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list")):
    try:
        lines = open(path, encoding="utf-8", errors="replace").read().splitlines()
    except OSError:
        continue
    for line in lines:
        words = [w for w in line.split() if not w.startswith("[")]
        if len(words) >= 3 and words[0] == "deb" and words[2] == codename:
            print(words[1]); sys.exit(0)
print("http://deb.debian.org/debian")
PY
