#!/usr/bin/env bash
# Token logins at scale through both brokers, beside the broker's own floor
# (the same CONNECTs, no plug-in) and HTTP logins against an endpoint that
# answers in 5 and 20 ms (http_keepalive true): CLIENTS clients at once, each
# with its own token verified at the broker, RS256 against the key set the
# endpoint serves (http_jwt_jwks_uri), HS256 with a secret (what the token
# reader costs beside a signature that costs next to nothing); no exchange
# per login. Other algorithms: login_storm ... --tokens=ES256 (or EdDSA). One line per
# run: all_ms is how long until every CONNACK came, broker_thread_us_per_login
# what each login cost the broker's thread. Beside the floor and the tokens,
# a line "again:": the same clients closing and connecting once more to the
# running broker (a fleet's reconnect: each token remembered by its digest).
# HTTP logins on 2.0.11 are answered one at a time: 10,000 at 20 ms take minutes.
#   bench/token_storm.sh BUILD_DIR [RUNS] [CLIENTS...]     (default 1; 2000 10000)
set -euo pipefail
build=$(cd "${1:?usage: bench/token_storm.sh BUILD_DIR [RUNS] [CLIENTS...]}" && pwd)
runs=${2:-1}
shift $(($# > 1 ? 2 : 1))
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(2000 10000)
storm=$build/bench/login_storm
v5=$build/auth_plugin_v5.so
m20=/usr/sbin/mosquitto
m21=$(sed -n 's/^AUTH_PLUGIN_MOSQUITTO_21:FILEPATH=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
[ -x "$m21" ] || m21=$build/tests/mosquitto_21-prefix/src/mosquitto_21-build/src/mosquitto
[ -x "$m21" ] || { echo "no Mosquitto 2.1.2 for $build (build the tests first)" >&2; exit 1; }
run() {
  local label
  label=$(printf '%-32s ' "$1")
  shift
  for _ in $(seq "$runs"); do "$storm" "$@" 2>/dev/null | sed "s/^/$label/"; done
}

for n in "${counts[@]}"; do
  for b in 2.0.11 2.1.2; do
    broker=$m20
    [ "$b" = 2.1.2 ] && broker=$m21
    run "$b $n no plug-in" "$broker" none 0 "$n" --again
    for alg in RS256 HS256; do
      run "$b $n tokens ($alg)" "$broker" "$v5" 0 "$n" "--tokens=$alg" --again
    done
    for ms in 5 20; do
      run "$b $n HTTP ${ms} ms" "$broker" "$v5" "$ms" "$n" "http_keepalive true"
    done
  done
done
