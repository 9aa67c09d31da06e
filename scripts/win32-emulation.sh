#!/usr/bin/env bash
# Prepares what runs 32-bit Windows programs on a kernel that runs no 32-bit programs: qemu-i386
# (user-mode emulation) running Debian's own 32-bit wine, both unpacked into DIR, none installed.
# Usage: win32-emulation.sh DIR. Prints DIR; DIR/wine32 PROGRAM runs a Win32 program (the prefix
# is cmake/wine-run.sh's). Reuses a complete DIR.
# Exit 0: ready; 77: the mirror could not be reached (DIR/UNAVAILABLE says why); else a fault.
#
# DIR/qemu-i386: the static qemu-i386 of qemu-user from <codename>-backports (10.0 on bookworm;
# 7.2 of bookworm itself ignores MAP_FIXED_NOREPLACE, so each wine process spends ~40 s reserving
# memory, and it crashes in multi-threaded programs). DIR/sysroot: wine32:i386, of the version
# of the system's wine64 (whose wineserver serves the 32-bit processes), and the i386 packages it
# needs, as apt resolves them from nothing. apt runs with APT::Architectures amd64 and i386 and a
# private state, status and cache under DIR, reading the system's own sources lists plus the
# backports suite of the same mirror: no foreign architecture is added to the system, nothing
# is installed.
set -euo pipefail
[ $# -eq 1 ] && [ -n "$1" ] || { echo "usage: $0 DIR" >&2; exit 2; }
mkdir -p -- "$1"
dir=$(cd -- "$1" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
jobs=${QVRAD_JOBS:-2}

wine_version=$(dpkg-query -W -f='${Version}' wine64 2>/dev/null || true)
[ -n "$wine_version" ] || { echo "win32-emulation.sh: wine64 is not installed" >&2; exit 1; }
# Reused while it matches the system's wine64 (an upgrade of it makes a new one).
if [ -x "$dir/wine32" ] && [ -x "$dir/qemu-i386" ] &&
  grep -qxF "wine32 $wine_version" "$dir/.complete" 2>/dev/null; then
  echo "$dir"
  exit 0
fi
rm -rf -- "$dir/sysroot" "$dir/qemu-i386" "$dir/wine32" "$dir/.complete" "$dir/UNAVAILABLE"

unavailable() {
  echo "$*" >"$dir/UNAVAILABLE"
  echo "win32-emulation.sh: $*" >&2
  exit 77
}

codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
[ -n "$codename" ] || unavailable "no VERSION_CODENAME in /etc/os-release"
mirror=$("$here/debian-mirror.sh" "$codename" 2>"$dir/mirror.log") ||
  unavailable "$(cat "$dir/mirror.log")"

apt_dir="$dir/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/state" "$dir/debs"
: >"$apt_dir/status"  # resolve from nothing: the sysroot must not rely on what the host has
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
signed=""
[ -f "$keyring" ] && signed="[signed-by=$keyring] "
{
  cat /etc/apt/sources.list 2>/dev/null || true
  echo "deb ${signed}${mirror} ${codename}-backports main"
} >"$apt_dir/sources.list"
apt_opts=(
  -o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=/etc/apt/sources.list.d"
  -o "Dir::State=$apt_dir/state" -o "Dir::State::Lists=$apt_dir/lists"
  -o "Dir::State::status=$apt_dir/status" -o "Dir::Cache=$apt_dir/cache"
  -o "APT::Architectures::=amd64" -o "APT::Architectures::=i386"
  -o "Debug::NoLocking=1" -o "APT::Sandbox::User=$(id -un)"
  -o "Acquire::Retries=1" -o "Acquire::http::Timeout=20"
)
log="$dir/apt.log"
# A security suite's list that fails to download (a mirror caught mid-sync, which can last for
# hours) leaves apt the main suite's: the sysroot is then resolved from the point release, as
# good for running the tests. Any other failed list makes the emulation unavailable.
if ! timeout 120 apt-get "${apt_opts[@]}" -q update >"$log" 2>&1; then
  if grep -E '^Err:' "$log" | grep -qvE -- '-security[ /]'; then
    unavailable "apt-get update failed (see $log)"
  fi
  echo "win32-emulation.sh: a security list failed to download; the main suite's is used" >&2
fi
compgen -G "$apt_dir/lists/*${codename}-backports_main_binary-amd64_Packages*" >/dev/null &&
  compgen -G "$apt_dir/lists/*_binary-i386_Packages*" >/dev/null ||
  unavailable "no i386 or ${codename}-backports package list from the mirror (see $log)"

# The i386 packages, each at the version apt picked ("Inst NAME:i386 (VERSION ...").
timeout 120 apt-get "${apt_opts[@]}" -s --no-install-recommends install \
  "wine32:i386=$wine_version" >"$dir/resolve.txt" 2>>"$log" ||
  { echo "win32-emulation.sh: no wine32:i386=$wine_version for apt (see $log)" >&2; exit 1; }
mapfile -t wanted < <(awk '$1 == "Inst" && $2 ~ /:i386$/ {
  v = $3; sub(/^\(/, "", v); print $2 "=" v }' "$dir/resolve.txt")
[ ${#wanted[@]} -gt 0 ] || { echo "win32-emulation.sh: apt resolved no i386 package" >&2; exit 1; }

# Kept across runs: only what is not in debs/ yet is fetched.
rm -f "$dir"/debs/*.partial
(cd "$dir/debs" && timeout 300 apt-get "${apt_opts[@]}" -q download \
  "${wanted[@]}" "qemu-user/${codename}-backports" >>"$log" 2>&1) ||
  unavailable "apt-get download failed (see $log)"

tar -xOf <(dpkg-deb --fsys-tarfile "$(ls "$dir"/debs/qemu-user_*.deb | tail -n 1)") \
  ./usr/bin/qemu-i386 >"$dir/qemu-i386.new"
chmod 755 "$dir/qemu-i386.new"
mv "$dir/qemu-i386.new" "$dir/qemu-i386"

mkdir -p "$dir/sysroot"
# The files apt-get download names NAME_VERSION_i386.deb, an epoch's colon written %3a; two
# unpacked at a time (decompression is most of the time).
for w in "${wanted[@]}"; do
  version=${w#*=}
  echo "$dir/debs/${w%%:*}_${version/:/%3a}_i386.deb"
done | xargs -d '\n' -P "$jobs" -I{} dpkg-deb -x {} "$dir/sysroot"
[ -x "$dir/sysroot/usr/lib/wine/wine" ] ||
  { echo "win32-emulation.sh: no 32-bit wine loader in the unpacked packages" >&2; exit 1; }
# /lib into /usr/lib, as on a merged-/usr system: the 32-bit loader's search path has
# /usr/lib/i386-linux-gnu but not /lib/i386-linux-gnu (where zlib1g puts libz, which win32u's
# FreeType needs), and reads no ld.so.cache of its own.
if [ -d "$dir/sysroot/lib" ] && [ ! -L "$dir/sysroot/lib" ]; then
  cp -a "$dir/sysroot/lib/." "$dir/sysroot/usr/lib/"
  rm -rf "$dir/sysroot/lib"
  ln -s usr/lib "$dir/sysroot/lib"
fi
# What libwine's install script does: zlib1.dll (which user32 imports) from libz-mingw-w64 (a
# dependency of the system's wine), marked as a wine builtin DLL.
zlib=/usr/i686-w64-mingw32/lib/zlib1.dll
[ -f "$zlib" ] || { echo "win32-emulation.sh: no $zlib (libz-mingw-w64)" >&2; exit 1; }
{
  head -c 64 "$zlib"
  printf 'Wine builtin DLL'
  head -c 16 /dev/zero
  tail -c +97 "$zlib"
} >"$dir/sysroot/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll"
# Where the 32-bit loader looks for the 64-bit one, to start a 64-bit program (wineboot, the
# services): the system's, which runs natively.
ln -sfn /usr/lib/wine/wine64 "$dir/sysroot/usr/lib/wine/wine64"
cat >"$dir/wine32" <<'LAUNCHER'
#!/bin/sh
# 32-bit wine under qemu-i386, both from this folder (written by scripts/win32-emulation.sh).
# WINELOADERNOEXEC: the loader runs the program itself rather than re-executing its preloader,
# which qemu-i386 would not follow; the system's 64-bit wineserver serves the 32-bit process.
d=$(cd "$(dirname "$0")" && pwd)
export WINELOADERNOEXEC=1 WINESERVER=/usr/lib/wine/wineserver
exec "$d/qemu-i386" -L "$d/sysroot" "$d/sysroot/usr/lib/wine/wine" "$@"
LAUNCHER
chmod 755 "$dir/wine32"
{
  "$dir/qemu-i386" -version | head -n 1
  echo "wine32 $wine_version"
} >"$dir/.complete"
echo "$dir"
