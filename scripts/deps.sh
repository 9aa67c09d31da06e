#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
# Usage: deps.sh [release]. With "release", only what scripts/release.sh builds with (it runs
# this first, as scripts/test.sh runs it whole): the compilers (MinGW's for the zips), CMake,
# git, Python and the Debian package tools (dpkg-dev brings tar's bzip2 and xz for the Mbed TLS
# sources).
set -euo pipefail
[ $# -le 1 ] && { [ $# -eq 0 ] || [ "$1" = release ]; } || { echo "usage: $0 [release]" >&2; exit 2; }
release=(
  cmake make g++ git ca-certificates python3
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  debhelper dpkg-dev
)
# ccache: the stages compile C (Mbed TLS) through it (scripts/stage-tls.sh).
packages=(
  "${release[@]}" pkg-config openssl ccache
  libgtest-dev libgmock-dev googletest libbenchmark-dev libssl-dev
  valgrind strace clang-14 libclang-rt-14-dev
  freeradius freeradius-utils python3-pyrad
  wine wine64 python3-pefile
  lintian man-db groff-base
)
[ "${1:-}" != release ] || packages=("${release[@]}")
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages and not root: as root run $0${1:+ $1}" \
    "(or apt-get install -y --no-install-recommends ${missing[*]})" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
# The server package must not start a system-wide service: this is a test machine.
policy=/usr/sbin/policy-rc.d
made_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy"; chmod +x "$policy"; made_policy=1
fi
apt-get install -y --no-install-recommends "${missing[@]}"
[ "$made_policy" -eq 1 ] && rm -f "$policy"
exit 0
