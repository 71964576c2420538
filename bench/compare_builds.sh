#!/usr/bin/env bash
# Two builds side by side in one run: each build's login_storm with its own
# auth_plugin_v5.so, through the same brokers (Debian's 2.0.11 and the 2.1.2
# the old build was configured with). Each row runs every scenario old, then
# new, so that whatever else the shared machine does meanwhile falls on both:
#   storms (2.1.2): 2,000 and 10,000 logins at once, endpoint 20 ms, default
#     options and http_keepalive, beside the broker's floor (no plug-in, once
#     a row, the old build's login_storm);
#   reloads (2.0.11, 2.1.2): 2,000 clients connected, endpoint 5 ms, cache
#     off, keep-alive, re-checked synchronously and in the background (5 ms,
#     not 20: at 20 ms 2.0.11's 2,000 logins, one at a time, take 40 s before
#     each reload, and each synchronous re-check 40 s more);
#   the flood (2.1.2): 20,000 wrong logins while the endpoint hangs,
#     http_timeout_ms 1000, then the real login.
# One line per run, then the medians per scenario (old / new, and new/old:
# above 1 is more time, or more requests while hung). A reload's
# revoked_gone_ms is in the lines only: it follows where the broker's order
# puts the revoked client (6 ms or 10.6 s, the same build twice), not speed.
# Figures only, nothing asserted. 150 to 165 s a row on the shared 2-core
# machine, about 8 minutes with RUNS 3. Old against old, three rows of one
# while others compiled: storms mostly 0.9 to 1.2 apart, twice a run twice
# as long (once each side); synchronous reloads within 1%, the flood alike.
#   bench/compare_builds.sh OLD_BUILD NEW_BUILD [RUNS]     (default 3)
set -euo pipefail
usage="usage: bench/compare_builds.sh OLD_BUILD NEW_BUILD [RUNS]"
old=$(cd "${1:?$usage}" && pwd)
new=$(cd "${2:?$usage}" && pwd)
runs=${3:-3}
for b in "$old" "$new"; do
  for f in "$b/bench/login_storm" "$b/auth_plugin_v5.so"; do
    [ -e "$f" ] || { echo "no $f (build the targets auth_plugin_v5 login_storm)" >&2; exit 1; }
  done
done
m20=/usr/sbin/mosquitto
m21=$(sed -n 's/^AUTH_PLUGIN_MOSQUITTO_21:FILEPATH=//p' "$old/CMakeCache.txt" 2>/dev/null || true)
[ -x "$m21" ] || m21=$old/tests/mosquitto_21-prefix/src/mosquitto_21-build/src/mosquitto
[ -x "$m21" ] || { echo "no Mosquitto 2.1.2 for $old (build the tests first)" >&2; exit 1; }
[ -x "$m20" ] || { echo "no $m20 (Debian's mosquitto)" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
records=$scratch/records  # scenario <TAB> old|new|floor <TAB> login_storm's line

# SCENARIO LABEL BUILD BROKER ARGS...: one run, one line; a failed run says so
# (with the last line it wrote to stderr) and is left out of the medians.
one() {
  local scenario=$1 label=$2 build=$3 broker=$4 out rc=0
  shift 4
  out=$("$build/bench/login_storm" "$broker" "$@" 2>"$scratch/err") || rc=$?
  if [ "$rc" -ne 0 ] || [ -z "$out" ]; then
    out="failed (exit $rc): $(tail -n 1 "$scratch/err")"
  else
    printf '%s\t%s\t%s\n' "$scenario" "$label" "$out" >>"$records"
  fi
  printf '%-30s %-5s %s\n' "$scenario" "$label" "$out"
}
# SCENARIO BROKER LATENCY CLIENTS ARGS...: old then new, each with its library.
pair() {
  local scenario=$1 broker=$2 ms=$3 n=$4
  shift 4
  one "$scenario" old "$old" "$broker" "$old/auth_plugin_v5.so" "$ms" "$n" "$@"
  one "$scenario" new "$new" "$broker" "$new/auth_plugin_v5.so" "$ms" "$n" "$@"
}

echo "old $old"
echo "new $new"
echo "brokers $m20, $m21; $runs runs"
start=$SECONDS
for run in $(seq "$runs"); do
  echo "== row $run of $runs"
  for n in 2000 10000; do
    one "storm $n floor" floor "$old" "$m21" none 0 "$n"
    pair "storm $n default" "$m21" 20 "$n"
    pair "storm $n http_keepalive" "$m21" 20 "$n" "http_keepalive true"
  done
  for b in 2.0.11 2.1.2; do
    broker=$m20
    [ "$b" = 2.1.2 ] && broker=$m21
    for bg in false true; do
      pair "reload $b background $bg" "$broker" 5 2000 --reload "http_keepalive true" "http_cache_ms 0" \
        "http_reload_in_background $bg"
    done
  done
  pair "flood 20000" "$m21" 20 20000 --flood "http_timeout_ms 1000"
done

echo "== medians of $runs: old / new (new/old)"
[ -s "$records" ] || { echo "no run succeeded"; exit 1; }
awk -F '\t' '
  function figures(s) {  # the figures summed up, by scenario
    if (s ~ /floor$/) return "all_ms"
    if (s ~ /^storm/) return "all_ms ping_worst_ms broker_thread_us_per_login"
    if (s ~ /^reload/) return "frozen_ms"
    return "requests_while_hung real_login_ms"
  }
  function median(key,   n, i, j, t, v) {
    n = count[key]
    if (n == 0) return ""
    for (i = 1; i <= n; ++i) v[i] = val[key, i]
    for (i = 2; i <= n; ++i) for (j = i; j > 1 && v[j - 1] > v[j]; --j) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
  }
  !($1 in seen) { seen[$1] = 1; order[++scenarios] = $1 }
  {
    k = split($3, w, " ")
    for (i = 1; i < k; ++i) { key = $1 SUBSEP $2 SUBSEP w[i]; val[key, ++count[key]] = w[i + 1] + 0 }
  }
  END {
    for (s = 1; s <= scenarios; ++s) {
      line = sprintf("%-30s", order[s])
      m = split(figures(order[s]), f, " ")
      for (i = 1; i <= m; ++i) {
        if (order[s] ~ /floor$/) { line = line sprintf("  %s %s", f[i], median(order[s] SUBSEP "floor" SUBSEP f[i])); continue }
        a = median(order[s] SUBSEP "old" SUBSEP f[i]); b = median(order[s] SUBSEP "new" SUBSEP f[i])
        r = (a != "" && b != "" && a > 0) ? sprintf("%.2f", b / a) : "-"
        line = line sprintf("  %s %s / %s (%s)", f[i], a == "" ? "-" : a, b == "" ? "-" : b, r)
      }
      print line
    }
  }' "$records"
echo "took $((SECONDS - start)) s"
