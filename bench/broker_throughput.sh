#!/usr/bin/env bash
# Messages per second through the real broker, one publisher and one
# subscriber on loopback (QoS 1): without the plug-in, and with the plug-in
# deciding every publish and every delivery (two HTTP checks per message)
# against the benchmark's own endpoint, in both connection modes.
#   bench/broker_throughput.sh BUILD_DIR [MESSAGES] [ROUNDS]
set -euo pipefail
. "$(dirname "$0")/../scripts/common.sh"
build=$(cd "${1:?usage: bench/broker_throughput.sh BUILD_DIR [MESSAGES] [ROUNDS]}" && pwd)
messages=${2:-3000}
rounds=${3:-3}
tmp=$(mktemp -d)
server="" broker="" sub=""
stop() { for p in "$@"; do [ -n "$p" ] && { kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; }; done; }
trap 'stop "$sub" "$broker" "$server"; rm -rf "$tmp"' EXIT

"$build/bench/check_bench" --server >"$tmp/port" &
server=$!
for _ in $(seq 100); do [ -s "$tmp/port" ] && break; sleep 0.05; done
endpoint="http://127.0.0.1:$(cat "$tmp/port")"
seq "$messages" >"$tmp/lines"

wait_log() { for _ in $(seq 500); do grep -q "$1" "$tmp/broker.log" && return 0; sleep 0.01; done
             echo "broker: no '$1'" >&2; cat "$tmp/broker.log" >&2; return 1; }

# One timed run; appends messages per second to $tmp/$1.
run() {  # mode: none | fresh | keepalive
  local port
  port=$(free_port)
  {
    echo "listener $port 127.0.0.1"; echo "allow_anonymous true"; echo "persistence false"
    echo "max_queued_messages 0"  # no limit: nothing may be dropped while the subscriber catches up
    echo "user $(id -un)"; echo "log_dest stderr"; echo "log_type information"; echo "log_type subscribe"
    if [ "$1" != none ]; then
      echo "auth_plugin $build/auth_plugin.so"
      echo "auth_opt_http_user_uri $endpoint/user"; echo "auth_opt_http_acl_uri $endpoint/acl"
      [ "$1" = keepalive ] && echo "auth_opt_http_keepalive true"
    fi
  } >"$tmp/broker.conf"
  /usr/sbin/mosquitto -c "$tmp/broker.conf" >"$tmp/broker.log" 2>&1 &
  broker=$!
  wait_log " running"
  mosquitto_sub -p "$port" -i bench-sub -u bench -P bench -q 1 -t bench -C "$messages" -W 120 >"$tmp/received" &
  sub=$!
  wait_log "bench-sub 1 bench"
  local start end
  start=$(date +%s.%N)
  mosquitto_pub -p "$port" -u bench -P bench -q 1 -t bench -l <"$tmp/lines"
  wait "$sub" || true
  end=$(date +%s.%N)
  sub=""
  stop "$broker"
  broker=""
  local got
  got=$(wc -l <"$tmp/received")
  [ "$got" -eq "$messages" ] || { echo "$1: received $got of $messages messages" >&2; exit 1; }
  awk -v n="$messages" -v a="$start" -v b="$end" 'BEGIN { printf "%.0f\n", n / (b - a) }' >>"$tmp/$1"
}

for _ in $(seq "$rounds"); do
  for mode in none fresh keepalive; do run "$mode"; done
done

median() { sort -n "$tmp/$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
base=$(median none)
printf '%-36s %8s %8s   %s\n' "broker, $messages messages at QoS 1" "msg/s" "ratio" "each round"
for mode in none fresh keepalive; do
  case $mode in
    none) label="no plug-in" ;;
    fresh) label="plug-in, new connection per check" ;;
    keepalive) label="plug-in, http_keepalive true" ;;
  esac
  m=$(median "$mode")
  printf '%-36s %8s %7.3fx   %s\n' "$label" "$m" "$(awk -v a="$m" -v b="$base" 'BEGIN { print a / b }')" \
    "$(tr '\n' ' ' <"$tmp/$mode")"
done
