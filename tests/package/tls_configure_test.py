#!/usr/bin/env python3
"""What configure does about TLS when it cannot have it: QVRAD_TLS=ON stops with the reason
(AUTO says it in one line and goes on: stage 15's bare build checks that line), and a system
Mbed TLS whose configuration lacks what the client needs is named for what it lacks.

The system library of the last rows is a stand-in: a CMake package over Mbed TLS's own headers
as its release ships them (threading left out, as in upstream's default configuration), with no
library behind it: configure's check stops at the headers. Configure only; nothing is built.
Usage: tls_configure_test.py SOURCE_DIR WORK_DIR GENERATOR [MBEDTLS_TREE]
"""

import os
import shutil
import subprocess
import sys

TESTS_OFF = ["-DQVRAD_BUILD_TESTS=OFF", "-DQVRAD_BUILD_TOOLS=OFF", "-DQVRAD_BUILD_BENCH=OFF",
             "-DQVRAD_BUILD_FUZZ=OFF", "-DQVRAD_MBEDTLS_SOURCE="]
NO_SYSTEM = ["-DCMAKE_DISABLE_FIND_PACKAGE_MbedTLS=ON"]
LACKS = "lacks: MBEDTLS_THREADING_C, MBEDTLS_THREADING_PTHREAD"

# name, arguments ("PREFIX" becomes the stand-in's prefix), exit 0 or not, words in the output
ROWS = [
    ("ON without Mbed TLS", ["-DQVRAD_TLS=ON"] + NO_SYSTEM, False,
     ["QVRAD_TLS=ON, but no Mbed TLS: QVRAD_MBEDTLS_SOURCE is empty", "scripts/mbedtls-source.sh"]),
    ("ON with a system Mbed TLS without threading", ["-DQVRAD_TLS=ON", "PREFIX"], False,
     ["QVRAD_TLS=ON, but no Mbed TLS", "the system's Mbed TLS 3.6", LACKS]),
    ("AUTO with a system Mbed TLS without threading", ["PREFIX"], True,
     ["-- qvRadClient: TLS off: ", LACKS]),
]

PACKAGE = """add_library(MbedTLS::mbedtls INTERFACE IMPORTED)
set_target_properties(MbedTLS::mbedtls PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${CMAKE_CURRENT_LIST_DIR}/../../../include")
"""
VERSION = """set(PACKAGE_VERSION "%s")
set(PACKAGE_VERSION_COMPATIBLE TRUE)
"""


def stand_in(work, tree):
    """A prefix with Mbed TLS's headers and a CMake package that names them, of tree's version."""
    prefix = os.path.join(work, "mbedtls-stand-in")
    shutil.rmtree(prefix, ignore_errors=True)
    shutil.copytree(os.path.join(tree, "include"), os.path.join(prefix, "include"))
    version = ""
    with open(os.path.join(tree, "include", "mbedtls", "build_info.h"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("#define MBEDTLS_VERSION_STRING "):
                version = line.split('"')[1]
    package = os.path.join(prefix, "lib", "cmake", "MbedTLS")
    os.makedirs(package)
    with open(os.path.join(package, "MbedTLSConfig.cmake"), "w", encoding="utf-8") as f:
        f.write(PACKAGE)
    with open(os.path.join(package, "MbedTLSConfigVersion.cmake"), "w", encoding="utf-8") as f:
        f.write(VERSION % version)
    return prefix


def main():
    source, work, generator = sys.argv[1:4]
    tree = sys.argv[4] if len(sys.argv) > 4 and sys.argv[4] else ""
    os.makedirs(work, exist_ok=True)
    prefix = stand_in(work, tree) if tree else ""
    failures = 0
    for index, (name, args, ok, words) in enumerate(ROWS):
        if "PREFIX" in args and not prefix:
            print("skip %s: this build has no Mbed TLS tree to take headers from" % name)
            continue
        args = ["-DCMAKE_PREFIX_PATH=" + prefix if a == "PREFIX" else a for a in args]
        build = os.path.join(work, "row%d" % index)
        shutil.rmtree(build, ignore_errors=True)
        env = dict(os.environ)
        env.pop("QVRAD_MBEDTLS_SOURCE", None)
        got = subprocess.run(["cmake", "-S", source, "-B", build, "-G", generator] + TESTS_OFF + args,
                             env=env, capture_output=True, text=True, timeout=120)
        output = got.stdout + got.stderr
        # CMake wraps a long message at the console's width: the words are sought in one line.
        flat = " ".join(output.split())
        missing = [w for w in words if " ".join(w.split()) not in flat]
        if (got.returncode == 0) != ok or missing:
            failures += 1
            print("FAIL %s: exit %d, missing %r\n%s" % (name, got.returncode, missing, output))
        else:
            print("ok   %s" % name)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
