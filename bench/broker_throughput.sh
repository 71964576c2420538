#!/usr/bin/env bash
# Messages per second through the real broker, one publisher and one
# subscriber on loopback (QoS 1): without the plug-in, and with the plug-in
# deciding every publish and every delivery (two checks per message) against
# the benchmark's own endpoint: a new connection per check, http_keepalive,
# and the decision cache; and auth_plugin_v5.so with http_login_rules true,
# cache off, its endpoint answering each login with 100 rules (those for the
# benchmark's topic last), so that the rules decide every check. Counts the
# HTTP requests per message, the broker's CPU time per message, and over each
# broker's life the logins asked per client and the access requests. Then times a subscription that matches 1000
# retained messages, cache cold and warm.
#   [MODES="none rules ..."] bench/broker_throughput.sh BUILD_DIR [MESSAGES] [ROUNDS]
# MODES: the timed modes, in each round's order (none is the reference and
# always runs); MESSAGES: at most about 30000, as Mosquitto 2.0.11 drops a
# subscriber that far behind ("out of memory") whatever max_queued_messages.
set -euo pipefail
. "$(dirname "$0")/../scripts/common.sh"
build=$(cd "${1:?usage: bench/broker_throughput.sh BUILD_DIR [MESSAGES] [ROUNDS]}" && pwd)
messages=${2:-3000}
rounds=${3:-3}
retained=1000
tmp=$(mktemp -d)
server="" rules_server="" broker="" sub=""
stop() { for p in "$@"; do [ -n "$p" ] && { kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; }; done; return 0; }
trap 'stop "$sub" "$broker" "$server" "$rules_server"; rm -rf "$tmp"' EXIT

# Two endpoints: empty 200s, and one that answers logins with rules. Each
# prints its port to NAME.port, and "answered logins" to NAME.answered on SIGUSR1.
start_endpoint() {  # NAME [check_bench options]
  local name=$1
  shift
  "$build/bench/check_bench" "$@" --server >"$tmp/$name.port" 2>"$tmp/$name.answered" &
}
start_endpoint plain
server=$!
start_endpoint rules --rules 100
rules_server=$!
for name in plain rules; do
  for _ in $(seq 100); do [ -s "$tmp/$name.port" ] && break; sleep 0.05; done
  [ -s "$tmp/$name.port" ] || { echo "endpoint $name did not start" >&2; exit 1; }
done
seq "$messages" >"$tmp/lines"

wait_log() { for _ in $(seq 500); do grep -q "$1" "$tmp/broker.log" && return 0; sleep 0.01; done
             echo "broker: no '$1'" >&2; cat "$tmp/broker.log" >&2; return 1; }
# "requests logins" answered so far by the endpoint of mode $1.
answered() {
  local name=plain pid=$server before
  [ "$1" = rules ] && name=rules pid=$rules_server
  before=$(wc -l <"$tmp/$name.answered")
  kill -USR1 "$pid"
  for _ in $(seq 200); do [ "$(wc -l <"$tmp/$name.answered")" -gt "$before" ] && break; sleep 0.01; done
  [ "$(wc -l <"$tmp/$name.answered")" -gt "$before" ] || { echo "endpoint $name: no count" >&2; exit 1; }
  tail -n 1 "$tmp/$name.answered"
}

start_broker() {  # mode: none | fresh | keepalive | cache | cache_keepalive | rules
  port=$(free_port)
  local plain rules
  plain="http://127.0.0.1:$(cat "$tmp/plain.port")" rules="http://127.0.0.1:$(cat "$tmp/rules.port")"
  {
    echo "listener $port 127.0.0.1"; echo "allow_anonymous true"; echo "persistence false"
    echo "max_queued_messages 0"  # no limit: nothing may be dropped while the subscriber catches up
    echo "user $(id -un)"; echo "log_dest stderr"; echo "log_type information"; echo "log_type subscribe"
    if [ "$1" = rules ]; then  # no cache, no keep-alive: only the rules spare requests
      echo "plugin $build/auth_plugin_v5.so"
      echo "plugin_opt_http_user_uri $rules/user"; echo "plugin_opt_http_acl_uri $rules/acl"
      echo "plugin_opt_http_login_rules true"
    elif [ "$1" != none ]; then
      echo "plugin $build/auth_plugin.so"
      echo "plugin_opt_http_user_uri $plain/user"; echo "plugin_opt_http_acl_uri $plain/acl"
      [ "$1" = keepalive ] || [ "$1" = cache_keepalive ] && echo "plugin_opt_http_keepalive true"
      [ "$1" = cache ] || [ "$1" = cache_keepalive ] && echo "plugin_opt_http_cache_ms 60000"
    fi
  } >"$tmp/broker.conf"
  /usr/sbin/mosquitto -c "$tmp/broker.conf" >"$tmp/broker.log" 2>&1 &
  broker=$!
  wait_log " running"
}

