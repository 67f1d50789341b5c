#!/usr/bin/env bash
# The service package on a real systemd: a Debian bookworm machine booted
# with systemd-nspawn (its own PID namespace, the host's network). Inside it
# the package is installed with apt, the service is configured, registered
# and started with systemctl, and a client on this side presses Reboot and
# Shutdown with the real power backend: the machine reboots (systemd-nspawn
# ends with 133) and powers off (0). Then stop, restart, a failed start, the
# start limit, an upgrade in place, removal and purge.
#
# The real power backend only ever runs inside the machine: every systemctl
# and vardex command goes through inside(), which refuses to run unless its
# target is a PID namespace other than this one, and Reboot is pressed only
# after the process serving the port has been found inside the machine.
#
#   vardex_systemd_test.sh <source folder> <cache folder>
# KELVANE_VARDEX_DEB=<file> tests that package instead of building one.
# The machine's root is made once with debootstrap and kept in the cache
# folder; each run boots a copy of it. Exit status 77: this host cannot do it.
set -uo pipefail

source_dir="${1:?usage: vardex_systemd_test.sh <source folder> <cache folder>}"
cache_dir="${2:?usage: vardex_systemd_test.sh <source folder> <cache folder>}"
pristine="$cache_dir/bookworm"
work="$cache_dir/run"
machine="$work/root"
mirror="${KELVANE_DEBIAN_MIRROR:-http://deb.debian.org/debian}"

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; passes=$((passes + 1)); }
failures=0
passes=0
started=$SECONDS

[ "$(id -u)" -eq 0 ] || skip "booting a machine with systemd-nspawn needs root"
for tool in systemd-nspawn debootstrap nsenter curl openssl; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (bash scripts/setup.sh install)"
done

# --- the machine's root, made once ------------------------------------------
mkdir -p "$cache_dir"
if [ ! -e "$pristine/.kelvane-root-complete" ]; then
  echo "== making the machine's root with debootstrap (once; a few minutes)"
  rm -rf "$pristine.new"
  if ! debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,openssl,ca-certificates \
         bookworm "$pristine.new" "$mirror" > "$cache_dir/debootstrap.log" 2>&1; then
    tail -5 "$cache_dir/debootstrap.log"
    rm -rf "$pristine.new"
    skip "debootstrap cannot make a bookworm root here (see $cache_dir/debootstrap.log)"
  fi
  echo kelvane-test > "$pristine.new/etc/hostname"
  # Nothing in the machine waits for a console login.
  ln -sf /dev/null "$pristine.new/etc/systemd/system/console-getty.service"
  ln -sf /dev/null "$pristine.new/etc/systemd/system/getty@.service"
  rm -rf "$pristine"
  mv "$pristine.new" "$pristine"
  touch "$pristine/.kelvane-root-complete"
fi

# --- the packages -----------------------------------------------------------
# KELVANE_VARDEX_DEB names a package to test instead of building one.
deb="${KELVANE_VARDEX_DEB:-}"
if [ -z "$deb" ]; then
  echo "== building the packages"
  if ! bash "$source_dir/scripts/setup.sh" package > "$cache_dir/package.log" 2>&1; then
    tail -30 "$cache_dir/package.log"
    echo "FAILED: bash scripts/setup.sh package"
    exit 1
  fi
  deb=$(ls "$source_dir"/build/package/vardex_*_*.deb 2>/dev/null | head -1)
fi
[ -n "$deb" ] || { echo "FAILED: no vardex package in build/package"; exit 1; }
echo "package: $deb (ready at $((SECONDS - started)) s)"

rm -rf "$work"
mkdir -p "$work"
cp -a "$pristine" "$machine"

