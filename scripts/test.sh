#!/usr/bin/env bash
# Installs what the build needs, builds the host and both Windows presets with
# warnings as errors, and runs every test: the host suite (CTest), the Windows
# build under Wine, and the installer built for another vendor's DSM (the
# vendor-host and vendor-x64 presets).  Ends with one line counting all three.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/bootstrap.sh all || exit 1

cmake --preset host || exit 1
cmake --build build/host -j"$(nproc)" || exit 1

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
ctest --test-dir build/host --output-on-failure -j"$(nproc)" 2>&1 | tee "$logs/host"
host_status=${PIPESTATUS[0]}
HOST_BUILD=build/host tests/wine/ci.sh 2>&1 | tee "$logs/wine"
wine_status=${PIPESTATUS[0]}
python3 tests/wine/vendor.py 2>&1 | tee "$logs/vendor"
vendor_status=${PIPESTATUS[0]}

# ctest: "100% tests passed, 0 tests failed out of 335" and "(Skipped)" lines.
host_total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$logs/host" | tail -1)
host_failed=$(sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' "$logs/host" | tail -1)
host_skipped=$(grep -c '(Skipped)' "$logs/host")
# The Wine runner: "33 passed, 0 failed".
wine_passed=$(sed -n 's/^\([0-9]*\) passed, [0-9]* failed$/\1/p' "$logs/wine" | tail -1)
wine_failed=$(sed -n 's/^[0-9]* passed, \([0-9]*\) failed$/\1/p' "$logs/wine" | tail -1)
# The vendor builds' check: "5 passed, 0 failed".
vendor_passed=$(sed -n 's/^\([0-9]*\) passed, [0-9]* failed$/\1/p' "$logs/vendor" | tail -1)
vendor_failed=$(sed -n 's/^[0-9]* passed, \([0-9]*\) failed$/\1/p' "$logs/vendor" | tail -1)
host_total=${host_total:-0} host_failed=${host_failed:-1} wine_passed=${wine_passed:-0} wine_failed=${wine_failed:-1}
vendor_passed=${vendor_passed:-0} vendor_failed=${vendor_failed:-1}
host_passed=$((host_total - host_failed - host_skipped))

echo
echo "host suite: $host_passed passed, $host_failed failed, $host_skipped skipped (exit $host_status)"
echo "Wine suite: $wine_passed passed, $wine_failed failed (exit $wine_status)"
echo "vendor builds: $vendor_passed passed, $vendor_failed failed (exit $vendor_status)"
echo "all: $((host_passed + wine_passed + vendor_passed)) passed, $((host_failed + wine_failed + vendor_failed)) failed, $host_skipped skipped"
[ "$host_status" -eq 0 ] && [ "$wine_status" -eq 0 ] && [ "$vendor_status" -eq 0 ]
