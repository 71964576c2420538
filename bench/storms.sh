#!/usr/bin/env bash
# Login storms through Mosquitto 2.1.2 against their yardstick, then HTTP/2,
# then a flood. RUNS runs of each, one line per run.
# First, in one run: 2,000 and 10,000 clients at once, the endpoint answering
# in 20 ms, with default options and with http_keepalive; beside each, the
# broker's own floor (no plug-in) and bare libcurl making the same exchanges
# to the same endpoint, 256 at a time, connections kept or not as the option
# says (login_storm --bare). A row per run: the storm's time against floor +
# bare libcurl's, and the plug-in's CPU per login (the broker's process, all
# its threads, beyond the floor's) against bare libcurl's per request; then
# the medians.
# Then HTTP/2 over TLS (nghttpd, answering at once, if installed: Debian's
# nghttp2-server) against HTTP/1.1 at once; then a flood of 20,000 wrong
# logins while the endpoint hangs, and the real login after.
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
# The value after the word $1 in the line $2.
figure() { awk -v k="$1" '{ for (i = 1; i < NF; ++i) if ($i == k) { print $(i + 1); exit } }' <<<"$2"; }

rows=$(mktemp)
trap 'rm -f "$rows"' EXIT
echo "== storms at 20 ms against the broker's floor and bare libcurl (2.1.2)"
for r in $(seq "$runs"); do
  for n in 2000 10000; do
    floor=$("$storm" "$m21" none 0 "$n" 2>/dev/null)
    floor_ms=$(figure all_ms "$floor")
    floor_cpu=$(awk -v a="$(figure broker_thread_us_per_login "$floor")" \
      -v b="$(figure other_threads_us_per_login "$floor")" 'BEGIN { print a + b }')
    for mode in default http_keepalive; do
      opts=()
      [ "$mode" = http_keepalive ] && opts=("http_keepalive true")
      bare=$("$storm" --bare 20 "$n" "${opts[@]}")
      plug=$("$storm" "$m21" "$v5" 20 "$n" "${opts[@]}" 2>/dev/null)
      [ "$(figure logged_in "$plug")" = "$n" ] || echo "  (run $r: not all logged in: $plug)"
      awk -v n="$n" -v mode="$mode" -v f="$floor_ms" -v fc="$floor_cpu" -v b="$(figure all_ms "$bare")" \
        -v bc="$(figure cpu_us_per_request "$bare")" -v s="$(figure all_ms "$plug")" \
        -v st="$(figure broker_thread_us_per_login "$plug")" -v so="$(figure other_threads_us_per_login "$plug")" \
        'BEGIN {
           c = st + so - fc
           printf "%-6s %-15s storm %.2f s / (floor %.2f + libcurl %.2f) = %.2f   CPU per login %.0f us beyond the floor / libcurl %.0f = %.2f\n",
             n, mode, s / 1000, f / 1000, b / 1000, s / (f + b), c, bc, c / bc
         }' | tee -a "$rows"
    done
  done
done
echo "== medians of $runs"
awk '
  # Fields of a row: 4 the storm, 8 the floor, 11 libcurl, 13 the time ratio,
  # 17 the CPU per login, 24 libcurl per request, 26 the CPU ratio.
  function median(key, f,   m, i, j, t, v) {
    m = count[key]
    for (i = 1; i <= m; ++i) v[i] = val[key, f, i]
    for (i = 2; i <= m; ++i) for (j = i; j > 1 && v[j - 1] > v[j]; --j) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    return m % 2 ? v[(m + 1) / 2] : (v[m / 2] + v[m / 2 + 1]) / 2
  }
  {
    key = $1 " " $2
    if (!(key in count)) order[++keys] = key
    k = ++count[key]
    split("4 8 11 13 17 24 26", fields, " ")
    for (x = 1; x <= 7; ++x) val[key, fields[x], k] = $(fields[x]) + 0
  }
  END {
    for (i = 1; i <= keys; ++i) {
      key = order[i]
      printf "%-22s storm %.2f s, floor %.2f + libcurl %.2f: %.2f; CPU per login %.0f us, libcurl %.0f: %.2f\n", key,
        median(key, 4), median(key, 8), median(key, 11), median(key, 13), median(key, 17), median(key, 24),
        median(key, 26)
    }
  }' "$rows"
rm -f "$rows"
trap - EXIT

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
