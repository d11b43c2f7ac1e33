#!/usr/bin/env bash
# examples/demo.html in headless Chromium against the real service with the
# demo token: the table must list every certificate of the token, and with
# the service stopped the page must say that it is not running.
#
#   demo-page-test.sh SOURCE_DIR CORVANE QUINTREL BRIDGE CHROMIUM
# Needs python3 for read-page.py, which drives Chromium.
set -euo pipefail

source_dir=$1 corvane=$2 quintrel=$3 bridge=$4 chromium=$5
work=$(mktemp -d /tmp/corvane-demo-page-XXXXXX)
service_pid=
cleanup() {
  if [[ -n $service_pid ]]; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  [[ -n ${CORVANE_TEST_KEEP_DIRS:-} ]] || rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

"$source_dir/scripts/provision-demo-token.sh" "$work/demo" >/dev/null
mkdir -p "$work/service" "$work/run"
cp "$corvane" "$quintrel" "$work/service/"
cp "$bridge" "$work/service/libKestova.so"

# The page is done when its status line has a class (ok or error).
page() {
  timeout 120 python3 "$(dirname "${BASH_SOURCE[0]}")/read-page.py" "$chromium" \
    "file://$source_dir/examples/demo.html" "document.getElementById('status').className !== ''" 60
}

XDG_RUNTIME_DIR="$work/run" TZ=JST-9 KESTOVA_BRIDGE_MODULE=/usr/lib/softhsm/libsofthsm2.so \
  SOFTHSM2_CONF="$work/demo/softhsm2.conf" "$work/service/corvane" >"$work/out.txt" 2>"$work/err.txt" &
service_pid=$!
for _ in $(seq 100); do
  (exec 3<>/dev/tcp/127.0.0.1/1237) 2>/dev/null && break
  sleep 0.1
done

dom=$(page)
grep -q '3 certificates found.' <<<"$dom" || fail "no '3 certificates found.' in: $dom"
for der in "$work"/demo/certs/*.der; do
  serial=$(openssl x509 -inform DER -in "$der" -noout -serial | sed 's/^serial=//' | tr 'A-F' 'a-f')
  name=$(openssl x509 -inform DER -in "$der" -noout -subject -nameopt utf8,sep_multiline | sed -n 's/^ *CN=//p')
  # The key column starts with the first five octets of the modulus or point.
  if openssl x509 -inform DER -in "$der" -noout -text | grep -q rsaEncryption; then
    key="RSA, 2048-bit modulus <code>$(openssl x509 -inform DER -in "$der" -noout -modulus | cut -c9-18 | tr 'A-F' 'a-f')"
  else
    key="EC, 256-bit curve <code>$(openssl x509 -inform DER -in "$der" -noout -pubkey |
      openssl pkey -pubin -outform DER | tail -c 65 | od -An -tx1 | tr -d ' \n' | cut -c1-10)"
  fi
  row=$(grep -o "<tr><td>$name</td><td[^>]*>$serial</td><td>2025-3-4</td><td[^>]*>2030-12-31</td><td>$key…" <<<"$dom") ||
    fail "no row for $name / $serial in: $dom"
  echo "row: $row"
done

kill "$service_pid"
wait "$service_pid" 2>/dev/null || true
service_pid=
dom=$(page)
grep -q 'The Corvane service is not running' <<<"$dom" || fail "no 'not running' message in: $dom"
echo "PASS"
