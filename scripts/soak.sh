#!/usr/bin/env bash
# Runs corvane_soak in a private network namespace.
#
#   scripts/soak.sh [--asan] [SECONDS [CONNECTIONS]]     (defaults: 60 s, 200)
#
# Without --asan: against the release build's corvane, side by side with the
# bare WebSocket++ endpoint; corvane's memory growth is judged against it.
# With --asan: against the asan preset's corvane and test plug-ins (the soak
# program itself stays in the release build); the memory is only shown, and
# LeakSanitizer judges at the service's exit instead.
#
# Builds what it needs first. The table goes to standard output, the plot
# and its samples to $CORVANE_BUILD_ROOT/soak/ (default build/soak/).
set -euo pipefail

tag=soak
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

asan=0
if [[ "${1:-}" == "--asan" ]]; then
  asan=1
  shift
fi
seconds="${1:-60}"
connections="${2:-200}"

# build <preset> <target>...: configures the preset once, then builds.
build() {
  local preset="$1"
  shift
  if [[ ! -f "$build_root/$preset/CMakeCache.txt" ]]; then
    cmake --preset "$preset" -B "$build_root/$preset" >/dev/null
  fi
  cmake --build "$build_root/$preset" -j2 --target "$@"
}

build release corvane_soak
build_dir="$(cd "$build_root" && pwd)"
name="release"
if [[ $asan -eq 1 ]]; then
  build asan corvane corvane_test_plugins
  name="asan"
  export CORVANE_TEST_SERVICE="$build_dir/asan/server/corvane"
  export CORVANE_TEST_ARTIFACTS="$build_dir/asan/test-artifacts"
  export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
fi

out="$build_dir/soak"
# A directory of our own for the servers' files: a cleaner sweeping /tmp
# cannot take the plug-ins from under a long run.
mkdir -p "$out/tmp"
# Two servers with a socket per connection each, and the client's twins.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

echo "==> corvane_soak: $seconds s, $connections connections ($name)"
TMPDIR="$out/tmp" tests/run-in-netns.sh "$build_dir/release/bench/corvane_soak" \
  --seconds "$seconds" --connections "$connections" --plot "$out/soak-$name.png"