# One timed run; appends messages per second to $tmp/$1, requests per
# message to $tmp/$1.req, the broker's CPU µs per message to $tmp/$1.cpu; over the broker's whole life, logins asked per
# client (two clients) to $tmp/$1.logins and access requests to $tmp/$1.access.
run() {
  local first last
  first=$(answered "$1")
  start_broker "$1"
  mosquitto_sub -p "$port" -i bench-sub -u bench -P bench -q 1 -t bench -C "$messages" -W 120 >"$tmp/received" &
  sub=$!
  wait_log "bench-sub 1 bench"
  local start end before after ticks
  # The broker's user and system time, in clock ticks, over the timed part:
  # less noisy than the rate on a shared machine.
  ticks=$(awk '{ print $14 + $15 }' "/proc/$broker/stat")
  before=$(answered "$1")
  start=$(date +%s.%N)
  mosquitto_pub -p "$port" -u bench -P bench -q 1 -t bench -l <"$tmp/lines"
  wait "$sub" || true
  end=$(date +%s.%N)
  after=$(answered "$1")
  ticks=$(awk -v t="$ticks" '{ print $14 + $15 - t }' "/proc/$broker/stat")
  sub=""
  stop "$broker"
  broker=""
  last=$(answered "$1")
  local got
  got=$(wc -l <"$tmp/received")
  [ "$got" -eq "$messages" ] || { echo "$1: received $got of $messages messages" >&2; exit 1; }
  awk -v n="$messages" -v a="$start" -v b="$end" 'BEGIN { printf "%.0f\n", n / (b - a) }' >>"$tmp/$1"
  awk -v n="$messages" -v t="$ticks" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.1f\n", t / hz * 1e6 / n }' >>"$tmp/$1.cpu"
  awk -v n="$messages" -v a="${before%% *}" -v b="${after%% *}" 'BEGIN { printf "%.4f\n", (b - a) / n }' >>"$tmp/$1.req"
  echo "$first $last" | awk '{ printf "%.2f\n", ($4 - $2) / 2 }' >>"$tmp/$1.logins"
  echo "$first $last" | awk '{ print ($3 - $1) - ($4 - $2) }' >>"$tmp/$1.access"
}

modes="none $(echo "${MODES:-fresh keepalive cache rules}" | tr ' ' '\n' | grep -vx none | tr '\n' ' ')"
for mode in $modes; do
  case $mode in none | fresh | keepalive | cache | cache_keepalive | rules) ;; *) echo "unknown mode $mode" >&2; exit 2 ;; esac
done
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
    rules) echo "v5, login rules, cache off" ;;
  esac
}
# Logins per client and access requests: every round's value, each once.
distinct() { sort -nu "$1" | paste -sd/; }
base=$(median "$tmp/none")
printf '%-36s %8s %8s %11s %9s %13s %15s   %s\n' "broker, $messages messages at QoS 1" "msg/s" "ratio" \
  "CPU µs/msg" "req/msg" "logins/client" "access requests" "each round (msg/s)"
for mode in $modes; do
  m=$(median "$tmp/$mode")
  req=- logins=- access=-
  [ "$mode" = none ] || { req=$(median "$tmp/$mode.req"); logins=$(distinct "$tmp/$mode.logins"); access=$(distinct "$tmp/$mode.access"); }
  printf '%-36s %8s %7.3fx %10s %9s %13s %15s   %s\n' "$(label "$mode")" "$m" \
    "$(awk -v a="$m" -v b="$base" 'BEGIN { print a / b }')" "$(median "$tmp/$mode.cpu")" "$req" "$logins" "$access" "$(tr '\n' ' ' <"$tmp/$mode")"
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
