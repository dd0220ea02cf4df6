#!/usr/bin/env python3
"""Times capture.exe under Wine on a prefix with many disks.

  capture_timing.py [--disks N] [--runs N] [--build DIR] [--keep] [--out FILE]

Builds a prefix from the Wine suite's template (made first if missing), adds
N SCSI disks through the setup library (wdev.exe create), runs capture.exe
--runs times and prints each run's wall time and CPU time (the Wine process
and its children; the prefix's wineserver apart), their medians, the file's
size and its bytes per disk line.  --out writes the same as JSON.
"""

import argparse
import json
import os
import resource
import shutil
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from winesuite import ROOT, Wine  # noqa: E402

DISK_IDS = ["SCSI\\DiskQUORVEX_LUMENSTRIDE_____0100", "SCSI\\DiskQUORVEX_LUMENSTRIDE_____", "SCSI\\DiskQUORVEX_",
            "SCSI\\QUORVEX_LUMENSTRIDE_____0", "QUORVEX_LUMENSTRIDE_____0", "GenDisk"]


def children_cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def server_pid(prefix):
    """The prefix's wineserver: its working directory is server-<device>-<inode> of the prefix."""
    wanted = "server-%x-%x" % (os.stat(prefix).st_dev, os.stat(prefix).st_ino)
    for pid in os.listdir("/proc"):
        try:
            if (pid.isdigit() and open("/proc/%s/comm" % pid).read().startswith("wineserver")
                    and os.path.basename(os.readlink("/proc/%s/cwd" % pid)) == wanted):
                return int(pid)
        except OSError:
            continue
    return None


def process_cpu_seconds(pid):
    try:
        with open("/proc/%d/stat" % pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
    except (OSError, TypeError):
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--disks", type=int, default=1000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "windows-x64"))
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "capture-timing"))
    parser.add_argument("--keep", action="store_true", help="keep the prefix")
    parser.add_argument("--out", help="write the runs and the file's figures to this JSON file")
    args = parser.parse_args()

    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    wine = Wine(args.build, os.path.join(ROOT, "build", "wine-template"), print)
    wine.prepare_template()
    prefix = os.path.join(args.work, "prefix")
    wine.copy_template(prefix)
    work = os.path.join(prefix, "drive_c", "work")
    os.makedirs(work)
    for name in ("wdev.exe", "DISM.exe"):
        shutil.copy(os.path.join(wine.helpers, name), work)
    shutil.copy(os.path.join(args.build, "capture.exe"), work)
    with open(os.path.join(work, "devices.txt"), "w", encoding="utf-8") as f:
        for i in range(args.disks):
            instance = "SCSI\\DISK&VEN_QUORVEX&PROD_LUMENSTRIDE&REV_0100\\5&1C0FE2A&0&%06X" % i
            f.write("\t".join(["diskdrive", instance, "QUORVEX LUMENSTRIDE SCSI Disk Device", "0"] + DISK_IDS) + "\n")

    wine.start(prefix)
    try:
        started = time.time()
        out = wine.run(prefix, ["C:\\work\\wdev.exe", "create", "C:\\work\\devices.txt"], cwd=work, timeout=3600)
        if out.returncode != 0:
            print("wdev create failed: %s" % out.stdout.decode(errors="replace")[-500:])
            return 1
        print("%d disks created in %.1f s" % (args.disks, time.time() - started))
        runs = []
        server = server_pid(prefix)
        for run in range(args.runs):
            cpu_before, server_before = children_cpu_seconds(), process_cpu_seconds(server)
            started = time.time()
            out = wine.run(prefix, ["C:\\work\\capture.exe", "C:\\work\\machine.json"], cwd=work, timeout=3600)
            wall = time.time() - started
            server_after = process_cpu_seconds(server)
            runs.append({"status": out.returncode, "wall": wall, "cpu": children_cpu_seconds() - cpu_before,
                         "server_cpu": server_after - server_before if server_after is not None else None})
            print("run %d: exit %d, %.2f s, CPU %.2f s (wineserver %s)"
                  % (run + 1, out.returncode, wall, runs[-1]["cpu"],
                     "%.2f s" % runs[-1]["server_cpu"] if runs[-1]["server_cpu"] is not None else "unknown"))
    finally:
        wine.stop(prefix)
    path = os.path.join(work, "machine.json")
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    with open(path, encoding="utf-8") as f:
        description = json.load(f)
    disks = [line for line in lines if b"SCSI\\\\DISK&VEN_QUORVEX" in line]
    figures = {"disks": args.disks, "runs": runs, "devices": len(description["devices"]),
               "bytes": os.path.getsize(path), "disk_line_bytes": len(disks[0]) + 1 if disks else 0}
    print("median %.2f s (CPU %.2f s) over %d runs; %d devices, %d bytes; a disk's line %d bytes (with its line end)"
          % (statistics.median(r["wall"] for r in runs), statistics.median(r["cpu"] for r in runs), len(runs),
             figures["devices"], figures["bytes"], figures["disk_line_bytes"]))
    if args.out:
        with open(args.out, "w") as f:
            json.dump(figures, f, indent=1)
    if not args.keep:
        shutil.rmtree(prefix, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
