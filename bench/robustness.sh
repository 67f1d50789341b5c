#!/usr/bin/env bash
# Load and robustness figures of one running service (release vardex on an
# installation folder, dry-run power, loopback only):
#   (a) 2000 TLS connections that send nothing, and 100 logins (login page + Reload) while they are open
#   (b) 20000 login-page requests from 50 concurrent clients
#   (c) 100 valid Reboot submissions at the same moment, checked against the logs
#   (d) a steady load for a while, with resident memory and open descriptors
#       sampled along the way
#
#   bench/robustness.sh [steady seconds, default 600] [steady requests per second, default 50]
#
# A benchmark, not a test: it prints figures, and a summary line per part that
# says whether the part's expectation held. Exit status 1 when one did not.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/installation.sh"
steady_seconds="${1:-600}"
steady_rate="${2:-50}"
port=18447
idle_connections=2000
idle_logins=100
latency_clients=50
latency_requests=20000
burst_size=100

bench_build

work="$(mktemp -d)"
sampler_pid=""
cleanup() {
  [ -n "$sampler_pid" ] && kill "$sampler_pid" 2>/dev/null || true
  bench_stop_service
  rm -rf "$work"
}
trap cleanup EXIT
folder="$work/kelvane"
bench_installation "$folder" "$port"
bench_start_service "$folder"
pid=$service_pid
verdict=0
fail() { verdict=1; echo "  ** $*"; }

