#!/bin/sh
# maketlscert.sh DIR [SAN...]: a throwaway CA (DIR/ca.pem) and a server certificate it signed
# (DIR/server.pem, DIR/server.key) for IP:127.0.0.1 and any further subjectAltName entries given,
# e.g. DNS:updates.example. RSA, so that TLS 1.2 suites with RSA key exchange work too.
set -eu
dir=$1
shift
san="IP:127.0.0.1"
for extra in "$@"; do san="$san,$extra"; done
mkdir -p "$dir"
cd "$dir"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj "/CN=Test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "/CN=127.0.0.1" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\nsubjectAltName=%s\n' \
    "$san" >server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 30 \
    -extfile server.ext 2>/dev/null
rm -f server.csr server.ext ca.srl
