#!/usr/bin/env bash
# The Windows build, proven under Wine:
#   1. cross-configure with MinGW-w64 (preset windows-cross), build each
#      packaging target alone in the emptied tree (msi, the ZIP's package),
#      then build everything (workflow preset windows-cross)
#   2. one Wine prefix for the run, inside the build directory
#   3. the unit test programs (.exe) under Wine, through CTest
#   4. the native end-to-end test programs driving Corvane.exe (its restart
#      after a crash included), Corvane-Doctor.exe, Quintrel.dll and the
#      fault token module (as Kestova.dll) under Wine, in a private network
#      namespace with a wineserver of its own
#   5. the ZIP package, and a check of what it holds
#   6. the installer (MSI) under Wine: install, upgrade, uninstall
#      (scripts/test-msi.sh)
#
# Usage: scripts/test-windows.sh [native build directory]
#   The native build directory holds the end-to-end test programs (default:
#   $CORVANE_NATIVE_BUILD_DIR, else ${CORVANE_BUILD_ROOT:-build}/release,
#   which scripts/run-tests.sh builds first).
#   CORVANE_WINDOWS_BUILD_DIR picks the cross build directory (default:
#   ${CORVANE_BUILD_ROOT:-build}/windows-cross). With CI set, compiler
#   warnings are errors.
set -euo pipefail

tag=windows
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
native_dir="${1:-${CORVANE_NATIVE_BUILD_DIR:-$build_root/release}}"
win_dir="${CORVANE_WINDOWS_BUILD_DIR:-$build_root/windows-cross}"

need x86_64-w64-mingw32-g++-posix wine wineserver unzip wixl msiinfo Xvfb
[[ -x "$native_dir/tests/host/corvane_host_e2e_tests" && -x "$native_dir/tests/host/corvane_policy_e2e_tests" &&
   -x "$native_dir/tests/quintrel/quintrel_e2e_tests" &&
   -x "$native_dir/tests/windows/corvane_certificate_fixtures" &&
   -x "$native_dir/tests/windows/corvane_windows_log_e2e_tests" &&
   -x "$native_dir/tests/windows/corvane_windows_supervisor_e2e_tests" &&
   -x "$native_dir/tests/windows/corvane_windows_prompt_e2e_tests" &&
   -x "$native_dir/tests/doctor/corvane_doctor_e2e_tests" ]] ||
  fail "no native end-to-end tests in $native_dir: build the native release preset first (scripts/run-tests.sh does)"

step "configuring $win_dir"
CORVANE_WARNINGS_AS_ERRORS=$werror cmake --preset windows-cross -B "$win_dir" >/dev/null ||
  fail "configuring the cross build failed"
# The installer and the ZIP (CPack's package target), each built alone first.
build_each_package_alone "$win_dir" msi package
step "configuring and building with 2 jobs (workflow preset windows-cross)"
workflow windows-cross "$win_dir" || fail "configuring or building the cross build failed"
win_dir="$(cd "$win_dir" && pwd)"

# One prefix per build directory, made once.
use_wine_prefix "$win_dir/wineprefix"
trap 'stop_wineserver; reap_wine_prefix; [[ -z "${xvfb_pid:-}" ]] || kill "$xvfb_pid" 2>/dev/null || true' EXIT

if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  step "creating the Wine prefix"
  wineboot -i >/dev/null 2>&1 || fail "wineboot -i failed for $WINEPREFIX"
  wineserver -w
fi

# OpenSSL's reading of a set of certificates, for the decoder tests.
"$native_dir/tests/windows/corvane_certificate_fixtures" "$win_dir/certificate-fixtures" ||
  fail "writing the certificate fixtures failed"

# A persistent wineserver: without it every test program pays for the
# start of Wine's own services.
step "unit tests under Wine"
stop_wineserver
wineserver -p
wine cmd.exe /c exit 2>/dev/null || true # starts Wine's own services once
ctest --test-dir "$win_dir" --output-on-failure --parallel 2 --timeout 120 --no-tests=error ||
  fail "unit tests under Wine failed"
stop_wineserver

# Wine creates sockets in the wineserver, so the wineserver must live in the
# same network namespace as the tests: it is started there, after the one
# outside is gone. Every test case gets a namespace and a wineserver of its
# own: Wine 8.0's wineserver can keep the listening socket of a killed
# service bound (and may trip over it when shutting down), which would fail
# every later case of a shared run. Within one case all services share the
# wineserver, and with it the session namespace of the instance mutex.
e2e_env=()
while IFS= read -r line; do
  [[ -n "$line" ]] && e2e_env+=("$line")
