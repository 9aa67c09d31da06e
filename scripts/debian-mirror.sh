#!/usr/bin/env bash
# Prints the Debian archive mirror the system's own apt sources use, for scripts that fetch from
# another suite of it (trixie's sources, bookworm-backports) with a private apt configuration.
# Usage: debian-mirror.sh SUITE. QVRAD_BACKPORTS_MIRROR overrides it (a local mirror).
#
# The sources are apt's own (apt-config: Dir::Etc::SourceList and SourceParts, one-line .list
# files and deb822 .sources files alike; APT_CONFIG moves them as it moves apt). The first
# enabled deb or deb-src entry that names SUITE gives its first URI; else, on Debian, one that
# names a suite of this system's release (VERSION_CODENAME of the os-release file under apt's
# root Dir: the codename, -updates, -backports, -proposed-updates; never -security, a separate
# archive without the other suites). One mirror of the archive carries every suite. With none,
# it prints no host of its own choosing: it stops with exit status 77 and the reason on stderr.
set -euo pipefail
[ $# -eq 1 ] && [ -n "$1" ] || { echo "usage: $0 SUITE" >&2; exit 2; }
if [ -n "${QVRAD_BACKPORTS_MIRROR:-}" ]; then
  echo "$QVRAD_BACKPORTS_MIRROR"
  exit 0
fi
command -v apt-config >/dev/null 2>&1 ||
  { echo "debian-mirror.sh: no apt-config here: not a Debian system; set QVRAD_BACKPORTS_MIRROR" >&2; exit 77; }
eval "$(apt-config shell qvrad_root Dir qvrad_list Dir::Etc::SourceList/f \
  qvrad_parts Dir::Etc::SourceParts/d 2>/dev/null)"
python3 - "$1" "${qvrad_root:-/}" "${qvrad_list:-/etc/apt/sources.list}" \
  "${qvrad_parts:-/etc/apt/sources.list.d/}" <<'PY'
import glob, os, sys

suite, root, source_list, source_parts = sys.argv[1:]


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return None


def one_line(text):
    """Entries of the one-line format: TYPE [ OPTIONS ] URI SUITE [COMPONENT...]."""
    for line in text.splitlines():
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        kind, _, rest = line.partition(" ")
        rest = rest.strip()
        if rest.startswith("["):  # options may hold spaces: "[ arch=amd64 signed-by=... ]"
            end = rest.find("]")
            if end < 0:
                continue
            rest = rest[end + 1 :]
        words = rest.split()
        if len(words) >= 2:
            yield [kind], [words[0]], [words[1]]


def deb822(text):
    """Entries of the deb822 format: stanzas apart by blank lines, fields continued by space."""
    stanzas, fields, key = [], {}, None
    for line in text.splitlines() + [""]:
        if line.startswith("#"):
            continue
        if not line.strip():
            if fields:
                stanzas.append(fields)
            fields, key = {}, None
        elif line[0] in " \t" and key:
            fields[key] += " " + line.strip()
        elif ":" in line:
            key, value = line.split(":", 1)
            key = key.strip().lower()
            fields[key] = value.strip()
    for fields in stanzas:
        if fields.get("enabled", "yes").lower() == "no":
            continue
        if "uris" in fields and "suites" in fields:
            yield fields.get("types", "").split(), fields["uris"].split(), fields["suites"].split()


entries = []
text = read(source_list)
if text is not None:
    entries += one_line(text)
for path in sorted(glob.glob(os.path.join(source_parts, "*"))):
    text = read(path)
    if text is None:
        continue
    if path.endswith(".list"):
        entries += one_line(text)
    elif path.endswith(".sources"):
        entries += deb822(text)
entries = [(uris[0], suites) for kinds, uris, suites in entries
           if {"deb", "deb-src"} & set(kinds) and uris and not uris[0].startswith("cdrom:")]

for uri, suites in entries:
    if suite in suites:
        print(uri)
        sys.exit(0)

release = {}
for line in (read(os.path.join(root, "etc/os-release")) or "").splitlines():
    key, _, value = line.partition("=")
    release[key.strip()] = value.strip().strip("\"'")
codename = release.get("VERSION_CODENAME", "")
if release.get("ID") == "debian" and codename:
    own = {codename + tail for tail in ("", "-updates", "-backports", "-proposed-updates")}
    for uri, suites in entries:
        if own & set(suites):
            print(uri)
            sys.exit(0)
    why = "no enabled entry names %s or a suite of this system's %s" % (suite, codename)
else:
    why = "no enabled entry names %s, and this is no Debian system (%s)" % (
        suite, release.get("ID") or "no os-release")
sys.stderr.write(
    "debian-mirror.sh: no Debian mirror in the system's apt sources (%s, %s*.list, *.sources): %s;"
    " add the archive to them, or set QVRAD_BACKPORTS_MIRROR to a mirror's URL\n"
    % (source_list, source_parts, why))
sys.exit(77)
PY
