#!/usr/bin/env bash
# A library must export exactly its interface's entry points and must not run
# code of its own at load or unload.
#   exports.sh LIBRARY v2
#   exports.sh LIBRARY v5 BROKER   (BROKER: Debian's broker binary, 2.0.11)
set -euo pipefail
lib=$1
interface=${2:-v2}
case $interface in
v2) expected="mosquitto_auth_acl_check
mosquitto_auth_plugin_cleanup
mosquitto_auth_plugin_init
mosquitto_auth_plugin_version
mosquitto_auth_psk_key_get
mosquitto_auth_security_cleanup
mosquitto_auth_security_init
mosquitto_auth_unpwd_check" ;;
v5) expected="mosquitto_plugin_cleanup
mosquitto_plugin_init
mosquitto_plugin_version" ;;
*) echo "unknown interface $interface"; exit 2 ;;
esac
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | sort)
if [ "$actual" != "$expected" ]; then
  echo "exports differ:"; diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
# g++ names a translation unit's static initialiser _GLOBAL__sub_I_*; with
# sanitizers on, their own module constructors are expected and allowed.
if nm "$lib" | grep -E '_GLOBAL__sub_(I|D)_' ; then
  echo "static constructors or destructors found"; exit 1
fi
if [ "$interface" = v5 ]; then
  # The broker's functions are resolved when the broker loads the library
  # (RTLD_NOW): each one it needs must be one Debian's broker exports.
  broker=$3
  needed=$(ldd -r "$lib" 2>&1 | sed -n 's/^undefined symbol: \([^[:space:]]*\).*/\1/p' | sort -u)
  lacking=$(comm -23 <(echo "$needed") <(nm -D --defined-only "$broker" | awk '{print $3}' | sort -u))
  if [ -z "$needed" ] || [ -n "$lacking" ]; then
    echo "needs from the broker: ${needed:-nothing}"; echo "which $broker lacks: $lacking"; exit 1
  fi
  echo "exports: exactly the three entry points; needs only what $broker exports ($(echo "$needed" | wc -l) functions)"
else
  echo "exports: exactly the eight entry points"
fi