# The lines of every history or error log file (none yet: no lines).
log_text() { cat "$folder"/Logs/"$1"/*.log 2>/dev/null || true; }
history_lines() { log_text History | grep -ac $'\tReboot' || true; }
busy_lines() { log_text Errors | grep -ac "was not accepted. Server is busy." || true; }
error_lines() { log_text Errors | wc -l; }

echo "vardex pid $pid on 127.0.0.1:$port, started to listening in $start_to_listen_ms ms;" \
     "idle: VmRSS $(proc_kb "$pid" VmRSS) kB, $(proc_fds "$pid") descriptors, $(proc_kb "$pid" Threads) threads"

# --- (a) -------------------------------------------------------------------
echo
echo "(a) $idle_connections idle TLS connections, $idle_logins logins (login page + Reload Configuration) while they are open"
peak_fds=0
"$bench_load" idle "$port" Vardex_Login "$bench_user" "$bench_password" "$idle_connections" "$idle_logins" \
  >"$work/idle.out" &
load_pid=$!
while kill -0 "$load_pid" 2>/dev/null; do
  fds=$(proc_fds "$pid"); [ "$fds" -gt "$peak_fds" ] && peak_fds=$fds
  sleep 0.2
done
wait "$load_pid" && status=0 || status=$?
sed 's/^/  /' "$work/idle.out"
sleep 1
echo "  service descriptors at the peak: $peak_fds; peak resident memory (VmHWM) $(proc_kb "$pid" VmHWM) kB;" \
     "VmRSS once the connections closed: $(proc_kb "$pid" VmRSS) kB, $(proc_fds "$pid") descriptors"
[ "$status" -eq 0 ] || fail "a login failed or took longer than 2 s"
held=$(awk '/idle_connections_still_open/ {print $2}' "$work/idle.out")
[ "${held:-0}" -eq "$idle_connections" ] || fail "only ${held:-0} of $idle_connections idle connections were held to the end"

# --- (b) -------------------------------------------------------------------
echo
echo "(b) $latency_requests login-page requests from $latency_clients concurrent clients, a new TLS connection each"
# Restart the peak resident memory count so that it belongs to this part.
echo 5 >"/proc/$pid/clear_refs"
"$bench_load" latency "$port" /Vardex_Login "$latency_clients" "$latency_requests" >"$work/latency.out" \
  && status=0 || status=$?
sed 's/^/  /' "$work/latency.out"
echo "  service peak resident memory (VmHWM) during (b): $(proc_kb "$pid" VmHWM) kB; VmRSS after: $(proc_kb "$pid" VmRSS) kB"
[ "$status" -eq 0 ] || fail "requests failed"

# --- (c) -------------------------------------------------------------------
echo
echo "(c) $burst_size valid Reboot submissions at the same moment"
sleep 3   # the reboot timer of (a) has fired and been recorded
history_before=$(history_lines)
busy_before=$(busy_lines)
errors_before=$(error_lines)
"$bench_load" burst "$port" Vardex_Login "$bench_user" "$bench_password" "$burst_size" >"$work/burst.out" \
  && status=0 || status=$?
sed 's/^/  /' "$work/burst.out"
read -r _ _ _ processed _ busy _ other < <(grep '^submissions' "$work/burst.out")
history_new=$(( $(history_lines) - history_before ))
busy_new=$(( $(busy_lines) - busy_before ))
other_errors=$(( $(error_lines) - errors_before - busy_new ))
echo "  logs: $history_new new history lines \"Reboot\", $busy_new new error lines \"was not accepted. Server is busy.\"," \
     "$other_errors other new error lines; $history_new + $busy_new = $((history_new + busy_new)) of $burst_size"
[ "$status" -eq 0 ] || fail "$other submissions got neither the confirmation nor the busy page"
[ "$processed" -ge 1 ] || fail "no submission was carried out"
[ "$history_new" -eq "$processed" ] || fail "history lines ($history_new) differ from confirmed submissions ($processed)"
[ "$busy_new" -eq "$busy" ] || fail "busy error lines ($busy_new) differ from busy pages ($busy)"
[ $((history_new + busy_new)) -eq "$burst_size" ] || fail "not every submission is in the logs"
if [ "$processed" -gt 1 ]; then
  echo "  $processed submissions did not overlap a running one and were carried out one after another"
fi

# --- (d) -------------------------------------------------------------------
echo
interval=60
[ "$steady_seconds" -lt 600 ] && interval=$(( steady_seconds / 10 > 5 ? steady_seconds / 10 : 5 ))
echo "(d) steady load for $steady_seconds s at $steady_rate requests/s (9 in 10 login page, 1 in 10 wrong password, refused or blocked)," \
     "sampled every $interval s"
printf '  %8s %10s %10s %6s %8s\n' "t (s)" "VmRSS kB" "VmHWM kB" fds threads
sample() { printf '  %8s %10s %10s %6s %8s\n' "$1" "$(proc_kb "$pid" VmRSS)" "$(proc_kb "$pid" VmHWM)" \
                  "$(proc_fds "$pid")" "$(proc_kb "$pid" Threads)"; }
sample 0 | tee "$work/samples"
"$bench_load" steady "$port" Vardex_Login "$bench_user" "$steady_rate" "$steady_seconds" >"$work/steady.out" &
load_pid=$!
start=$(date +%s)
next=$interval
while kill -0 "$load_pid" 2>/dev/null; do
  if [ $(( $(date +%s) - start )) -ge "$next" ]; then
    sample "$next" | tee -a "$work/samples"
    next=$(( next + interval ))
  fi
  sleep 1
done
wait "$load_pid" && status=0 || status=$?
sleep 3   # connections of the last requests have closed
sample "end" | tee -a "$work/samples"
sed 's/^/  /' "$work/steady.out"
[ "$status" -eq 0 ] || fail "requests failed during the steady load"
# Growth from the first sample taken under load to the last one (idle again).
read -r first_rss < <(awk 'NR == 2 {print $2}' "$work/samples")
read -r last_rss last_fds < <(awk 'END {print $2, $4}' "$work/samples")
read -r zero_fds < <(awk 'NR == 1 {print $4}' "$work/samples")
echo "  VmRSS: $first_rss kB at the first sample under load, $last_rss kB at the end ($(( last_rss - first_rss )) kB);" \
     "descriptors: $zero_fds before, $last_fds after"
[ "$last_fds" -le "$zero_fds" ] || fail "open descriptors grew"
# Allocator arenas settle within a few hundred kB; a leak of even 100 bytes
# per request would add several MB over the run.
[ $(( last_rss - first_rss )) -le 1024 ] || fail "resident memory grew by more than 1 MB"

echo
echo "service still running: $(kill -0 "$pid" 2>/dev/null && echo yes || echo NO);" \
     "error log lines in all: $(error_lines); dry-run record: $(sort "$folder/dryrun.record" 2>/dev/null | uniq -c | tr -s ' ' | tr '\n' ';')"
bench_stop_service
[ "$verdict" -eq 0 ] && echo "all parts held" || echo "some parts did not hold (marked **)"
exit "$verdict"
