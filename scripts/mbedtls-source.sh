#!/usr/bin/env bash
# Fetches the Mbed TLS 3.6 LTS sources from Debian 13 (trixie) and unpacks the upstream tree into
# DIR/tree, for builds configured with -DQVRAD_MBEDTLS_SOURCE=DIR/tree (cmake/QvradTls.cmake).
# Usage: mbedtls-source.sh DIR. Prints the tree's root. Reuses a complete tree in DIR.
# Exit 0: ready; 77: the mirror could not be reached (DIR/UNAVAILABLE says why; builds then
# have no TLS); anything else: a fault.
#
# apt runs with a private sources list (deb-src of trixie), state and cache under DIR, on the
# same mirror host the system's own sources use; nothing system-wide is read or written but the
# archive keyring. apt-get source --download-only checks each file against the SHA-256 of the
# signed Sources index, and the tarball is checked once more against the .dsc. The upstream
# tarball is unpacked as it is: Debian's two patches silence a GCC 14 warning and leave the
# 3rdparty folder out of its own CMake build, neither of which touches what we compile (our
# CMake compiles chosen files of library/ with our configuration, warnings never errors).
# Takes some 15 s on a fresh folder (the trixie source index is most of it).
set -euo pipefail
[ $# -eq 1 ] && [ -n "$1" ] || { echo "usage: $0 DIR" >&2; exit 2; }
mkdir -p -- "$1"
dir=$(cd -- "$1" && pwd)
tree="$dir/tree"
readonly suite=trixie

complete() {
  [ -f "$tree/.complete" ] && [ -f "$tree/include/mbedtls/build_info.h" ] &&
    [ -f "$tree/library/ssl_tls13_client.c" ]
}
if complete; then
  echo "$tree"
  exit 0
fi
rm -rf -- "$tree" "$dir/UNAVAILABLE"

unavailable() {
  echo "$*" >"$dir/UNAVAILABLE"
  echo "mbedtls-source.sh: $* (builds have no TLS)" >&2
  exit 77
}

mirror=$("$(dirname "${BASH_SOURCE[0]}")/debian-mirror.sh" "$suite" 2>"$dir/mirror.log") ||
  unavailable "$(cat "$dir/mirror.log")"
apt_dir="$dir/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$dir/src"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
signed=""
[ -f "$keyring" ] && signed="[signed-by=$keyring] "
echo "deb-src ${signed}${mirror} ${suite} main" >"$apt_dir/sources.list"
apt_opts=(
  -o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/none"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
  -o "Debug::NoLocking=1" -o "APT::Sandbox::User=$(id -un)"
  -o "Acquire::Retries=1" -o "Acquire::http::Timeout=20"
  -o "Acquire::IndexTargets::deb-src::Sources::KeepCompressed=true"
)
log="$dir/apt.log"
timeout 120 apt-get "${apt_opts[@]}" -q update >"$log" 2>&1 ||
  unavailable "apt-get update of ${mirror} ${suite} (deb-src) failed (see $log)"
# apt-get update succeeds even when every fetch failed: a source list must have come.
compgen -G "$apt_dir/lists/*_Sources*" >/dev/null ||
  unavailable "no source list from ${mirror} ${suite} (see $log)"
rm -f "$dir"/src/*
(cd "$dir/src" && timeout 180 apt-get "${apt_opts[@]}" -q source --download-only \
  "mbedtls/${suite}" >>"$log" 2>&1) ||
  unavailable "apt-get source mbedtls/${suite} failed (see $log)"

dsc=$(ls "$dir"/src/mbedtls_*.dsc 2>/dev/null | head -n 1)
[ -n "$dsc" ] || { echo "mbedtls-source.sh: no .dsc was fetched (see $log)" >&2; exit 1; }
version=$(sed -n 's/^Version: //p' "$dsc" | head -n 1)
upstream=${version#*:}
upstream=${upstream%-*}
case "$upstream" in
  3.6.*) ;;
  *) echo "mbedtls-source.sh: ${suite} has Mbed TLS $version, not 3.6 LTS" >&2; exit 1 ;;
esac
orig=$(ls "$dir"/src/mbedtls_"$upstream".orig.tar.* 2>/dev/null | head -n 1)
[ -n "$orig" ] || { echo "mbedtls-source.sh: no upstream tarball beside $dsc" >&2; exit 1; }
# The tarball's own checksum once more against the .dsc, which the signed index vouched for.
want=$(awk -v f="$(basename "$orig")" '/^Checksums-Sha256:/ { on = 1; next }
  /^[^ ]/ { on = 0 } on && $3 == f { print $1 }' "$dsc")
[ -n "$want" ] && [ "$(sha256sum "$orig" | cut -d' ' -f1)" = "$want" ] ||
  { echo "mbedtls-source.sh: $orig does not match its .dsc" >&2; exit 1; }

mkdir -p "$tree.new"
tar -xf "$orig" -C "$tree.new" --strip-components=1
rm -rf -- "$tree"
mv "$tree.new" "$tree"
complete_files=("$tree/include/mbedtls/build_info.h" "$tree/library/ssl_tls13_client.c")
for f in "${complete_files[@]}"; do
  [ -f "$f" ] || { echo "mbedtls-source.sh: the tarball has no ${f#$tree/}" >&2; exit 1; }
done
echo "Mbed TLS $upstream (Debian $version, $suite)" >"$tree/.complete"
echo "$tree"
