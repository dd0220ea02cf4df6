#!/usr/bin/env bash
# Builds the benchmarks with the host preset, runs them and prints one table
# (CPU times; growth between sizes; the goals last):
#   - machine load + save by size (disks; registry keys), beside nlohmann's
#     own parse + dump of the same text;
#   - the disk claim and release walks over 16,384 disks, by list size;
#   - LogMessage against a raw open-append-close-echo loop;
#   - host `install -i` on a 5.2 machine of 16,384 disks and 256 list
#     entries, whole process, from load to save;
#   - `install.exe -c` under Wine against a trivial exe, runs interleaved in
#     one prefix (build/bench-wine/prefix, kept between runs);
#   - a storage server's capture (16 adapters x 4,096 LUNs: 65,536 disks, as
#     capture.exe writes it): Python's json load + dump of the file as the
#     reference, the host loader (a process that loads the file and exits),
#     host `install -i` on a copy of it and `winsim diff` of the capture and
#     the twin that run left, whole processes, CPU time and peak memory;
#   - capture.exe under Wine on a prefix with 1,000 disks
#     (tests/wine/capture_timing.py: a prefix of its own, build/capture-timing).
#
#   scripts/bench.sh [--quick] [--only PARTS] [--timeout SECONDS] [--runs N]
#                    [--wine-exe PATH] [--keep DIR]
#
#   --quick       machine sizes up to 16,384, the walks at m=256 only, one
#                 whole-process run, 5 Wine pairs, a server of 16 x 1,024,
#                 3 runs of capture.exe
#   --timeout S   wall-clock limit per benchmark process and per whole-process
#                 run [300]; a size that runs out, or whose time predicted
#                 from the growth so far exceeds it, is reported and the larger
#                 ones skipped; the -i runs stop repeating after it
#   --runs N      whole-process runs [3] (Wine: N pairs, [10]; server: N rounds,
#                 [5]; capture.exe under Wine: N runs, [5])
#   --only PARTS  some of machine,walk,log,install,wine,server,wine-capture
#                 (comma-separated) [all]
#   --wine-exe P  time this install.exe under Wine instead of build/windows-x64's
#   --keep DIR    write the raw results (JSON) to DIR and keep them; the table
#                 can be printed again with: python3 bench/report.py DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

quick=0 timeout=300 runs=3 wine_runs=10 server_runs=5 server=16x4096 capture_runs=5
only=machine,walk,log,install,wine,server,wine-capture wine_exe="" keep=""
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 runs=1 wine_runs=5 server_runs=1 server=16x1024 capture_runs=3 ;;
    --timeout) timeout=$2; shift ;;
    --runs) runs=$2 wine_runs=$2 server_runs=$2 capture_runs=$2; shift ;;
    --only) only=$2; shift ;;
    --wine-exe) wine_exe=$2; shift ;;
    --keep) keep=$2; shift ;;
    *) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
  esac
  shift
done

part() { [[ ",$only," == *",$1,"* ]]; }
sizes="1024 4096 16384 65536" list_sizes="1 16 256"
[ "$quick" -eq 1 ] && sizes="1024 4096 16384" list_sizes=256

scripts/bootstrap.sh host
cmake --preset host >/dev/null
cmake --build build/host -j2 --target installer winsim-tool make-machine load-machine bench-machine-file \
  bench-disk-walk bench-log >&2
bin=build/host/bench

work=$(mktemp -d)
if [ -n "$keep" ]; then
  mkdir -p "$keep"
  out=$(cd "$keep" && pwd)
  trap 'rm -rf "$work"' EXIT
else
  out=$(mktemp -d)
  trap 'rm -rf "$out" "$work"' EXIT
fi
step() { echo "== $*" >&2; }

# One benchmark's CPU seconds from its JSON results ("" when it has none).
cpu_seconds() { python3 bench/report.py --cpu-seconds "$1" "$2"; }

