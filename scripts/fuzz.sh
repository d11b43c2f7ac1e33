#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz (the fuzz preset, clang with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each for SECONDS
# (default 60), as many at once as there are CPUs. Prints executions and coverage per target;
# exits non-zero when a target found something, naming the reproducer.
#
#   scripts/fuzz.sh [SECONDS]
#
# The seeds in tests/fuzz/corpus/<target>/ (or the directory the target
# names in tests/fuzz/CMakeLists.txt) are copied into a work directory,
# so a run never writes into the tree. The work directory keeps the corpus
# each target grows and its findings, for the next run:
#   CORVANE_FUZZ_WORK      work directory (default: <build root>/fuzz/work)
#   CORVANE_FUZZ_TARGETS   only these targets, separated by spaces
#   CORVANE_BUILD_ROOT     parent of the build directory (default: build)
# With CI set, compiler warnings are errors.
set -euo pipefail

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [SECONDS]" >&2
  exit 2
fi

tag=fuzz
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build_dir="$build_root/fuzz"
work="${CORVANE_FUZZ_WORK:-$build_dir/work}"

step "configuring and building $build_dir (workflow preset fuzz)"
workflow fuzz "$build_dir" || fail "configuring or building $build_dir failed"

# Stack traces for UndefinedBehaviorSanitizer findings; libFuzzer itself
# turns every sanitizer report into a saved reproducer.
export UBSAN_OPTIONS="print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

# fuzz_target <name> <max_len> <binary> <seeds>: one target for SECONDS;
# leaves its summary line, and a rerun line if it found something, in its
# work directory.
fuzz_target() {
  local name="$1" max_len="$2" binary="$3" seeds="$4"
  local corpus="$work/$name/corpus" artifacts="$work/$name/findings" log="$work/$name/last-run.log"
  local rc executions coverage summary reproducer
  rm -f "$work/$name/summary" "$work/$name/finding"
  mkdir -p "$corpus" "$artifacts"
  cp -n tests/fuzz/corpus/"${seeds:-$name}"/* "$corpus"/ 2>/dev/null || true

  echo "==> [fuzz] $name: ${seconds}s, inputs up to $max_len bytes, corpus $corpus"
  set +e
  "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1
  rc=$?
  set -e

  executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  coverage="$(grep -Eo 'cov: [0-9]+ ft: [0-9]+ corp: [^ ]+' "$log" | tail -1 || true)"
  summary="$name: ${executions:-?} executions, ${coverage:-no coverage line}"
  if [[ $rc -ne 0 ]]; then
    reproducer="$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)"
    summary="$summary, FINDING (exit code $rc): reproducer ${reproducer:-none written}; log $log"
    echo "$name: rerun it with: $binary ${reproducer:-<input>}" >"$work/$name/finding"
  fi
  echo "$summary" >"$work/$name/summary"
}

# Each target is single-threaded: as many run at once as there are CPUs,
# each still for SECONDS.
parallel="$(nproc 2>/dev/null || echo 1)"
running=0
declare -a names=()
while read -r name max_len binary seeds; do
  if [[ -n "${CORVANE_FUZZ_TARGETS:-}" && " $CORVANE_FUZZ_TARGETS " != *" $name "* ]]; then
    continue
  fi
  names+=("$name")
  if [[ $running -ge $parallel ]]; then
    wait -n || true
    running=$((running - 1))
  fi
  fuzz_target "$name" "$max_len" "$binary" "${seeds:-}" &
  running=$((running + 1))
done <"$build_dir/fuzz-targets.txt"
wait

declare -a findings=()
declare -a summaries=()
for name in "${names[@]}"; do
  summary="$(cat "$work/$name/summary" 2>/dev/null || echo "$name: did not report")"
  if [[ -f "$work/$name/finding" ]]; then
    tail -n 40 "$work/$name/last-run.log"
    findings+=("$(cat "$work/$name/finding")")
  elif [[ ! -f "$work/$name/summary" ]]; then
    findings+=("$name: the run ended without a summary; log $work/$name/last-run.log")
  fi
  summaries+=("$summary")
done

echo
echo "==> [fuzz] summary"
for line in "${summaries[@]}"; do
  echo "    $line"
done
printf '%s\n' "${summaries[@]}" >"$build_dir/fuzz-summary.txt"
if [[ ${#findings[@]} -gt 0 ]]; then
  echo "==> [fuzz] FINDINGS:" >&2
  for line in "${findings[@]}"; do
    echo "    $line" >&2
  done
  exit 1
fi
