#!/bin/sh
# Certificates for the TLS tests, made afresh in $1: a CA of the tests' own and what it signs
# (the server's for 127.0.0.1, one for another host name, one expired, a client's), and a
# server certificate from a CA nobody trusts.
set -eu
out=$1
mkdir -p "$out"
cd "$out"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out "$1" 2>/dev/null; }
ca() {
    key "$1.key"
    openssl req -x509 -new -key "$1.key" -days 3650 -subj "/CN=$2" -out "$1.pem" 2>/dev/null
}
# sign NAME CA SUBJECT_ALT_NAME [openssl ca dates...]
sign() {
    name=$1 authority=$2 san=$3
    shift 3
    openssl req -new -key server.key -subj "/CN=$name" -out "$name.csr" 2>/dev/null
    rm -rf "db-$name" && mkdir "db-$name" && : >"db-$name/index" && echo 01 >"db-$name/serial"
    cat >"$name.cnf" <<CNF
[ca]
default_ca = own
[own]
dir = db-$name
database = \$dir/index
serial = \$dir/serial
new_certs_dir = \$dir
default_md = sha256
policy = any
copy_extensions = none
x509_extensions = ext
[any]
commonName = supplied
[ext]
subjectAltName = $san
basicConstraints = CA:FALSE
CNF
    openssl ca -batch -config "$name.cnf" -cert "$authority.pem" -keyfile "$authority.key" \
        -in "$name.csr" -out "$name.pem" -notext "$@" 2>/dev/null
}
ca ca "Korvane test CA"
ca other-ca "Nobody's CA"
key server.key
sign server ca "IP:127.0.0.1" -days 3650
sign wronghost ca "DNS:wrong.example" -days 3650
sign expired ca "IP:127.0.0.1" -startdate 20200101000000Z -enddate 20200102000000Z
sign unknown other-ca "IP:127.0.0.1" -days 3650
cp server.key client.key
sign client ca "DNS:korvane-client" -days 3650
rm -rf db-* ./*.csr ./*.cnf