# Machine load + save, one process per size, so that a size that runs out of
# time stops alone.  A size whose time, predicted from the growth between the
# two sizes before it, exceeds the time limit is skipped, as are the sizes
# after one that ran out.
for kind in devices keys; do
  part machine || break
  stopped="" previous="" before_previous=""
  for n in $sizes; do
    if [ -n "$stopped" ]; then
      echo "$stopped" >"$out/machine-$kind-$n.skipped"
      continue
    fi
    if [ -n "$before_previous" ] && [ -n "$previous" ]; then
      predicted=$(python3 -c "print(round($previous * $previous / $before_previous))")
      if [ "$predicted" -gt "$timeout" ]; then
        stopped="skipped: about $predicted s predicted, more than the $timeout s limit"
        echo "$stopped" >"$out/machine-$kind-$n.skipped"
        continue
      fi
    fi
    step "machine load + save, $kind, n=$n"
    result="$out/machine-$kind-$n.json"
    # Medians of five: a single run of the larger sizes varies by 10-15 %.
    if ! timeout "$timeout" "$bin/bench-machine-file" --benchmark_filter="^[A-Za-z]+/$kind/n:$n\$" \
         --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
         --benchmark_out="$result" --benchmark_out_format=json >&2; then
      rm -f "$result"
      stopped="stopped: more than the $timeout s limit"
      echo "$stopped" >"$out/machine-$kind-$n.timeout"
      continue
    fi
    before_previous=$previous
    previous=$(cpu_seconds "$result" "MachineLoadSave/$kind/n:$n")
  done
done

# The walks, one process per list size (each builds its own machine).
for m in $list_sizes; do
  part walk || break
  step "claim and release walks, m=$m"
  timeout "$timeout" "$bin/bench-disk-walk" --benchmark_filter="/m:$m\$" \
    --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_out="$out/walk-$m.json" --benchmark_out_format=json >&2 || {
    rm -f "$out/walk-$m.json"
    echo "stopped: more than the $timeout s limit" >"$out/walk-$m.timeout"
  }
done

if part log; then
  step "LogMessage"
  "$bin/bench-log" --benchmark_repetitions=15 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true --benchmark_out="$out/log.json" --benchmark_out_format=json >&2 ||
    echo "the LogMessage benchmark failed" >&2
fi

if part install; then
  step "host install -i, 5.2, 16,384 disks, 256 list entries"
  cp -r examples/package "$work/package"
  "$bin/make-machine" --os 5.2 --disks 16384 --list 256 >"$work/generated.json"
  python3 bench/proctime.py --runs "$runs" --timeout "$timeout" --budget "$timeout" --ok 0,1 --cwd "$work" \
    --prepare "cp generated.json machine.json && rm -f MPIOInstall.LOG" --out "$out/install.json" \
    install="env WINSIM_MACHINE=machine.json '$root/build/host/install' -i package qvxdsm.inf 'Root\\QVXDSM'" >&2 ||
    true
  # The run must have claimed the listed half of the disks.
  claimed=$(grep -cE '^ *"MPIODisk"$' "$work/machine.json" 2>/dev/null || true)
  [ "${claimed:-0}" -eq 8192 ] || echo "warning: the -i run claimed ${claimed:-0} disks, not 8192" >&2
fi

if part server; then
  step "a storage server's capture, $server (adapters x LUNs)"
  [ -d "$work/package" ] || cp -r examples/package "$work/package"
  "$bin/make-machine" --server "$server" >"$work/capture.json"
  # The twin the diff compares with: what one -i run leaves, made untimed.
  (cd "$work" && cp capture.json machine.json &&
    WINSIM_MACHINE=machine.json "$root/build/host/install" -i package qvxdsm.inf 'Root\QVXDSM' >/dev/null &&
    mv machine.json twin.json && rm -f MPIOInstall.LOG) || echo "warning: the -i run that makes the twin failed" >&2
  # The diff command is timed once it is there.
  diff_command=""
  if { "$root/build/host/winsim" 2>&1 || true; } | grep -q "winsim diff"; then
    diff_command="diff='$root/build/host/winsim' diff capture.json twin.json"
  fi
  python3 -c 'import json, sys; json.dump({"bytes": int(sys.argv[1]), "shape": sys.argv[2],
    "diff_built": sys.argv[3] == "1"}, open(sys.argv[4], "w"))' \
    "$(stat -c %s "$work/capture.json")" "$server" "$([ -n "$diff_command" ] && echo 1 || echo 0)" "$out/server-file.json"
  # Python's json module (its C parts) loads and dumps the same file: the reference.
  python3 bench/proctime.py --runs "$server_runs" --timeout "$timeout" --peak --ok 0,1 --cwd "$work" \
    --prepare "cp capture.json machine.json && rm -f MPIOInstall.LOG" --out "$out/server.json" \
    reference="python3 -c 'import json,sys; json.dump(json.load(open(sys.argv[1])), open(sys.argv[2],\"w\"))' capture.json reference.json" \
    load="'$root/$bin/load-machine' capture.json" \
    preview="env WINSIM_MACHINE=machine.json '$root/build/host/install' -i package qvxdsm.inf 'Root\\QVXDSM'" \
    ${diff_command:+"$diff_command"} >&2 || true
