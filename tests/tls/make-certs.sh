#!/usr/bin/env bash
# Makes the RADIUS-over-TLS test material with the openssl command line: a test CA, good and bad
# server and client certificates, and TLS-PSK keys (RFC 6614, RFC 9813). Usage: make-certs.sh DIR
#
# Idempotent: a complete set whose certificates stay valid for another day is kept as it is, so
# every server and test of a build sees the same files; otherwise the whole set is made anew
# (in DIR/.new, then moved in). Concurrent runs on one DIR wait for each other (flock, bounded).
#
# Keys are ECDSA P-256 (prime256v1): generated in milliseconds (a set takes well under a second,
# where RSA 2048 keys cost tens of milliseconds each), spoken by OpenSSL 3.0 under FreeRADIUS
# 3.2.1 and 3.2.7 (ECDHE-ECDSA in TLS 1.2, ecdsa_secp256r1_sha256 in TLS 1.3) and by every TLS
# stack a Windows client would carry. Signatures are SHA-256.
#
# Files in DIR (PEM; keys unencrypted, mode 0600):
#   ca.pem                 "qvRadClient test CA", the trust anchor of every good certificate
#   other-ca.pem           "qvRadClient other CA", a second, unrelated CA (ca.key, other-ca.key:
#                          the CAs' keys, kept so that a test can sign a certificate of its own)
#   server.pem/.key        good server: subjectAltName DNS:localhost, IP:127.0.0.1, IP:::1,
#                          extendedKeyUsage serverAuth, signed by ca.pem
#   client.pem/.key        good client: CN qvrad-test-client, extendedKeyUsage clientAuth, by ca.pem
#   server-other-ca.*      as server.pem, but signed by other-ca.pem
#   client-other-ca.*      as client.pem, but signed by other-ca.pem
#   server-cn-only.*       CN localhost and no subjectAltName at all (RFC 6125 section 6.4.4: a
#                          client with a subjectAltName-only check refuses it), by ca.pem
#   server-wrong-name.*    CN localhost but subjectAltName DNS:other-host.example only (no IP):
#                          names another host, so a client checking localhost, 127.0.0.1 or ::1
#                          refuses it (a CN is not looked at when a subjectAltName is there)
#   server-expired.*       as server.pem, but valid from 3 days ago to 2 days ago (inside the CA's
#                          validity), by ca.pem
#   psk-identity           the TLS-PSK identity (one line, ASCII, no newline at the end)
#   psk.hex                its key: 32 random octets as 64 lowercase hex digits and a newline
#   psk-wrong.hex          another 32 random octets, for the wrong-key refusal tests
# Good certificates (and the CAs) are valid from an hour ago for 30 days.
set -euo pipefail
[ $# -eq 1 ] && [ -n "$1" ] || {
  echo "usage: $0 DIR" >&2
  exit 2
}
command -v openssl >/dev/null 2>&1 || {
  echo "make-certs.sh: openssl not found; install it with: apt-get install -y openssl" >&2
  exit 1
}
mkdir -p -- "$1"
dir=$(cd -- "$1" && pwd)
readonly recipe=1              # raise when the set changes, so that old sets are made anew
readonly lock_wait=60          # seconds for another run on the same DIR to finish
readonly psk_identity=qvrad-psk-client

files=(ca.pem other-ca.pem server.pem server.key client.pem client.key server-other-ca.pem
  server-other-ca.key client-other-ca.pem client-other-ca.key server-cn-only.pem server-cn-only.key
  server-wrong-name.pem server-wrong-name.key server-expired.pem server-expired.key psk-identity
  psk.hex psk-wrong.hex)

complete() {
  local f
  [ "$(cat "$dir/.complete" 2>/dev/null || true)" = "recipe $recipe" ] || return 1
  for f in "${files[@]}"; do [ -s "$dir/$f" ] || return 1; done
  # The CAs and the good certificates all end together: one of them tells for all.
  openssl x509 -noout -checkend 86400 -in "$dir/server.pem" >/dev/null 2>&1
}

exec 9>"$dir/.lock"
flock -w "$lock_wait" 9 || {
  echo "make-certs.sh: $dir is locked by another run for over $lock_wait s" >&2
  exit 1
}
if complete; then
  exit 0
fi

new="$dir/.new"
rm -rf -- "$new"
mkdir -m 0700 "$new"
umask 077
# Any failing step shows what openssl said.
trap 'echo "make-certs.sh: a step failed; openssl said:" >&2; cat "$new/openssl.log" >&2 2>/dev/null || true' ERR
stamp() { date -u -d "$1" +%Y%m%d%H%M%SZ; }
ca_start=$(stamp '-7 days')
good_start=$(stamp '-1 hour')
good_end=$(stamp '+30 days')
expired_start=$(stamp '-3 days')
expired_end=$(stamp '-2 days')

