#!/usr/bin/env python3
"""Times whole processes: commands run in turn (A B A B ...) so that a slow
spell of a shared machine falls on all of them alike.  Each run's wall time
and CPU time (user + system of the process and the children it waited for)
are kept, with --peak also its peak memory (the largest resident set of the
process or of one of those children, as GNU time reads it from getrusage);
a run may be preceded by an untimed preparation command.

  proctime.py --runs 5 --out times.json [--timeout 300] [--budget 120] [--ok 0,1]
              [--prepare 'cp machine.json run.json'] [--cwd DIR] [--peak]
              [--server-pid PID] NAME=COMMAND [NAME=COMMAND ...]

--server-pid: a daemon the commands talk to (wineserver); its CPU time during
each run is kept beside the process's own.  Prints one line per command with
the medians; --out writes every run as JSON.
"""
import argparse
import json
import os
import shlex
import signal
import statistics
import subprocess
import sys
import tempfile
import time


def daemon_cpu_seconds(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


# The peak is read by GNU time, which starts the command from its own small
# process: a child forked from this one would count this interpreter's pages
# as its own until it runs the command.
GNU_TIME = "/usr/bin/time"


def run_once(command, cwd, timeout, peak):
    """Wall seconds, CPU seconds, peak resident bytes (None unless asked for
    and GNU time is there) and exit status; status None on a timeout."""
    argv = shlex.split(command)
    with tempfile.NamedTemporaryFile(mode="r", prefix="proctime-", suffix=".rss") as peak_file:
        if peak and os.access(GNU_TIME, os.X_OK):
            argv = [GNU_TIME, "-f", "%M", "-o", peak_file.name] + argv
        wall, cpu, status = run_argv(argv, cwd, timeout)
        text = peak_file.read().strip().splitlines()
    # GNU time writes a line of its own before the figure when the command
    # failed; the figure is the last line, in kilobytes.
    peak = int(text[-1]) * 1024 if text and text[-1].isdigit() else None
    return wall, cpu, peak, status


def run_argv(argv, cwd, timeout):
    started = time.monotonic()
    process = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
    deadline = started + timeout
    while True:
        pid, status, usage = os.wait4(process.pid, os.WNOHANG)
        if pid:
            break
        if time.monotonic() > deadline:
            os.killpg(process.pid, signal.SIGKILL)
            os.wait4(process.pid, 0)
            return time.monotonic() - started, None, None
        time.sleep(0.002)
    wall = time.monotonic() - started
    process.returncode = os.waitstatus_to_exitcode(status)
    return wall, usage.ru_utime + usage.ru_stime, process.returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--timeout", type=float, default=300)
    parser.add_argument("--budget", type=float,
                        help="start no further round once this many seconds have passed (one round always runs)")
    parser.add_argument("--ok", default="0", help="exit statuses that count as a good run")
    parser.add_argument("--prepare", help="shell command run before each timed run, untimed")
    parser.add_argument("--cwd", default=".")
    parser.add_argument("--server-pid", type=int)
    parser.add_argument("--peak", action="store_true",
                        help="keep each run's peak memory (runs the command under GNU time, about 1 ms more CPU)")
    parser.add_argument("--out")
    parser.add_argument("commands", nargs="+", metavar="NAME=COMMAND")
    args = parser.parse_args()

    good = {int(code) for code in args.ok.split(",")}
    commands = [tuple(text.split("=", 1)) for text in args.commands]
    results = {name: {"command": command, "wall": [], "cpu": [], "peak_bytes": [], "server_cpu": [], "status": [],
                      "timed_out": False} for name, command in commands}
    failed = False
    started = time.monotonic()
    for round_number in range(args.runs):
        if round_number and args.budget and time.monotonic() - started > args.budget:
            break
        for name, command in commands:
            result = results[name]
            if result["timed_out"]:
                continue
            if args.prepare:
                subprocess.run(args.prepare, shell=True, cwd=args.cwd, check=True)
            server_before = daemon_cpu_seconds(args.server_pid) if args.server_pid else None
            wall, cpu, peak, status = run_once(command, args.cwd, args.timeout, args.peak)
            server_after = daemon_cpu_seconds(args.server_pid) if args.server_pid else None
            if status is None:
                result["timed_out"] = True
                continue
            result["wall"].append(wall)
            result["cpu"].append(cpu)
            result["peak_bytes"].append(peak)
            result["status"].append(status)
            if server_before is not None and server_after is not None:
                result["server_cpu"].append(server_after - server_before)
            if status not in good:
                print(f"{name}: exit status {status}: {command}", file=sys.stderr)
                failed = True

    for name, result in results.items():
        if result["timed_out"] and not result["wall"]:
            print(f"{name}: timed out after {args.timeout:.0f} s")
            continue
        peaks = [peak for peak in result["peak_bytes"] if peak is not None]
        line = (f"{name}: median wall {statistics.median(result['wall']):.3f} s, "
                f"CPU {statistics.median(result['cpu']):.3f} s over {len(result['wall'])} runs")
        if peaks:
            line += f", peak {max(peaks) / 2**20:.1f} MiB"
        if result["server_cpu"]:
            # The server's CPU time is counted in clock ticks: a mean says more than a median.
            line += f", server CPU {statistics.mean(result['server_cpu']):.3f} s (mean)"
        print(line)
    if args.out:
        with open(args.out, "w") as out:
            json.dump(results, out, indent=1)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
