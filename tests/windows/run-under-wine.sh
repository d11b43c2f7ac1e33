#!/usr/bin/env bash
# Runs one native end-to-end test program against a Windows build under Wine
# (CTest's launcher for the tests labelled "wine").
#
# Usage: run-under-wine.sh <Windows build dir> [--display] <program> [args...]
#   The program gets the variables of <Windows build dir>/wine-e2e.env (where
#   Corvane.exe and its modules are) and CORVANE_TEST_LAUNCHER=wine. It runs
#   in a private network namespace with a wineserver of its own, started
#   there: Wine creates sockets in the wineserver, and Wine 8.0's wineserver
#   can keep a killed service's port bound, which would spill into the next
#   case. Afterwards the wineserver is ended and waited for, and whatever is
#   left in the prefix is killed. --display gives the program an Xvfb display
#   of its own (for the PIN dialog). Listing the cases needs no Wine.
set -euo pipefail

if [[ $# -lt 2 ]]; then
  echo "usage: $0 <Windows build dir> [--display] <program> [args...]" >&2
  exit 2
fi
win_dir="$(cd "$1" && pwd)"
shift
display=0
if [[ "$1" == --display ]]; then
  display=1
  shift
fi
for arg in "$@"; do
  [[ "$arg" == --gtest_list_tests ]] && exec "$@"
done

tag=run-under-wine
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib.sh"

[[ -f "$win_dir/wine-e2e.env" ]] || fail "$win_dir/wine-e2e.env is missing: configure the Windows build first"
e2e_env=()
while IFS= read -r line; do
  [[ -n "$line" ]] && e2e_env+=("$line")
done <"$win_dir/wine-e2e.env"
e2e_env+=("CORVANE_TEST_LAUNCHER=wine")

use_wine_prefix "$win_dir/wineprefix"
# A wineserver outside the namespace would serve the Wine started inside it
# (it is found by a path in /tmp), and with it every socket: end it first,
# and whatever an earlier, killed run left behind.
stop_wineserver
reap_wine_prefix
make_wine_prefix

xvfb_pid=""
scratch="$(mktemp -d "${TMPDIR:-/tmp}/corvane-wine-XXXXXX")"
cleanup() {
  [[ -z "$xvfb_pid" ]] || kill "$xvfb_pid" 2>/dev/null || true
  reap_wine_prefix
  rm -rf "$scratch"
}
trap cleanup EXIT

if [[ $display -eq 1 ]]; then
  need Xvfb
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$scratch/display" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 100); do [[ -s "$scratch/display" ]] && break; sleep 0.1; done
  number="$(head -n1 "$scratch/display")"
  [[ -n "$number" ]] || fail "Xvfb did not start"
  e2e_env+=("DISPLAY=:$number" "CORVANE_TEST_SCREENSHOT=${CORVANE_TEST_SCREENSHOT:-}")
fi

set +e
env "${e2e_env[@]}" tests/run-in-netns.sh bash -c '
    wineserver -p
    wine cmd.exe /c exit 2>/dev/null || true   # starts Wine'"'"'s own services once
    "$@"; rc=$?
    wineserver -k 2>/dev/null; wineserver -w 2>/dev/null
    exit $rc' run-under-wine "$@"
rc=$?
set -e
exit $rc
