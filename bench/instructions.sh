#!/usr/bin/env bash
# User-space instructions per check under callgrind (exact and repeatable on
# a noisy machine), next to the bare libcurl loop and the plain-socket floor.
#   bench/instructions.sh BUILD_DIR [COUNT]
set -euo pipefail
build=${1:?usage: bench/instructions.sh BUILD_DIR [COUNT]}
count=${2:-200}
bench=$build/bench/check_bench
tmp=$(mktemp -d)
"$bench" --server >"$tmp/port" &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null; rm -rf "$tmp"' EXIT
for _ in $(seq 100); do [ -s "$tmp/port" ] && break; sleep 0.05; done
port=$(cat "$tmp/port")

printf '%-36s %14s %10s\n' "variant ($count requests each)" "instr/check" "vs libcurl"
base=""
for variant in "floor" "bare libcurl" "credential check" "access check" "credential, keepalive" "access, keepalive"; do
  valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$tmp/out" \
    "$bench" --instructions "$variant" --port "$port" --count "$count" >/dev/null 2>"$tmp/log"
  total=$(sed -n 's/^totals: *\([0-9]*\).*/\1/p' "$tmp/out")
  per=$((total / count))
  [ "$variant" = "bare libcurl" ] && base=$per
  ratio=""
  [ -n "$base" ] && ratio=$(awk -v a="$per" -v b="$base" 'BEGIN { printf "%.3fx", a / b }')
  printf '%-36s %14d %10s\n' "$variant" "$per" "$ratio"
done
