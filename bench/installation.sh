# Shared by the benchmark scripts (source it): builds the release service and
# the load tool, lays out an installation folder and runs the service on it.
#
#   bench_build                          cmake preset "bench" (release, no tool, no tests)
#   bench_installation <folder> <port>   installation folder: programs, pages,
#                                        a test PKI, Vardex.cfg with user
#                                        "bench" / "bench-password" on 127.0.0.1
#   bench_start_service <folder>         starts vardex /SERVICE /DRYRUN in the
#                                        background; sets service_pid and
#                                        start_to_listen_ms
#   bench_stop_service                   SIGTERM and wait

bench_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bench_build_dir="$bench_root/build/bench"
bench_load="$bench_build_dir/bench/kelvane_bench_tls_load"
bench_user=bench
bench_password=bench-password
service_pid=""
service_port=""
start_to_listen_ms=""

bench_build() {
  (cd "$bench_root" && cmake --preset bench >/dev/null && cmake --build --preset bench -j2 >/dev/null)
}

bench_installation() {
  local folder="$1" port="$2"
  rm -rf "$folder"
  cmake --install "$bench_build_dir" --prefix "$folder" >/dev/null
  "$(dirname "${BASH_SOURCE[0]}")/../scripts/demo-pki.sh" "$folder/Cert" "Kelvane Bench"
  cat >"$folder/Vardex.cfg" <<CFG
[Configuration]
CommonName=localhost
ThisServerIPNumber=127.0.0.1
VardexPort=$port
LoginRequest=Vardex_Login
AllowShutdown=False

[UserList]
$bench_user=$bench_password

CFG
  chmod 600 "$folder/Vardex.cfg"
}

# Milliseconds since the epoch.
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

bench_start_service() {
  local folder="$1"
  service_port="$(awk -F= '/^VardexPort=/ {print $2}' "$folder/Vardex.cfg")"
  local t0
  t0=$(now_ms)
  "$folder/vardex" /SERVICE "/DRYRUN=$folder/dryrun.record" >"$folder/service.out" 2>&1 &
  service_pid=$!
  if ! "$bench_load" listening "$service_port" 20; then
    echo "bench: the service did not start listening on port $service_port:" >&2
    cat "$folder/service.out" >&2
    cat "$folder"/Logs/Errors/*.log >&2 2>/dev/null || true
    return 1
  fi
  start_to_listen_ms=$(( $(now_ms) - t0 ))
}

bench_stop_service() {
  if [ -n "$service_pid" ]; then
    kill -TERM "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
    service_pid=""
  fi
}

# A field of /proc/<pid>/status in kB.
proc_kb() { awk -v key="$2:" '$1 == key {print $2}' "/proc/$1/status"; }
proc_fds() { find "/proc/$1/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l; }

# nginx beside the service, as a normal process from a prefix folder of its
# own (never the system service), serving the service's own login page with
# its certificate and key (passphrase and all) on 127.0.0.1:<nginx port>.
#
#   bench_need_nginx                  installs nginx when missing (only the
#                                     benchmarks need it) and stops the system
#                                     service that Debian's package starts, so
#                                     that port 80 stays free
#   bench_nginx_prefix <prefix> <installation folder> <nginx port>
#                      (starts the service once to fetch its login page)
#   bench_start_nginx <prefix> <nginx port>   sets nginx_pid
#   bench_stop_nginx
nginx_pid=""

bench_need_nginx() {
  command -v nginx >/dev/null && return
  echo "bench: installing nginx" >&2
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nginx >/dev/null
  "${sudo[@]}" systemctl disable --now nginx >/dev/null 2>&1 || "${sudo[@]}" service nginx stop >/dev/null 2>&1 || true
}

bench_nginx_prefix() {
  local prefix="$1" folder="$2" nginx_port="$3"
  bench_start_service "$folder"
  mkdir -p "$prefix/logs" "$prefix/www" "$prefix/tmp"
  curl -sf --cacert "$folder/Cert/CAcert.pem" "https://localhost:$service_port/Vardex_Login" -o "$prefix/www/page.html"
  bench_stop_service
  echo plover >"$prefix/pass"
  chmod -R a+rX "$prefix"
  cat >"$prefix/nginx.conf" <<CONF
worker_processes auto;
worker_rlimit_nofile 16384;
error_log $prefix/logs/error.log;
pid $prefix/nginx.pid;
events { worker_connections 8192; }
http {
  access_log off;
  client_body_temp_path $prefix/tmp;
  proxy_temp_path $prefix/tmp;
  fastcgi_temp_path $prefix/tmp;
  uwsgi_temp_path $prefix/tmp;
  scgi_temp_path $prefix/tmp;
  server {
    listen 127.0.0.1:$nginx_port ssl;
    ssl_certificate $folder/Cert/WSScert.pem;
    ssl_certificate_key $folder/Cert/WSSkey.pem;
    ssl_password_file $prefix/pass;
    ssl_protocols TLSv1.2 TLSv1.3;
    root $prefix/www;
    default_type "text/html; charset=ISO-8859-1";
    location / { try_files /page.html =404; }
  }
}
CONF
}

bench_start_nginx() {
  nginx -p "$1" -c "$1/nginx.conf" -g 'daemon off;' >/dev/null 2>&1 &
  nginx_pid=$!
  "$bench_load" listening "$2" 10
  sleep 0.3
}

bench_stop_nginx() {
  if [ -n "$nginx_pid" ]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
    nginx_pid=""
  fi
}
