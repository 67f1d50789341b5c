#!/usr/bin/env bash
# Runs the service on a demo installation: loopback only, a demo root
# certificate and a server certificate for localhost signed by it, a demo
# user, and the dry-run power backend (a reboot or shutdown is only recorded).
#   demo.sh <build folder>
set -euo pipefail
build="${1:?usage: demo.sh <build folder>}"
demo="$build/demo"
port="${KELVANE_DEMO_PORT:-8443}"

rm -rf "$demo"
cmake --install "$build" --prefix "$demo" >/dev/null

cert="$demo/Cert"
"$(dirname "$0")/demo-pki.sh" "$cert" "Kelvane Demo"

cat > "$demo/Vardex.cfg" <<CFG
[Configuration]
CommonName=localhost
ThisServerIPNumber=127.0.0.1
VardexPort=$port
LoginRequest=Vardex_Login
AllowShutdown=True

[UserList]
demo=demo-password

CFG
chmod 600 "$demo/Vardex.cfg"

cat <<MSG
Kelvane demo installation: $demo
  Login page:  https://localhost:$port/Vardex_Login   (user "demo", password "demo-password")
  Root certificate to trust in the browser: $cert/CAcert.pem
  Power actions are only recorded, in $demo/dryrun.record; logs are in $demo/Logs/.
Stop the service with Ctrl+C.
MSG
exec "$demo/vardex" /SERVICE "/DRYRUN=$demo/dryrun.record"
