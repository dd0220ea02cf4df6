#!/usr/bin/env bash
# Runs the installer on the bundled example package against the simulated
# machine kept in demo/winsim-machine.json (the built-in default machine on
# the first run), then shows the log.
#   scripts/example.sh            install (-i)
#   scripts/example.sh -c         check
#   scripts/example.sh -u         uninstall
#   scripts/example.sh -r         reinstall (answers the boxes on the terminal)
#   scripts/example.sh --fresh    forget the machine and the log first, then install
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh" host
cmake --preset host -S "$root" >/dev/null
cmake --build "$root/build/host" -j"$(nproc)" --target installer winsim-tool >/dev/null

demo="$root/demo"
mode=${1:--i}
if [ "$mode" = --fresh ]; then
  rm -rf "$demo"
  mode=-i
fi
mkdir -p "$demo"
cd "$demo"
# The package path is given the Windows way; the simulated machine maps "\" to "/".
package='..\examples\package'
logged=$(stat -c %s MPIOInstall.LOG 2>/dev/null || echo 0)
status=0
if [ "$mode" = -c ]; then
  "$root/build/host/install" -c || status=$?
else
  "$root/build/host/install" "$mode" "$package" qvxdsm.inf 'Root\QVXDSM' || status=$?
fi
echo
echo "---- what this run appended to demo/MPIOInstall.LOG ----"
tail -c +$((logged + 1)) MPIOInstall.LOG | tr -d '\r'
echo "---------------------------------------------------------"
echo "exit status: $status (255 is -1, 254 is -2)"
echo "log: $demo/MPIOInstall.LOG    machine: $demo/winsim-machine.json"
echo "see the machine with: $root/build/host/winsim show $demo/winsim-machine.json"
