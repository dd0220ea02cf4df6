#!/usr/bin/env bash
# Runs one fuzz target of fuzz/ for a while.
# Usage: scripts/fuzz.sh TARGET SECONDS    (TARGET: inf_reader, machine_reader, multi_string, package_files)
#
# Builds the fuzz preset when needed, replays the target's known reproducers
# (fuzz/known/TARGET/), then fuzzes for SECONDS on a scratch copy of its seed
# corpus (fuzz/corpus/TARGET/).  A crash, leak, sanitizer report or hang is
# kept in build/fuzz/findings/TARGET/ and the script exits 1, naming it.
# Ends with "fuzz TARGET: N execs, clean" when nothing was found.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
target=${1:?usage: scripts/fuzz.sh TARGET SECONDS}
seconds=${2:?usage: scripts/fuzz.sh TARGET SECONDS}
[ -d "fuzz/corpus/$target" ] || { echo "fuzz: no target $target (fuzz/corpus/$target)" >&2; exit 2; }

mkdir -p build/fuzz
build_log=build/fuzz/build-$target.log
{ [ -f build/fuzz/CMakeCache.txt ] || cmake --preset fuzz; } >"$build_log" 2>&1 &&
  cmake --build build/fuzz -j"$(nproc)" --target "fuzz_$target" >>"$build_log" 2>&1 ||
  { cat "$build_log"; echo "fuzz $target: the build failed"; exit 2; }
binary=$root/build/fuzz/fuzz/fuzz_$target
findings=$root/build/fuzz/findings/$target
work=$root/build/fuzz/work/$target
rm -rf "$work"
mkdir -p "$findings" "$work/corpus"
cp -R "fuzz/corpus/$target/." "$work/corpus/"
cd "$work"

# found LOG: names the reproducer libFuzzer wrote, shows the report, exits 1.
found() {
  tail -n 60 "$1"
  local unit
  unit=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$1" | tail -1)
  echo "fuzz $target: FINDING, reproducer: ${unit:-see the report above}"
  exit 1
}

shopt -s nullglob
known=("$root/fuzz/known/$target"/*)
if [ ${#known[@]} -gt 0 ]; then
  if ! "$binary" -artifact_prefix="$findings/" "${known[@]}" >known.log 2>&1; then
    tail -n 60 known.log
    echo "fuzz $target: FINDING, a known reproducer still fails: $(sed -n 's/^Running: //p' known.log | tail -1)"
    exit 1
  fi
fi

runs=()
[ "$seconds" -gt 0 ] || runs=(-runs=0)
"$binary" -max_total_time="$seconds" "${runs[@]}" -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$findings/" "$work/corpus" >fuzz.log 2>&1 || found fuzz.log
execs=$(sed -n 's/^stat::number_of_executed_units: *//p' fuzz.log)
echo "fuzz $target: ${execs:-0} execs in ${seconds} s, clean"
