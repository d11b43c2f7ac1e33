#!/bin/sh
# Runs a command beside a pcscd of its own, in private network and mount
# namespaces (root only: exit 77, which CTest counts as skipped, otherwise).
#
#   run-with-pcscd.sh command [args...]
#
# - Network: the virtual reader driver (vpcd) listens for card emulators on
#   fixed ports (35963, 35964) on every interface; here only loopback exists.
# - Mounts: pcscd 1.9.9 ignores PCSCLITE_CSOCK_NAME for its own socket and
#   always makes /run/pcscd/pcscd.comm. A directory of ours is bind-mounted
#   over /run/pcscd, so neither the machine's pcscd nor another test's is
#   touched. Outside that directory only /run/pcscd itself is made, when it
#   is missing, as pcscd would make it.
# pcscd reads its readers from /etc/reader.conf.d, where vsmartcard-vpcd
# registers vpcd.
set -eu

if [ "$#" -eq 0 ]; then
    echo "usage: $0 command [args...]" >&2
    exit 2
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "run-with-pcscd: needs root for its namespaces: skipped" >&2
    exit 77
fi
for tool in pcscd unshare mount; do
    command -v "$tool" >/dev/null || { echo "run-with-pcscd: $tool is missing (scripts/setup-deps.sh)" >&2; exit 1; }
done

if [ "${CORVANE_PCSCD_NAMESPACE:-}" != "1" ]; then
    exec env CORVANE_PCSCD_NAMESPACE=1 unshare --net --mount --propagation private "$0" "$@"
fi

ip link set lo up
work=$(mktemp -d /tmp/corvane-pcscd-XXXXXX)
# pcscd would make the directory itself; it must exist to mount over it.
mkdir -p /run/pcscd "$work/run"
mount --bind "$work/run" /run/pcscd
pcscd --foreground --debug >"$work/pcscd.log" 2>&1 &
pcscd_pid=$!
cleanup() {
    kill "$pcscd_pid" 2>/dev/null || true
    wait "$pcscd_pid" 2>/dev/null || true
    umount /run/pcscd 2>/dev/null || true
    if [ -n "${CORVANE_TEST_KEEP_DIRS:-}" ]; then
        echo "run-with-pcscd: pcscd's log is in $work/pcscd.log" >&2
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

i=0
until [ -S /run/pcscd/pcscd.comm ]; do
    i=$((i + 1))
    if [ "$i" -gt 100 ] || ! kill -0 "$pcscd_pid" 2>/dev/null; then
        echo "run-with-pcscd: pcscd did not start:" >&2
        tail -20 "$work/pcscd.log" >&2
        exit 1
    fi
    sleep 0.1
done

status=0
"$@" || status=$?
exit "$status"
