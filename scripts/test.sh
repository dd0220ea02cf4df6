#!/usr/bin/env bash
# Installs what the build needs, builds the host and both Windows presets with
# warnings as errors, and runs every test: the host suite (CTest) and the
# Windows build under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/bootstrap.sh all

cmake --preset host
cmake --build build/host -j"$(nproc)"
ctest --test-dir build/host --output-on-failure -j"$(nproc)"

tests/wine/ci.sh
