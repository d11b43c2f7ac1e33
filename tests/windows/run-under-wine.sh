#!/usr/bin/env bash
# Runs one native end-to-end test program against a Windows build under Wine
# (CTest's launcher for the tests labelled "wine").
#
# Usage: run-under-wine.sh <Windows build dir> [--display] <program> [args...]
#        run-under-wine.sh <Windows build dir> --start-display | --stop-display
#   The program gets the variables of <Windows build dir>/wine-e2e.env (where
#   Corvane.exe and its modules are) and CORVANE_TEST_LAUNCHER=wine. It runs
#   in a private network namespace with a wineserver of its own, started
#   there: Wine creates sockets in the wineserver, and Wine 8.0's wineserver
#   can keep a killed service's port bound, which would spill into the next
#   case. Within the case every service shares that wineserver, and with it
#   the session namespace of the instance mutex. Afterwards the wineserver
#   is ended and waited for, and whatever is left in the prefix is killed. --display gives the program an Xvfb display
#   (for the PIN dialog): the one --start-display started for the run, else
#   one of its own. Listing the cases needs no Wine.
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
if [[ "$1" != --start-display && "$1" != --stop-display ]]; then
  for arg in "$@"; do
    [[ "$arg" == --gtest_list_tests ]] && exec "$@"
  done
fi

tag=run-under-wine
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib.sh"

# The shared display: "<number> <pid>" of an Xvfb started for the run.
display_state="$win_dir/wine-e2e.display"
shared_display() {
  local number pid
  [[ -f "$display_state" ]] && read -r number pid <"$display_state" || return 1
  [[ "$(cat "/proc/$pid/comm" 2>/dev/null)" == Xvfb ]] || return 1
  echo "$number $pid"
}
# start_xvfb <file>: an Xvfb that writes its display number to the file.
start_xvfb() {
  need Xvfb
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$1" </dev/null >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do [[ -s "$1" ]] && break; sleep 0.1; done
  [[ -s "$1" ]] || fail "Xvfb did not start"
}
case "$1" in
  --start-display)
    if ! shared_display >/dev/null; then
      start_xvfb "$display_state.new"
      echo "$(head -n1 "$display_state.new") $xvfb_pid" >"$display_state"
      rm -f "$display_state.new"
    fi
    exit 0
    ;;
  --stop-display)
    if state="$(shared_display)"; then
      kill "${state#* }" 2>/dev/null || true
    fi
    rm -f "$display_state"
    exit 0
    ;;
esac

[[ -f "$win_dir/wine-e2e.env" ]] || fail "$win_dir/wine-e2e.env is missing: configure the Windows build first"
e2e_env=()
while IFS= read -r line; do
  [[ -n "$line" ]] && e2e_env+=("$line")
done <"$win_dir/wine-e2e.env"
e2e_env+=("CORVANE_TEST_LAUNCHER=wine")

use_wine_prefix "$win_dir/wineprefix"
# A wineserver outside the namespace would serve the Wine started inside it
# (it is found by a path in /tmp), and with it every socket: end it first.
# A case that did not get to its end (killed at its timeout) leaves its
# marker, and then whatever it left in the prefix goes too.
stop_wineserver
running="$win_dir/wine-e2e.running"
if [[ -e "$running" ]]; then
  reap_wine_prefix
fi
make_wine_prefix
: >"$running"

xvfb_pid=""
scratch="$(mktemp -d "${TMPDIR:-/tmp}/corvane-wine-XXXXXX")"
cleanup() {
  [[ -z "$xvfb_pid" ]] || kill "$xvfb_pid" 2>/dev/null || true
  reap_wine_prefix
  rm -rf "$scratch" "$running"
}
trap cleanup EXIT

if [[ $display -eq 1 ]]; then
  if state="$(shared_display)"; then
    number="${state%% *}"
  else
    start_xvfb "$scratch/display"
    number="$(head -n1 "$scratch/display")"
  fi
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
