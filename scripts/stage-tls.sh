# Sourced by scripts/test.sh and by every stage that builds the library: the Mbed TLS sources
# the builds compile in, fetched once per output folder and reused, and the CMake arguments that
# give them to a build. Sets and exports QVRAD_MBEDTLS_SOURCE (the tree; empty: TLS off), sets
# the array qvrad_tls_args (-DQVRAD_MBEDTLS_SOURCE=..., and the compiler cache for C) and
# qvrad_c_launcher (ccache or empty, for scripts that configure themselves: CMake takes
# CMAKE_C_COMPILER_LAUNCHER from the environment at a build folder's first configure).
#
# scripts/test.sh sources it first and exports the outcome, so the stages neither fetch again nor
# retry an unreachable mirror; a stage run alone (QVRAD_OUT=... bash scripts/stages/NN-x.sh)
# fetches or reuses $QVRAD_OUT/mbedtls itself. QVRAD_MBEDTLS_SOURCE set beforehand is used as it
# is: a tree of one's own, or empty for a run without TLS.

if [ -z "${QVRAD_MBEDTLS_SOURCE+set}" ]; then
  _qvrad_tls_rc=0
  QVRAD_MBEDTLS_SOURCE=$("$QVRAD_ROOT/scripts/mbedtls-source.sh" "$QVRAD_OUT/mbedtls") ||
    _qvrad_tls_rc=$?
  case $_qvrad_tls_rc in
    0) echo "TLS: $(cat "$QVRAD_MBEDTLS_SOURCE/.complete"), in $QVRAD_MBEDTLS_SOURCE" ;;
    77)
      # The run goes on without TLS, as the backports FreeRADIUS tests skip when its mirror is
      # down: every build configures with TLS off, refuses tls:// and skips the TLS tests.
      QVRAD_MBEDTLS_SOURCE=""
      echo "!!!"
      echo "!!! TLS OFF FOR THIS RUN: the Mbed TLS sources could not be fetched:"
      echo "!!!   $(cat "$QVRAD_OUT/mbedtls/UNAVAILABLE" 2>/dev/null)"
      echo "!!! Every build is configured without them: tls:// is refused, the TLS tests skip."
      echo "!!!"
      ;;
    *)
      echo "scripts/mbedtls-source.sh failed (exit status $_qvrad_tls_rc)" >&2
      exit "$_qvrad_tls_rc"
      ;;
  esac
  unset _qvrad_tls_rc
fi
export QVRAD_MBEDTLS_SOURCE

# With the sources TLS is required (a configure error, not a line, if the build would lack it);
# without them, as CMake finds it (a run with TLS off says so loudly above).
qvrad_tls_args=(-DQVRAD_MBEDTLS_SOURCE="$QVRAD_MBEDTLS_SOURCE" -DQVRAD_TLS=AUTO)
[ -z "$QVRAD_MBEDTLS_SOURCE" ] || qvrad_tls_args[1]=-DQVRAD_TLS=ON
# Mbed TLS is the only C in the builds; its objects are the same for builds with the same
# compiler and flags (linux and memcheck, release-gcc and demo), so ccache serves the repeats.
# The cache starts empty in a fresh output folder. C++ is not cached. The release
# (scripts/release.sh) never uses it: its two builds must each compile everything.
qvrad_c_launcher=""
if command -v ccache >/dev/null; then
  export CCACHE_DIR="$QVRAD_OUT/ccache"
  qvrad_c_launcher=ccache
  qvrad_tls_args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache)
else
  qvrad_tls_args+=(-UCMAKE_C_COMPILER_LAUNCHER)
fi
