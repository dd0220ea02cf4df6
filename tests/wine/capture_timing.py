#!/usr/bin/env python3
"""Times capture.exe under Wine on a prefix with many disks.

  capture_timing.py [--disks N] [--runs N] [--build DIR] [--keep]

Builds a prefix from the Wine suite's template (made first if missing), adds
N SCSI disks through the setup library (wdev.exe create), runs capture.exe
--runs times and prints each run's wall time, their median, the file's size
and its bytes per disk line.
"""

import argparse
import json
import os
import shutil
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from winesuite import ROOT, Wine  # noqa: E402

DISK_IDS = ["SCSI\\DiskQUORVEX_LUMENSTRIDE_____0100", "SCSI\\DiskQUORVEX_LUMENSTRIDE_____", "SCSI\\DiskQUORVEX_",
            "SCSI\\QUORVEX_LUMENSTRIDE_____0", "QUORVEX_LUMENSTRIDE_____0", "GenDisk"]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--disks", type=int, default=1000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "windows-x64"))
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "capture-timing"))
    parser.add_argument("--keep", action="store_true", help="keep the prefix")
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
        seconds = []
        for run in range(args.runs):
            started = time.time()
            out = wine.run(prefix, ["C:\\work\\capture.exe", "C:\\work\\machine.json"], cwd=work, timeout=3600)
            seconds.append(time.time() - started)
            print("run %d: exit %d, %.2f s" % (run + 1, out.returncode, seconds[-1]))
    finally:
        wine.stop(prefix)
    path = os.path.join(work, "machine.json")
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    with open(path, encoding="utf-8") as f:
        description = json.load(f)
    disks = [line for line in lines if b"SCSI\\\\DISK&VEN_QUORVEX" in line]
    print("median %.2f s over %d runs; %d devices, %d bytes; a disk's line %d bytes (with its line end)"
          % (statistics.median(seconds), len(seconds), len(description["devices"]), os.path.getsize(path),
             len(disks[0]) + 1 if disks else 0))
    if not args.keep:
        shutil.rmtree(prefix, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
