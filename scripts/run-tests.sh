#!/usr/bin/env bash
# Installs every package the tests need, then builds and tests in stages:
#   1. release build, all tests; before it the include rules
#      (scripts/check-layering.sh), and each packaging target built alone in
#      the emptied tree (also in stage 6)
#   2. the Debian package: piuparts, then the installed service tested in a
#      clean Debian 12 root (scripts/test-deb.sh; needs root)
#   3. AddressSanitizer + UndefinedBehaviorSanitizer build, all tests
#      (the test plug-ins are instrumented too and run inside the
#      instrumented corvane)
#   4. soak: corvane_soak for 60 s against the instrumented service, with
#      LeakSanitizer at its exit (scripts/soak.sh --asan)
#   5. fuzz: every libFuzzer target for 60 s (scripts/fuzz.sh)
#   6. the Windows cross build under Wine, the installer included
#      (scripts/test-windows.sh)
#   7. every package signed with a throwaway certificate
#      (scripts/test-package.sh runs scripts/package.sh)
# Stops at the first failure and says which stage failed.
#
# CORVANE_BUILD_ROOT picks the parent of the build directories (default:
# build). With CI set, compiler warnings are errors.
set -euo pipefail

tag=run-tests
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# Wine turns Windows file names into Unix ones with the locale's character
# set; in a bare environment (CI, a minimal system) that is ASCII, and module
# names beyond it cannot be found. C.UTF-8 comes with every Debian.
if [[ "$(locale charmap 2>/dev/null)" != "UTF-8" ]]; then
  export LC_ALL=C.UTF-8
fi

declare -a summaries=()

# build_and_test <stage title> <preset> [packaging target...]
# The workflow preset of that name configures, builds and runs every test but
# the wine-labelled ones (the Windows stage runs those). The packaging targets
# are first built one by one in the configured, emptied tree.
build_and_test() {
  local title="$1" preset="$2"
  shift 2
  local dir="$build_root/$preset"
  local log="$dir/ctest-output.log"

  if [[ $# -gt 0 ]]; then
    echo
    echo "==> [$title] configuring $dir ($(elapsed))"
    CORVANE_WARNINGS_AS_ERRORS=$werror cmake --preset "$preset" -B "$dir" >/dev/null \
      || fail "$title: configuring failed"
    build_each_package_alone "$dir" "$@"
  fi
  echo
  echo "==> [$title] configuring, building with 2 jobs, running the tests: workflow preset $preset ($(elapsed))"
  mkdir -p "$dir"
  set +e
  workflow "$preset" "$dir" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  set -e
  local summary
  summary="$(grep -E 'tests passed|tests failed' "$log" | tail -1 || true)"
  if [[ $rc -ne 0 && -z "$summary" ]]; then
    fail "$title: configuring or building failed (full output: $log)"
  fi
  summaries+=("$title: ${summary:-no summary (exit code $rc)}")
  if [[ $rc -ne 0 ]]; then
    fail "$title: tests failed: ${summary:-exit code $rc} (full output: $log)"
  fi
}

echo "==> Checking packages"
scripts/setup-deps.sh || fail "installing the packages failed (see above)"

bash scripts/check-layering.sh || fail "release: the include rules of docs/architecture.md are broken (see above)"
# The .deb is CPack's package target.
build_and_test "release" release package

echo
echo "==> [deb] the package in a clean Debian 12 root ($(elapsed))"
bash scripts/test-deb.sh "$build_root/release" || fail "deb: the Debian package test failed"
summaries+=("deb: scripts/test-deb.sh passed")

# Stop at the first finding, also inside corvane when a test starts it, and
# make the process fail rather than carry on.
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:check_initialization_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
build_and_test "asan+ubsan" asan
unset ASAN_OPTIONS UBSAN_OPTIONS

echo
echo "==> [soak] 60 s against the asan+ubsan service ($(elapsed))"
bash scripts/soak.sh --asan 60 || fail "soak: corvane_soak failed (see above; plot and samples in $build_root/soak/)"
summaries+=("soak: corvane_soak passed (60 s, 200 connections, asan+ubsan service)")

echo
echo "==> [fuzz] every fuzz target for 60 s ($(elapsed))"
bash scripts/fuzz.sh 60 || fail "fuzz: a target found something or did not build (see above)"
while read -r line; do
  summaries+=("fuzz: $line")
done <"$build_root/fuzz/fuzz-summary.txt"

if [[ -f scripts/test-windows.sh ]]; then
  echo
  echo "==> [windows] cross build and tests under Wine ($(elapsed))"
  bash scripts/test-windows.sh || fail "windows: the cross build or its tests under Wine failed"
  summaries+=("windows: scripts/test-windows.sh passed")
else
  summaries+=("windows: skipped (scripts/test-windows.sh not present)")
fi

echo
echo "==> [packaging] scripts/package.sh, signed with a throwaway certificate ($(elapsed))"
bash scripts/test-package.sh || fail "packaging: building or signing the packages failed"
summaries+=("packaging: scripts/test-package.sh passed")

echo
echo "==> All stages passed in $(elapsed)"
for line in "${summaries[@]}"; do
  echo "    $line"
done
