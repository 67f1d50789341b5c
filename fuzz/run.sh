#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time, starting from
# its seed corpus in fuzz/corpus/<target>/. New inputs go to
# build/fuzz/corpus/<target>/ (the committed seeds stay as they are), crash
# inputs to build/fuzz/crashes/<target>/. Prints the executions per target and
# the crashes found; exit status 1 when there was one.
#
#   fuzz/run.sh [seconds per target, default 60] [target...]
#
# Installs clang and its runtime libraries when missing (fuzzing only; not
# part of the set-up).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(ini_file config_reload request_fields template_decoding cert_text http_response)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
missing=()
for package in clang libclang-rt-14-dev; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "fuzz: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -qq && as_root apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cd "$root"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 >/dev/null

build="$root/build/fuzz"
crashes_total=0
printf '%-18s %12s %10s %8s %8s\n' target executions "exec/s" corpus crashes
for target in "${targets[@]}"; do
  work="$build/corpus/$target"
  artifacts="$build/crashes/$target"
  rm -rf "$artifacts"
  mkdir -p "$work" "$artifacts"
  # The fuzzer works on a copy, so it never writes into the committed seeds.
  cp -n "$here/corpus/$target"/* "$work"/
  log="$build/$target.log"
  status=0
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$work" >"$log" 2>&1 || status=$?
  executions=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
  rate=$(awk '/stat::average_exec_per_sec/ {print $2}' "$log")
  corpus=$(find "$work" -type f | wc -l)
  crashes=$(find "$artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  if [ "$status" -ne 0 ] && [ "$crashes" -eq 0 ]; then crashes=1; fi
  crashes_total=$((crashes_total + crashes))
  printf '%-18s %12s %10s %8s %8s\n' "$target" "${executions:-?}" "${rate:-?}" "$corpus" "$crashes"
  if [ "$crashes" -gt 0 ]; then
    echo "  see $log and $artifacts/"
    grep -m 3 -E 'ERROR|runtime error|SUMMARY' "$log" | sed 's/^/  /' || true
  fi
done
echo "crashes found: $crashes_total"
[ "$crashes_total" -eq 0 ]
