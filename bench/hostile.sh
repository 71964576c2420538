#!/usr/bin/env bash
# Normal logins beside hostile clients, through Mosquitto 2.1.2 with default
# options (login_storm --hostile): 200 normal logins arriving at 100/s, their
# refusals and p50/p90/max time to CONNACK, alone and beside 20 clients
# looping logins the endpoint refuses after 2 s, 4 looping logins it never
# answers (each ends at the 5 s time-out), one looping user it answers 429
# (endpoint 50 ms); then a flood of 20,000 abandoned logins spread over a
# hang whose requests are never answered (http_timeout_ms 1000), and the
# real login after it recovers (login_storm --flood-lost). RUNS runs of each,
# one line per run. With OLD_PLUGIN set (another build's auth_plugin_v5.so),
# each run is made with it first, then with BUILD_DIR's, lines marked.
#   bench/hostile.sh BUILD_DIR [RUNS]     (default 3)
set -euo pipefail
build=$(cd "${1:?usage: bench/hostile.sh BUILD_DIR [RUNS]}" && pwd)
runs=${2:-3}
storm=$build/bench/login_storm
v5=$build/auth_plugin_v5.so
m21=$(sed -n 's/^AUTH_PLUGIN_MOSQUITTO_21:FILEPATH=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
[ -x "$m21" ] || m21=$build/tests/mosquitto_21-prefix/src/mosquitto_21-build/src/mosquitto
[ -x "$m21" ] || { echo "no Mosquitto 2.1.2 for $build (build the tests first)" >&2; exit 1; }
plugins=("$v5")
[ -n "${OLD_PLUGIN:-}" ] && plugins=("$OLD_PLUGIN" "$v5")
run() {
  for _ in $(seq "$runs"); do
    for p in "${plugins[@]}"; do
      [ ${#plugins[@]} -gt 1 ] && { [ "$p" = "$v5" ] && printf 'new ' || printf 'old '; }
      "$storm" "$m21" "$p" "$@" 2>/dev/null
    done
  done
}
run 5 200 --hostile=none:0
run 5 200 --hostile=slow:20
run 5 200 --hostile=hung:4
run 50 200 --hostile=none:0
run 50 200 --hostile=limited:1
run 20 20000 --flood-lost "http_timeout_ms 1000"
