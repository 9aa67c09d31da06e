#!/usr/bin/env bash
# Builds a release of the current commit into dist/: the Debian packages and one zip per Windows
# architecture, each byte for byte the same whoever builds the commit (with the same Mbed TLS
# release), where and when.
#
# Mbed TLS 3.6 is compiled into every image (cmake/QvradTls.cmake) from the tree
# QVRAD_MBEDTLS_SOURCE names, or else from the one scripts/mbedtls-source.sh fetches (or reuses)
# in build-mbedtls/ of the tree; a release is not made without it, unless QVRAD_RELEASE_NO_TLS=1
# asks for artefacts without TLS (stage 70-release does when the mirror is down; they are for
# testing the release only).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# What it builds with, installed when missing as scripts/test.sh installs what it needs; not as
# root, it stops here naming the command that does.
"$root/scripts/deps.sh" release
dist="${QVRAD_DIST:-$root/dist}"
# The build folder is a fresh one of its own outside the tree: the compilers' path maps
# (dpkg-buildflags' among them) cannot carry a path with white space in it, and the tree's may.
work="${QVRAD_RELEASE_WORK:-$(mktemp -d "${TMPDIR:-/tmp}/qvrad-release.XXXXXX")}"
case "$work" in
  *[[:space:]]*) echo "release: the build folder '$work' has white space in its path" >&2; exit 64 ;;
esac
jobs="${QVRAD_JOBS:-$(nproc)}"

# Everything that could differ between two builds of one commit is pinned here: the time
# (the commit's, for archive members and package metadata), the locale, the umask, the paths
# (compilers map the source and build folders to fixed names), and the sources themselves,
# taken from the commit rather than from whatever the working tree holds.
export SOURCE_DATE_EPOCH="$(git -C "$root" log -1 --format=%ct)"
export TZ=UTC LC_ALL=C.UTF-8 LANG=C.UTF-8
umask 022
commit="$(git -C "$root" rev-parse HEAD)"
version="$(sed -n 's/^project(qvRadClient VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
# A compiler cache would hand this build what another compiled: each release compiles everything.
unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER

if [ "${QVRAD_RELEASE_NO_TLS:-}" = 1 ]; then
  tls_tree=""
  echo "release: WITHOUT TLS (QVRAD_RELEASE_NO_TLS=1): artefacts for testing the release only" >&2
elif [ -n "${QVRAD_MBEDTLS_SOURCE:-}" ]; then
  tls_tree="$QVRAD_MBEDTLS_SOURCE"
else
  rc=0
  tls_tree="$("$root/scripts/mbedtls-source.sh" "$root/build-mbedtls")" || rc=$?
  if [ $rc -ne 0 ]; then
    echo "release: no Mbed TLS sources (scripts/mbedtls-source.sh exit status $rc): a release" \
      "has TLS; give QVRAD_MBEDTLS_SOURCE=TREE (see docs/releasing.md)" >&2
    exit 1
  fi
fi

rm -rf "$work" "$dist"
mkdir -p "$work/src" "$dist"
git -C "$root" archive --format=tar "$commit" | tar -x -C "$work/src"
src="$work/src"
# The Mbed TLS tree is copied into the build folder: no path with white space reaches the
# builds, and two releases read it from two places, which must not change a byte (its place is
# mapped away in every compile, cmake/QvradTls.cmake; stage 70-release checks it).
tls="" tls_name="WITHOUT TLS"
if [ -n "$tls_tree" ]; then
  [ -f "$tls_tree/LICENSE" ] && [ -f "$tls_tree/include/mbedtls/build_info.h" ] || {
    echo "release: $tls_tree is no Mbed TLS source tree" >&2; exit 1; }
  cp -a "$tls_tree" "$work/mbedtls"
  tls="$work/mbedtls"
  tls_name="with Mbed TLS $(sed -n 's/^#define MBEDTLS_VERSION_STRING *"\(.*\)"/\1/p' \
    "$tls/include/mbedtls/build_info.h")"
  [ ! -f "$tls/.complete" ] || tls_name="with $(cat "$tls/.complete")"
  echo "release: $tls_name"