# One configuration for every step; each CA keeps its own database in its own folder.
cat >"$new/openssl.cnf" <<CNF
[ req ]
distinguished_name = dn
prompt = no
[ dn ]
CN = unused
[ ca ]
default_ca = test_ca
[ test_ca ]
dir = \$ENV::QVRAD_CA_DIR
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir/issued
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none
[ any_name ]
commonName = supplied
organizationName = optional
[ v3_ca ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[ server ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1, IP:::1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ client ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = clientAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ server_cn_only ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ server_wrong_name ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:other-host.example
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
export OPENSSL_CONF="$new/openssl.cnf"
export QVRAD_CA_DIR="$new" # read by every command, used by "openssl ca" alone

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$new/$1" 2>/dev/null; }

# make_ca NAME "COMMON NAME": a self-signed CA in NAME.pem (key NAME.key) with its database.
make_ca() {
  local name=$1 cn=$2
  key "$name.key"
  mkdir -p "$new/$name.db/issued"
  : >"$new/$name.db/index.txt"
  openssl req -new -key "$new/$name.key" -subj "/O=qvRadClient tests/CN=$cn" -out "$new/$name.csr"
  QVRAD_CA_DIR="$new/$name.db" openssl ca -batch -notext -selfsign -rand_serial \
    -keyfile "$new/$name.key" -in "$new/$name.csr" -out "$new/$name.pem" \
    -startdate "$ca_start" -enddate "$good_end" -extensions v3_ca 2>>"$new/openssl.log"
}

# issue CA NAME CN EXTENSIONS START END: NAME.pem and NAME.key, signed by CA.
issue() {
  local ca=$1 name=$2 cn=$3 ext=$4 start=$5 end=$6
  key "$name.key"
  openssl req -new -key "$new/$name.key" -subj "/O=qvRadClient tests/CN=$cn" -out "$new/$name.csr"
  QVRAD_CA_DIR="$new/$ca.db" openssl ca -batch -notext -rand_serial -cert "$new/$ca.pem" \
    -keyfile "$new/$ca.key" -in "$new/$name.csr" -out "$new/$name.pem" \
    -startdate "$start" -enddate "$end" -extensions "$ext" 2>>"$new/openssl.log"
}

make_ca ca "qvRadClient test CA"
make_ca other-ca "qvRadClient other CA"
issue ca server localhost server "$good_start" "$good_end"
issue ca client qvrad-test-client client "$good_start" "$good_end"
issue other-ca server-other-ca localhost server "$good_start" "$good_end"
issue other-ca client-other-ca qvrad-test-client client "$good_start" "$good_end"
issue ca server-cn-only localhost server_cn_only "$good_start" "$good_end"
issue ca server-wrong-name localhost server_wrong_name "$good_start" "$good_end"
issue ca server-expired localhost server "$expired_start" "$expired_end"
printf '%s' "$psk_identity" >"$new/psk-identity"
openssl rand -hex 32 >"$new/psk.hex"
openssl rand -hex 32 >"$new/psk-wrong.hex"

# The good ones must verify, the bad ones must fail for the reason they exist.
verify() { openssl verify -CAfile "$new/$1" -purpose "$2" "$new/$3" >/dev/null 2>&1; }
# The expired certificate is otherwise good: it verifies at a moment inside its validity.
verify_at_birth() {
  openssl verify -CAfile "$new/ca.pem" -purpose sslserver -attime "$(date -u -d '-60 hours' +%s)" \
    "$new/$1" >/dev/null 2>&1
}
if ! {
  verify ca.pem sslserver server.pem && verify ca.pem sslclient client.pem &&
    verify other-ca.pem sslserver server-other-ca.pem && verify other-ca.pem sslclient client-other-ca.pem &&
    verify ca.pem sslserver server-cn-only.pem && verify ca.pem sslserver server-wrong-name.pem &&
    ! verify ca.pem sslserver server-other-ca.pem && ! verify ca.pem sslclient client-other-ca.pem &&
    ! verify ca.pem sslserver server-expired.pem && verify_at_birth server-expired.pem
}; then
  echo "make-certs.sh: the new set does not verify as intended" >&2
  exit 1
fi

for f in "${files[@]}"; do mv -f -- "$new/$f" "$dir/$f"; done
for f in ca other-ca; do mv -f -- "$new/$f.key" "$dir/$f.key"; done
chmod 0644 "$dir"/*.pem "$dir/psk-identity"
rm -rf -- "$new"
echo "recipe $recipe" >"$dir/.complete"
