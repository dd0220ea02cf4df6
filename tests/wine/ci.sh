#!/usr/bin/env bash
# CI for the Windows build: both Windows presets with warnings as errors, the
# import and resource checks, the host binary for the side-by-side comparison
# (built when missing or out of date), then the Wine suite: the x64 build in a
# 64-bit prefix, then the x86 build in a 32-bit one, or only the build that an
# --arch option names.
#
#   tests/wine/ci.sh [run.py options...]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] || jobs=2
started=$(date +%s)

stage() { echo "== $* ($(($(date +%s) - started)) s)"; }

for preset in windows-x64 windows-x86; do
  stage "build $preset"
  cmake --preset "$preset" -DWARNINGS_AS_ERRORS=ON >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

stage "imports and resources"
tests/wine/check-imports.sh build/windows-x64/install.exe build/windows-x86/install.exe

# HOST_BUILD names a host build directory to reuse (the test script's); it
# keeps the build type it was configured with.  Without it, a directory of our
# own is built as the host preset builds: optimised, with debug information.
host_build=${HOST_BUILD:-build/wine-host}
stage "host binary"
if [ -f "$host_build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$host_build" >/dev/null
else
  cmake -S "$root" -B "$host_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$host_build" -j "$jobs" --target installer

runs=("--arch x64" "--arch x86")
for arg in "$@"; do
  case $arg in --arch | --arch=*) runs=("") ;; esac
done
status=0
for run in "${runs[@]}"; do
  stage "Wine suite${run:+ ($run)}"
  # shellcheck disable=SC2086 # $run is empty or one option and its value
  python3 tests/wine/run.py $run --host "$host_build/install" "$@" || status=1
done
stage "done"
exit "$status"
