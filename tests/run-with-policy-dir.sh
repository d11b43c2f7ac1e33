#!/bin/sh
# Runs a command through run-in-netns.sh inside a private mount namespace in
# which /etc/corvane and Chromium's /etc/chromium/policies/managed are empty
# directories of their own, and tells the command so with
# CORVANE_TEST_POLICY_DIR=/etc/corvane and
# CORVANE_TEST_CHROMIUM_POLICY_DIR=/etc/chromium/policies/managed. Tests then
# put an origin policy in place for the real service, or a managed policy for
# a Chromium they start, without touching the machine's /etc or any browser
# outside.
# Where no mount namespace can be made the command runs without that
# variable, and the tests that need it report themselves skipped.
set -eu

if [ "$#" -eq 0 ]; then
    echo "usage: $0 command [args...]" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)

# In the namespace: a tmpfs over each directory, made first with an overlay on
# /etc where one does not exist (the overlay's writable half is a tmpfs too).
# The mount point of that tmpfs is an empty directory outside, removed after.
setup='
set -e
chromium=/etc/chromium/policies/managed
if [ ! -d /etc/corvane ] || [ ! -d $chromium ]; then
    mount -t tmpfs -o mode=0755 corvane-etc "$1"
    mkdir "$1/upper" "$1/work"
    mount -t overlay overlay -o "lowerdir=/etc,upperdir=$1/upper,workdir=$1/work" /etc
    mkdir -p /etc/corvane $chromium
fi
mount -t tmpfs -o mode=0755 corvane-policy /etc/corvane
mount -t tmpfs -o mode=0755 chromium-policy $chromium
shift
exec env CORVANE_TEST_POLICY_DIR=/etc/corvane CORVANE_TEST_CHROMIUM_POLICY_DIR=$chromium "$@"
'

if [ -z "${CORVANE_TEST_POLICY_DIR:-}" ]; then
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/corvane-etc-XXXXXX")
    trap 'rmdir "$scratch" 2>/dev/null || true' EXIT
    for user_namespace in "" --map-root-user; do
        if unshare --mount $user_namespace sh -c "$setup" setup "$scratch" true 2>/dev/null; then
            status=0
            unshare --mount $user_namespace sh -c "$setup" setup "$scratch" "$here/run-in-netns.sh" "$@" || status=$?
            exit $status
        fi
    done
    echo "run-with-policy-dir: no private mount namespace; tests of the origin policy will be skipped" >&2
fi
exec "$here/run-in-netns.sh" "$@"
