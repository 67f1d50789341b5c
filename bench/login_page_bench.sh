#!/usr/bin/env bash
# Login-page throughput over TLS with a new connection per request: the
# service's HTTPS listener (bench page server) against nginx serving the same
# page with the same certificate and key, side by side in one run on loopback.
# Also prints the listener's idle memory, its time from start to listening,
# and whether logins stay fast while 2000 idle TLS connections are open.
#
#   bench/login_page_bench.sh [seconds per run] [client threads] [rounds]
#
# Installs nginx-light when missing (benchmark only; not part of the set-up).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"
seconds="${1:-8}"
threads="${2:-4}"
rounds="${3:-3}"
build="$root/build/bench"

if ! command -v nginx >/dev/null; then
  echo "bench: installing nginx-light" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq nginx-light >/dev/null
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVANE_BUILD_BENCH=ON \
  -DKELVANE_BUILD_TESTS=OFF -DKELVANE_BUILD_TOOL=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=OFF >/dev/null
cmake --build "$build" -j2 --target kelvane_bench_page_server kelvane_bench_tls_load >/dev/null

work="$(mktemp -d)"
chmod 755 "$work"
server_pid=""
nginx_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The same certificate set the service uses: a root, a server certificate for
# localhost signed by it, and the key encrypted with the fixed passphrase.
(
  cd "$work"
  openssl genrsa -out ca.key 2048 2>/dev/null
  openssl req -x509 -new -key ca.key -days 30 -subj "/CN=Bench Root" -out CAcert.pem 2>/dev/null
  openssl genrsa -aes256 -passout pass:plover -out WSSkey.pem 2048 2>/dev/null
  openssl req -new -key WSSkey.pem -passin pass:plover -subj "/CN=localhost" -out req.pem 2>/dev/null
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >ext.cnf
  openssl x509 -req -in req.pem -CA CAcert.pem -CAkey ca.key -set_serial 7 -days 30 -extfile ext.cnf \
    -out WSScert.pem 2>/dev/null
  echo plover >pass
  # A login page of the usual size.
  { echo '<html><head><title>Kelvane</title></head><body><form method="post" action="Result_Vardex_Login">'
    head -c 2400 /dev/zero | tr '\0' 'x'
    echo '</form></body></html>'; } >page.html
  chmod 644 page.html
)

mkdir -p "$work/ngx/logs"
cat >"$work/ngx/nginx.conf" <<CONF
worker_processes auto;
error_log $work/ngx/logs/error.log;
pid $work/ngx/nginx.pid;
events { worker_connections 4096; }
http {
  access_log off;
  server {
    listen 127.0.0.1:18446 ssl;
    ssl_certificate $work/WSScert.pem;
    ssl_certificate_key $work/WSSkey.pem;
    ssl_password_file $work/pass;
    ssl_protocols TLSv1.2 TLSv1.3;
    root $work;
    default_type text/html;
    location / { try_files /page.html =404; }
  }
}
CONF

load="$build/bench/kelvane_bench_tls_load"
page_server="$build/bench/kelvane_bench_page_server"

cpu_ticks() { local sum=0; for p in "$@"; do sum=$((sum + $(awk '{print $14+$15}' "/proc/$p/stat"))); done; echo "$sum"; }

start_ours() {
  local fifo="$work/ours.in"
  rm -f "$fifo"; mkfifo "$fifo"
  local t0; t0=$(date +%s%N)
  "$page_server" "$work" 18445 "$work/page.html" <"$fifo" >"$work/ours.out" 2>&1 &
  server_pid=$!
  exec 9>"$fifo"
  until grep -q listening "$work/ours.out" 2>/dev/null; do sleep 0.01; done
  start_ms=$(( ($(date +%s%N) - t0) / 1000000 ))
}
stop_ours() { exec 9>&-; wait "$server_pid" 2>/dev/null || true; server_pid=""; }

run_ours() {
  start_ours
  local t0 t1 out
  t0=$(cpu_ticks "$server_pid")
  out=$("$load" rate 18445 /Vardex_Login "$threads" "$seconds")
  t1=$(cpu_ticks "$server_pid")
  stop_ours
  echo "$out $((t1 - t0))"
}

run_nginx() {
  nginx -p "$work/ngx" -c "$work/ngx/nginx.conf" -g 'daemon off;' >/dev/null 2>&1 &
  nginx_pid=$!
  sleep 0.5
  local workers t0 t1 out
  workers=$(pgrep -P "$nginx_pid" | tr '\n' ' ')
  t0=$(cpu_ticks $workers)
  out=$("$load" rate 18446 /Vardex_Login "$threads" "$seconds")
  t1=$(cpu_ticks $workers)
  kill "$nginx_pid"; wait "$nginx_pid" 2>/dev/null || true; nginx_pid=""
  echo "$out $((t1 - t0))"
}

printf '%-6s %-8s %12s %12s %12s %14s\n' round server requests failed "req/s" "cpu ms/req"
ours_total=0; nginx_total=0
for round in $(seq 1 "$rounds"); do
  for who in ours nginx; do
    read -r _ requests _ failed _ rate ticks < <("run_$who")
    per=$(awk -v t="$ticks" -v n="$requests" 'BEGIN { printf "%.3f", n ? t * 10 / n : 0 }')
    printf '%-6s %-8s %12s %12s %12s %14s\n' "$round" "$who" "$requests" "$failed" "$rate" "$per"
    if [ "$who" = ours ]; then ours_total=$((ours_total + rate)); else nginx_total=$((nginx_total + rate)); fi
    sleep 1
  done
done
awk -v o="$ours_total" -v n="$nginx_total" 'BEGIN { printf "throughput ours/nginx: %.2f x\n", n ? o / n : 0 }'

start_ours
sleep 1
echo "listener start to listening: ${start_ms} ms"
echo "listener idle resident memory: $(awk '/VmRSS/ {print $2, $3}' "/proc/$server_pid/status")"
"$load" idle 18445 /Vardex_Login 2000 100 | sed 's/^/with idle connections: /'
echo "listener resident memory after 2000 idle connections: $(awk '/VmRSS/ {print $2, $3}' "/proc/$server_pid/status")"
stop_ours
