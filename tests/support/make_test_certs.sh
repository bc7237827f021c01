#!/bin/sh
# Makes the certificates of a TLS test in DIR, valid for two days (nothing that expires is kept):
#   ca.crt            the CA the test servers and clients trust
#   server.crt/.key   for localhost and 127.0.0.1, signed by ca.crt
#   client.crt/.key   a client certificate signed by ca.crt
#   other-ca.crt      a CA that signed none of them
set -eu
dir=${1:?usage: make_test_certs.sh DIR}
cd "$dir"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
ca() {
    key "$1.key"
    openssl req -x509 -new -key "$1.key" -subj "/CN=$2" -days 2 -out "$1.crt"
}
signed() {
    key "$1.key"
    openssl req -new -key "$1.key" -subj "/CN=$2" ${3:+-addext "$3"} -out "$1.csr"
    openssl x509 -req -in "$1.csr" -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -copy_extensions copyall \
        -out "$1.crt" 2>/dev/null
    rm "$1.csr"
}
ca ca "corvel test CA"
ca other-ca "another test CA"
signed server localhost "subjectAltName=DNS:localhost,IP:127.0.0.1"
signed client corvel
