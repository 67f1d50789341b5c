#!/usr/bin/env bash
# Makes a throw-away certificate set in a Cert folder: a root "CAcert.pem", a
# server certificate "WSScert.pem" for localhost (subjectAltName DNS:localhost,
# IP:127.0.0.1) signed by it, and its key "WSSkey.pem" encrypted with the
# service's passphrase. The root's key is deleted again.
#   demo-pki.sh <Cert folder> <organisation>
set -euo pipefail
cert="${1:?usage: demo-pki.sh <Cert folder> <organisation>}"
organisation="${2:?usage: demo-pki.sh <Cert folder> <organisation>}"
cd "$cert"
openssl req -x509 -newkey rsa:2048 -nodes -keyout CAkey.pem -out CAcert.pem -days 30 \
  -subj "/O=$organisation/CN=$organisation Root" 2>/dev/null
openssl req -newkey rsa:2048 -passout pass:plover -keyout WSSkey.pem -out WSSreq.pem \
  -subj "/O=$organisation/CN=localhost" 2>/dev/null
printf 'subjectAltName = DNS:localhost, IP:127.0.0.1\n' > san.ext
openssl x509 -req -in WSSreq.pem -CA CAcert.pem -CAkey CAkey.pem -CAcreateserial -days 30 \
  -extfile san.ext -out WSScert.pem 2>/dev/null
rm -f CAkey.pem CAcert.srl san.ext
chmod 600 WSSkey.pem
