#!/bin/sh
# Runs a command in a private network namespace with only loopback up, so
# that tests can bind 127.0.0.1:1237 even while a real service runs, and
# never reach anything else. Where user namespaces are not available the
# command runs directly.
set -eu

if [ "$#" -eq 0 ]; then
    echo "usage: $0 command [args...]" >&2
    exit 2
fi

ip_tool=$(command -v ip 2>/dev/null || true)
for candidate in /usr/sbin/ip /sbin/ip; do
    if [ -z "$ip_tool" ] && [ -x "$candidate" ]; then
        ip_tool=$candidate
    fi
done

# As root a plain network namespace will do; it also works where user
# namespaces do not (inside a chroot, for one).
if [ "${CORVANE_IN_NETNS:-}" != "1" ] && [ -n "$ip_tool" ] && [ "$(id -u)" -eq 0 ] &&
    unshare --net "$ip_tool" link set lo up 2>/dev/null; then
    exec env CORVANE_IN_NETNS=1 CORVANE_IP_TOOL="$ip_tool" unshare --net \
        sh -c '"$CORVANE_IP_TOOL" link set lo up && exec "$@"' run-in-netns "$@"
fi

if [ "${CORVANE_IN_NETNS:-}" != "1" ] && [ -n "$ip_tool" ] &&
    unshare --net --map-root-user "$ip_tool" link set lo up 2>/dev/null; then
    exec env CORVANE_IN_NETNS=1 CORVANE_IP_TOOL="$ip_tool" unshare --net --map-root-user \
        sh -c '"$CORVANE_IP_TOOL" link set lo up && exec "$@"' run-in-netns "$@"
fi

if [ "${CORVANE_IN_NETNS:-}" != "1" ]; then
    echo "run-in-netns: network namespaces unavailable, running directly" >&2
fi
exec "$@"
