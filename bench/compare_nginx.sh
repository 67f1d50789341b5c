#!/usr/bin/env bash
# vardex against nginx, side by side on loopback in one run, the same login
# page, certificate and key (nginx runs as a normal process from a temporary
# prefix with its own configuration, never as the system service):
#
#   - login-page requests per second and the ratio vardex/nginx, with a new
#     TLS connection per request, without and with session resumption
#     (tickets, as browsers do);
#   - resident memory when idle, and per idle TLS connection: RSS growth over
#     <idle> handshaken connections that send nothing, divided by <idle>
#     (nginx: master and workers together);
#   - the login defence's cost: login-page requests per second and a correct
#     login's time (login page, then the form) while 1,000 wrong guesses
#     arrive over 20 connections from 127.0.0.2, for this tree and for the
#     commit before the login defence was merged (built once in its own
#     worktree under /tmp, release preset "bench").
#
# Every figure is the median of <rounds> rounds (at least 3); within a round
# the two programs take turns. Figures only mean something on a quiet
# machine: nothing here asserts a timing.
#
#   bench/compare_nginx.sh [seconds per run] [client threads] [rounds] [idle connections]
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/installation.sh"
seconds="${1:-5}"
threads="${2:-4}"
rounds="${3:-3}"
idle="${4:-2000}"
[ "$rounds" -ge 3 ] || { echo "compare_nginx: at least 3 rounds" >&2; exit 2; }
port=18445
nginx_port=18446
guesses=1000
flood_clients=20

bench_need_nginx
ulimit -n "$(ulimit -Hn)"

# The commit before the merge of the login defence, built in its own worktree.
before_dir="${KELVANE_BEFORE_DEFENCE_DIR:-/tmp/kelvane-before-defence}"
before_merge="$(git -C "$bench_root" log --merges --format='%H %s' | awk '/Merge the login defence/ {print $1; exit}')"
if [ -z "$before_merge" ]; then
  echo "compare_nginx: no merge of the login defence in the history" >&2
  exit 2
fi
if [ ! -d "$before_dir" ]; then
  git -C "$bench_root" worktree add --detach "$before_dir" "${before_merge}^1" >/dev/null
fi

echo "compare_nginx: building (release)" >&2
bench_build
(cd "$before_dir" && cmake --preset bench >/dev/null && cmake --build --preset bench -j2 >/dev/null)

work="$(mktemp -d)"
chmod 755 "$work"
hold_pid=""
cleanup() {
  bench_stop_service
  [ -n "$hold_pid" ] && kill "$hold_pid" 2>/dev/null || true
  bench_stop_nginx
  rm -rf "$work"
}
trap cleanup EXIT

