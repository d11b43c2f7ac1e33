#!/usr/bin/env bash
# The Windows build, proven under Wine:
#   1. cross-configure with MinGW-w64 (preset windows-cross), build each
#      packaging target alone in the emptied tree (msi, the ZIP's package),
#      then build everything (workflow preset windows-cross)
#   2. one Wine prefix for the run, inside the build directory
#   3. the unit test programs (.exe) under Wine, through CTest
#   4. the native end-to-end test programs driving Corvane.exe (its restart
#      after a crash included), Corvane-Doctor.exe, Quintrel.dll and the
#      fault token module (as Kestova.dll) under Wine: the native tree is
#      configured with CORVANE_WINE_TREE and runs `ctest -L wine`, every case
#      in a private network namespace with a wineserver of its own
#      (tests/windows/run-under-wine.sh)
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
[[ -x "$native_dir/tests/host/corvane_host_e2e_tests" && -x "$native_dir/tests/service/corvane_service_e2e_tests" &&
   -x "$native_dir/tests/service/corvane_policy_e2e_tests" &&
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
trap 'stop_wineserver; reap_wine_prefix' EXIT
make_wine_prefix

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

# The native end-to-end programs against Corvane.exe, one CTest test per
# case (label wine), each case in a network namespace with a wineserver of
# its own (tests/windows/run-under-wine.sh says why). The cases that do not
# apply to Windows are left out where they are registered
# (tests/windows/CMakeLists.txt).
step "the native end-to-end tests against Corvane.exe under Wine (ctest -L wine)"
cmake "$native_dir" -DCORVANE_WINE_TREE="$win_dir" >/dev/null ||
  fail "configuring $native_dir with CORVANE_WINE_TREE=$win_dir failed"
e2e_log="$win_dir/e2e-under-wine.log"
set +e
ctest --test-dir "$native_dir" -L wine --output-on-failure --timeout 300 --no-tests=error 2>&1 | tee "$e2e_log"
rc=${PIPESTATUS[0]}
set -e
[[ $rc -eq 0 ]] || fail "end-to-end tests under Wine failed (output: $e2e_log)"

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
