#!/usr/bin/env python3
"""scripts/debian-mirror.sh against apt sources of its own making, and the tree's files for hosts.

Each row is an apt root (sources.list, sources.list.d/, os-release) handed to the script through
APT_CONFIG, as apt itself would be moved: the mirror it must print, or its refusal (exit 77, the
reason on stderr, nothing on stdout). No network: the script only reads files.
Usage: debian_mirror_test.py SOURCE_DIR WORK_DIR
"""

import os
import re
import shutil
import subprocess
import sys

DEBIAN = 'ID=debian\nVERSION_CODENAME=bookworm\n'
SECURITY = ("Types: deb\nURIs: file:/srv/security\nSuites: bookworm-security\n"
            "Components: main\n\n")

# name, suite asked, os-release, {file under etc/apt: text}, environment, stdout or None for a
# refusal, words the refusal must hold
ROWS = [
    ("deb822: the archive, not the security archive listed first", "trixie", DEBIAN,
     {"sources.list.d/debian.sources": SECURITY + "Types: deb\nURIs: file:/srv/archive\n"
      "Suites: bookworm\n bookworm-updates\nComponents: main\n"}, {}, "file:/srv/archive", []),
    ("the suite asked for first; a disabled stanza and a cdrom are passed over", "trixie", DEBIAN,
     {"sources.list": "deb cdrom:[Debian 12]/ trixie main\n"
      "deb file:/srv/archive bookworm main\n",
      "sources.list.d/t.sources": "Types: deb-src\nURIs: file:/srv/off\nSuites: trixie\n"
      "Enabled: no\n\n# a comment\nTypes: deb deb-src\nURIs: file:/srv/trixie\nSuites: trixie\n"},
     {}, "file:/srv/trixie", []),
    ("one-line entry with options holding spaces", "trixie", DEBIAN,
     {"sources.list.d/x.list": "deb [ arch=amd64 signed-by=/k.gpg ] http://127.0.0.1/debian "
      "bookworm-backports main # pinned\n"}, {}, "http://127.0.0.1/debian", []),
    ("nothing configured: no host of its own", "trixie", DEBIAN,
     {"sources.list.d/debian.sources": SECURITY}, {}, None,
     ["no Debian mirror in the system's apt sources", "bookworm", "QVRAD_BACKPORTS_MIRROR"]),
    ("not Debian: its own suites are another archive's", "trixie",
     'ID=ubuntu\nVERSION_CODENAME=jammy\n', {"sources.list": "deb file:/srv/ubuntu jammy main\n"},
     {}, None, ["no Debian system (ubuntu)"]),
]

# A package mirror's host in any file of the tree (the Debian copyright format's own address,
# www.debian.org, is no mirror). Written so that it does not match itself.
HOST = re.compile(r"\b(?!www\.)[a-z0-9-]+(?:\.[a-z0-9-]+)*\.(?:debian\.org|ubuntu\.com|"
                  r"fedoraproject\.org)\b")
FOLDERS = ("bench", "cmake", "debian", "docs", "examples", "fuzz", "include", "qvRadClient",
           "scripts", "tests", "tools")


def run_row(script, work, row):
    name, suite, os_release, files, env_extra, want, words = row
    root = os.path.join(work, re.sub(r"\W+", "-", name))
    shutil.rmtree(root, ignore_errors=True)
    for sub in ("etc/apt/sources.list.d", "etc/apt/apt.conf.d"):
        os.makedirs(os.path.join(root, sub))
    with open(os.path.join(root, "etc/os-release"), "w", encoding="utf-8") as f:
        f.write(os_release)
    for path, text in files.items():
        with open(os.path.join(root, "etc/apt", path), "w", encoding="utf-8") as f:
            f.write(text)
    conf = os.path.join(root, "apt.conf")
    with open(conf, "w", encoding="utf-8") as f:
        f.write('Dir "%s/";\n' % root)
    env = dict(os.environ, APT_CONFIG=conf)
    env.pop("QVRAD_BACKPORTS_MIRROR", None)
    env.update(env_extra)
    got = subprocess.run(["bash", script, suite], env=env, capture_output=True, text=True,
                         timeout=30)
    if want is not None:
        ok = got.returncode == 0 and got.stdout == want + "\n"
    else:
        ok = got.returncode == 77 and got.stdout == "" and all(w in got.stderr for w in words)
    if not ok:
        print("FAIL %s: exit %d, stdout %r, stderr %r" % (name, got.returncode, got.stdout,
                                                          got.stderr))
    return ok


def hosts_in_tree(source):
    found = []
    paths = [os.path.join(source, f) for f in os.listdir(source)
             if os.path.isfile(os.path.join(source, f))]
    for folder in FOLDERS:
        for top, _, names in os.walk(os.path.join(source, folder)):
            paths += [os.path.join(top, n) for n in names]
    for path in paths:
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
        except OSError:
            continue
        found += ["%s: %s" % (os.path.relpath(path, source), m.group(0))
                  for m in HOST.finditer(text)]
    return found


def main():
    source, work = sys.argv[1:3]
    script = os.path.join(source, "scripts", "debian-mirror.sh")
    failures = sum(not run_row(script, work, row) for row in ROWS)
    hosts = hosts_in_tree(source)
    for line in hosts:
        print("FAIL a package mirror's host in the tree: " + line)
    print("%d rows, %d failed; %d mirror hosts in the tree" % (len(ROWS), failures, len(hosts)))
    sys.exit(1 if failures or hosts else 0)


if __name__ == "__main__":
    main()
