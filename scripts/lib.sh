# shellcheck shell=bash disable=SC2034
# Sourced by the scripts in this folder: where the tree and the builds are,
# and one way of reporting progress and failure. A script sets `tag` (its
# name in the output) before sourcing this; sourcing moves to the tree's root.
#
# CORVANE_BUILD_ROOT picks the parent of the build directories (default:
# build). With CI set, compiler warnings are errors.

: "${tag:?set tag before sourcing lib.sh}"
corvane_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$corvane_root" || exit 1
build_root="${CORVANE_BUILD_ROOT:-build}"

# Passed both ways, so that a CI run leaves no -Werror in a developer's cache.
werror=OFF
if [[ -n "${CI:-}" ]]; then
  werror=ON
fi

corvane_started=$SECONDS
elapsed() {
  local s=$((SECONDS - corvane_started))
  printf '%dm%02ds' $((s / 60)) $((s % 60))
}
step() { printf '==> [%s] %s (%s)\n' "$tag" "$*" "$(elapsed)"; }
ok() { echo "    ok      $*"; }
fail() {
  echo "$tag: FAILED: $*" >&2
  exit 1
}

# need <tool>...: fails naming the first one that is not installed.
need() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/setup-deps.sh"
  done
}

# build_each_package_alone <build dir> <target>...: builds every packaging
# target by itself in an emptied tree, each with 2 jobs, so that a package
# that stages a file before the build has made it fails here every time
# rather than now and then in a full build.
build_each_package_alone() {
  local dir="$1" target
  shift
  for target in "$@"; do
    cmake --build "$dir" --target clean >/dev/null || fail "cleaning $dir failed"
    step "building the packaging target $target alone in an emptied $dir"
    cmake --build "$dir" -j2 --target "$target" >"$dir/package-alone-$target.log" 2>&1 || {
      tail -30 "$dir/package-alone-$target.log" >&2
      fail "$target, built alone, failed: it stages something it does not depend on (log: $dir/package-alone-$target.log)"
    }
  done
}

# workflow <preset> <build dir>: the steps of CMake's workflow preset of that
# name (configure, build and, for the native stages, the tests), with
# warnings as errors under CI. A workflow builds in its presets' own
# directory, build/<preset>; for any other (CORVANE_BUILD_ROOT, a directory
# given to a script) the same presets run step by step with -B and
# --test-dir.
workflow() {
  local preset="$1" dir="$2" steps kind name targets
  export CORVANE_WARNINGS_AS_ERRORS=$werror
  if [[ "$(realpath -m "$dir")" == "$corvane_root/build/$preset" ]]; then
    cmake --workflow --preset "$preset"
    return
  fi
  steps="$(python3 -c '
import json, sys
presets = json.load(open(sys.argv[1]))
builds = {b["name"]: b for b in presets.get("buildPresets", [])}
flow = [w for w in presets.get("workflowPresets", []) if w["name"] == sys.argv[2]]
if not flow:
    sys.exit("no workflow preset " + sys.argv[2])
for step in flow[0]["steps"]:
    targets = builds.get(step["name"], {}).get("targets", []) if step["type"] == "build" else []
    print(step["type"], step["name"], *targets)
' "$corvane_root/CMakePresets.json" "$preset")" || return
  while read -r kind name targets; do
    # shellcheck disable=SC2086 # the build preset's targets, one word each
    case "$kind" in
      configure) cmake --preset "$name" -B "$dir" || return ;;
      build) cmake --build "$dir" -j2 ${targets:+--target $targets} || return ;;
      test) ctest --preset "$name" --test-dir "$dir" || return ;;
      *) fail "workflow preset $preset: no step of type $kind here" ;;
    esac
  done <<<"$steps"
}

# A Wine prefix of our own, with nothing that waits for a person: no display,
# no offers to install mscoree/mshtml, no debugger on a crash (a crash is an
# exit code).
use_wine_prefix() {
  export WINEPREFIX="$1"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=d;winedbg.exe=d"
  unset DISPLAY WAYLAND_DISPLAY
}

# Live processes of this prefix whose name matches the pattern, found by
# their environment: other Wine runs on the machine have their own.
wine_prefix_pids() {
  local pid
  for pid in $(pgrep "$1" 2>/dev/null || true); do
    if { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
      [[ "$(ps -o stat= -p "$pid" 2>/dev/null)" != Z* ]]; then
      echo "$pid"
    fi
  done
}

# Makes the prefix that use_wine_prefix chose, once.
make_wine_prefix() {
  [[ ! -f "$WINEPREFIX/system.reg" ]] || return 0
  step "creating the Wine prefix"
  wineboot -i >/dev/null 2>&1 || fail "wineboot -i failed for $WINEPREFIX"
  wineserver -w
}

stop_wineserver() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
}

# Ends every process still running in the prefix: Wine's own services are
# orphaned when a wineserver fails at shutdown.
reap_wine_prefix() {
  local pid
  for pid in $(wine_prefix_pids '\.exe$|^wineserver'); do
    kill -KILL "$pid" 2>/dev/null || true
  done
}
