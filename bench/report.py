#!/usr/bin/env python3
"""Prints scripts/bench.sh's table from the results in one directory:

  machine-<devices|keys>-<n>.json   bench-machine-file (Google Benchmark JSON);
                                    machine-...-<n>.timeout when it ran out of time,
                                    machine-...-<n>.skipped when it would have
  walk-<m>.json, log.json           bench-disk-walk (one file per list size), bench-log
  install.json, wine.json           proctime.py (whole processes)
  server.json, server-file.json     proctime.py --peak: a server's capture loaded, previewed
                                    and diffed beside Python's json; the file's size and shape
  capture-wine.json                 tests/wine/capture_timing.py: capture.exe under Wine

Growth is log(t2/t1)/log(n2/n1) between a row and the one before it: 1 is
linear, 2 quadratic.  The goals follow the table.
"""
import glob
import json
import math
import os
import re
import statistics
import sys

UNIT_SECONDS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def load(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def runs(results):
    """name -> run (the median aggregate when there are repetitions), times in seconds."""
    found = {}
    for run in (results or {}).get("benchmarks", []):
        if run.get("run_type") == "aggregate" and run.get("aggregate_name") != "median":
            continue
        name = run.get("run_name", run["name"])
        if run.get("run_type") == "aggregate" or name not in found:
            run = dict(run)
            scale = UNIT_SECONDS[run.get("time_unit", "ns")]
            run["cpu"] = None if run.get("error_occurred") else run["cpu_time"] * scale
            found[name] = run
    return found


def seconds(value):
    if value is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if value >= scale:
            return f"{value / scale:,.3g} {unit}" if value / scale < 100 else f"{value / scale:,.0f} {unit}"
    return f"{value / 1e-9:.3g} ns"


def growth(t1, t2, n1, n2):
    if not t1 or not t2:
        return "-"
    return f"{math.log(t2 / t1) / math.log(n2 / n1):.2f}"


def ratio(a, b):
    return f"{a / b:.2f}" if a and b else "-"


def megabytes(value):
    return f"{value / 1e6:,.1f} MB"


def server_rows(directory, rows, goals):
    """A server's capture: each process's CPU time beside Python's json load
    and dump of the file, and its peak memory beside the file's size."""
    shape = load(os.path.join(directory, "server-file.json"))
    runs = load(os.path.join(directory, "server.json"))
    if not shape or not runs:
        return
    size = shape["bytes"]
    adapters, luns = (int(n) for n in shape["shape"].split("x"))
    disks = adapters * luns
    label = f"server capture, {adapters} x {luns:,} ({disks:,} disks)"
    rows.append((label, f"{megabytes(size)}", f"{size / disks:,.0f} bytes a disk", "", "", ""))

    def medians(name):
        run = runs.get(name) or {}
        cpu = statistics.median(run["cpu"]) if run.get("cpu") else None
        peaks = [p for p in run.get("peak_bytes", []) if p is not None]
        return cpu, max(peaks) if peaks else None

    reference, reference_peak = medians("reference")
    if reference:
        rows.append((f"  Python json load + dump (reference)", "", seconds(reference) +
                     (f", peak {megabytes(reference_peak)} ({reference_peak / size:.1f}x file)"
                      if reference_peak else ""), "", "", ""))
    for name, what in (("load", "host loader, load and exit"), ("preview", "host install -i, whole process"),
                       ("diff", "winsim diff capture twin")):
        if name == "diff" and not shape.get("diff_built"):
            rows.append((f"  {what}", "", "not built", "", "", ""))
            goals.append((f"server {name} <= 1.5x Python's json (CPU), peak <= 4x the file", "-", False))
            continue
        cpu, peak = medians(name)
        failed = [status for status in runs.get(name, {}).get("status", []) if status not in (0, 1)]
        if failed:
            cpu = peak = None
        cell = (f"failed (exit status {failed[0]})" if failed else seconds(cpu) +
                (f", peak {megabytes(peak)} ({peak / size:.1f}x file)" if peak else ""))
        rows.append((f"  {what}", f"{len(runs.get(name, {}).get('cpu', []))} runs", cell,
                     seconds(reference), ratio(cpu, reference), ""))
        measured = ratio(cpu, reference)
        goals.append((f"server {name}, {disks:,} disks <= 1.5x Python's json load + dump (CPU)", measured,
                      measured != "-" and float(measured) <= 1.5))
        goals.append((f"server {name}, {disks:,} disks: peak memory <= 4x the file",
                      f"{peak / size:.2f}" if peak else "-", peak is not None and peak <= 4 * size))


def main(directory):
    rows = []      # (measure, size, time, reference, ratio, growth)
    goals = []     # (goal, measured, met)

    # Machine load + save.
    for kind, label in (("devices", "disks"), ("keys", "registry keys")):
        previous = None
        times = {}
        for path in sorted(glob.glob(os.path.join(directory, f"machine-{kind}-*")),
                           key=lambda p: int(re.search(r"-(\d+)\.", p).group(1))):
            size = int(re.search(r"-(\d+)\.", path).group(1))
            if path.endswith(".timeout") or path.endswith(".skipped"):
                note = open(path).read().strip()
                rows.append((f"machine load + save, {label}", f"n={size:,}", note, "", "", ""))
                previous = None
                continue
            found = runs(load(path))
            mine = found.get(f"MachineLoadSave/{kind}/n:{size}", {})
            reference = found.get(f"JsonParseDump/{kind}/n:{size}", {})
            cpu = mine.get("cpu")
            split = f" (load {seconds(mine.get('load_s'))}, save {seconds(mine.get('save_s'))})" if cpu else ""
            rows.append((f"machine load + save, {label}", f"n={size:,}", seconds(cpu) + split,
                         seconds(reference.get("cpu")), ratio(cpu, reference.get("cpu")),
                         growth(previous[1], cpu, previous[0], size) if previous else ""))
            previous = (size, cpu)
            times[size] = (cpu, reference.get("cpu"))
        if kind == "devices":
            measured = ratio(*times.get(16384, (None, None)))
            goals.append(("load + save of 16,384 devices <= 2x nlohmann parse + dump", measured,
                          measured != "-" and float(measured) <= 2))
            measured = growth(times.get(4096, (None,))[0], times.get(65536, (None,))[0], 4096, 65536)
            goals.append(("growth of load + save, 4,096 to 65,536 devices <= 1.1", measured,
                          measured != "-" and float(measured) <= 1.1))

    # Claim and release walks.
    walks = {}
    for path in glob.glob(os.path.join(directory, "walk-*")):
        if path.endswith(".json"):
            walks.update(runs(load(path)))
        else:
            entries = re.search(r"walk-(\d+)", path).group(1)
            for callback in ("claim", "release"):
                walks.setdefault(f"Walk/{callback}/m:{entries}",
                                 {"cpu": None, "error_message": open(path).read().strip()})
    for callback in ("claim", "release"):
        previous = None
        for name, run in sorted(((n, r) for n, r in walks.items() if n.startswith(f"Walk/{callback}/")),
                                key=lambda item: int(item[0].rsplit(":", 1)[1])):
            entries = int(name.rsplit(":", 1)[1])
            disks = int(run.get("disks", 16384))
            cpu = run.get("cpu")
            per_disk = cpu / disks if cpu else None
            rows.append((f"{callback} walk, {disks:,} disks", f"m={entries}",
                         f"{seconds(cpu)} ({seconds(per_disk)}/disk)" if cpu else run.get("error_message", "-"),
                         "", "", growth(previous[1], cpu, previous[0], entries) if previous else ""))
            if entries == 256:
                goals.append((f"{callback}: program logic per disk at m=256 <= 25 µs", seconds(per_disk),
                              per_disk is not None and per_disk <= 25e-6))
            previous = (entries, cpu)

    # LogMessage against the raw loop.
    logs = runs(load(os.path.join(directory, "log.json")))
    mine, raw = logs.get("LogMessageRecord", {}).get("cpu"), logs.get("RawLoopRecord", {}).get("cpu")
    if mine or raw:
        rows.append(("LogMessage, one record (raw loop as reference)", "", seconds(mine), seconds(raw),
                     ratio(mine, raw), ""))
        measured = ratio(mine, raw)
        goals.append(("LogMessage <= 1.2x the raw loop with its echo", measured,
                      measured != "-" and float(measured) <= 1.2))

    # Whole processes.
    install = load(os.path.join(directory, "install.json"))
    if install:
        run = next(iter(install.values()))
        if run["cpu"]:
            cpu, wall = statistics.median(run["cpu"]), statistics.median(run["wall"])
            rows.append(("host install -i, 5.2, 16,384 disks, m=256 (whole process)", f"{len(run['cpu'])} runs",
                         f"{seconds(cpu)} (wall {seconds(wall)})", "", "", ""))
            goals.append(("host install -i on 5.2, 16,384 disks, m=256 <= 1.5 s", seconds(cpu), cpu <= 1.5))
        else:
            rows.append(("host install -i, 5.2, 16,384 disks, m=256 (whole process)", "",
                         "stopped (timeout)", "", "", ""))
            goals.append(("host install -i on 5.2, 16,384 disks, m=256 <= 1.5 s", "-", False))
    wine = load(os.path.join(directory, "wine.json"))
    if wine and wine.get("install", {}).get("cpu") and wine.get("trivial", {}).get("cpu"):
        mine, trivial = wine["install"], wine["trivial"]
        cpu, cpu_ref = statistics.median(mine["cpu"]), statistics.median(trivial["cpu"])
        wall, wall_ref = statistics.median(mine["wall"]), statistics.median(trivial["wall"])
        rows.append(("install.exe -c under Wine (trivial exe as reference), CPU", f"{len(mine['cpu'])} runs",
                     seconds(cpu), seconds(cpu_ref), ratio(cpu, cpu_ref), ""))
        rows.append(("install.exe -c under Wine (trivial exe as reference), wall", "",
                     seconds(wall), seconds(wall_ref), ratio(wall, wall_ref), ""))
        goals.append(("install.exe -c under Wine <= 1.5x a trivial exe (CPU)", ratio(cpu, cpu_ref),
                      cpu / cpu_ref <= 1.5))

    server_rows(directory, rows, goals)
    capture = load(os.path.join(directory, "capture-wine.json"))
    if capture and capture.get("runs"):
        good = [run for run in capture["runs"] if run["status"] == 0]
        servers = [run["server_cpu"] for run in good if run.get("server_cpu") is not None]
        cell = (f"wall {seconds(statistics.median(r['wall'] for r in good))}, "
                f"CPU {seconds(statistics.median(r['cpu'] for r in good))}"
                + (f" + wineserver {seconds(statistics.median(servers))}" if servers else "")
                if good else "failed")
        rows.append((f"capture.exe under Wine, {capture['disks']:,} disks ({capture['bytes']:,} bytes written)",
                     f"{len(good)} runs", cell, "", "", ""))

    header = ("measure", "size", "CPU time", "reference", "ratio", "growth")
    widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(len(header))]
    line = lambda row: "  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip()
    print(line(header))
    print("  ".join("-" * width for width in widths))
    for row in rows:
        print(line(row))
    if goals:
        print()
        print("goals:")
        for goal, measured, met in goals:
            verdict = "n/a    " if measured in ("-", None) else "met    " if met else "not met"
            print(f"  {verdict}  {goal}: {measured}")


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--cpu-seconds":
        # One benchmark's CPU time in seconds, for bench.sh's predictions.
        print(runs(load(sys.argv[2])).get(sys.argv[3], {}).get("cpu") or "")
    else:
        main(sys.argv[1] if len(sys.argv) > 1 else ".")
