#!/usr/bin/env bash
# Installs the build into a scratch prefix, checks the layout, loads the
# installed configuration snippet into the real broker, builds the .deb and
# runs its removal script against a scratch conf.d; as root, installs it,
# removes it and installs it again with the broker set up as the README says,
# then runs lintian on it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/common.sh"
build=$1
mosquitto=$2
libdir=$3  # relative to the prefix, e.g. lib/x86_64-linux-gnu
tmp=$(mktemp -d)
broker=""
endpoint=""
installed=""
cleanup() {
  [ -n "$broker" ] && kill "$broker" 2>/dev/null && wait "$broker" 2>/dev/null
  [ -n "$endpoint" ] && kill "$endpoint" 2>/dev/null && { wait "$endpoint" 2>/dev/null || true; }
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
for f in README.md docs/configuration.md docs/operations.md docs/development.md docs/endpoint.md docs/hardening.md docs/performance.md docs/migrating-from-emqx.md examples/auth_endpoint.py examples/auth_endpoint.cpp examples/emqx_endpoint.py; do
  test -f "$docs/$f" || { echo "missing $docs/$f"; exit 1; }
done

# start_broker CONFD CONF LOG [local]: the broker on a free port reading CONFD,
# left running in $broker until it runs or ends (at most about twenty seconds).
# "local": with no listener, as Debian's mosquitto.conf has it (the broker
# listens on loopback only, the port given with -p).
# Waits (at most a minute, however loaded the machine) until FILE has a line
# matching PATTERN, or process PID has ended.
wait_for_line() {  # FILE PATTERN PID
  local until=$((SECONDS + 60))
  while [ "$SECONDS" -lt "$until" ] && ! grep -q "$2" "$1" && kill -0 "$3" 2>/dev/null; do sleep 0.01; done
}

start_broker() {
  # A free port can be taken by someone else before the broker binds it: then another one.
  for _ in 1 2 3 4 5; do
    port=$(free_port)
    # "user": started as root the broker would switch to its own user, which may not read this tree.
    if [ "${4-}" = local ]; then
      printf 'log_dest stderr\nuser %s\ninclude_dir %s\n' "$(id -un)" "$1" >"$2"
      "$mosquitto" -c "$2" -p "$port" >"$3" 2>&1 &
    else
      printf 'listener %s 127.0.0.1\nallow_anonymous true\nlog_dest stderr\nuser %s\ninclude_dir %s\n' \
        "$port" "$(id -un)" "$1" >"$2"
      "$mosquitto" -c "$2" >"$3" 2>&1 &
    fi
    broker=$!
    wait_for_line "$3" " running$" "$broker"
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
[[ $depends == *libcjose0* ]] || { echo "the package does not declare cjose (tokens): $depends"; exit 1; }
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

# Removal disables each *.conf loading one of our libraries, in any spelling
# (the merged-/usr one too), leaving a stand-in in its place, and touches
# nothing else; an earlier removal's file of the same name is kept. A new
# install puts back what removal renamed; purging deletes it.
confd="$tmp/scratch.d" && mkdir "$confd" "$tmp/orig"
ours=/usr/$libdir/mosquitto
s=.disabled-by-auth-plugin-removal
pkg=$(dpkg-deb -f "$deb" Package)
cp "$doc/examples/auth_plugin.conf" "$tmp/orig/shipped.conf"
printf '  auth_plugin \t%s/auth_plugin.so \r\n' "$ours" >"$tmp/orig/v2.conf"
printf 'plugin_load auth %s/auth_plugin_v5.so\n' "$ours" >"$tmp/orig/v5-2.1.conf"
printf 'plugin /%s/mosquitto/auth_plugin_v5.so\n' "$libdir" >"$tmp/orig/merged.conf"
printf 'plugin %s/auth_plugin.so\n' "$ours" >"$tmp/orig/again.conf"
echo "from an earlier removal" >"$tmp/orig/again.conf$s"
echo "renamed by an earlier version's removal" >"$tmp/orig/old.conf$s"
printf 'plugin /usr/lib/other/auth_plugin_v5.so\n#plugin %s/auth_plugin_v5.so\n' "$ours" >"$tmp/orig/other.conf"
printf 'plugin %s/auth_plugin_v5.so\n' "$ours" >"$tmp/orig/notes.txt"
cp "$tmp/orig"/* "$confd/"
[ /lib -ef /usr/lib ] || { echo "/lib is not /usr/lib here: no merged-/usr spelling to try"; exit 1; }
# file | its name after the removal | after a new install (the same: untouched)
renames="shipped.conf|shipped.conf$s|shipped.conf
v2.conf|v2.conf$s|v2.conf
v5-2.1.conf|v5-2.1.conf$s|v5-2.1.conf
merged.conf|merged.conf$s|merged.conf
again.conf|again.conf$s.2|again.conf
again.conf$s|again.conf$s|again.conf$s
old.conf$s|old.conf$s|old.conf
other.conf|other.conf|other.conf
notes.txt|notes.txt|notes.txt"
stand_ins=5
check_confd() {  # $1: what was run, $2: "removed" or "installed" (else: untouched)
  local from removed installed to
  while IFS='|' read -r from removed installed; do
    case ${2-} in removed) to=$removed ;; installed) to=$installed ;; *) to=$from ;; esac
    cmp -s "$tmp/orig/$from" "$confd/$to" || { echo "after $1, $from is not $to:"; ls -A "$confd"; exit 1; }
    # In its place, a stand-in naming it.
    [ "${2-}" = removed ] && [ "$to" != "$from" ] && [ "$(sed -n 1p "$confd/$from")" != "# $pkg: stands in for $to" ] && {
      echo "after $1, $from is no stand-in for $to:"; cat "$confd/$from"; exit 1; }
  done <<<"$renames"
  local n; n=$(wc -l <<<"$renames")
  [ "${2-}" = removed ] && n=$((n + stand_ins))
  [ "$(ls -A "$confd" | wc -l)" -eq "$n" ] || { echo "after $1:"; ls -A "$confd"; exit 1; }
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
  "disabled $confd/merged.conf " "renamed to $confd/again.conf$s.2;"
maint "$confd" postrm remove
check_confd "postrm remove, twice" removed && said "postrm remove, twice"
maint "$confd" postinst configure
check_confd "postinst configure" installed
said "postinst configure" "re-enabled $confd/shipped.conf" "re-enabled $confd/v2.conf" "re-enabled $confd/v5-2.1.conf" \
  "re-enabled $confd/merged.conf" "re-enabled $confd/again.conf" "re-enabled $confd/old.conf" \
  "$confd/again.conf$s was disabled"
# Purging (after its removal) deletes every renamed file and keeps the stand-ins.
maint "$confd" postrm remove
maint "$confd" postrm purge
[ -z "$(ls -A "$confd" | grep -F -- "$s")" ] && [ "$(grep -lxF "# $pkg: stands in for shipped.conf$s" "$confd"/*.conf)" = "$confd/shipped.conf" ] &&
  cmp -s "$tmp/orig/other.conf" "$confd/other.conf" || { echo "after postrm purge:"; ls -A "$confd"; exit 1; }
maint "$tmp/none" postrm remove

# The real thing where it can be had (root, dpkg, the package not installed
# already), a scratch conf.d standing in for /etc/mosquitto/conf.d: the broker
# set up as the README says (Debian's mosquitto.conf, no listener; the snippet
# in conf.d, here asking the example endpoint) admits nobody the plug-in would
# refuse, after dpkg -r and after dpkg -i again.
dpkg_ran=""
if [ "$(id -u)" -eq 0 ] && command -v dpkg >/dev/null && ! dpkg -s "$pkg" >/dev/null 2>&1; then
  real="$tmp/real.d" && mkdir "$real"
  examples=/usr/share/doc/$pkg/examples
  # Triggers (man-db's, seconds each time) wait until the end: run once.
  dpkg_step() {  # dpkg's arguments
    AUTH_PLUGIN_CONFD=$real dpkg --no-triggers "$@" >"$tmp/dpkg.out" 2>&1 || { echo "dpkg $* failed:"; cat "$tmp/dpkg.out"; exit 1; }
  }
  # login NAME PASSWORD (empty NAME: anonymous): 0 when the broker admits the client.
  login() {
    timeout 20 mosquitto_pub -h 127.0.0.1 -p "$port" -t home/x -m m ${1:+-u "$1" -P "$2"} >/dev/null 2>&1
  }
  installed=$pkg
  dpkg_step -i "$deb"
  test -f "$ours/auth_plugin_v5.so" && test -f /usr/share/man/man1/auth_plugin_check.1.gz || {
    echo "dpkg -i installed no $ours/auth_plugin_v5.so or no manual page"; exit 1; }
  python3 "$examples/auth_endpoint.py" "$examples/rules.txt" 0 >"$tmp/endpoint.log" 2>&1 &
  endpoint=$!
  wait_for_line "$tmp/endpoint.log" "^listening on " "$endpoint"
  url=$(sed -n 's/^listening on //p' "$tmp/endpoint.log")
  [ -n "$url" ] || { echo "the example endpoint did not start:"; cat "$tmp/endpoint.log"; exit 1; }
  sed "s|http://127.0.0.1:8080|$url|" "$examples/auth_plugin.conf" >"$tmp/set-up.conf"
  cp "$tmp/set-up.conf" "$real/auth_plugin.conf"

  dpkg_step -r "$pkg"
  [ ! -e "$ours/auth_plugin_v5.so" ] && cmp -s "$tmp/set-up.conf" "$real/auth_plugin.conf$s" &&
    grep -qF "disabled $real/auth_plugin.conf" "$tmp/dpkg.out" || {
    echo "dpkg -r did not disable the snippet:"; ls -A "$real" "$ours" 2>&1; cat "$tmp/dpkg.out"; exit 1; }
  start_broker "$real" "$tmp/real.conf" "$tmp/real.log" local
  if grep -q " running$" "$tmp/real.log"; then
    ! login "" "" && ! login alice wrong || { echo "after dpkg -r the broker admits anonymous or wrong-password clients:"; cat "$tmp/real.log"; exit 1; }
    kill "$broker"; wait "$broker" 2>/dev/null || true
  else
    grep -qF "Error found at $real/auth_plugin.conf:" "$tmp/real.log" && grep -q auth_plugin_package_removed "$tmp/real.log" || {
      echo "after dpkg -r the broker does not start, without a line saying why:"; cat "$tmp/real.log"; exit 1; }
  fi
  broker=""

  dpkg_step -i "$deb"
  cmp -s "$tmp/set-up.conf" "$real/auth_plugin.conf" || { echo "dpkg -i did not re-enable the snippet:"; ls -A "$real"; cat "$tmp/dpkg.out"; exit 1; }
  start_broker "$real" "$tmp/real.conf" "$tmp/real.log" local
  grep -q " running$" "$tmp/real.log" && login alice wonderland && ! login alice wrong && ! login "" "" || {
    echo "after dpkg -i again the plug-in is not in force:"; cat "$tmp/real.log" "$tmp/endpoint.log"; exit 1; }
  kill "$broker"; wait "$broker" 2>/dev/null || true; broker=""

  dpkg_step -P "$pkg"
  installed=""
  dpkg --triggers-only man-db >/dev/null
  [ -z "$(ls -A "$real" | grep -F -- "$s")" ] && [ "$(sed -n 1p "$real/auth_plugin.conf")" = "# $pkg: stands in for auth_plugin.conf$s" ] || {
    echo "dpkg -P left:"; ls -A "$real"; cat "$tmp/dpkg.out"; exit 1; }
  dpkg_ran="; dpkg -i, -r, -i, -P: the broker closed, then the plug-in in force again"
fi

# lintian: no errors, no binary without Debian's hardening, no command without
# its manual page.
command -v lintian >/dev/null || { echo "no lintian (scripts/test installs it)"; exit 1; }
lintian -I --tag-display-limit 0 "$deb" >"$tmp/lintian.out" 2>&1 || true
! grep -E "^E: | hardening-| no-manual-page | groff-message " "$tmp/lintian.out" || { echo "lintian:"; cat "$tmp/lintian.out"; exit 1; }

# The installed tool reads the installed snippet (its endpoint is not running: refused, exit 1).
set +e; "$tool" -c "$tmp/mosquitto.conf" -u alice -P x >"$tmp/check.out" 2>&1; rc=$?; set -e
[ "$rc" -eq 1 ] && grep -q "refused (no answer" "$tmp/check.out" || { echo "the check tool did not read the snippet ($rc):"; cat "$tmp/check.out"; exit 1; }
echo "installed, both libraries loaded by the broker from the snippet, packaged as $(basename "$deb") (stripped, copyright, changelog, lintian; removal disabled 5 snippets$dpkg_ran)"
