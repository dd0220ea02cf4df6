#!/usr/bin/env bash
# The Wine suite's one entry point, for one architecture at a time: the
# Windows preset of that architecture built with warnings as errors, its
# import and resource checks, the host binaries the suite compares with
# (built when missing or out of date), then the suite (run.py) for that
# build: x64 in a 64-bit prefix, x86 in a 32-bit one.
#
#   tests/wine/ci.sh --arch x64|x86 [run.py options...]
#
# The x86 suite needs the 32-bit Wine loader (Debian's wine32:i386); without
# it the preset is still built and checked, and the suite is reported as
# skipped with that reason ("0 passed, 0 failed (1 skipped)").
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] || jobs=2
started=$(date +%s)

stage() { echo "== $* ($(($(date +%s) - started)) s)"; }

arch=
for ((i = 1; i <= $#; i++)); do
  case ${!i} in
    --arch) j=$((i + 1)); arch=${!j:-} ;;
    --arch=*) arch=${!i#--arch=} ;;
  esac
done
case $arch in
  x64 | x86) ;;
  *) echo "usage: tests/wine/ci.sh --arch x64|x86 [run.py options...]" >&2; exit 2 ;;
esac

stage "build windows-$arch"
cmake --preset "windows-$arch" -DWARNINGS_AS_ERRORS=ON >/dev/null
cmake --build --preset "windows-$arch" -j "$jobs"

stage "imports and resources"
if [ "$arch" = x64 ]; then
  tests/wine/check-imports.sh build/windows-x64/install.exe -
else
  tests/wine/check-imports.sh - build/windows-x86/install.exe
fi

if [ "$arch" = x86 ] && ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  echo "Wine x86 suite: skipped: wine32:i386 is not installed (see scripts/bootstrap.sh's output)"
  echo "0 passed, 0 failed (1 skipped)"
  exit 0
fi

# HOST_BUILD names a host build directory to reuse (the test script's); it
# keeps the build type it was configured with.  Without it, a directory of our
# own is built as the host preset builds: optimised, with debug information.
host_build=${HOST_BUILD:-build/wine-host}
stage "host binaries"
if [ -f "$host_build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$host_build" >/dev/null
else
  cmake -S "$root" -B "$host_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$host_build" -j "$jobs" --target installer winsim-tool

stage "Wine suite (--arch $arch)"
status=0
python3 tests/wine/run.py --host "$host_build/install" "$@" || status=1
stage "done"
exit "$status"
