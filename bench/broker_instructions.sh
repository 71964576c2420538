#!/usr/bin/env bash
# The broker's user-space instructions per message under callgrind (exact and
# repeatable on a noisy machine), the setting of broker_throughput.sh: one
# publisher, one subscriber, QoS 1, two checks per message. Counted from when
# the subscriber is in and one message has passed (the publisher's login is
# counted). Without the plug-in; auth_plugin_v5.so with login rules, cache
# off, 100 rules (those for `bench` last) and 2 rules; auth_plugin.so with
# the decision cache. The kernel's work, most of the broker's time, is not
# counted.
#   bench/broker_instructions.sh BUILD_DIR [MESSAGES]
set -euo pipefail
. "$(dirname "$0")/../scripts/common.sh"
build=$(cd "${1:?usage: bench/broker_instructions.sh BUILD_DIR [MESSAGES]}" && pwd)
messages=${2:-5000}
tmp=$(mktemp -d)
endpoints=() broker="" sub=""
stop() { for p in "$@"; do [ -n "$p" ] && { kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; }; done; return 0; }
trap 'stop "$sub" "$broker" "${endpoints[@]}"; rm -rf "$tmp"' EXIT

for rules in 0 2 100; do  # 0: empty answers
  args=()
  [ "$rules" -gt 0 ] && args=(--rules "$rules")
  "$build/bench/check_bench" "${args[@]}" --server >"$tmp/rules$rules.port" 2>/dev/null &
  endpoints+=($!)
  for _ in $(seq 100); do [ -s "$tmp/rules$rules.port" ] && break; sleep 0.05; done
done
wait_log() { for _ in $(seq 1000); do grep -q "$1" "$tmp/broker.log" && return 0; sleep 0.05; done
             echo "broker: no '$1'" >&2; cat "$tmp/broker.log" >&2; return 1; }
# Inclusive instructions of the function named like $2 in the dump $1 (the
# largest of its lines: callgrind_annotate lists a function once per source
# file that its inlined code comes from).
inclusive() {
  callgrind_annotate --inclusive=yes --threshold=100 --auto=no "$1" 2>/dev/null |
    awk -v f="$2" 'index($0, f) { gsub(",", "", $1); if ($1 + 0 > n) n = $1 + 0 } END { print n + 0 }'
}

printf '%-40s %10s %8s %14s %14s\n' "broker, $messages messages at QoS 1" "instr/msg" "ratio" "plug-in/check" \
  "rules/check"
base=""
for mode in none rules100 rules2 cache; do
  port=$(free_port)
  {
    echo "listener $port 127.0.0.1"; echo "allow_anonymous true"; echo "persistence false"
    echo "max_queued_messages 0"; echo "log_dest stderr"; echo "log_type information"; echo "log_type subscribe"
    echo "user $(id -un)"  # callgrind_control needs to reach it
    case $mode in
      rules*)
        url="http://127.0.0.1:$(cat "$tmp/${mode}.port")"
        echo "plugin $build/auth_plugin_v5.so"; echo "plugin_opt_http_login_rules true" ;;
      cache)
        url="http://127.0.0.1:$(cat "$tmp/rules0.port")"
        echo "plugin $build/auth_plugin.so"; echo "plugin_opt_http_cache_ms 60000" ;;
    esac
    [ "$mode" = none ] || { echo "plugin_opt_http_user_uri $url/user"; echo "plugin_opt_http_acl_uri $url/acl"; }
  } >"$tmp/broker.conf"
  rm -f "$tmp"/callgrind.out*
  valgrind --tool=callgrind --callgrind-out-file="$tmp/callgrind.out" /usr/sbin/mosquitto -c "$tmp/broker.conf" \
    >"$tmp/broker.log" 2>&1 &
  broker=$!
  wait_log " running"
  mosquitto_sub -p "$port" -i bench-sub -u bench -P bench -q 1 -t bench -C $((messages + 1)) -W 300 >"$tmp/received" &
  sub=$!
  wait_log "bench-sub 1 bench"
  echo 0 | mosquitto_pub -p "$port" -u bench -P bench -q 1 -t bench -l
  timeout 60 callgrind_control -z "$broker" >/dev/null 2>&1
  seq "$messages" | mosquitto_pub -p "$port" -u bench -P bench -q 1 -t bench -l
  wait "$sub" || true
  sub=""
  timeout 60 callgrind_control -d "$broker" >/dev/null 2>&1
  stop "$broker"
  broker=""
  [ "$(wc -l <"$tmp/received")" -eq $((messages + 1)) ] || { echo "$mode: messages missing" >&2; exit 1; }
  dump=$(ls "$tmp"/callgrind.out.*1 | head -n 1)  # the dump after the messages
  total=$(sed -n 's/^summary: *\([0-9]*\).*/\1/p' "$dump")
  per=$((total / messages))
  [ -n "$base" ] || base=$per
  checks=$((messages * 2))
  plugin=$(inclusive "$dump" "on_acl_check(int")
  [ "$mode" = cache ] && plugin=$(inclusive "$dump" ":mosquitto_auth_acl_check")
  printf '%-40s %10d %7.2fx %14s %14s\n' "$mode" "$per" "$(awk -v a="$per" -v b="$base" 'BEGIN { print a / b }')" \
    "$([ "$mode" = none ] && echo - || echo $((plugin / checks)))" \
    "$([[ $mode = rules* ]] && echo $(($(inclusive "$dump" "src/login_rules.cpp:LoginRules::decide(") / checks)) || echo -)"
done
