#!/usr/bin/env bash
# Installs the build into a scratch prefix, checks the layout, loads the
# installed configuration snippet into the real broker, and builds the .deb.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/common.sh"
build=$1
mosquitto=$2
libdir=$3  # relative to the prefix, e.g. lib/x86_64-linux-gnu
tmp=$(mktemp -d)
broker=""
cleanup() {
  [ -n "$broker" ] && kill "$broker" 2>/dev/null && wait "$broker" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

cmake --install "$build" --prefix "$tmp/usr" >/dev/null
plugin="$tmp/usr/$libdir/mosquitto/auth_plugin.so"
plugin_v5="$tmp/usr/$libdir/mosquitto/auth_plugin_v5.so"
docs="$tmp/usr/share/doc/mosquitto-auth-plugin-http"
snippet="$docs/examples/auth_plugin.conf"
tool="$tmp/usr/bin/auth_plugin_check"
test -f "$plugin" || { echo "missing $plugin"; exit 1; }
test -f "$plugin_v5" || { echo "missing $plugin_v5"; exit 1; }
test -x "$tool" || { echo "missing $tool"; exit 1; }
# It names the library the README recommends.
grep -qx "plugin $plugin_v5" "$snippet" || { echo "snippet does not name $plugin_v5"; cat "$snippet"; exit 1; }
for f in README.md docs/endpoint.md docs/hardening.md docs/performance.md examples/auth_endpoint.py examples/auth_endpoint.cpp; do
  test -f "$docs/$f" || { echo "missing $docs/$f"; exit 1; }
done

# The snippet as an operator would use it: dropped into a conf.d directory;
# then with only the file name changed to the version-2 library.
for lib in "$plugin_v5" "$plugin"; do
  rm -rf "$tmp/conf.d" && mkdir "$tmp/conf.d"
  sed "s|^plugin $plugin_v5\$|plugin $lib|" "$snippet" >"$tmp/conf.d/auth_plugin.conf"
  # A free port can be taken by someone else before the broker binds it: then another one.
  for _ in 1 2 3 4 5; do
    port=$(free_port)
    # "user": started as root the broker would switch to its own user, which may not read this tree.
    printf 'listener %s 127.0.0.1\nallow_anonymous true\nlog_dest stderr\nuser %s\ninclude_dir %s\n' \
      "$port" "$(id -un)" "$tmp/conf.d" >"$tmp/mosquitto.conf"
    "$mosquitto" -c "$tmp/mosquitto.conf" >"$tmp/broker.log" 2>&1 &
    broker=$!
    # Until it runs or ends, at most about twenty seconds.
    for _ in $(seq 2000); do grep -q " running$" "$tmp/broker.log" && break; kill -0 "$broker" 2>/dev/null || break; sleep 0.01; done
    grep -q "Address already in use" "$tmp/broker.log" || break
    wait "$broker" 2>/dev/null || true
    broker=""
  done
  grep -q "Loading plugin: $lib" "$tmp/broker.log" && grep -q " running$" "$tmp/broker.log" || {
    echo "the broker did not start with the snippet naming $lib:"; cat "$tmp/broker.log"; exit 1; }
  kill "$broker"; wait "$broker" 2>/dev/null || true; broker=""
done

(cd "$tmp" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >/dev/null)
deb=$(ls "$tmp"/pkg/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
contents=$(dpkg-deb -c "$deb")
[[ $depends == *libcurl4* ]] || { echo "the package does not declare libcurl: $depends"; exit 1; }
[[ $contents == *"./usr/$libdir/mosquitto/auth_plugin.so"* ]] || { echo "the package lacks the plug-in:"; echo "$contents"; exit 1; }
[[ $contents == *"./usr/$libdir/mosquitto/auth_plugin_v5.so"* ]] || { echo "the package lacks the version-5 plug-in:"; echo "$contents"; exit 1; }
[[ $contents == *"./usr/bin/auth_plugin_check"* ]] || { echo "the package lacks the check tool:"; echo "$contents"; exit 1; }

# What Debian asks of a package: the licence and the history beside the
# documents, and stripped binaries (still exporting exactly their entry points).
dpkg-deb -x "$deb" "$tmp/deb"
doc="$tmp/deb/usr/share/doc/mosquitto-auth-plugin-http"
[ "$(sed -n 1p "$doc/copyright")" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] &&
  grep -qx 'License: MIT' "$doc/copyright" && grep -q '^ Permission is hereby granted' "$doc/copyright" || {
  echo "no machine-readable MIT copyright file:"; cat "$doc/copyright" || true; exit 1; }
version=$(dpkg-deb -f "$deb" Version)
entry=$(gzip -dc "$doc/changelog.gz" | sed -n 1p) || true
[[ $entry == "mosquitto-auth-plugin-http ($version) "* ]] || { echo "the changelog's entry is not for $version: $entry"; exit 1; }
# gzip -n: neither name nor time in the header (flags, then four bytes of time, are zero).
[ "$(od -An -tx1 -j3 -N5 "$doc/changelog.gz" | tr -d ' ')" = 0000000000 ] || { echo "changelog.gz carries a name or time"; exit 1; }
for f in "usr/$libdir/mosquitto/auth_plugin.so" "usr/$libdir/mosquitto/auth_plugin_v5.so" usr/bin/auth_plugin_check; do
  [[ $(file -b "$tmp/deb/$f") == *", stripped"* ]] || { echo "not stripped: $(file "$tmp/deb/$f")"; exit 1; }
done
"$here/exports.sh" "$tmp/deb/usr/$libdir/mosquitto/auth_plugin.so" v2 >"$tmp/exports.out" 2>&1 &&
  "$here/exports.sh" "$tmp/deb/usr/$libdir/mosquitto/auth_plugin_v5.so" v5 "$mosquitto" >>"$tmp/exports.out" 2>&1 || {
  echo "the packaged libraries' exports:"; cat "$tmp/exports.out"; exit 1; }

# The installed tool reads the installed snippet (its endpoint is not running: refused, exit 1).
set +e; "$tool" -c "$tmp/mosquitto.conf" -u alice -P x >"$tmp/check.out" 2>&1; rc=$?; set -e
[ "$rc" -eq 1 ] && grep -q "refused (no answer" "$tmp/check.out" || { echo "the check tool did not read the snippet ($rc):"; cat "$tmp/check.out"; exit 1; }
echo "installed, both libraries loaded by the broker from the snippet, packaged as $(basename "$deb") (stripped, copyright, changelog)"
