#!/usr/bin/env python3
"""Runs every scenario the administrator's guide states, on the host build.

  guide_scenarios.py USAGE_MD BUILD_DIR      (BUILD_DIR holds install and winsim)

Each row names a sentence of docs/usage.md, a simulated machine (the built-in
Windows 10.0 server, or examples/machines' 6.1 and 5.2 ones, the 6.1 one also
as 6.0, with a few changes), the runs and reboots before, and the run the sentence speaks of.
That run's exit code (as Windows returns it; the host's exit status is its low
8 bits) and effects must be what the row says, and the guide must still hold
the sentence: a row fails when the program or the guide changes under it.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
MACHINES = {"10.0": None, "6.1": "gen6-server.json", "6.0": "gen6-server.json", "5.2": "gen5-server.json"}
SERVER_2008 = {"major": 6, "minor": 0, "build": 6002, "csd": "Service Pack 2"}
PACKAGE = ["C:\\MPIO\\package", "qvxdsm.inf", "Root\\QVXDSM"]
RUNS = {
    "-i": ["-i"] + PACKAGE,
    "-u": ["-u"] + PACKAGE,
    "-c": ["-c"],
    "-r": ["-r"] + PACKAGE,
    "-i trailing \\": ["-i", PACKAGE[0] + "\\"] + PACKAGE[1:],
    "-i no source": ["-i", "C:\\MPIO\\nothere"] + PACKAGE[1:],
    "-u no source": ["-u", "C:\\MPIO\\nothere"] + PACKAGE[1:],
    "-i wrong ID": ["-i"] + PACKAGE[:2] + ["Root\\WRONGDSM"],
    "-u wrong ID": ["-u"] + PACKAGE[:2] + ["Root\\WRONGDSM"],
    "-i previous": ["-i", "C:\\MPIO\\previous"] + PACKAGE[1:],
}
STRING = "QUORVEX LUMENSTRIDE     "
# The previous release of the example, at C:\MPIO\previous: the same base INFs,
# a DSM INF with an older DriverVer that lists another string instead.
PREVIOUS = {"12/08/2026,2.4.1.0": "06/01/2026,2.3.0.0", STRING: "QUORVEX PRISMLINE       "}
DISK_CLASS = "{4D36E967-E325-11CE-BFC1-08002BE10318}"
REINSTALL = 0x20   # CONFIGFLAG_REINSTALL

# Changes to a machine before the first run ("add_devices" and "add_registry" add
# to its lists, "log_unwritable" makes the log file a directory; the rest replace).
FEATURE_ON_BEFORE = {"features": {"MultipathIo": "Enabled"}, "add_devices": [{
    "instance_id": "ROOT\\MPIO\\0000", "class": "{4D36E97B-E325-11CE-BFC1-08002BE10318}",
    "hardware_ids": ["ROOT\\MPIO"], "description": "Multi-Path Support", "enumerator": "ROOT",
    "config_flags": 0, "status": "0x0000000B", "problem": 0, "present": True, "service": "mpio"}]}
ANOTHER_DSMS_STRING = {"add_registry": {"SYSTEM\\CurrentControlSet\\Control\\MPDEV": {"values": {
    "MPIOSupportedDeviceList": {"type": "REG_MULTI_SZ", "data": ["TESSELLAORBIT-2         "]}}}}}


def dsm_device(m):
    return next((d for d in m["devices"] if "Root\\QVXDSM" in d.get("hardware_ids", [])), None)


def supported(m):
    key = m["registry"].get("SYSTEM\\CurrentControlSet\\Control\\MPDEV", {})
    return key.get("values", {}).get("MPIOSupportedDeviceList", {}).get("data", [])


def disks(m):
    return [d for d in m["devices"] if d["class"].upper() in (DISK_CLASS, "DISKDRIVE")]


# What a row may say of the machine after its last run (m) and before it (b).
EFFECTS = {
    "service marked for deletion": lambda m, b: m["services"].get("qvxdsm", {}).get("marked_for_delete") is True,
    "bus service marked for deletion": lambda m, b: m["services"].get("mpio", {}).get("marked_for_delete") is True,
    "no DSM device": lambda m, b: dsm_device(m) is None,
    "service gone": lambda m, b: "qvxdsm" not in m["services"],
    "DSM device without a driver (problem 28)": lambda m, b: (dsm_device(m) or {}).get("problem") == 28,
    "DSM strings listed": lambda m, b: STRING in supported(m),
    "DSM strings not listed": lambda m, b: STRING not in supported(m),
    "DSM device runs the previous version": lambda m, b: (dsm_device(m) or {}).get("driver_version") == "2.3.0.0",
    "DSM device runs the current version": lambda m, b: (dsm_device(m) or {}).get("driver_version") == "2.4.1.0",
    "DSM driver file copied": lambda m, b: any(f["destination"].lower().endswith("qvxdsm.sys") and not f.get("deleted")
                                               for f in m["files"]),
    "DSM INF in the driver store": lambda m, b: any(e["original_path"].lower().endswith("qvxdsm.inf")
                                                    for e in m["driver_store"]),
    "MultipathIo disabled": lambda m, b: m["features"].get("MultipathIo") == "Disabled",
    "MultipathIo enabled, its bus device there": lambda m, b: m["features"].get("MultipathIo") == "Enabled" and any(
        "ROOT\\MPIO" in d.get("hardware_ids", []) for d in m["devices"]),
    "every disk marked for reinstallation and restarted": lambda m, b: disks(m) and all(
        d.get("config_flags", 0) & REINSTALL and d.get("restarts", 0) > old.get("restarts", 0)
        for d, old in zip(disks(m), disks(b))),
    "one message box, no reboot": lambda m, b: len(m.get("message_boxes", [])) == 1 and not m.get("reboots"),
    "a forced reboot": lambda m, b: [r["flags"] for r in m.get("reboots", [])] == [6],
    "no reboot": lambda m, b: not m.get("reboots"),
}

# sentence of the guide, machine, changes, runs ("reboot" between them), then
# the last run's exit code, texts its log file has / lacks, texts its console
# has (lacks, after "!"), and effects.
SCENARIOS = [
    ("A second `-i` over an installed package on Windows 2000, XP or Server 2003 stops at the bus driver with -1",
     "5.2", {}, ["-i", "-i"], -1, ["Error code (0x00000103)"], ["Installing the Device Specific Module"], [], []),
    ("From Vista on the DSM update is forced and a second `-i` succeeds, restarting every SCSI adapter again.",
     "6.1", {}, ["-i", "-i"], 0, ["Restarting all SCSI adapters..."], [], [], []),
    ("`-i` right after `-u` without a reboot exits -2",
     "10.0", {}, ["-i", "-u", "-i"], -2, ["Error code (0x00000430)"], [], [],
     ["service marked for deletion", "DSM device without a driver (problem 28)", "DSM strings listed",
      "DSM driver file copied"]),
    ("A detection rule that looks for the driver file therefore says \"installed\" after the reboot",
     "10.0", {}, ["-i", "-u", "-i", "reboot", "-c"], 1, [], [], [],
     ["service gone", "DSM driver file copied", "DSM device without a driver (problem 28)"]),
    ("Reboot, then run the same `-i` command once more.",
     "10.0", {}, ["-i", "-u", "-i", "reboot", "-i"], 0, [], [], [], []),
    ("a reboot that another program or an earlier run left pending does not stop the restart",
     "10.0", {"reboot_pending": True}, ["-i"], 0, ["Restarting all SCSI adapters..."], [], [], []),
    ("`C:\\MPIO\\package\\` fails the source check (\"Unable to validate the source path.\", exit -1).",
     "10.0", {}, ["-i trailing \\"], -1, ["Unable to validate the source path."], [], [], []),
    ("a `source_path` that does not exist gives \"Unable to validate the source path.\" and the error text only "
     "(after `-i`; `-u` adds \"Failure.\")",
     "10.0", {}, ["-i no source"], -1, ["Unable to validate the source path.", "Error code (0x00000002)"],
     ["Failure."], [], []),
    ("(after `-i`; `-u` adds \"Failure.\")",
     "10.0", {}, ["-u no source"], -1, ["Unable to validate the source path.", "Failure."], [], [], []),
    ("a failed `MultipathIo` switch writes its \"Failure.\" to the console only, so the file shows just the error text",
     "10.0", {"dism": {"exit_status": 1, "on_disable": "mark"}}, ["-i"], -1, ["Error code (0x00000001)"],
     ["Failure."], ["Failure."], []),
    ("`MultipathIo` feature, which goes off even if it was on before the package was installed",
     "10.0", FEATURE_ON_BEFORE, ["-i", "-u"], 1, [], [], [], ["MultipathIo disabled"]),
    ("every disk that the list does not cover, whatever its vendor and the disk Windows runs from included, is "
     "marked for reinstallation and restarted",
     "10.0", {}, ["-i", "-u"], 1, ["Rebuilding the storage stack..."], [], [],
     ["every disk marked for reinstallation and restarted"]),
    ("The package's INF files stay in the system's driver store.",
     "10.0", {}, ["-i", "-u", "reboot"], None, [], [], [], ["DSM INF in the driver store"]),
    ("or (`-u`) it answered 0 and the MPIO bus device is marked for removal",
     "10.0", {"dism": {"exit_status": 0, "on_disable": "mark"}}, ["-i", "-u"], 1, [], [],
     ["Success (but need a reboot)"], ["no reboot"]),
    ("`DISM.exe` answered 3010",
     "10.0", {"dism": {"exit_status": 3010, "on_disable": "mark"}}, ["-i"], 1, [], ["Restarting all SCSI adapters"],
     ["Success (but need a reboot)"], ["no reboot"]),
    ("and then shows one message box",
     "10.0", {"message_box_answers": [2]}, ["-r"], -1, [], [], [], ["one message box, no reboot"]),
    ("where OK reboots at once with force",
     "10.0", {"message_box_answers": [1]}, ["-r"], -1, [], [], [], ["a forced reboot"]),
    ("From Vista on it looks at nothing and always exits 1.",
     "6.1", {}, ["-i", "-c"], 1, ["CheckInstallMPIO: install condition 1"], ["Check MPIO, please wait"], [], []),
    ("after `-c`: nothing",
     "5.2", {}, ["-c"], 1, ["CheckInstallMPIO: install condition 1"], [], [], []),
    ("A `dsm_hwid` that the DSM INF does not list fails on Windows 2000, XP and Server 2003 with `e0000228` and an "
     "unrelated system text",
     "5.2", {}, ["-i wrong ID"], -1,
     ["Error code (0xe0000228)", "The passed ACL did not contain the minimum required information."], [], [], []),
    ("From then on every `-c` exits -1 (`SetupDiGetDeviceRegistryProperty() failed with error 13`)",
     "5.2", {}, ["-i wrong ID", "-u", "-c"], -1,
     ["SetupDiGetDeviceRegistryProperty() failed with error 13", "CheckInstallMPIO failed with error 13"], [], [], []),
    ("until `-u` is run with the same wrong ID, which removes that device.",
     "5.2", {}, ["-i wrong ID", "-u wrong ID", "-c"], 1, [], [], [], []),
    ("On Windows 2000, XP and Server 2003 the run stops at the bus driver, before the DSM: a `-u` that removed the "
     "base (no other DSM's strings left in the supported-device list) leaves the bus driver's service `mpio` marked "
     "for deletion.",
     "5.2", {}, ["-i", "-u", "-i"], -2,
     ["Installing the Multi-Path Adapter Filter and Multi-Path Bus Driver...", "Error code (0x00000430)"],
     ["Installing the Device Specific Module"], [], ["bus service marked for deletion", "no DSM device"]),
    ("so `-c` exits -1 (`SetupDiGetDeviceRegistryProperty() failed with error 13`) from then on, also after the "
     "reboot,",
     "5.2", {}, ["-i", "-u", "-i", "reboot", "-c"], -1, ["CheckInstallMPIO failed with error 13"], [], [], []),
    ("until an `-i` succeeds.",
     "5.2", {}, ["-i", "-u", "-i", "reboot", "-i", "-c"], 1, ["CheckInstallMPIO: install condition 1"], [], [], []),
    ("A `-u` that kept the base (another DSM's strings are still listed) marks nothing there: the next `-i` stops at "
     "the bus driver with -1 and error 259",
     "5.2", ANOTHER_DSMS_STRING, ["-i", "-u", "-i"], -1, ["Error code (0x00000103)"],
     ["Installing the Device Specific Module"], [], []),
    ("If the file cannot be written (a read-only directory), the run goes on, and none of the log's lines reach the "
     "console either: it shows only what the `MultipathIo` feature step writes there",
     "10.0", {"log_unwritable": True}, ["-i"], 0, [], [], ["Installing the MPIO OC", "!Starting Multi-Path",
                                                            "!Restarting all SCSI adapters"],
     ["MultipathIo enabled, its bus device there", "DSM strings listed"]),
    ("without it, -1: these systems have no `DISM.exe`, and the feature step fails with error 1 (\"Incorrect "
     "function.\") before anything is installed",
     "6.0", {}, ["-i"], -1, ["Incorrect function.", "Error code (0x00000001)"],
     ["Installing the Device Specific Module"], ["Installing the MPIO OC"], ["no DSM device"]),
    ("that is when Multipath I/O was switched on beforehand (Server Manager on Server 2008)",
     "6.0", FEATURE_ON_BEFORE, ["-i"], 0, ["Installing the Device Specific Module"], [], [], ["DSM strings listed"]),
    ("`-u` with the current package, a reboot, then `-i` with the previous one exits 0 on every generation and "
     "leaves the previous version's strings in the supported-device list, the current one's gone.",
     "10.0", {}, ["-i", "reboot", "-u", "reboot", "-i previous"], 0, [], [], [],
     ["DSM device runs the previous version", "DSM strings not listed"]),
    ("`-u` with the current package, a reboot, then `-i` with the previous one exits 0 on every generation",
     "6.0", FEATURE_ON_BEFORE, ["-i", "reboot", "-u", "reboot", "-i previous"], 0, [], [], [],
     ["DSM device runs the previous version", "DSM strings not listed"]),
    ("`-u` with the current package, a reboot, then `-i` with the previous one exits 0 on every generation",
     "5.2", {}, ["-i", "reboot", "-u", "reboot", "-i previous"], 0, [], [], [],
     ["DSM device runs the previous version", "DSM strings not listed"]),
    ("Without the reboot, that `-i` exits -2",
     "6.1", {}, ["-i", "reboot", "-u", "-i previous"], -2, ["Error code (0x00000430)"], [], [], []),
    ("From Vista on, `-i` with the previous package over the current one also exits 0 on its own: the DSM update "
     "is forced, and the DSM's device runs the previous version. Strings that only the current version adds stay "
     "in the supported-device list",
     "10.0", {}, ["-i", "reboot", "-i previous"], 0, [], [], [],
     ["DSM device runs the previous version", "DSM strings listed"]),
    ("From Vista on, `-i` with the previous package over the current one also exits 0 on its own",
     "6.0", FEATURE_ON_BEFORE, ["-i", "reboot", "-i previous"], 0, [], [], [],
     ["DSM device runs the previous version", "DSM strings listed"]),
    ("On Windows 2000, XP and Server 2003 that `-i` stops at the bus driver with -1 (error 259, as a second `-i` "
     "does) and changes nothing",
     "5.2", {}, ["-i", "reboot", "-i previous"], -1, ["Error code (0x00000103)"],
     ["Installing the Device Specific Module"], [], ["DSM device runs the current version", "DSM strings listed"]),
    ("with the supported-device list empty, switching the feature off fails the same way: exit -1 after the DSM is "
     "gone, and the feature and its bus device stay",
     "6.0", FEATURE_ON_BEFORE, ["-i", "-u"], -1, ["Error code (0x00000001)"], [], ["Uninstalling the MPIO OC"],
     ["no DSM device", "MultipathIo enabled, its bus device there"]),
]


def normalized(text):
    return " ".join(text.split())


def make_machine(path, version, changes, build):
    if MACHINES[version] is None:
        subprocess.run([os.path.join(build, "winsim"), "default", path], check=True, stdout=subprocess.DEVNULL)
    else:
        shutil.copy(os.path.join(ROOT, "examples", "machines", MACHINES[version]), path)
    with open(path) as f:
        machine = json.load(f)
    if version == "6.0":
        machine["os"] = SERVER_2008
    changes = dict(changes)
    machine["devices"] += changes.pop("add_devices", [])
    machine["registry"].update(changes.pop("add_registry", {}))
    changes.pop("log_unwritable", None)
    machine.update(changes)
    with open(path, "w") as f:
        json.dump(machine, f, indent=2)


def run_scenario(row, build, scratch):
    sentence, version, changes, runs, code, logged, unlogged, console, effects = row
    machine = os.path.join(scratch, "machine.json")
    shutil.copytree(os.path.join(ROOT, "examples", "package"), os.path.join(scratch, "C:", "MPIO", "package"))
    previous = os.path.join(scratch, "C:", "MPIO", "previous")
    shutil.copytree(os.path.join(ROOT, "examples", "package"), previous)
    with open(os.path.join(previous, "qvxdsm.inf"), encoding="latin-1") as f:
        inf = f.read()
    for old, new in PREVIOUS.items():
        inf = inf.replace(old, new)
    with open(os.path.join(previous, "qvxdsm.inf"), "w", encoding="latin-1") as f:
        f.write(inf)
    make_machine(machine, version, changes, build)
    env = dict(os.environ, WINSIM_MACHINE=machine)
    log_path = os.path.join(scratch, "MPIOInstall.LOG")
    if changes.get("log_unwritable"):
        os.mkdir(log_path)
    for step in runs:
        with open(machine) as f:
            before = json.load(f)
        logged_before = os.path.getsize(log_path) if os.path.isfile(log_path) else 0
        if step == "reboot":
            subprocess.run([os.path.join(build, "winsim"), "reboot", machine], check=True, stdout=subprocess.DEVNULL)
            continue
        run = subprocess.run([os.path.join(build, "install")] + RUNS[step], cwd=scratch, env=env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
    log = ""
    if os.path.isfile(log_path):
        with open(log_path, "rb") as f:
            log = f.read()[logged_before:].decode("latin-1")
    output = run.stdout.decode("latin-1")
    with open(machine) as f:
        after = json.load(f)

    problems = []
    if code is not None and run.returncode != code & 0xFF:
        problems.append("exit status %d, not %d (%d)" % (run.returncode, code & 0xFF, code))
    problems += ["the log lacks %r" % t for t in logged if t not in log]
    problems += ["the log has %r" % t for t in unlogged if t in log]
    problems += ["the console lacks %r" % t for t in console if not t.startswith("!") and t not in output]
    problems += ["the console has %r" % t[1:] for t in console if t.startswith("!") and t[1:] in output]
    problems += ["not so: %s" % e for e in effects if not EFFECTS[e](after, before)]
    if problems:
        problems.append("log of the last run:\n" + log)
    return problems


def main(argv):
    if len(argv) != 3:
        print(__doc__)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        guide = normalized(f.read())
    build = os.path.abspath(argv[2])
    failed = 0
    for row in SCENARIOS:
        problems = [] if normalized(row[0]) in guide else ["the guide no longer says this"]
        with tempfile.TemporaryDirectory() as scratch:
            problems += run_scenario(row, build, scratch)
        runs = " ".join(row[3])
        if problems:
            failed += 1
            print("FAIL %s [%s: %s]\n  %s" % (row[0], row[1], runs, "\n  ".join(problems)))
        else:
            print("PASS %s [%s: %s]" % (row[0], row[1], runs))
    print("%d guide scenarios passed, %d failed" % (len(SCENARIOS) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
