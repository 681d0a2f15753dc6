#!/usr/bin/env bash
# Makes a throw-away certificate authority and a server certificate for 127.0.0.1 and localhost,
# for the demo server, the benchmark and the tests.
#
#   bash scripts/make-certs.sh FOLDER [CA NAME] [DAYS]
#
# Writes ca.pem, ca.key, server.key, and server.pem, which holds the whole chain (the server's
# certificate followed by the authority's): Windows' TLS does not look the authority up itself.
set -euo pipefail
out=$1
name=${2:-Veltro Test CA}
days=${3:-3650}
mkdir -p "$out"
cd "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -days "$days" -subj "/CN=$name" \
    -keyout ca.key -out ca.pem -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -keyout server.key \
    -out "$tmp/server.csr" 2>/dev/null
printf '%s\n' "subjectAltName=IP:127.0.0.1,DNS:localhost" "basicConstraints=CA:FALSE" \
    "keyUsage=digitalSignature,keyEncipherment" "extendedKeyUsage=serverAuth" > "$tmp/server.ext"
openssl x509 -req -in "$tmp/server.csr" -CA ca.pem -CAkey ca.key -CAcreateserial \
    -CAserial "$tmp/ca.srl" -days "$days" -extfile "$tmp/server.ext" -out "$tmp/server.crt" \
    2>/dev/null
cat "$tmp/server.crt" ca.pem > server.pem
chmod 600 ca.key server.key
