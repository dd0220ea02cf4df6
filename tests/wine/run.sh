#!/usr/bin/env bash
# Runs the Wine suite: the windows-x64 build under Wine (with --arch x86 the
# windows-x86 build in a 32-bit prefix), each scenario also on the host build
# for comparison.  Options: see tests/wine/run.py --help.
set -euo pipefail
exec python3 "$(dirname "$0")/run.py" "$@"
