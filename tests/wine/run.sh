#!/usr/bin/env bash
# Runs the Wine suite: the windows-x64 build under Wine, each scenario also on
# the host build for comparison.  Options: see tests/wine/run.py --help.
set -euo pipefail
exec python3 "$(dirname "$0")/run.py" "$@"
