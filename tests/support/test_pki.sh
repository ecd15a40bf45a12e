#!/usr/bin/env bash
# A small test PKI made with the openssl command, for the TLS tests:
#
#   test_pki.sh DIR
#
# writes into DIR (created if needed), all keys RSA 2048 (Zabbix's cipher
# suites for certificates are RSA only):
#   ca.crt ca.key            "CN=quillet test CA,O=quillet tests"
#   server.crt server.key    "CN=quillet test server,O=quillet tests", by the CA
#   client.crt client.key    "CN=quillet test client,O=quillet tests", by the CA
#   other-ca.crt             a CA that signed none of them
#   crl.pem                  the CA's CRL, nothing revoked
#   crl-revoked.pem          the CA's CRL with the server's certificate revoked
#   psk.key                  64 hexadecimal digits and a line end
# Keys are mode 0600. Certificates are valid for a day.
set -euo pipefail
dir=${1:?usage: test_pki.sh DIR}
mkdir -p "$dir"
cd "$dir"
umask 077

subject() { echo "/O=quillet tests/CN=quillet test $1"; }
key() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1" 2>/dev/null; }

key ca.key
openssl req -x509 -new -key ca.key -subj "$(subject CA)" -days 1 -out ca.crt \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
key other-ca.key
openssl req -x509 -new -key other-ca.key -subj "$(subject 'other CA')" -days 1 -out other-ca.crt \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign

serial=1
for who in server client; do
  key "$who.key"
  openssl req -new -key "$who.key" -subj "$(subject "$who")" -out "$who.csr"
  usage=$([ "$who" = server ] && echo serverAuth || echo clientAuth)
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=%s\n' \
    "$usage" >"$who.ext"
  openssl x509 -req -in "$who.csr" -CA ca.crt -CAkey ca.key -set_serial "$serial" -days 1 \
    -extfile "$who.ext" -out "$who.crt" 2>/dev/null
  serial=$((serial + 1))
done

# The CRLs, through a minimal "openssl ca" database.
mkdir -p ca-db
: >ca-db/index.txt
echo 01 >ca-db/crlnumber
cat >ca-db/ca.cnf <<EOF
[ca]
default_ca = test
[test]
database = $PWD/ca-db/index.txt
crlnumber = $PWD/ca-db/crlnumber
certificate = $PWD/ca.crt
private_key = $PWD/ca.key
default_md = sha256
default_crl_days = 1
EOF
openssl ca -config ca-db/ca.cnf -gencrl -out crl.pem 2>/dev/null
openssl ca -config ca-db/ca.cnf -revoke server.crt 2>/dev/null
openssl ca -config ca-db/ca.cnf -gencrl -out crl-revoked.pem 2>/dev/null

openssl rand -hex 32 >psk.key
chmod 644 ./*.crt ./*.pem
rm -f ./*.csr ./*.ext
