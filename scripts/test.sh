#!/usr/bin/env bash
# Installs what the build needs, builds the host, sanitizer and Windows presets with
# warnings as errors, and runs every test suite in turn, among them the host
# suite again under AddressSanitizer and UndefinedBehaviorSanitizer
# (host-asan) and each fuzz target of fuzz/ for FUZZ_SECONDS (30 by default).
# Each suite ends its output with a line "N passed, M failed"; the script
# prints one line per suite and a last line counting them all.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/bootstrap.sh all || exit 1

cmake --preset host || exit 1
cmake --build build/host -j"$(nproc)" || exit 1
cmake --preset host-asan || exit 1
cmake --build build/host-asan -j"$(nproc)" || exit 1

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
summary=()
all_passed=0 all_failed=0 all_skipped=0 status=0

# suite NAME COMMAND...: runs the command, reads its last "N passed, M failed"
# line (a missing line counts as one failure) and adds it to the summary.
suite() {
  local name=$1
  shift
  "$@" 2>&1 | tee "$logs/current"
  local code=${PIPESTATUS[0]}
  local line passed failed skipped
  line=$(grep -oE '(^|: )[0-9]+ passed, [0-9]+ failed' "$logs/current" | tail -1)
  passed=$(grep -oE '[0-9]+ passed' <<<"$line" | grep -oE '[0-9]+')
  failed=$(grep -oE '[0-9]+ failed' <<<"$line" | grep -oE '[0-9]+')
  # "(K skipped)" after the counts; read here, as the suite ran in a subshell.
  skipped=$(grep -oE '^[0-9]+ passed, [0-9]+ failed \([0-9]+ skipped\)' "$logs/current" | tail -1 |
            grep -oE '[0-9]+ skipped' | grep -oE '[0-9]+')
  passed=${passed:-0} failed=${failed:-1}
  all_skipped=$((all_skipped + ${skipped:-0}))
  [ "$code" -eq 0 ] || [ "$failed" -gt 0 ] || failed=1
  [ "$code" -eq 0 ] || status=1
  summary+=("$name: $passed passed, $failed failed${skipped:+ ($skipped skipped)} (exit $code)")
  all_passed=$((all_passed + passed)) all_failed=$((all_failed + failed))
}

# ctest prints "100% tests passed, 0 tests failed out of 335" and "(Skipped)" lines.
# The fault sweep runs as a suite of its own (fault_sweep below).
host_suite() {
  ctest --test-dir "$1" --output-on-failure -j"$(nproc)" -E '^FaultSweep\.' 2>&1 | tee "$logs/ctest"
  local code=${PIPESTATUS[0]}
  local total failed skipped
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$logs/ctest" | tail -1)
  failed=$(sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' "$logs/ctest" | tail -1)
  skipped=$(grep -c '(Skipped)' "$logs/ctest")
  total=${total:-0} failed=${failed:-1}
  echo "$((total - failed - skipped)) passed, $failed failed ($skipped skipped)"
  return "$code"
}

# The fault sweep, plain and sanitized: every platform call of ten runs failed
# in turn; each clean run counts as passed, each unclean one as failed.
fault_sweep() {
  local build code=0 runs=0 clean=0 line
  for build in build/host build/host-asan; do
    # A failing sweep shows all it printed: each unclean run with its call,
    # code and what broke.
    if ! "$build/tests/test_fault_sweep" >"$logs/sweep" 2>&1; then
      code=1
      cat "$logs/sweep"
    fi
    line=$(grep -E '^fault sweep: [0-9]+ runs, [0-9]+ clean' "$logs/sweep" | tail -1)
    [ -n "$line" ] || { code=1; runs=$((runs + 1)); continue; }
    grep -E '^fault sweep' "$logs/sweep" | sed "s|^|$build: |"
    runs=$((runs + $(sed -E 's/^fault sweep: ([0-9]+) runs.*/\1/' <<<"$line")))
    clean=$((clean + $(sed -E 's/^fault sweep: [0-9]+ runs, ([0-9]+) clean.*/\1/' <<<"$line")))
  done
  echo "$clean passed, $((runs - clean)) failed"
  return "$code"
}

# The capture round trip of every machine the host suite made current or
# ended a run on: each is a passed or a failed one ("N F S" lines, a process
# a line); none at all counts as a failure.
host_round_trip() {
  awk '{ machines += $1; failed += $2; skipped += $3 }
       END { if (machines == 0) { print "no capture round trips counted"; failed = 1 }
             printf "%d passed, %d failed (%d skipped)\n", machines - (machines ? failed : 0), failed, skipped
             exit (failed > 0) }' "$1"
}

# The Wine suite's round trip and oracle counts, from its report.
wine_counts() {
  local line
  line=$(grep -E "^$1: [0-9]+ passed, [0-9]+ failed$" "$2" 2>/dev/null | tail -1)
  [ -n "$line" ] || { echo "no $1 counts in $2"; return 1; }
  echo "$line"
  grep -qE ": [0-9]+ passed, 0 failed$" <<<"$line"
}

# Every fuzz target in turn; one that finds nothing counts as passed.
# scripts/fuzz.sh names the reproducer of a finding.
fuzz_targets() {
  local dir passed=0 failed=0
  for dir in fuzz/corpus/*/; do
    if scripts/fuzz.sh "$(basename "$dir")" "${FUZZ_SECONDS:-30}"; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
    fi
  done
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

# The host suite's processes append their capture round trips to the tally.
: >"$logs/round-trips"
export CAPTURE_ROUND_TRIP_TALLY="$logs/round-trips"
suite "host suite" host_suite build/host
unset CAPTURE_ROUND_TRIP_TALLY
suite "host round trip" host_round_trip "$logs/round-trips"
suite "asan suite" host_suite build/host-asan
suite "fault sweep" fault_sweep
suite "fuzz targets" fuzz_targets
# The Wine suite, once per architecture through its one entry point; the x86
# run needs the 32-bit Wine loader, which the bootstrap may not have been able
# to install: then the entry point reports the suite as skipped, with the reason.
suite "Wine suite" env HOST_BUILD=build/host tests/wine/ci.sh --arch x64
suite "Wine round trip" wine_counts "round trip" build/wine-oracle-x64.md
suite "Wine oracle" wine_counts oracle build/wine-oracle-x64.md
suite "Wine x86 suite" env HOST_BUILD=build/host tests/wine/ci.sh --arch x86
suite "vendor builds" python3 tests/wine/vendor.py
suite "admin kit" scripts/check-admin-kit.sh

echo
printf '%s\n' "${summary[@]}"
echo "all: $all_passed passed, $all_failed failed, $all_skipped skipped"
exit "$status"
