#!/usr/bin/env bash
# Creates the demo and test PKI in DIR: a CA (ca.pem, ca.key), the portal's certificate for
# localhost and 127.0.0.1 (server-cert.pem, server-key.pem), the harvester's client
# certificate 01cert.pem with its key 01key.pem, encrypted with the pass phrase "quorvelt", and
# a self-signed certificate for localhost that no CA vouches for (selfsigned.pem,
# selfsigned.key.pem). Does nothing when all the files are there already.
set -euo pipefail

dir=${1:?usage: make-certs.sh DIR}
files=(ca.pem ca.key server-cert.pem server-key.pem 01cert.pem 01key.pem selfsigned.pem selfsigned.key.pem)

mkdir -p "$dir"
all=1
for f in "${files[@]}"; do
  [ -s "$dir/$f" ] || all=0
done
if [ "$all" = 1 ]; then
  exit 0
fi

work=$(mktemp -d "$dir/.certs.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

days=3650
rsa=(-algorithm RSA -pkeyopt rsa_keygen_bits:2048)
subj() { printf '/O=Harvester Test/CN=%s' "$1"; }

openssl genpkey "${rsa[@]}" -out ca.key 2>/dev/null
openssl req -x509 -new -key ca.key -sha256 -days "$days" -subj "$(subj "Test CA")" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -out ca.pem

openssl genpkey "${rsa[@]}" -out server-key.pem 2>/dev/null
openssl req -new -key server-key.pem -subj "$(subj localhost)" -out server.csr
cat > server.ext <<'EXT'
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:localhost,IP:127.0.0.1
EXT
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -sha256 -days "$days" \
  -extfile server.ext -out server-cert.pem 2>/dev/null

openssl genpkey "${rsa[@]}" -aes256 -pass pass:quorvelt -out 01key.pem 2>/dev/null
openssl req -new -key 01key.pem -passin pass:quorvelt -subj "$(subj "Harvester Client")" -out client.csr
cat > client.ext <<'EXT'
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=clientAuth
EXT
openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -CAcreateserial -sha256 -days "$days" \
  -extfile client.ext -out 01cert.pem 2>/dev/null

openssl genpkey "${rsa[@]}" -out selfsigned.key.pem 2>/dev/null
openssl req -x509 -new -key selfsigned.key.pem -sha256 -days "$days" -subj "$(subj localhost)" \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -out selfsigned.pem

chmod 600 ca.key server-key.pem 01key.pem selfsigned.key.pem
for f in "${files[@]}"; do
  mv -f "$f" "$dir/$f"
done
