#!/usr/bin/env bash
# Logins and reloads at scale, through the real brokers, side by side in one
# run: Debian's 2.0.11 and 2.1.2 (built by the tests), the version-5 library
# with its options off and on. Keep-alive on; prints one line per case.
#   bench/login_storm.sh BUILD_DIR [CLIENTS...]     (default 200 2000)
# Then a login beside another packet, logins waiting on a hung endpoint, a
# flood while it hangs and the real login after, and commands (http_control)
# with 10000 clients connected.
set -euo pipefail
build=$(cd "${1:?usage: bench/login_storm.sh BUILD_DIR [CLIENTS...]}" && pwd)
shift
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(200 2000)
storm=$build/bench/login_storm
v5=$build/auth_plugin_v5.so
m20=/usr/sbin/mosquitto
m21=$build/tests/mosquitto_21-prefix/src/mosquitto_21-build/src/mosquitto
# or the one the tree was given (scripts/test builds one for all its trees)
given=$(sed -n 's/^AUTH_PLUGIN_MOSQUITTO_21:FILEPATH=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
[ -n "$given" ] && m21=$given
[ -x "$m21" ] || { echo "no Mosquitto 2.1.2 in $build (build the tests first)" >&2; exit 1; }

echo "== logins: all clients connect at once (cache on, entries new)"
for n in "${counts[@]}"; do
  printf '2.1.2  no plug-in       '; "$storm" "$m21" none 0 "$n" 2>/dev/null
  for ms in 0 5 20; do
    printf '2.0.11 synchronous      '; "$storm" "$m20" "$v5" "$ms" "$n" "http_keepalive true" "http_cache_ms 60000" 2>/dev/null
    printf '2.1.2  async logins off '; "$storm" "$m21" "$v5" "$ms" "$n" "http_keepalive true" "http_cache_ms 60000" "http_async_logins false" 2>/dev/null
    printf '2.1.2  async logins on  '; "$storm" "$m21" "$v5" "$ms" "$n" "http_keepalive true" "http_cache_ms 60000" 2>/dev/null
  done
done
echo "== reload: all clients connected, one revoked, then SIGHUP (cache off; last, cache on)"
reload() {  # BROKER_NAME CLIENTS LATENCY CACHE_MS
  local broker=$m20
  [ "$1" = 2.1.2 ] && broker=$m21
  for bg in false true; do
    printf '%-6s cache %-5s background %-5s ' "$1" "$4" "$bg"
    "$storm" "$broker" "$v5" "$3" "$2" --reload "http_keepalive true" "http_cache_ms $4" \
      "http_reload_in_background $bg" 2>/dev/null
  done
}
for n in "${counts[@]}"; do
  for ms in 5 20; do
    for b in 2.0.11 2.1.2; do reload "$b" "$n" "$ms" 0; done
  done
done
for b in 2.0.11 2.1.2; do reload "$b" 200 20 60000; done
echo "== a login with another packet beside it (2.1.2; 200 logins one at a time, endpoint 5 ms)"
for figures in 0 10; do
  printf 'figures every %-2s s ' "$figures"
  "$storm" "$m21" "$v5" 5 200 --beside "http_keepalive true" "http_stats_interval_s $figures" 2>/dev/null
done
echo "== 500 logins waiting on an endpoint that never answers (2.1.2; the probe pings every 2 ms)"
printf 'no plug-in   '; "$storm" "$m21" none 600000 500 --hung 2>/dev/null
printf 'plug-in      '; "$storm" "$m21" "$v5" 600000 500 --hung "http_timeout_ms 60000" 2>/dev/null
echo "== a flood while the endpoint hangs, then it answers again and one real client logs in (2.1.2, http_timeout_ms 1000)"
for n in 2000 20000; do
  for run in 1 2 3; do
    printf '%-6s run %s ' "$n" "$run"; "$storm" "$m21" "$v5" 20 "$n" --flood "http_timeout_ms 1000" 2>/dev/null
  done
done
echo "== commands with 10000 clients connected (http_control, cache on; endpoint 5 ms)"
printf '2.0.11 '; "$storm" "$m20" "$v5" 5 10000 --control "http_keepalive true" "http_cache_ms 60000" 2>/dev/null | tr '\n' ';'; echo
printf '2.1.2  '; "$storm" "$m21" "$v5" 5 10000 --control "http_keepalive true" "http_cache_ms 60000" 2>/dev/null | tr '\n' ';'; echo
