#!/usr/bin/env bash
# The release, made twice from the same commit in two folders at two times (each with its own
# copy of the Mbed TLS tree, in a folder of its own): the artefacts must match byte for byte;
# then lintian on the Debian packages and a consumer built against them.
set -euo pipefail
root="$QVRAD_ROOT"
out="$QVRAD_OUT/release"
rm -rf "$out"
mkdir -p "$out"
# shellcheck source=scripts/stage-tls.sh
. "$root/scripts/stage-tls.sh"
# A run with TLS off (the Mbed TLS mirror unreachable) still checks the release, without TLS.
no_tls=""
[ -n "$QVRAD_MBEDTLS_SOURCE" ] || no_tls=1

for run in 1 2; do
  QVRAD_DIST="$out/dist-$run" QVRAD_RELEASE_NO_TLS="$no_tls" "$root/scripts/release.sh" \
    > "$out/release-$run.log" 2>&1 || {
    cat "$out/release-$run.log"; exit 1; }
  tail -n 6 "$out/release-$run.log"
  sleep 1  # the second build starts at another second of the clock
done
if ! cmp -s "$out/dist-1/SHA256SUMS" "$out/dist-2/SHA256SUMS"; then
  echo "FAIL: two builds of one commit differ; the files that differ:"
  for run in 1 2; do
    mkdir -p "$out/unpacked-$run"
    for deb in "$out/dist-$run"/*.deb; do dpkg-deb -x "$deb" "$out/unpacked-$run/$(basename "$deb")"; done
    for zip in "$out/dist-$run"/*.zip; do
      python3 -m zipfile -e "$zip" "$out/unpacked-$run/$(basename "$zip")"
    done
    (cd "$out/unpacked-$run" && find . -type f -print0 | sort -z | xargs -0 sha256sum) \
      > "$out/unpacked-$run.sums"
  done
  diff "$out/dist-1/SHA256SUMS" "$out/dist-2/SHA256SUMS" || true
  diff "$out/unpacked-1.sums" "$out/unpacked-2.sums" || true
  exit 1
fi
echo "ok   both builds give the same bytes: $(wc -l < "$out/dist-1/SHA256SUMS") artefacts"
dist="$out/dist-1"

# Errors fail the stage; what lintian still says is printed.
lintian --fail-on error --pedantic "$dist"/*.deb
echo "ok   lintian reports no error"

# Installed from the packages alone, into a scratch root: the C consumer and the login example
# (from the -dev package's examples) find the library through the CMake package and pkg-config,
# and the packaged command runs.
scratch="$out/root"
for deb in "$dist"/*.deb; do dpkg -x "$deb" "$scratch"; done
cmake -DPREFIX="$scratch/usr" -DWORK_DIR="$out/consumer" \
  -DCONSUMER="$root/tests/package/consumer" \
  -DEXAMPLE="$scratch/usr/share/doc/libqvradclient-dev/examples" -DGENERATOR="Unix Makefiles" \
  -P "$root/tests/package/install_test.cmake" > "$out/consumer.log" 2>&1 || {
  cat "$out/consumer.log"; exit 1; }
libdir="$(dirname "$(find "$scratch/usr/lib" -name 'libqvRadClient.so.1' | head -n 1)")"
LD_LIBRARY_PATH="$libdir" "$scratch/usr/bin/qvrad-auth" --version | grep -q "Quorvel SDK"
echo "ok   consumer and qvrad-auth run from the packages"

# Each zip holds what a Windows host needs, and its SHA256SUMS matches its members; with TLS,
# Mbed TLS's licence as its tree has it.
python3 - "$QVRAD_MBEDTLS_SOURCE" "$dist"/*.zip <<'PY'
import hashlib, sys, zipfile
want = {"bin/qvRadClient.dll", "bin/qvrad-auth.exe", "lib/qvRadClient.def",
        "lib/libqvRadClient.dll.a", "lib/qvRadClient.lib", "include/qvRadClient.h",
        "include/qvrad.h", "examples/login.c", "README-windows.md", "README-api.md", "LICENSE",
        "SHA256SUMS"}
tls = sys.argv[1]
if tls:
    want.add("LICENSE-mbedtls.txt")
    notice = open(tls + "/LICENSE", "rb").read()
for path in sys.argv[2:]:
    z = zipfile.ZipFile(path)
    names = set(z.namelist())
    assert names == want, "%s: %s" % (path, sorted(names ^ want))
    for line in z.read("SHA256SUMS").decode().splitlines():
        digest, name = line.split("  ", 1)
        assert hashlib.sha256(z.read(name)).hexdigest() == digest, path + ": " + name
    if tls:
        assert z.read("LICENSE-mbedtls.txt") == notice, path + ": LICENSE-mbedtls.txt"
    print("ok   %s: %d members, sums match%s" % (path.rsplit("/", 1)[-1], len(names),
          ", Mbed TLS's licence" if tls else " (no TLS)"))
PY

# The shipped DLLs and programs themselves pass the PE checks: exports, imports that all exist
# on the oldest Windows supported, no link timestamp, the version resource. (Debian's python3,
# which has python3-pefile, whatever python3 comes first on PATH.)
py=python3
[ -x /usr/bin/python3 ] && py=/usr/bin/python3
# The export list, from the .def that tests/package/check_exports.cmake holds to the headers.
def="$root/qvRadClient/api/qvRadClient.def"
functions="$(sed -e 's/;.*//' -e '1,/^EXPORTS/d' "$def" | awk 'NF { print $1 }')"
for arch in win32:i386 win64:AMD64; do
  unpacked="$out/zip-${arch%%:*}"
  python3 -m zipfile -e "$dist/qvRadClient-"*"-${arch%%:*}.zip" "$unpacked"
  "$py" "$root/tests/windows/check_pe.py" "$unpacked/bin/qvRadClient.dll" "${arch##*:}" "$def" \
    > "$out/check_pe-${arch%%:*}.log" || { cat "$out/check_pe-${arch%%:*}.log"; exit 1; }
  "$py" "$root/tests/windows/check_pe.py" --imports "$unpacked/bin/qvrad-auth.exe" \
    >> "$out/check_pe-${arch%%:*}.log" || { cat "$out/check_pe-${arch%%:*}.log"; exit 1; }
  # The import library for MSVC names every function of the .def as MSVC's linker looks for
  # it: cdecl with the leading underscore on x86, plain on x64.
  case "$arch" in
    win32:*) nm=i686-w64-mingw32-nm mangle=_ ;;
    win64:*) nm=x86_64-w64-mingw32-nm mangle= ;;
  esac
  "$nm" "$unpacked/lib/qvRadClient.lib" > "$out/lib-${arch%%:*}.nm"
  count=0
  for function in $functions; do
    for symbol in "__imp_$mangle$function" "$mangle$function"; do
      grep -q " $symbol\$" "$out/lib-${arch%%:*}.nm" || {
        echo "FAIL ${arch%%:*}: qvRadClient.lib has no $symbol"; exit 1; }
    done
    count=$((count + 1))
  done
  echo "ok   ${arch%%:*}: qvRadClient.dll and qvrad-auth.exe pass the PE checks; qvRadClient.lib names the $count functions (${mangle:-no prefix})"
done