nspawn_pid=""
init_pid=""
cleanup() {
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    kill -TERM "$nspawn_pid" 2>/dev/null
    wait "$nspawn_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

own_pid_ns=$(readlink /proc/self/ns/pid)

# Boots the machine and waits until systemd inside it has finished starting.
boot() {
  systemd-nspawn -D "$machine" -b --register=no --keep-unit --console=passive \
    > "$work/console.log" 2>&1 &
  nspawn_pid=$!
  init_pid=""
  local tries=0
  while [ -z "$init_pid" ] && [ $tries -lt 300 ]; do
    sleep 0.1
    tries=$((tries + 1))
    kill -0 "$nspawn_pid" 2>/dev/null || break
    # The machine's init: a descendant of systemd-nspawn that is PID 1 in its
    # own namespace.
    for pid in $(pgrep -P "$nspawn_pid") $(for child in $(pgrep -P "$nspawn_pid"); do pgrep -P "$child"; done); do
      if awk '/^NSpid:/ { exit !($NF == 1 && NF > 2) }' "/proc/$pid/status" 2>/dev/null; then
        init_pid=$pid
        break
      fi
    done
  done
  if [ -z "$init_pid" ]; then
    cat "$work/console.log"
    # The first boot tells whether systemd-nspawn can run here at all.
    [ "${1:-}" = first ] && skip "systemd-nspawn cannot boot a machine here"
    echo "FAILED: the machine did not boot"
    exit 1
  fi
  [ "$(readlink "/proc/$init_pid/ns/pid")" != "$own_pid_ns" ] || { echo "FAILED: no PID namespace of its own"; exit 1; }
  # systemctl answers once systemd has its bus up, a moment after init runs.
  local state="" tries=0
  while [ "$state" != running ] && [ "$state" != degraded ] && [ $tries -lt 100 ]; do
    state=$(inside timeout 120 systemctl is-system-running --wait 2>/dev/null)
    tries=$((tries + 1))
    [ "$state" = running ] || [ "$state" = degraded ] || sleep 0.2
  done
  [ "$state" = running ] || [ "$state" = degraded ] || { echo "FAILED: the machine did not finish booting ($state)"; exit 1; }
  echo "machine booted ($state) in PID namespace $(readlink "/proc/$init_pid/ns/pid") at $((SECONDS - started)) s"
}

# Runs a command inside the machine, and only there.
inside() {
  [ -n "$init_pid" ] && [ "$(readlink "/proc/$init_pid/ns/pid" 2>/dev/null)" != "$own_pid_ns" ] \
    || { echo "refusing to run '$*' outside the machine" >&2; return 99; }
  nsenter -t "$init_pid" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}

# Waits for systemd-nspawn to end and hands back its exit status.
await_end() {
  local seconds=$1 waited=0
  while kill -0 "$nspawn_pid" 2>/dev/null && [ $waited -lt $((seconds * 10)) ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  if kill -0 "$nspawn_pid" 2>/dev/null; then
    echo "the machine did not go down within $seconds s" >&2
    kill -TERM "$nspawn_pid"
  fi
  wait "$nspawn_pid"
  local status=$?
  nspawn_pid=""
  init_pid=""
  return $status
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

login_page() {
  curl -sS --max-time 10 --cacert "$machine/opt/kelvane/Cert/CAcert.pem" \
    --resolve "localhost:$port:127.0.0.1" "https://localhost:$port/Vardex_Login"
}
# The page is read whole first: "grep -q" would stop reading early, and with
# pipefail curl's failed write would count as a failure.
serves_login_page() { local page; page=$(login_page) && grep -q 'name="Password"' <<<"$page"; }

# Signs in and presses a button of the login page (its form posts to
# "Result_" and the login path).
press() {
  curl -sS --max-time 10 --cacert "$machine/opt/kelvane/Cert/CAcert.pem" \
    --resolve "localhost:$port:127.0.0.1" --data-urlencode "UserName=admin" \
    --data-urlencode "Password=machine-test" --data-urlencode "Action=$1" \
    "https://localhost:$port/Result_Vardex_Login"
}

is_confirmation() { grep -q '<title>KMX Confirmation</title>'; }

# The vardex processes of the machine, seen from this side (the machine has no
# pgrep of its own).
machine_vardex_pids() {
  local candidate
  for candidate in $(pgrep -x vardex); do
    if [ "$(readlink "/proc/$candidate/ns/pid")" = "$(readlink "/proc/$init_pid/ns/pid")" ]; then echo "$candidate"; fi
  done
}

unit_property() { inside systemctl show -P "$1" Vardex.service; }

# The process that serves the port is the service inside the machine, with the
# real power backend.
check_served_from_machine() {
  local pid
  pid=$(machine_vardex_pids | head -1)
  if [ -z "$pid" ]; then fail "no vardex process inside the machine"; return 1; fi
  if tr '\0' ' ' < "/proc/$pid/cmdline" | grep -qi '/DRYRUN'; then fail "the service runs with /DRYRUN"; return 1; fi
  if command -v ss >/dev/null && ! ss -ltnpH "sport = :$port" | grep -q "pid=$pid,"; then
    fail "port $port is not served by the machine's vardex ($pid)"
    return 1
  fi
  pass "port $port is served by vardex $pid in the machine's PID namespace, without /DRYRUN"
}

# --- first boot: install, configure, register, start -------------------------
echo "== first boot"
boot first
cp "$deb" "$machine/root/"
if inside apt-get install -y -q "/root/$(basename "$deb")" > "$work/apt.log" 2>&1; then
  pass "apt installs the package"
else
  tail -20 "$work/apt.log"
  fail "apt-get install"
  exit 1
fi
[ "$(stat -c %a "$machine/opt/kelvane/Cert")" = 700 ] && pass "Cert/ is private" || fail "Cert/ mode $(stat -c %a "$machine/opt/kelvane/Cert")"
[ -L "$machine/opt/kelvane/openssl" ] && pass "openssl link" || fail "no openssl link"
if [ -e "$machine/etc/systemd/system/Vardex.service" ] || [ -n "$(machine_vardex_pids)" ]; then
  fail "installing the package registered or started the service"
else
  pass "installing starts nothing"
fi
if inside dpkg-query -W -f='${Depends}' vardex | grep -qi 'qt'; then fail "the service package depends on Qt"; else pass "no Qt"; fi

port=$(free_port)
bash "$source_dir/scripts/demo-pki.sh" "$machine/opt/kelvane/Cert" "Kelvane Machine Test"
cat > "$machine/opt/kelvane/Vardex.cfg" <<CFG
[Configuration]
CommonName=localhost
ThisServerIPNumber=127.0.0.1
VardexPort=$port
LoginRequest=Vardex_Login
AllowShutdown=True

[UserList]
admin=machine-test
CFG
chmod 600 "$machine/opt/kelvane/Vardex.cfg"

inside /opt/kelvane/vardex /INSTALL && pass "vardex /INSTALL" || fail "vardex /INSTALL"
inside systemd-analyze security --no-pager Vardex.service > "$work/security.txt" 2>&1
echo "systemd-analyze security Vardex: $(grep -o 'Overall exposure level.*' "$work/security.txt")"
[ "$(inside systemctl is-enabled Vardex.service)" = enabled ] && pass "unit enabled" || fail "unit not enabled"

if inside systemctl start Vardex.service; then
  # Type=notify: start returns once the service said it is ready, and by then
  # the listener answers.
  if serves_login_page; then pass "active and serving at once after start"; else fail "no login page right after start"; fi
else
  inside journalctl -u Vardex.service --no-pager | tail -20
  fail "systemctl start Vardex"
fi
[ "$(inside systemctl is-active Vardex.service)" = active ] && pass "unit active" || fail "unit not active"

# --- Reboot with the real power backend ---------------------------------------
if check_served_from_machine; then
  page=$(press Reboot)
  is_confirmation <<<"$page" && pass "Reboot confirmed" || fail "Reboot page: $(echo "$page" | head -c 300)"
  await_end 60
  status=$?
  [ $status -eq 133 ] && pass "the machine rebooted (systemd-nspawn status 133)" || fail "systemd-nspawn ended with $status, not 133"
  # systemd took the request (systemctl reboot --force) and ran its shutdown
  # steps; the reboot(2) fallback would skip them.
  grep -q 'Rebooting\.' "$work/console.log" && pass "systemd carried out the reboot" || fail "no systemd reboot on the console"
else
  echo "not pressing Reboot: the service is not the one in the machine"
  exit 1
fi

# --- second boot: back by itself; Shutdown -------------------------------------
echo "== second boot"
boot
for _ in $(seq 50); do [ "$(inside systemctl is-active Vardex.service)" = active ] && break; sleep 0.2; done
[ "$(inside systemctl is-active Vardex.service)" = active ] && pass "service back after the reboot by itself" || fail "service not active after the reboot"
if check_served_from_machine; then
  page=$(press Shutdown)
  is_confirmation <<<"$page" && grep -q 'Prior usage was on' <<<"$page" && pass "history survived the reboot (Prior usage was on ...)" \
    || fail "no 'Prior usage' on the Shutdown page: $(echo "$page" | head -c 300)"
  await_end 60
  status=$?
  [ $status -eq 0 ] && pass "the machine powered off (status 0)" || fail "systemd-nspawn ended with $status, not 0"
  grep -q 'Powering off\.' "$work/console.log" && pass "systemd carried out the shutdown" || fail "no systemd power-off on the console"
fi

# --- third boot: stop, restart, failed start, start limit, upgrade, removal -----
echo "== third boot"
boot
for _ in $(seq 50); do [ "$(inside systemctl is-active Vardex.service)" = active ] && break; sleep 0.2; done
inside systemctl stop Vardex.service
if [ "$(inside systemctl is-active Vardex.service)" = inactive ] && ! login_page >/dev/null 2>&1; then
  pass "stop: inactive, port closed"
else
  fail "stop"
fi
inside systemctl restart Vardex.service
first_pid=$(unit_property MainPID)
inside systemctl restart Vardex.service
second_pid=$(unit_property MainPID)
if [ "$(inside systemctl is-active Vardex.service)" = active ] && [ "$first_pid" != "$second_pid" ] \
   && serves_login_page; then
  pass "restart: a new process serves"
else
  fail "restart ($first_pid -> $second_pid)"
fi

# An upgrade in place keeps configuration, certificates and logs, and
# restarts the running service.
inside apt-get install -y -q --reinstall "/root/$(basename "$deb")" > "$work/apt.log" 2>&1 || fail "apt-get install --reinstall"
third_pid=$(unit_property MainPID)
if [ "$(inside systemctl is-active Vardex.service)" = active ] && [ "$third_pid" != "$second_pid" ] \
   && [ -s "$machine/opt/kelvane/Vardex.cfg" ] && [ -s "$machine/opt/kelvane/Cert/WSScert.pem" ] \
   && ls "$machine"/opt/kelvane/Logs/History/* >/dev/null 2>&1; then
  pass "upgrade kept configuration, certificates, history, and restarted the service"
else
  fail "upgrade ($second_pid -> $third_pid)"
fi

# A broken certificate: the start fails, the unit has failed (and waits for
# its next try: Restart=on-failure), the journal says why.
cp "$machine/opt/kelvane/Cert/WSScert.pem" "$work/WSScert.pem"
echo "not a certificate" > "$machine/opt/kelvane/Cert/WSScert.pem"
if inside systemctl restart Vardex.service 2>/dev/null; then fail "a start with a broken certificate succeeded"; fi
sleep 0.5
journal=$(inside journalctl -u Vardex.service --no-pager -o cat)
if [ "$(unit_property Result)" = exit-code ] && [ "$(inside systemctl is-active Vardex.service)" != active ] \
   && grep -q 'Start-up failed: Cert not loaded' <<<"$journal"; then
  pass "broken certificate: failed, and the journal says why: $(echo "$journal" | grep -m1 'Start-up failed')"
else
  echo "$journal" | tail -5
  fail "broken certificate"
fi

# The start limit: five starts in ten minutes, then systemd refuses to run
# the program again.
start_failures() { inside journalctl -u Vardex.service --no-pager -o cat | grep -c 'Start-up failed'; }
inside systemctl reset-failed Vardex.service
for _ in $(seq 6); do inside systemctl start Vardex.service 2>/dev/null; done
runs=$(start_failures)
inside systemctl start Vardex.service 2>/dev/null && fail "a start past the limit succeeded"
if inside journalctl -u Vardex.service --no-pager -o cat | grep -q 'Start request repeated too quickly' \
   && [ "$(start_failures)" = "$runs" ] && [ "$(inside systemctl is-active Vardex.service)" = failed ]; then
  pass "start limit: systemd stops starting the program"
else
  fail "start limit"
fi

cp "$work/WSScert.pem" "$machine/opt/kelvane/Cert/WSScert.pem"
inside systemctl reset-failed Vardex.service
inside systemctl start Vardex.service && pass "starts again with the certificate restored" || fail "start after restoring"

# Removal stops the service and removes the unit; it keeps what the
# administrator made. Purging removes that too.
inside apt-get remove -y -q vardex > "$work/apt.log" 2>&1 || fail "apt-get remove"
if [ -z "$(machine_vardex_pids)" ] && [ ! -e "$machine/etc/systemd/system/Vardex.service" ] \
   && [ ! -e "$machine/etc/systemd/system/multi-user.target.wants/Vardex.service" ] \
   && [ ! -e "$machine/opt/kelvane/vardex" ] && [ -s "$machine/opt/kelvane/Vardex.cfg" ] \
   && [ -s "$machine/opt/kelvane/Cert/WSSkey.pem" ] && [ -d "$machine/opt/kelvane/Logs" ]; then
  pass "removal: stopped, unit gone, configuration, certificates and logs kept"
else
  fail "removal"
fi
inside apt-get purge -y -q vardex > "$work/apt.log" 2>&1 || fail "apt-get purge"
[ ! -e "$machine/opt/kelvane" ] && pass "purge: the installation folder is gone" || fail "purge left $(ls -A "$machine/opt/kelvane")"

inside systemctl poweroff 2>/dev/null
await_end 60
echo "the whole run took $((SECONDS - started)) s"
echo "$passes passed, $failures failed"
[ $failures -eq 0 ]
