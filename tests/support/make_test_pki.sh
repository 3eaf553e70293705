#!/usr/bin/env bash
# Makes a throwaway certificate authority and a server certificate signed by it, for the local
# HTTPS servers of the tests; also a self-signed certificate nobody trusts.
# Usage: make_test_pki.sh DIR   -> DIR/ca.pem, DIR/server.pem, DIR/server.key,
#                                  DIR/untrusted.pem, DIR/untrusted.key
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"
names="IP:127.0.0.1,DNS:localhost,DNS:accounts.google.com,DNS:oauth2.googleapis.com"
names="$names,DNS:openidconnect.googleapis.com,DNS:updates.orvo.test,DNS:packages.orvo.test"
openssl ecparam -name prime256v1 -genkey -noout -out ca.key 2>/dev/null
openssl req -x509 -new -key ca.key -subj "/CN=Launcher Test CA" -days 3 -out ca.pem \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl ecparam -name prime256v1 -genkey -noout -out server.key 2>/dev/null
openssl req -new -key server.key -subj "/CN=localhost" -out server.csr 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\nsubjectAltName=%s\n' \
  "$names" > server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 3 -out server.pem \
  -extfile server.ext 2>/dev/null
openssl ecparam -name prime256v1 -genkey -noout -out untrusted.key 2>/dev/null
openssl req -x509 -new -key untrusted.key -subj "/CN=localhost" -days 3 -out untrusted.pem \
  -addext "subjectAltName=$names" 2>/dev/null
rm -f server.csr server.ext ca.srl