folder="$work/kelvane"
before_folder="$work/before"
bench_installation "$folder" "$port"
bench_build_dir="$before_dir/build/bench" bench_installation "$before_folder" "$port"
cp "$folder"/Cert/*.pem "$before_folder/Cert/"

bench_nginx_prefix "$work/ngx" "$folder" "$nginx_port"

# Resident memory in kB of a process and its children.
tree_rss() {
  local sum=0 p
  for p in "$1" $(pgrep -P "$1" || true); do sum=$((sum + $(proc_kb "$p" VmRSS))); done
  echo "$sum"
}

# Starts the server <who> (ours, nginx, before), runs the rest of the line
# against its port, stops it.
with_server() {
  local who="$1"
  shift
  case "$who" in
    ours) bench_start_service "$folder"; "$@" "$port"; bench_stop_service ;;
    before) bench_start_service "$before_folder"; "$@" "$port"; bench_stop_service ;;
    nginx) bench_start_nginx "$work/ngx" "$nginx_port"; "$@" "$nginx_port"; bench_stop_nginx ;;
  esac
}

# Requests per second; <resume> is empty or "resume".
rate() { "$bench_load" rate "$2" /Vardex_Login "$threads" "$seconds" $1 | awk '{print $6}'; }

# "<idle kB> <kB per idle connection> <connections held>"
idle_memory() {
  local target_port="$1" pid="${service_pid:-$nginx_pid}"
  sleep 1
  local before after
  before=$(tree_rss "$pid")
  rm -f "$work/hold.in" "$work/hold.out"
  mkfifo "$work/hold.in"
  "$bench_load" hold "$target_port" "$idle" 4 <"$work/hold.in" >"$work/hold.out" &
  hold_pid=$!
  exec 9>"$work/hold.in"
  local waited=0
  until grep -q '^held' "$work/hold.out" 2>/dev/null; do
    sleep 0.2
    waited=$((waited + 1))
    [ "$waited" -lt 600 ] || break
  done
  sleep 0.5
  after=$(tree_rss "$pid")
  exec 9>&-
  wait "$hold_pid" 2>/dev/null || true
  hold_pid=""
  local held
  held=$(awk '/^held/ {print $2}' "$work/hold.out")
  awk -v b="$before" -v a="$after" -v n="${held:-0}" 'BEGIN { printf "%d %.1f %d\n", b, n ? (a - b) / n : 0, n }'
}

# "<login-page req/s> <correct login ms under the flood> <login ok>"
defence_cost() {
  local target_port="$1" r f
  r=$(rate "" "$target_port")
  f=$("$bench_load" flood "$target_port" Vardex_Login "$bench_user" "$bench_password" "$guesses" "$flood_clients" \
      127.0.0.2 || true)
  echo "$r $(awk '{print $10, $8}' <<<"$f")"
}

median() { sort -g | awk '{v[NR] = $1} END { if (NR == 0) print 0; else print v[int((NR + 1) / 2)] }'; }

declare -A figures
add() { figures[$1]+="$2"$'\n'; }

for round in $(seq 1 "$rounds"); do
  echo "compare_nginx: round $round of $rounds" >&2
  for who in ours nginx; do
    add "rate_$who" "$(with_server "$who" rate "")"
    add "resume_$who" "$(with_server "$who" rate resume)"
    read -r idle_kb per_kb held < <(with_server "$who" idle_memory)
    add "idle_$who" "$idle_kb"
    add "per_$who" "$per_kb"
    add "held_$who" "$held"
  done
  for who in ours before; do
    read -r page_rate login_ms login_ok < <(with_server "$who" defence_cost)
    add "page_$who" "$page_rate"
    add "login_$who" "$login_ms"
    add "loginok_$who" "$login_ok"
    sleep 2
  done
done

m() { printf '%s' "${figures[$1]}" | median; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b ? a / b : 0 }'; }
echo
echo "vardex against nginx: medians of $rounds rounds, ${seconds} s per run, $threads client threads"
printf '%-44s %12s %12s %10s\n' "" vardex nginx ratio
printf '%-44s %12s %12s %10s\n' "login page req/s, new TLS session each" "$(m rate_ours)" "$(m rate_nginx)" \
  "$(ratio "$(m rate_ours)" "$(m rate_nginx)")"
printf '%-44s %12s %12s %10s\n' "login page req/s, resumed TLS session" "$(m resume_ours)" "$(m resume_nginx)" \
  "$(ratio "$(m resume_ours)" "$(m resume_nginx)")"
printf '%-44s %12s %12s %10s\n' "idle RSS, kB" "$(m idle_ours)" "$(m idle_nginx)" \
  "$(ratio "$(m idle_ours)" "$(m idle_nginx)")"
printf '%-44s %12s %12s %10s\n' "RSS per idle TLS connection, kB (of $idle)" "$(m per_ours)" "$(m per_nginx)" \
  "$(ratio "$(m per_ours)" "$(m per_nginx)")"
printf '%-44s %12s %12s\n' "idle connections held (median)" "$(m held_ours)" "$(m held_nginx)"
echo
echo "login defence's cost ($guesses wrong guesses over $flood_clients connections from 127.0.0.2)"
printf '%-44s %12s %12s %10s\n' "" now before ratio
printf '%-44s %12s %12s %10s\n' "login page req/s, new TLS session each" "$(m page_ours)" "$(m page_before)" \
  "$(ratio "$(m page_ours)" "$(m page_before)")"
printf '%-44s %12s %12s\n' "correct login under the flood, ms" "$(m login_ours)" "$(m login_before)"
printf '%-44s %12s %12s\n' "correct logins that succeeded (of $rounds)" \
  "$(printf '%s' "${figures[loginok_ours]}" | awk '{s += $1} END {print s}')" \
  "$(printf '%s' "${figures[loginok_before]}" | awk '{s += $1} END {print s}')"
echo "(before = ${before_merge:0:7}^1, the commit before the login defence was merged)"
