#!/usr/bin/env bash
# Messages per second through the real broker, one publisher and one
# subscriber on loopback (QoS 1): without the plug-in, and with the plug-in
# deciding every publish and every delivery (two checks per message) against
# the benchmark's own endpoint: a new connection per check, http_keepalive,
# and the decision cache. Also counts the HTTP requests per message, and
# times a subscription that matches 1000 retained messages, cache cold and warm.
#   bench/broker_throughput.sh BUILD_DIR [MESSAGES] [ROUNDS]
set -euo pipefail
. "$(dirname "$0")/../scripts/common.sh"
build=$(cd "${1:?usage: bench/broker_throughput.sh BUILD_DIR [MESSAGES] [ROUNDS]}" && pwd)
messages=${2:-3000}
rounds=${3:-3}
retained=1000
tmp=$(mktemp -d)
server="" broker="" sub=""
stop() { for p in "$@"; do [ -n "$p" ] && { kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; }; done; return 0; }
trap 'stop "$sub" "$broker" "$server"; rm -rf "$tmp"' EXIT

"$build/bench/check_bench" --server >"$tmp/port" 2>"$tmp/answered" &
server=$!
for _ in $(seq 100); do [ -s "$tmp/port" ] && break; sleep 0.05; done
endpoint="http://127.0.0.1:$(cat "$tmp/port")"
seq "$messages" >"$tmp/lines"

wait_log() { for _ in $(seq 500); do grep -q "$1" "$tmp/broker.log" && return 0; sleep 0.01; done
             echo "broker: no '$1'" >&2; cat "$tmp/broker.log" >&2; return 1; }
# Requests the endpoint has answered so far.
answered() {
  local before
  before=$(wc -l <"$tmp/answered")
  kill -USR1 "$server"
  for _ in $(seq 200); do [ "$(wc -l <"$tmp/answered")" -gt "$before" ] && break; sleep 0.01; done
  tail -n 1 "$tmp/answered"
}

start_broker() {  # mode: none | fresh | keepalive | cache | cache_keepalive
  port=$(free_port)
  {
    echo "listener $port 127.0.0.1"; echo "allow_anonymous true"; echo "persistence false"
    echo "max_queued_messages 0"  # no limit: nothing may be dropped while the subscriber catches up
    echo "user $(id -un)"; echo "log_dest stderr"; echo "log_type information"; echo "log_type subscribe"
    if [ "$1" != none ]; then
      echo "plugin $build/auth_plugin.so"
      echo "plugin_opt_http_user_uri $endpoint/user"; echo "plugin_opt_http_acl_uri $endpoint/acl"
      [ "$1" = keepalive ] || [ "$1" = cache_keepalive ] && echo "plugin_opt_http_keepalive true"
      [ "$1" = cache ] || [ "$1" = cache_keepalive ] && echo "plugin_opt_http_cache_ms 60000"
    fi
  } >"$tmp/broker.conf"
  /usr/sbin/mosquitto -c "$tmp/broker.conf" >"$tmp/broker.log" 2>&1 &
  broker=$!
  wait_log " running"
}

# One timed run; appends messages per second to $tmp/$1 and requests per message to $tmp/$1.req.
run() {
  start_broker "$1"
  mosquitto_sub -p "$port" -i bench-sub -u bench -P bench -q 1 -t bench -C "$messages" -W 120 >"$tmp/received" &
  sub=$!
  wait_log "bench-sub 1 bench"
  local start end before after
  before=$(answered)
  start=$(date +%s.%N)
  mosquitto_pub -p "$port" -u bench -P bench -q 1 -t bench -l <"$tmp/lines"
  wait "$sub" || true
  end=$(date +%s.%N)
  after=$(answered)
  sub=""
  stop "$broker"
  broker=""
  local got
  got=$(wc -l <"$tmp/received")
  [ "$got" -eq "$messages" ] || { echo "$1: received $got of $messages messages" >&2; exit 1; }
  awk -v n="$messages" -v a="$start" -v b="$end" 'BEGIN { printf "%.0f\n", n / (b - a) }' >>"$tmp/$1"
  awk -v n="$messages" -v a="$before" -v b="$after" 'BEGIN { printf "%.4f\n", (b - a) / n }' >>"$tmp/$1.req"
}

modes="none fresh keepalive cache"
for _ in $(seq "$rounds"); do
  for mode in $modes; do run "$mode"; done
done

median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
label() {
  case $1 in
    none) echo "no plug-in" ;;
    fresh) echo "plug-in, new connection per check" ;;
    keepalive) echo "plug-in, http_keepalive true" ;;
    cache) echo "plug-in, http_cache_ms 60000" ;;
    cache_keepalive) echo "plug-in, cache and keepalive" ;;
  esac
}
base=$(median "$tmp/none")
printf '%-36s %8s %8s %9s   %s\n' "broker, $messages messages at QoS 1" "msg/s" "ratio" "req/msg" "each round"
for mode in $modes; do
  m=$(median "$tmp/$mode")
  req=$( [ "$mode" = none ] && echo "-" || median "$tmp/$mode.req")
  printf '%-36s %8s %7.3fx %9s   %s\n' "$(label "$mode")" "$m" "$(awk -v a="$m" -v b="$base" 'BEGIN { print a / b }')" \
    "$req" "$(tr '\n' ' ' <"$tmp/$mode")"
done

# A subscription matching $retained retained messages: the broker asks a read
# check for each. Timed twice with the same client: cold, then warm.
echo
printf '%-36s %10s %10s\n' "subscribe to $retained retained messages" "cold ms" "warm ms"
for mode in fresh keepalive cache cache_keepalive; do
  start_broker "$mode"
  seq "$retained" | xargs -P 8 -I{} mosquitto_pub -p "$port" -u bench -P bench -r -t "bench/r/{}" -m "v{}"
  times=()
  for _ in cold warm; do
    start=$(date +%s.%N)
    mosquitto_sub -p "$port" -i bench-ret -u bench -P bench -t 'bench/r/#' -C "$retained" -W 60 >"$tmp/ret"
    end=$(date +%s.%N)
    [ "$(wc -l <"$tmp/ret")" -eq "$retained" ] || { echo "$mode: retained messages missing" >&2; exit 1; }
    times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.0f", (b - a) * 1000 }')")
  done
  stop "$broker"
  broker=""
  printf '%-36s %10s %10s\n' "$(label "$mode")" "${times[0]}" "${times[1]}"
done
