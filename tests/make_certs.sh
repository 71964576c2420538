#!/usr/bin/env bash
# Makes a throw-away CA and a certificate for 127.0.0.1 signed by it, in DIR:
# ca.pem, server.pem, server.key, and a client certificate client.pem with
# client.key. Nothing is added to any trust store.
set -euo pipefail
dir=$1
cd "$dir"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
key ca.key
openssl req -x509 -new -key ca.key -out ca.pem -days 2 -subj "/CN=auth_plugin test CA" 2>/dev/null
key server.key
openssl req -new -key server.key -out server.csr -subj "/CN=127.0.0.1" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\n' >san.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 \
  -extfile san.ext 2>/dev/null
# A client certificate for the broker, for endpoints that require one.
key client.key
openssl req -new -key client.key -out client.csr -subj "/CN=auth_plugin test broker" 2>/dev/null
printf 'extendedKeyUsage=clientAuth\n' >client.ext
openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out client.pem -days 2 \
  -extfile client.ext 2>/dev/null
