#!/bin/sh
# Throwaway test PKI: a CA, a server certificate for localhost, a client certificate whose key
# is encrypted with the program's pass phrase, and a self-signed server certificate.
# Usage: make-test-pki.sh <dir>. Made fresh on every test run; nothing here is committed.
set -eu
dir=$1
mkdir -p "$dir"
cd "$dir"
rm -f ./*.pem ./*.srl ./*.cnf ./*.csr
days=30
subj() { printf '/O=Harvester Test/CN=%s' "$1"; }

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key.pem -out ca.pem -days $days \
  -subj "$(subj 'Test CA')" -addext basicConstraints=critical,CA:TRUE \
  -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null

printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' > server.cnf
openssl req -newkey rsa:2048 -nodes -keyout server.key.pem -out server.csr \
  -subj "$(subj localhost)" 2>/dev/null
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key.pem -CAcreateserial \
  -days $days -extfile server.cnf -out server.pem 2>/dev/null

printf 'extendedKeyUsage=clientAuth\n' > client.cnf
openssl req -newkey rsa:2048 -keyout 01key.pem -passout pass:quorvelt -out client.csr \
  -subj "$(subj 'Harvester Client')" 2>/dev/null
openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key.pem -CAcreateserial \
  -days $days -extfile client.cnf -out 01cert.pem 2>/dev/null

openssl req -x509 -newkey rsa:2048 -nodes -keyout selfsigned.key.pem -out selfsigned.pem \
  -days $days -subj "$(subj localhost)" 2>/dev/null

rm -f ./*.csr ./*.cnf ./*.srl
echo "test PKI in $dir"
