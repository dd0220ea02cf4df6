#!/usr/bin/env bash
# Installs what the build needs, builds the host and both Windows presets with
# warnings as errors, and runs every test: the host suite (CTest), the
# Windows build under Wine and the administrator's kit (Ansible role, release
# package, the guide's commands).  Ends with one line counting all three.
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
scripts/check-admin-kit.sh 2>&1 | tee "$logs/admin"
admin_status=${PIPESTATUS[0]}

# ctest: "100% tests passed, 0 tests failed out of 335" and "(Skipped)" lines.
host_total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$logs/host" | tail -1)
host_failed=$(sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' "$logs/host" | tail -1)
host_skipped=$(grep -c '(Skipped)' "$logs/host")
# The Wine runner: "33 passed, 0 failed".
wine_passed=$(sed -n 's/^\([0-9]*\) passed, [0-9]* failed$/\1/p' "$logs/wine" | tail -1)
wine_failed=$(sed -n 's/^[0-9]* passed, \([0-9]*\) failed$/\1/p' "$logs/wine" | tail -1)
# The kit: "admin kit: 6 passed, 0 failed".
admin_passed=$(sed -n 's/^admin kit: \([0-9]*\) passed, [0-9]* failed$/\1/p' "$logs/admin" | tail -1)
admin_failed=$(sed -n 's/^admin kit: [0-9]* passed, \([0-9]*\) failed$/\1/p' "$logs/admin" | tail -1)
host_total=${host_total:-0} host_failed=${host_failed:-1} wine_passed=${wine_passed:-0} wine_failed=${wine_failed:-1}
admin_passed=${admin_passed:-0} admin_failed=${admin_failed:-1}
host_passed=$((host_total - host_failed - host_skipped))

echo
echo "host suite: $host_passed passed, $host_failed failed, $host_skipped skipped (exit $host_status)"
echo "Wine suite: $wine_passed passed, $wine_failed failed (exit $wine_status)"
echo "admin kit: $admin_passed passed, $admin_failed failed (exit $admin_status)"
echo "all: $((host_passed + wine_passed + admin_passed)) passed, $((host_failed + wine_failed + admin_failed)) failed, $host_skipped skipped"
[ "$host_status" -eq 0 ] && [ "$wine_status" -eq 0 ] && [ "$admin_status" -eq 0 ]