done <"$win_dir/wine-e2e.env"
e2e_env+=("CORVANE_TEST_LAUNCHER=wine")

e2e_log="$win_dir/e2e-under-wine.log"
: >"$e2e_log"
# run_e2e <program> <gtest negative filter>
run_e2e() {
  local program="$1" exclude="$2" name="${1##*/}" suite="" line cases=() case failed=0
  step "$name against Corvane.exe under Wine, one wineserver per case"
  while IFS= read -r line; do
    if [[ "$line" =~ ^([A-Za-z0-9_]+)\.$ ]]; then
      suite="${BASH_REMATCH[1]}"
    elif [[ "$line" =~ ^\ \ ([A-Za-z0-9_]+) ]]; then
      case="$suite.${BASH_REMATCH[1]}"
      [[ -n "$exclude" && "$case" == $exclude ]] || cases+=("$case")
    fi
  done < <("$program" --gtest_list_tests)
  [[ ${#cases[@]} -gt 0 ]] || fail "$name lists no test cases"
  for case in "${cases[@]}"; do
    if env "${e2e_env[@]}" tests/run-in-netns.sh bash -c '
        wineserver -p
        wine cmd.exe /c exit 2>/dev/null || true   # starts Wine'"'"'s own services once
        "$@"; rc=$?
        wineserver -k 2>/dev/null; wineserver -w 2>/dev/null
        exit $rc' e2e "$program" --gtest_filter="$case" >>"$e2e_log" 2>&1; then
      ok "$case"
    else
      echo "    FAILED  $case"
      failed=$((failed + 1))
    fi
    reap_wine_prefix
  done
  [[ $failed -eq 0 ]] || fail "$failed case(s) of $name failed under Wine (output: $e2e_log)"
}

# Cases that do not apply to the Windows build:
#   ProcessTest.sigterm_*: Windows delivers no SIGTERM; a service there is
#   ended from outside, which the other cases do by killing it.
run_e2e "$native_dir/tests/host/corvane_host_e2e_tests" "ProcessTest.sigterm_*"
run_e2e "$native_dir/tests/quintrel/quintrel_e2e_tests" ""
# The origin policy from the registry (reg add in the prefix, removed after
# each case), and the log file of a Corvane.exe without standard handles.
run_e2e "$native_dir/tests/host/corvane_policy_e2e_tests" ""
run_e2e "$native_dir/tests/windows/corvane_windows_log_e2e_tests" ""
# The service restarted after a crash in a plug-in, the supervisor giving up,
# and the service ending with a killed supervisor.
run_e2e "$native_dir/tests/windows/corvane_windows_supervisor_e2e_tests" ""
# Sign and Authenticate through Corvane.exe's PIN dialog, on a virtual
# display of this run's own, filled in by corvane_prompt_driver.exe.
# CORVANE_TEST_SCREENSHOT names a file for a picture of the dialog.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$win_dir/xvfb.display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [[ -s "$win_dir/xvfb.display" ]] && break; sleep 0.1; done
display_number=$(head -n1 "$win_dir/xvfb.display")
[[ -n "$display_number" ]] || fail "Xvfb did not start"
saved_env=("${e2e_env[@]}")
e2e_env+=("DISPLAY=:$display_number" "CORVANE_TEST_SCREENSHOT=${CORVANE_TEST_SCREENSHOT:-}")
run_e2e "$native_dir/tests/windows/corvane_windows_prompt_e2e_tests" ""
e2e_env=("${saved_env[@]}")
kill "$xvfb_pid" 2>/dev/null || true

# Corvane-Doctor.exe beside Quintrel.dll and the fault module as Kestova.dll.
run_e2e "$native_dir/tests/doctor/corvane_doctor_e2e_tests" ""

step "packaging"
(cd "$win_dir" && rm -f Corvane-*-win64.zip && cpack >/dev/null) || fail "cpack failed"
zip=$(ls "$win_dir"/Corvane-*-win64.zip)
listing=$(unzip -Z1 "$zip")
for file in Corvane.exe Corvane-Doctor.exe Quintrel.dll README.md LICENSE.txt docs/administrators.md \
    docs/web-developers.md examples/demo.html clients/js/corvane.global.js clients/js/README.md \
    policy/Corvane.admx policy/en-US/Corvane.adml; do
  grep -qE "^([^/]+/)?$file\$" <<<"$listing" || fail "$file is missing from $zip"
done
echo "$listing" | sed 's/^/    /'

bash scripts/test-msi.sh "$win_dir" "$native_dir" || fail "the installer failed under Wine"

step "passed; packages: $zip and the installer"
