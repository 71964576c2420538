#!/usr/bin/env bash
# The library must export exactly the broker's eight entry points and must not
# run code of its own at load or unload.
set -euo pipefail
lib=$1
expected="mosquitto_auth_acl_check
mosquitto_auth_plugin_cleanup
mosquitto_auth_plugin_init
mosquitto_auth_plugin_version
mosquitto_auth_psk_key_get
mosquitto_auth_security_cleanup
mosquitto_auth_security_init
mosquitto_auth_unpwd_check"
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
echo "exports: exactly the eight entry points"
