#!/usr/bin/env bash
# Fetches FreeRADIUS from Debian's <codename>-backports (3.2.7 on bookworm, which signs its replies)
# and unpacks it into DIR/tree beside the system's server, which stays as it is.
# Usage: freeradius-backports.sh DIR. Prints the tree's root. Reuses a complete tree in DIR.
# Exit 0: ready; 77: the mirror could not be reached (DIR/UNAVAILABLE says why; tests skip);
# anything else: a fault.
#
# apt runs with a private sources list, state and cache under DIR (nothing system-wide is read
# or written but the archive keyring), on the same mirror host the system's own sources use.
set -euo pipefail
[ $# -eq 1 ] && [ -n "$1" ] || { echo "usage: $0 DIR" >&2; exit 2; }
mkdir -p -- "$1"
dir=$(cd -- "$1" && pwd)
tree="$dir/tree"
readonly packages=(freeradius libfreeradius3 freeradius-common freeradius-config)

if [ -f "$tree/.complete" ] && [ -x "$tree/usr/sbin/freeradius" ]; then
  echo "$tree"
  exit 0
fi
rm -rf -- "$tree" "$dir/debs" "$dir/UNAVAILABLE"

unavailable() {
  echo "$*" >"$dir/UNAVAILABLE"
  echo "freeradius-backports.sh: $* (tests that need the backports server skip)" >&2
  exit 77
}

codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
[ -n "$codename" ] || unavailable "no VERSION_CODENAME in /etc/os-release"
# The mirror of the system's own main suite (QVRAD_BACKPORTS_MIRROR overrides it: a local mirror;
# an unreachable one shows the skip).
mirror=$("$(dirname "${BASH_SOURCE[0]}")/debian-mirror.sh" "$codename" 2>"$dir/mirror.log") ||
  unavailable "$(cat "$dir/mirror.log")"

apt_dir="$dir/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$dir/debs"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
signed=""
[ -f "$keyring" ] && signed="[signed-by=$keyring] "
echo "deb ${signed}${mirror} ${codename}-backports main" >"$apt_dir/sources.list"
apt_opts=(
  -o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/none"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
  -o "Debug::NoLocking=1" -o "APT::Sandbox::User=$(id -un)"
  -o "Acquire::Retries=1" -o "Acquire::http::Timeout=20"
)
timeout 90 apt-get "${apt_opts[@]}" -q update >"$dir/apt.log" 2>&1 ||
  unavailable "apt-get update of ${mirror} ${codename}-backports failed (see $dir/apt.log)"
# apt-get update succeeds even when every fetch failed: a package list must have come.
compgen -G "$apt_dir/lists/*_Packages*" >/dev/null ||
  unavailable "no package list from ${mirror} ${codename}-backports (see $dir/apt.log)"
(cd "$dir/debs" && timeout 120 apt-get "${apt_opts[@]}" -q download \
  "${packages[@]/%//${codename}-backports}" >>"$dir/apt.log" 2>&1) ||
  unavailable "apt-get download from ${codename}-backports failed (see $dir/apt.log)"

mkdir -p "$tree"
for deb in "$dir"/debs/*.deb; do dpkg-deb -x "$deb" "$tree"; done
# What freeradius-config's postinst enables on a fresh install, done inside the tree.
conf="$tree/etc/freeradius/3.0"
mkdir -p "$conf/sites-enabled" "$conf/mods-enabled"
for site in default inner-tunnel; do
  ln -sfn "../sites-available/$site" "$conf/sites-enabled/$site"
done
for module in always attr_filter chap detail detail.log digest dynamic_clients eap echo exec \
  expiration expr files linelog logintime mschap ntlm_auth pap passwd preprocess radutmp realm \
  replicate soh sradutmp unix unpack utf8; do
  [ -e "$conf/mods-available/$module" ] && ln -sfn "../mods-available/$module" "$conf/mods-enabled/$module"
done
version=$(LD_LIBRARY_PATH="$tree/usr/lib/freeradius" "$tree/usr/sbin/freeradius" -v 2>&1 | head -n 1 || true)
case "$version" in
  *"Version 3.2."*) ;;
  *) echo "freeradius-backports.sh: the unpacked server does not run: $version" >&2; exit 1 ;;
esac
echo "$version" >"$tree/.complete"
echo "$tree"
