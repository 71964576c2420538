#!/usr/bin/env bash
# Installs the build into a scratch prefix, checks the layout, loads the
# installed configuration snippet into the real broker, builds the .deb and
# runs its removal script against a scratch conf.d.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/common.sh"
build=$1
mosquitto=$2
libdir=$3  # relative to the prefix, e.g. lib/x86_64-linux-gnu
tmp=$(mktemp -d)
broker=""
installed=""
cleanup() {
  [ -n "$broker" ] && kill "$broker" 2>/dev/null && wait "$broker" 2>/dev/null
  # A package this test installed goes, its removal kept away from /etc.
  [ -n "$installed" ] && AUTH_PLUGIN_CONFD="$tmp/real.d" dpkg -P "$installed" >/dev/null 2>&1
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
for f in README.md docs/endpoint.md docs/hardening.md docs/performance.md docs/migrating-from-emqx.md examples/auth_endpoint.py examples/auth_endpoint.cpp examples/emqx_endpoint.py; do
  test -f "$docs/$f" || { echo "missing $docs/$f"; exit 1; }
done

# start_broker CONFD CONF LOG: the broker on a free port reading CONFD, left
# running in $broker until it runs or ends (at most about twenty seconds).
start_broker() {
  # A free port can be taken by someone else before the broker binds it: then another one.
  for _ in 1 2 3 4 5; do
    port=$(free_port)
    # "user": started as root the broker would switch to its own user, which may not read this tree.
    printf 'listener %s 127.0.0.1\nallow_anonymous true\nlog_dest stderr\nuser %s\ninclude_dir %s\n' \
      "$port" "$(id -un)" "$1" >"$2"
    "$mosquitto" -c "$2" >"$3" 2>&1 &
    broker=$!
    for _ in $(seq 2000); do grep -q " running$" "$3" && break; kill -0 "$broker" 2>/dev/null || break; sleep 0.01; done
    grep -q "Address already in use" "$3" || break
    wait "$broker" 2>/dev/null || true
    broker=""
  done
}

# The snippet as an operator would use it: dropped into a conf.d directory;
# then with only the file name changed to the version-2 library.
for lib in "$plugin_v5" "$plugin"; do
  rm -rf "$tmp/conf.d" && mkdir "$tmp/conf.d"
  sed "s|^plugin $plugin_v5\$|plugin $lib|" "$snippet" >"$tmp/conf.d/auth_plugin.conf"
  start_broker "$tmp/conf.d" "$tmp/mosquitto.conf" "$tmp/broker.log"
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
# documents, stripped binaries (still exporting exactly their entry points),
# and the maintainer scripts.
dpkg-deb -x "$deb" "$tmp/deb"
dpkg-deb -e "$deb" "$tmp/control"
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
test -x "$tmp/control/postrm" && test -x "$tmp/control/postinst" || { echo "no postrm/postinst:"; ls "$tmp/control"; exit 1; }

# Removal disables each *.conf loading one of our libraries, in any spelling,
# and touches nothing else; an earlier removal's file of the same name is kept.
confd="$tmp/scratch.d" && mkdir "$confd" "$tmp/orig"
ours=/usr/$libdir/mosquitto
s=.disabled-by-auth-plugin-removal
cp "$doc/examples/auth_plugin.conf" "$tmp/orig/shipped.conf"
printf '  auth_plugin \t%s/auth_plugin.so \r\n' "$ours" >"$tmp/orig/v2.conf"
printf 'plugin_load auth %s/auth_plugin_v5.so\n' "$ours" >"$tmp/orig/v5-2.1.conf"
printf 'plugin %s/auth_plugin.so\n' "$ours" >"$tmp/orig/again.conf"
echo "from an earlier removal" >"$tmp/orig/again.conf$s"
printf 'plugin /usr/lib/other/auth_plugin_v5.so\n#plugin %s/auth_plugin_v5.so\n' "$ours" >"$tmp/orig/other.conf"
printf 'plugin %s/auth_plugin_v5.so\n' "$ours" >"$tmp/orig/notes.txt"
cp "$tmp/orig"/* "$confd/"
# file | its name after the removal (the same: untouched)
renames="shipped.conf|shipped.conf$s
v2.conf|v2.conf$s
v5-2.1.conf|v5-2.1.conf$s
again.conf|again.conf$s.2
again.conf$s|again.conf$s
other.conf|other.conf
notes.txt|notes.txt"
check_confd() {  # $1: what was run, $2: "removed" if the renames are expected
  local from to
  while IFS='|' read -r from to; do
    [ "${2-}" = removed ] || to=$from
    cmp -s "$tmp/orig/$from" "$confd/$to" || { echo "after $1, $from is not $to:"; ls -A "$confd"; exit 1; }
  done <<<"$renames"
  [ "$(ls -A "$confd" | wc -l)" -eq "$(wc -l <<<"$renames")" ] || { echo "after $1:"; ls -A "$confd"; exit 1; }
}
said() {  # $1: what was run, then the messages expected, one line each and nothing else
  local m
  for m in "${@:2}"; do grep -qF -- "$m" "$tmp/maint.err" || { echo "$1 did not say: $m"; cat "$tmp/maint.err"; exit 1; }; done
  [ "$(grep -c . "$tmp/maint.err")" -eq $(($# - 1)) ] || { echo "$1 said:"; cat "$tmp/maint.err"; exit 1; }
}
maint() {  # conf.d, script, arguments
  AUTH_PLUGIN_CONFD=$1 "$tmp/control/$2" "${@:3}" 2>"$tmp/maint.err" || { echo "$* failed:"; cat "$tmp/maint.err"; exit 1; }
}
# An upgrade replaces the libraries: nothing to disable.
maint "$confd" postrm upgrade "$version"
check_confd "postrm upgrade" && said "postrm upgrade"
maint "$confd" postrm remove
check_confd "postrm remove" removed
said "postrm remove" "disabled $confd/shipped.conf " "disabled $confd/v2.conf " "disabled $confd/v5-2.1.conf " \
  "mv '$confd/again.conf$s.2' '$confd/again.conf'"
maint "$confd" postrm remove
check_confd "postrm remove, twice" removed && said "postrm remove, twice"
# A new install re-enables nothing but says what waits.
maint "$confd" postinst configure
check_confd "postinst configure" removed
said "postinst configure" "mv '$confd/shipped.conf$s' '$confd/shipped.conf'" "mv '$confd/v2.conf$s' '$confd/v2.conf'" \
  "mv '$confd/v5-2.1.conf$s' '$confd/v5-2.1.conf'" "mv '$confd/again.conf$s' '$confd/again.conf'" \
  "mv '$confd/again.conf$s.2' '$confd/again.conf'"
maint "$tmp/none" postrm remove

# The real thing where it can be had (root, dpkg, the package not installed
# already): dpkg installs it and removes it; the removal disables the snippet
# that names it, and the broker still starts. A scratch conf.d stands in for
# /etc/mosquitto/conf.d.
pkg=$(dpkg-deb -f "$deb" Package)
dpkg_ran=""
if [ "$(id -u)" -eq 0 ] && command -v dpkg >/dev/null && ! dpkg -s "$pkg" >/dev/null 2>&1; then
  real="$tmp/real.d" && mkdir "$real"
  installed=$pkg
  AUTH_PLUGIN_CONFD=$real dpkg -i "$deb" >"$tmp/dpkg.out" 2>&1 || { echo "dpkg -i failed:"; cat "$tmp/dpkg.out"; exit 1; }
  test -f "$ours/auth_plugin_v5.so" || { echo "dpkg -i installed no $ours/auth_plugin_v5.so"; exit 1; }
  cp "/usr/share/doc/$pkg/examples/auth_plugin.conf" "$real/auth_plugin.conf"
  AUTH_PLUGIN_CONFD=$real dpkg -r "$pkg" >"$tmp/dpkg.out" 2>&1 || { echo "dpkg -r failed:"; cat "$tmp/dpkg.out"; exit 1; }
  [ ! -e "$ours/auth_plugin_v5.so" ] && [ ! -e "$real/auth_plugin.conf" ] && [ -f "$real/auth_plugin.conf$s" ] &&
    grep -qF "disabled $real/auth_plugin.conf" "$tmp/dpkg.out" || {
    echo "dpkg -r left the snippet loading a removed library:"; ls -A "$real" "$ours" 2>&1; cat "$tmp/dpkg.out"; exit 1; }
  start_broker "$real" "$tmp/after.conf" "$tmp/after.log"
  grep -q " running$" "$tmp/after.log" || { echo "after dpkg -r the broker does not start:"; cat "$tmp/after.log"; exit 1; }
  kill "$broker"; wait "$broker" 2>/dev/null || true; broker=""
  AUTH_PLUGIN_CONFD=$real dpkg -P "$pkg" >/dev/null 2>&1 && installed=""
  dpkg_ran="; dpkg -i, dpkg -r: the snippet disabled, the broker starts"
fi

# The installed tool reads the installed snippet (its endpoint is not running: refused, exit 1).
set +e; "$tool" -c "$tmp/mosquitto.conf" -u alice -P x >"$tmp/check.out" 2>&1; rc=$?; set -e
[ "$rc" -eq 1 ] && grep -q "refused (no answer" "$tmp/check.out" || { echo "the check tool did not read the snippet ($rc):"; cat "$tmp/check.out"; exit 1; }
echo "installed, both libraries loaded by the broker from the snippet, packaged as $(basename "$deb") (stripped, copyright, changelog; removal disabled 4 snippets$dpkg_ran)"
