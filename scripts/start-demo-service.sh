#!/usr/bin/env bash
# Runs a built corvane in the foreground with a software token to read from,
# so that examples/demo.html has certificates to show.
#
#   start-demo-service.sh BUILD_DIR
#
# - makes the demo token in .demo/ of the source tree (once; later runs reuse it);
# - copies corvane and Quintrel.so from BUILD_DIR into .demo/service/, since
#   the service loads plug-ins from beside its executable;
# - puts the Kestova bridge there too, unless the system has a libKestova.so
#   of its own (then that one is used and the demo token is not reached);
# - starts corvane with the bridge pointed at SoftHSM2 and the demo token.
#   A KESTOVA_BRIDGE_MODULE already set in the environment is kept, e.g.
#   /usr/lib/x86_64-linux-gnu/p11-kit-proxy.so for every registered token;
# - serves the demo page on http://127.0.0.1:$CORVANE_DEMO_HTTP_PORT/ (8123),
#   since a file:// page may read certificates but not sign. Only the page
#   and the client are served, never the token's files.
set -euo pipefail

[[ $# -eq 1 ]] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" 2>/dev/null && pwd) || { echo "start-demo-service: no build directory $1" >&2; exit 1; }
tag=start-demo-service
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
demo="$corvane_root/.demo"
service="$demo/service"

corvane="$build/server/corvane"
quintrel="$build/plugins/quintrel/Quintrel.so"
bridge="$build/bridge/libKestova.so"
for file in "$corvane" "$quintrel"; do
  [[ -f $file ]] || fail "$file is missing: build first (scripts/run-service.sh does)"
done

"$corvane_root/scripts/provision-demo-token.sh" "$demo" || fail "could not make the demo token in $demo"

mkdir -p "$service"
cp -f "$corvane" "$quintrel" "$service/"

system_library=$( { /sbin/ldconfig -p 2>/dev/null || ldconfig -p 2>/dev/null || true; } |
  awk '$1 == "libKestova.so" { print $NF; exit }')
if [[ -n $system_library && $system_library != "$service/libKestova.so" ]]; then
  rm -f "$service/libKestova.so"
  echo "start-demo-service: using the system's $system_library, not the bridge; the demo token is not used"
else
  [[ -f $bridge ]] || fail "$bridge is missing: build the kestova_bridge target"
  cp -f "$bridge" "$service/libKestova.so"
  export KESTOVA_BRIDGE_MODULE="${KESTOVA_BRIDGE_MODULE:-/usr/lib/softhsm/libsofthsm2.so}"
  export SOFTHSM2_CONF="$demo/softhsm2.conf"
  echo "start-demo-service: bridge -> $KESTOVA_BRIDGE_MODULE, tokens from $SOFTHSM2_CONF"
fi

web="$demo/web"
mkdir -p "$web/examples" "$web/clients/js"
cp -f "$corvane_root/examples/demo.html" "$web/examples/"
cp -f "$corvane_root/clients/js/corvane.global.js" "$web/clients/js/"
printf '<!DOCTYPE html><meta http-equiv="refresh" content="0; url=examples/demo.html">\n' >"$web/index.html"
http_port=${CORVANE_DEMO_HTTP_PORT:-8123}
# Ends when the service does: corvane takes this shell's process below.
setpriv --pdeathsig TERM python3 -m http.server --bind 127.0.0.1 --directory "$web" "$http_port" >/dev/null 2>&1 &

echo "start-demo-service: corvane on ws://127.0.0.1:1237; open http://127.0.0.1:$http_port/ in a browser (Ctrl-C stops)"
exec "$service/corvane"
