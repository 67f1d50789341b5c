#!/usr/bin/env bash
# Login-page throughput over TLS with a new connection per request: the
# service (release vardex on an installation folder, dry-run power) against
# nginx serving the same page with the same certificate and key, side by side
# in one run on loopback. Also prints the service's idle resident memory and
# its time from process start to listening.
#
#   bench/login_page_bench.sh [seconds per run] [client threads] [rounds]
#
# Installs nginx when missing (benchmarks only).
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/installation.sh"
seconds="${1:-8}"
threads="${2:-4}"
rounds="${3:-3}"
port=18445
nginx_port=18446

bench_need_nginx
bench_build

work="$(mktemp -d)"
chmod 755 "$work"
cleanup() {
  bench_stop_service
  bench_stop_nginx
  rm -rf "$work"
}
trap cleanup EXIT

folder="$work/kelvane"
bench_installation "$folder" "$port"

bench_nginx_prefix "$work/ngx" "$folder" "$nginx_port"

cpu_ticks() { local sum=0; for p in "$@"; do sum=$((sum + $(awk '{print $14+$15}' "/proc/$p/stat"))); done; echo "$sum"; }

run_ours() {
  bench_start_service "$folder"
  local t0 t1 out
  t0=$(cpu_ticks "$service_pid")
  out=$("$bench_load" rate "$port" /Vardex_Login "$threads" "$seconds")
  t1=$(cpu_ticks "$service_pid")
  bench_stop_service
  echo "$out $((t1 - t0))"
}

run_nginx() {
  bench_start_nginx "$work/ngx" "$nginx_port"
  local workers t0 t1 out
  workers=$(pgrep -P "$nginx_pid" | tr '\n' ' ')
  t0=$(cpu_ticks $workers)
  out=$("$bench_load" rate "$nginx_port" /Vardex_Login "$threads" "$seconds")
  t1=$(cpu_ticks $workers)
  bench_stop_nginx
  echo "$out $((t1 - t0))"
}

echo "login page over TLS, a new connection per request, $threads client threads, ${seconds} s per run"
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
awk -v o="$ours_total" -v n="$nginx_total" -v r="$rounds" \
  'BEGIN { printf "mean req/s: vardex %.0f, nginx %.0f; throughput vardex/nginx: %.2f x (goal >= 1.0)\n", o / r, n / r, n ? o / n : 0 }'

# Start-up and idle memory of a fresh service process.
starts=()
for _ in 1 2 3; do
  bench_start_service "$folder"
  starts+=("$start_to_listen_ms")
  bench_stop_service
done
bench_start_service "$folder"
starts+=("$start_to_listen_ms")
sleep 2
rss=$(proc_kb "$service_pid" VmRSS)
reserve_kb=$(( 10 * 204800 / 1024 ))
goal_kb=$(( reserve_kb + 8 * 1024 ))
echo "vardex process start to listening: ${starts[*]} ms (4 starts)"
echo "vardex idle resident memory: $rss kB (goal: under the memory reserve $reserve_kb kB + 8 MB = $goal_kb kB)"
echo "vardex idle threads: $(proc_kb "$service_pid" Threads), open descriptors: $(proc_fds "$service_pid")"
bench_stop_service