fi

if part wine; then
  wine_cmd=${WINE:-$(command -v wine64 || true)}
  [ -n "$wine_cmd" ] || { [ -x /usr/lib/wine/wine64 ] && wine_cmd=/usr/lib/wine/wine64; } || true
  [ -n "$wine_cmd" ] || wine_cmd=$(command -v wine || true)
  if [ -z "$wine_cmd" ] || ! command -v x86_64-w64-mingw32-g++-win32 >/dev/null; then
    echo "no Wine or MinGW-w64: the Wine comparison is left out" >&2
  else
    step "install.exe -c under Wine against a trivial exe"
    if [ -z "$wine_exe" ]; then
      cmake --preset windows-x64 >/dev/null
      cmake --build build/windows-x64 -j2 --target installer >&2
      wine_exe=build/windows-x64/install.exe
    fi
    mkdir -p build/bench-wine
    x86_64-w64-mingw32-g++-win32 -O2 -Wall -Wextra -Werror -municode -static -static-libgcc -static-libstdc++ \
      -o build/bench-wine/trivial.exe bench/wine/trivial.cpp
    cp "$wine_exe" "$work/install.exe"
    cp build/bench-wine/trivial.exe "$work/trivial.exe"
    export WINEPREFIX=$root/build/bench-wine/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C
    unset DISPLAY WAYLAND_DISPLAY
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      timeout 300 "$wine_cmd" wineboot.exe -i >/dev/null 2>&1 || true
      wineserver -w
    fi
    # One persistent server for all runs, started before the timing.
    wineserver -p 2>/dev/null || true   # 2: one is running already
    "$wine_cmd" "$work/trivial.exe" >/dev/null 2>&1 || true
    # The prefix's server: its working directory is server-<device>-<inode> of the prefix.
    server_dir=$(printf 'server-%x-%x' $(stat -c '%d %i' "$WINEPREFIX"))
    server=""
    for pid in $(pgrep -u "$(id -u)" '^wineserver' || true); do
      [ "$(basename "$(readlink "/proc/$pid/cwd" 2>/dev/null)")" = "$server_dir" ] && server=$pid  || true
    done
    python3 bench/proctime.py --runs "$wine_runs" --timeout "$timeout" --ok 0,1 --cwd "$work" \
      ${server:+--server-pid "$server"} --out "$out/wine.json" \
      trivial="'$wine_cmd' trivial.exe" install="'$wine_cmd' install.exe -c" >&2 || true
    wineserver -k || true
  fi
fi

if part wine-capture; then
  if ! command -v wine64 >/dev/null && [ ! -x /usr/lib/wine/wine64 ] ||
     ! command -v x86_64-w64-mingw32-g++-win32 >/dev/null; then
    echo "no Wine or MinGW-w64: capture.exe under Wine is left out" >&2
  else
    step "capture.exe under Wine on a prefix with 1,000 disks"
    cmake --preset windows-x64 >/dev/null
    cmake --build build/windows-x64 -j2 --target capture installer wdev wreg wrun fake_dism >&2
    python3 tests/wine/capture_timing.py --disks 1000 --runs "$capture_runs" --out "$out/capture-wine.json" >&2 ||
      echo "capture.exe under Wine: the timing failed" >&2
  fi
fi

echo
python3 bench/report.py "$out"
