#!/usr/bin/env bash
# The broker during an endpoint outage: K clients each try to log in and
# publish once while the endpoint hangs (accepts, never answers), refuses
# connections, or is blackholed (connections never complete). A client that
# logged in before the outage pings the broker every 5 ms; its worst round
# trip is the broker's worst stall. Then the endpoint comes back and we time
# the first login that succeeds. Without and with http_backoff_ms.
#   bench/outage.sh BUILD_DIR [TIMEOUT_MS] [BACKOFF_MS] [K...]
set -euo pipefail
. "$(dirname "$0")/../scripts/common.sh"
build=$(cd "${1:?usage: bench/outage.sh BUILD_DIR [TIMEOUT_MS] [BACKOFF_MS] [K...]}" && pwd)
timeout_ms=${2:-1000}
backoff_ms=${3:-1000}
shift $(( $# >= 3 ? 3 : $# ))
ks=("$@")
[ ${#ks[@]} -gt 0 ] || ks=(1 8 32)
tmp=$(mktemp -d)
server="" broker="" probe=""
stop() { for p in "$@"; do [ -n "$p" ] && { kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; }; done; return 0; }
trap 'stop "$probe" "$broker" "$server"; rm -rf "$tmp"' EXIT

endpoint_port=$(free_port)
start_server() {  # the endpoint on its fixed port: answering, or with --blackhole blackholed
  : >"$tmp/server.port"
  "$build/bench/check_bench" --port "$endpoint_port" "${1:---server}" >"$tmp/server.port" 2>/dev/null &
  server=$!
  # it prints its port once it listens
  for _ in $(seq 200); do [ -s "$tmp/server.port" ] && return 0; sleep 0.01; done
  echo "endpoint did not start" >&2; exit 1
}
wait_log() { for _ in $(seq 500); do grep -q "$1" "$tmp/broker.log" && return 0; sleep 0.01; done
             echo "broker: no '$1'" >&2; cat "$tmp/broker.log" >&2; return 1; }

# One run: scenario (hang|refuse|blackhole), K, back-off (0 = off). Prints a row.
run() {
  local scenario=$1 k=$2 backoff=$3
  start_server
  port=$(free_port)
  {
    echo "listener $port 127.0.0.1"; echo "allow_anonymous true"; echo "persistence false"
    echo "user $(id -un)"; echo "log_dest stderr"; echo "log_type error"; echo "log_type warning"
    echo "plugin $build/auth_plugin.so"
    echo "plugin_opt_http_user_uri http://127.0.0.1:$endpoint_port/user"
    echo "plugin_opt_http_acl_uri http://127.0.0.1:$endpoint_port/acl"
    echo "plugin_opt_http_timeout_ms $timeout_ms"
    [ "$backoff" -gt 0 ] && echo "plugin_opt_http_backoff_ms $backoff"
  } >"$tmp/broker.conf"
  : >"$tmp/broker.log"
  /usr/sbin/mosquitto -c "$tmp/broker.conf" >>"$tmp/broker.log" 2>&1 &
  broker=$!
  for _ in $(seq 500); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.01; done
  "$build/bench/mqtt_probe" "$port" probe pw >"$tmp/probe.out" &
  probe=$!
  for _ in $(seq 500); do grep -q ready "$tmp/probe.out" && break; sleep 0.01; done
  grep -q ready "$tmp/probe.out" || { echo "probe did not log in" >&2; exit 1; }

  case $scenario in  # the outage begins
    hang) kill -USR2 "$server" ;;
    refuse) stop "$server"; server="" ;;
    blackhole) stop "$server"; server=""; start_server --blackhole ;;
  esac
  local start end pids=()
  start=$(date +%s.%N)
  for i in $(seq "$k"); do
    mosquitto_pub -p "$port" -i "pub$i" -u "user$i" -P pw -t "t/$i" -m x >/dev/null 2>&1 &
    pids+=($!)
  done
  for p in "${pids[@]}"; do wait "$p" || true; done
  end=$(date +%s.%N)
  sleep 0.2
  stop "$probe"; probe=""
  local worst
  worst=$(awk '{ print $2 }' "$tmp/probe.out" | tail -n 1)

  # The endpoint comes back; the first login that succeeds.
  case $scenario in
    hang) kill -USR2 "$server" ;;
    *) stop "$server"; server=""; start_server ;;
  esac
  local back ok_at=""
  back=$(date +%s.%N)
  for _ in $(seq 1200); do
    if mosquitto_pub -p "$port" -i back -u back -P pw -t t/back -m x >/dev/null 2>&1; then ok_at=$(date +%s.%N); break; fi
    sleep 0.05
  done
  stop "$broker" "$server"; broker="" server=""
  printf '%-10s %4s %9s %12s %10s %14s\n' "$scenario" "$k" "$( [ "$backoff" -gt 0 ] && echo "$backoff" || echo off)" "$worst" \
    "$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')" \
    "$( [ -n "$ok_at" ] && awk -v a="$back" -v b="$ok_at" 'BEGIN { printf "%.0f", (b - a) * 1000 }' || echo never)"
}

echo "http_timeout_ms $timeout_ms; worst stall = worst PINGREQ round trip of a connected client"
printf '%-10s %4s %9s %12s %10s %14s\n' scenario K backoff "worst ms" "clients s" "back after ms"
for scenario in hang refuse blackhole; do
  for k in "${ks[@]}"; do
    for backoff in 0 "$backoff_ms"; do run "$scenario" "$k" "$backoff"; done
  done
done
