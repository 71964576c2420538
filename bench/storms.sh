#!/usr/bin/env bash
# Login storms through Mosquitto 2.1.2 beside the broker's own floor: 2,000
# and 10,000 clients at once, the endpoint answering in 5 and 20 ms, with
# default options and with http_keepalive; then HTTP/2 over TLS (nghttpd,
# answering at once, if installed: Debian's nghttp2-server) against HTTP/1.1
# at once; then a flood of 20,000 wrong logins while the endpoint hangs, and
# the real login after. RUNS runs of each, one line per run.
#   bench/storms.sh BUILD_DIR [RUNS]     (default 3)
set -euo pipefail
build=$(cd "${1:?usage: bench/storms.sh BUILD_DIR [RUNS]}" && pwd)
runs=${2:-3}
here=$(cd "$(dirname "$0")" && pwd)
storm=$build/bench/login_storm
v5=$build/auth_plugin_v5.so
m21=$(sed -n 's/^AUTH_PLUGIN_MOSQUITTO_21:FILEPATH=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
[ -x "$m21" ] || m21=$build/tests/mosquitto_21-prefix/src/mosquitto_21-build/src/mosquitto
[ -x "$m21" ] || { echo "no Mosquitto 2.1.2 for $build (build the tests first)" >&2; exit 1; }
run() { local label=$1; shift; for _ in $(seq "$runs"); do printf '%-36s ' "$label"; "$storm" "$m21" "$@" 2>/dev/null; done; }

for n in 2000 10000; do
  run "$n no plug-in" none 0 "$n"
  for ms in 5 20; do
    run "$n ${ms} ms default" "$v5" "$ms" "$n"
    run "$n ${ms} ms http_keepalive" "$v5" "$ms" "$n" "http_keepalive true"
  done
done

if command -v nghttpd >/dev/null; then
  scratch=$(mktemp -d)
  server=""
  trap 'rm -rf "$scratch"; [ -n "$server" ] && kill "$server" 2>/dev/null || true' EXIT
  bash "$here/../tests/make_certs.sh" "$scratch"
  mkdir "$scratch/root" && echo ok >"$scratch/root/user"
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  nghttpd --address=127.0.0.1 -d "$scratch/root" "$port" "$scratch/server.key" "$scratch/server.pem" >/dev/null 2>&1 &
  server=$!
  sleep 1
  for n in 2000 10000; do
    run "$n 0 ms HTTP/1.1 http_keepalive" "$v5" 0 "$n" "http_keepalive true"
    run "$n 0 ms HTTP/2 TLS http_version 2" "$v5" 0 "$n" "http_user_uri https://127.0.0.1:$port/user" \
      "http_cafile $scratch/ca.pem" "http_version 2"
  done
else
  echo "(no nghttpd: HTTP/2 skipped)"
fi

for _ in $(seq "$runs"); do "$storm" "$m21" "$v5" 20 20000 --flood "http_timeout_ms 1000" 2>/dev/null; done