fi
# Each build says in its configure output whether TLS is on: it must be as asked.
want_tls="-- qvRadClient: TLS on: "
[ -n "$tls" ] || want_tls="-- qvRadClient: TLS off: "
check_tls() {
  grep -q -- "$want_tls" "$1" || {
    echo "release: the build of $2 was not configured '$want_tls...' (log: $1)" >&2; exit 1; }
}

# Debian packages: debhelper maps the source folder to "." in every compile (dpkg-buildflags'
# fixfilepath) and clamps file times to SOURCE_DATE_EPOCH. debian/rules takes the Mbed TLS tree
# from QVRAD_MBEDTLS_SOURCE and fetches nothing.
(cd "$src" && DEB_BUILD_OPTIONS="nocheck noddebs parallel=$jobs" QVRAD_MBEDTLS_SOURCE="$tls" \
  QVRAD_RELEASE_NO_TLS="${QVRAD_RELEASE_NO_TLS:-}" \
  dpkg-buildpackage -b -us -uc --no-pre-clean >"$work/dpkg-buildpackage.log" 2>&1) || {
  tail -n 40 "$work/dpkg-buildpackage.log" >&2
  echo "release: dpkg-buildpackage failed (log: $work/dpkg-buildpackage.log)" >&2
  exit 1
}
check_tls "$work/dpkg-buildpackage.log" "the Debian packages"
mv "$work"/*.deb "$dist/"

# Windows: a Release build per architecture, installed into a staging folder and zipped.
for arch in win32 win64; do
  case "$arch" in
    win32) triple=i686-w64-mingw32 machine=i386 ;;
    win64) triple=x86_64-w64-mingw32 machine=i386:x86-64 ;;
  esac
  build="$work/$arch"
  stage="$work/$arch-stage"
  map="-ffile-prefix-map=$src=. -ffile-prefix-map=$build=."
  # Symbols stripped by the linker (-s, which the compiler driver passes on when it links), not
  # by strip afterwards: strip would stamp the image with a time again.
  cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-$triple.cmake" \
    -DQVRAD_BUILD_TESTS=OFF -DCMAKE_C_FLAGS="$map -s" -DCMAKE_CXX_FLAGS="$map -s" \
    -DQVRAD_MBEDTLS_SOURCE="$tls" -DQVRAD_TLS="$([ -n "$tls" ] && echo ON || echo OFF)" \
    >"$build.log"
  check_tls "$build.log" "$arch"
  cmake --build "$build" -j "$jobs" >>"$build.log"
  cmake --install "$build" --prefix "$stage" >>"$build.log"
  # An import library for MSVC's linker, from the same .def (dlltool: no Microsoft tools here).
  # dlltool names members after the temporary prefix and symbols after the output's path, so
  # both are fixed, relative names.
  (cd "$stage/lib" && "$triple-dlltool" -m "$machine" -d qvRadClient.def -D qvRadClient.dll \
    -l qvRadClient.lib --temp-prefix qvrad)
  # Mbed TLS's licence beside ours when it is compiled in (Apache-2.0, which asks for its text).
  notice=()
  [ -z "$tls" ] || notice=(LICENSE-mbedtls.txt="$tls/LICENSE")
  python3 "$root/scripts/winzip.py" "$dist/qvRadClient-$version-$arch.zip" \
    bin/qvRadClient.dll="$stage/bin/qvRadClient.dll" \
    bin/qvrad-auth.exe="$stage/bin/qvrad-auth.exe" \
    lib/qvRadClient.def="$stage/lib/qvRadClient.def" \
    lib/libqvRadClient.dll.a="$stage/lib/libqvRadClient.dll.a" \
    lib/qvRadClient.lib="$stage/lib/qvRadClient.lib" \
    include/qvRadClient.h="$stage/include/qvRadClient.h" \
    include/qvrad.h="$stage/include/qvrad.h" \
    examples/login.c="$src/examples/login.c" \
    README-windows.md="$src/docs/windows.md" \
    README-api.md="$src/docs/api.md" \
    LICENSE="$src/LICENSE" "${notice[@]}"
done

(cd "$dist" && sha256sum -- * > SHA256SUMS)
# The build folder goes once the release is made (kept when a step failed, for its logs).
[ -n "${QVRAD_RELEASE_WORK:-}" ] || rm -rf "$work"
echo "release $version ($commit) in $dist, $tls_name:"
cat "$dist/SHA256SUMS"
