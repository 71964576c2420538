#!/usr/bin/env bash
# Runs the trusted-https tests with a throw-away CA as the only trusted one,
# inside a private mount namespace: the machine's own trust store is never
# touched. Skips (77) where a mount namespace cannot be made.
set -euo pipefail
tls_tests=$1
make_certs=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$make_certs" "$tmp"
bundle=/etc/ssl/certs/ca-certificates.crt
if [ ! -f "$bundle" ] || ! unshare --mount --propagation private true 2>/dev/null; then
  echo "cannot make a private mount namespace here; skipped"
  exit 77
fi
exec unshare --mount --propagation private sh -c '
  mount --bind "$1/ca.pem" "$2" &&
  AUTH_PLUGIN_TLS_DIR="$1" AUTH_PLUGIN_TLS_TRUSTED=1 exec "$3" --gtest_filter="Tls.Trusted*"
' sh "$tmp" "$bundle" "$tls_tests"
