#!/usr/bin/env bash
# Installs what is missing, builds the service in release mode and runs it in
# the foreground on ws://127.0.0.1:1237. Logs go to the terminal (access log on
# stdout, error log on stderr); Ctrl-C stops the service.
#
# CORVANE_BUILD_ROOT picks the parent of the build directory (default: build).
set -euo pipefail

tag=run-service
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build_dir="$build_root/service"

step "checking packages"
scripts/setup-deps.sh --runtime || fail "installing the packages failed (see above)"

step "configuring $build_dir"
cmake --preset service -B "$build_dir" >/dev/null || fail "configuring failed"
step "building (2 jobs)"
cmake --build "$build_dir" -j2 || fail "building failed"

step "starting the service with the demo token (Ctrl-C stops it)"
exec bash scripts/start-demo-service.sh "$corvane_root/$build_dir"
