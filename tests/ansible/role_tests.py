#!/usr/bin/env python3
"""Runs the role's playbook, deploy/ansible/site.yml as released, on hosts
whose Windows modules are recorders (collections/: each call is recorded and
answered from the host's script), one scenario a row, and checks what each
host was asked to do.

  role_tests.py HOST_BUILD_DIR [TEXT]   (its pkgcheck checks the package;
                                        TEXT: only the scenarios so named)

Each scenario lays out a release (deploy/ansible, x64/install.exe and
x64/capture.exe, the example package) in a scratch directory, sets
rollout.yml and the inventory as the administrator's guide says, and runs
ansible-playbook there once or more.  Each host is a simulated machine
(machines()); capture.exe and install.exe run as the host builds on it.  A
host's calls are written as one line: "capture" (capture.exe, with the folder
made for it, the copy and its removal), "folder" (the folder made for
install.exe), "copy", the install.exe switch, "reboot"; check-mode calls get
a "?".  Every host starts without C:\MPIO; each host that ran install.exe must
have the log of its runs on the controller, the others none; each captured
host has its capture there, and no host keeps the capture's folder.
"""
import concurrent.futures
import copy
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

import yaml

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLE = os.path.join(ROOT, "examples", "package")
with open(os.path.join(os.path.dirname(__file__), "recorded_results.yml")) as f:
    RECORDED = {r["name"]: r["result"].get("stdout") for r in yaml.safe_load(f)["recorded_results"]}

# Each host is a simulated machine, made once for the whole run (machines()):
# the host build's default (Windows Server 2019, Multipath I/O off), and the
# same after changes.  An install.exe run without "rc" runs the host build on
# the host's machine; one with "rc" is scripted and leaves the machine alone.
FRESH, INSTALLED, OLDER, UNLISTED, FEATURE_OFF, MARKED, DISM_3010, SERVER_2008, NOT_ADMIN = (
    "fresh", "installed", "older", "unlisted", "feature off", "marked", "dism 3010", "server 2008", "not admin")
INSTALL = {"switch": "-i"}
UNINSTALL = {"switch": "-u"}
INSTALL_FAILED = {"switch": "-i", "rc": -1, "stdout": RECORDED["install: failed, -1 read signed"]}

VENDOR = {"mpio_dsm_inf": "qvxdsm.inf", "mpio_dsm_hwid": "Root\\TESTDSM"}
FIRST_RUN = "capture folder copy copy -i"
TEN = ["h%02d" % n for n in range(1, 11)]
# The mark by which pkgcheck knows the example's drivers and catalogs, and what
# a vendor's package has in its place (the same length keeps them well formed).
PLACEHOLDER_MARK = b"MPIO-EXAMPLE-PLACEHOLDER"
VENDOR_MARK = b"VENDOR-BUILT-FILE-MARKED"

# name, hosts {host: (state, runs)}, rollout.yml settings, inventory vars,
# ansible-playbook arguments of each run, package ("vendor", "example",
# "placeholders", "broken", "no version"), then what must come out: the exit
# status of the last run, each
# host's calls over all runs, the batches, the changed count of each host in
# the last run's recap, and a text of the output.
SCENARIOS = [
    ("batch size from rollout.yml",
     {"h1": (FRESH, [INSTALL]), "h2": (FRESH, [INSTALL]), "h3": (FRESH, [INSTALL])},
     {"mpio_batch": 2}, {}, [[]], "vendor",
     0, {"h1": FIRST_RUN, "h2": FIRST_RUN, "h3": FIRST_RUN}, [["h1", "h2"], ["h3"]], None, None),
    ("batch size from -e, over rollout.yml",
     {"h1": (FRESH, [INSTALL]), "h2": (FRESH, [INSTALL]), "h3": (FRESH, [INSTALL])},
     {"mpio_batch": 2}, {}, [["-e", "mpio_batch=3"]], "vendor",
     0, {"h1": FIRST_RUN, "h2": FIRST_RUN, "h3": FIRST_RUN}, [["h1", "h2", "h3"]], None, None),
    ("batch size in the inventory is not read: rollout.yml's stands",
     {"h1": (FRESH, [INSTALL]), "h2": (FRESH, [INSTALL])},
     {}, {"mpio_batch": 2}, [[]], "vendor",
     0, {"h1": FIRST_RUN, "h2": FIRST_RUN}, [["h1"], ["h2"]], None, None),
    ("a failure in the first batch leaves the other hosts untouched",
     {"h1": (FRESH, [INSTALL_FAILED]), "h2": (FRESH, []), "h3": (FRESH, [])},
     {}, {}, [[]], "vendor",
     2, {"h1": FIRST_RUN, "h2": "", "h3": ""}, [["h1"]], None, "install.exe failed"),
    ("a failure in a batch of 2 stops the rollout after that batch",
     {h: (FRESH, [INSTALL_FAILED] if h == "h1" else [INSTALL]) for h in ("h1", "h2", "h3", "h4", "h5", "h6")},
     {"mpio_batch": 2}, {}, [[]], "vendor",
     2, {"h1": FIRST_RUN, "h2": FIRST_RUN, "h3": "", "h4": "", "h5": "", "h6": ""}, [["h1", "h2"]], None,
     "install.exe failed"),
    ("a failure in a batch of 50% stops the rollout after that batch",
     {h: (FRESH, [INSTALL_FAILED] if h == "h2" else [INSTALL]) for h in ("h1", "h2", "h3", "h4")},
     {"mpio_batch": "50%"}, {}, [[]], "vendor",
     2, {"h1": FIRST_RUN, "h2": FIRST_RUN, "h3": "", "h4": ""}, [["h1", "h2"]], None, "install.exe failed"),
    ("a canary rollout: 1, 10%, 25% of 10 hosts from rollout.yml",
     dict({h: (INSTALLED, []) for h in TEN}, h01=(FRESH, [INSTALL])),
     {"mpio_batch": [1, "10%", "25%"]}, {}, [[]], "vendor",
     0, dict({h: "capture" for h in TEN}, h01=FIRST_RUN),
     [["h01"], ["h02"], ["h03", "h04"], ["h05", "h06"], ["h07", "h08"], ["h09", "h10"]], None, None),
    ("a failed canary, the list given with -e, leaves the other 9 hosts untouched",
     {h: (FRESH, [INSTALL_FAILED] if h == "h01" else []) for h in TEN},
     {}, {}, [["-e", '{"mpio_batch": [1, "10%", "25%"]}']], "vendor",
     2, dict({h: "" for h in TEN}, h01=FIRST_RUN), [["h01"]], None, "install.exe failed"),
    ("--limit @site.retry runs the failed batch again, and only that batch",
     {"h1": (FRESH, [INSTALL_FAILED, INSTALL]), "h2": (FRESH, [INSTALL]), "h3": (FRESH, [INSTALL])},
     {"mpio_batch": 2}, {}, [[], ["--limit", "@site.retry"]], "vendor",
     0, {"h1": FIRST_RUN + " " + FIRST_RUN, "h2": FIRST_RUN + " capture", "h3": ""}, [["h1", "h2"]],
     {"h1": 2, "h2": 0}, None),
    ("a second run is all ok, no install.exe (h2: DISM asks for a reboot)",
     {"h1": (FRESH, [INSTALL]), "h2": (DISM_3010, [INSTALL])},
     {"mpio_batch": 2}, {}, [[], []], "vendor",
     0, {"h1": FIRST_RUN + " capture", "h2": FIRST_RUN + " reboot capture"}, [["h1", "h2"]], {"h1": 0, "h2": 0},
     "installed at 2.4.1.0"),
    ("a service marked for deletion: -2, a reboot, then one more run",
     {"h1": (MARKED, [INSTALL, INSTALL])},
     {}, {}, [[]], "vendor",
     0, {"h1": FIRST_RUN + " reboot -i"}, [["h1"]], None, None),
    ("another version installed: -i over it; the same version: nothing",
     {"h1": (OLDER, [INSTALL]), "h2": (INSTALLED, [])},
     {"mpio_batch": 2}, {}, [[]], "vendor",
     0, {"h1": FIRST_RUN, "h2": "capture"}, [["h1", "h2"]], {"h1": 5, "h2": 0}, None),
    ("uninstall runs -u only where the package is, once",
     {"h1": (INSTALLED, [UNINSTALL]), "h2": (FRESH, [])},
     {"mpio_batch": 2}, {}, [["-e", "mpio_action=uninstall"]] * 2, "vendor",
     0, {"h1": "capture folder copy copy -u reboot capture", "h2": "capture capture"}, [["h1", "h2"]], {"h1": 0, "h2": 0}, None),
    ("--check --diff runs only the capture, and shows the twin's diff and predicted exit code",
     {"h1": (FRESH, []), "h2": (INSTALLED, [])},
     {"mpio_batch": 2}, {}, [["--check", "--diff"]], "vendor",
     0, {"h1": "capture", "h2": "capture"}, [["h1", "h2"]], {"h1": 1, "h2": 0},
     "the twin predicts install.exe -i exits 0\",\n        \"devices\""),
    ("the decision from the capture: installed at this version, older, a string or the feature missing, marked",
     {"h1": (INSTALLED, []), "h2": (OLDER, []), "h3": (UNLISTED, []), "h4": (FEATURE_OFF, []), "h5": (MARKED, [])},
     {"mpio_batch": 5}, {}, [["--check"]], "vendor",
     0, {h: "capture" for h in ("h1", "h2", "h3", "h4", "h5")}, [["h1", "h2", "h3", "h4", "h5"]],
     {"h1": 0, "h2": 1, "h3": 1, "h4": 1, "h5": 1},
     "install: driver 2.3.0.0 (the package's is 2.4.1.0)"),
    ("a twin predicting -1 (Server 2008 without Multipath I/O) fails its host untouched; the batch stops there",
     {"h1": (FRESH, []), "h2": (SERVER_2008, []), "h3": (FRESH, []), "h4": (FRESH, [])},
     {"mpio_batch": 3}, {}, [[]], "vendor",
     2, {"h1": "capture", "h2": "capture", "h3": "capture", "h4": ""}, [["h1", "h2", "h3"]], None,
     "the twin predicts -1: the host is left untouched"),
    ("mpio_trust_preview false: no twin, install.exe runs and fails there",
     {"h1": (SERVER_2008, [INSTALL])},
     {}, {}, [["-e", "mpio_trust_preview=false"]], "vendor",
     2, {"h1": FIRST_RUN}, [["h1"]], None, "install.exe failed"),
    ("a capture that fails fails its host with capture's message, and leaves no folder",
     {"h1": (NOT_ADMIN, [])},
     {}, {}, [[]], "vendor",
     2, {"h1": "capture"}, [["h1"]], None, "capture: not run as an administrator"),
    ("the example package is refused",
     {"h1": (FRESH, [])},
     {}, {}, [[]], "example",
     2, {"h1": ""}, [], None, "is the release's example package"),
    ("the example package with mpio_allow_example_package",
     {"h1": (FRESH, [INSTALL])},
     {}, {}, [["-e", "mpio_allow_example_package=true"]], "example",
     0, {"h1": FIRST_RUN}, [["h1"]], None, None),
    ("no package given",
     {"h1": (FRESH, [])},
     {}, {}, [[]], None,
     2, {"h1": ""}, [], None, "No package given"),
    ("a vendor's package holding the example's placeholder drivers and catalogs is refused before any host",
     {"h1": (FRESH, [])},
     {}, {}, [[]], "placeholders",
     2, {"h1": ""}, [], None, "not drivers or signed catalogs: mpfilt.sys [mpio.inf], mpio.sys [mpio.inf]"),
    ("a package pkgcheck rejects stops the play before any host",
     {"h1": (FRESH, []), "h2": (FRESH, [])},
     {}, {}, [[]], "broken",
     2, {"h1": "", "h2": ""}, [], None, "NTamd64"),
    ("a DSM INF whose DriverVer has no version is refused before any host",
     {"h1": (FRESH, [])},
     {}, {}, [[]], "no version",
     2, {"h1": ""}, [], None, "lacks a version in DriverVer"),
]


def make_package(kind, release):
    """The package a scenario deploys: the example, or a vendor's made from it."""
    if kind == "example":
        return {"mpio_package_dir": os.path.join(release, "examples", "package"), "mpio_dsm_inf": "qvxdsm.inf",
                "mpio_dsm_hwid": "Root\\QVXDSM"}
    if kind is None:
        return {}
    vendor = os.path.join(release, "..", "vendor-package")
    shutil.copytree(EXAMPLE, vendor)
    if kind != "placeholders":
        for name in os.listdir(vendor):
            if name.endswith((".sys", ".cat")):
                with open(os.path.join(vendor, name), "rb") as f:
                    data = f.read()
                with open(os.path.join(vendor, name), "wb") as f:
                    f.write(data.replace(PLACEHOLDER_MARK, VENDOR_MARK))
    inf = os.path.join(vendor, "qvxdsm.inf")
    with open(inf, encoding="latin-1") as f:
        text = f.read().replace("Root\\QVXDSM", VENDOR["mpio_dsm_hwid"])
    if kind == "broken":
        # x64 Windows would find no driver for the DSM.
        text = re.sub(r"\[QuorvexDsm\.NTamd64\]\n.*\n", "", text).replace(", NTamd64", "")
    elif kind == "no version":
        # pkgcheck passes a DriverVer without a version; a host's cannot be compared with it.
        text = text.replace("12/08/2026,2.4.1.0", "12/08/2026")
    with open(inf, "w", encoding="latin-1") as f:
        f.write(text)
    return dict(VENDOR, mpio_package_dir=os.path.abspath(vendor))


def machines(host_build, shared):
    """The hosts' machine descriptions, by name: the host build's default,
    the vendor package installed on it by the host build, and edits."""
    def run(argv, machine):
        subprocess.run(argv, cwd=shared, env=dict(os.environ, WINSIM_MACHINE=machine), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def read(path):
        with open(path) as f:
            return json.load(f)

    fresh_path, installed_path = os.path.join(shared, "fresh.json"), os.path.join(shared, "installed.json")
    run([os.path.join(host_build, "winsim"), "default", fresh_path], fresh_path)
    shutil.copy(fresh_path, installed_path)
    package = make_package("vendor", os.path.join(shared, "release"))
    run([os.path.join(host_build, "install"), "-i", package["mpio_package_dir"], package["mpio_dsm_inf"],
         package["mpio_dsm_hwid"]], installed_path)
    fresh, installed = read(fresh_path), read(installed_path)
    older, unlisted = copy.deepcopy(installed), copy.deepcopy(installed)
    for device in older["devices"]:
        if VENDOR["mpio_dsm_hwid"] in device.get("hardware_ids", []):
            device["driver_version"] = "2.3.0.0"
    unlisted["registry"]["SYSTEM\\CurrentControlSet\\Control\\MPDEV"]["values"]["MPIOSupportedDeviceList"]["data"] = []
    service = {"display_name": "Quorvex Lumenstride DSM", "binary": "C:\\Windows\\System32\\drivers\\qvxdsm.sys",
               "type": 1, "start": 0, "error_control": 1, "marked_for_delete": True}
    server_2008 = dict(fresh, os=dict(fresh["os"], major=6, minor=0, build=6002))
    server_2008.pop("features", None)
    return {FRESH: fresh, INSTALLED: installed, OLDER: older, UNLISTED: unlisted,
            FEATURE_OFF: dict(installed, features={"MultipathIo": "Disabled"}),
            MARKED: dict(fresh, services=dict(fresh["services"], qvxdsm=service)),
            DISM_3010: dict(fresh, dism={"exit_status": 3010}), SERVER_2008: server_2008,
            NOT_ADMIN: dict(fresh, administrator=False)}


def set_rollout(path, settings):
    """Sets keys in rollout.yml as an administrator edits it: in place of the
    (commented) line that names the key, else at the end."""
    with open(path) as f:
        lines = f.read().splitlines()
    for key, value in settings.items():
        line = "%s: %s" % (key, json.dumps(value))
        at = [i for i, text in enumerate(lines) if re.match(r"#? ?%s:" % key, text)]
        if at:
            lines[at[0]] = line
        else:
            lines.append(line)
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def calls_of(record, host):
    path = os.path.join(record, host + ".calls.jsonl")
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [json.loads(line) for line in f]


def in_temp(path):
    return (path or "").lower().startswith("c:\\windows\\temp\\")


def shown(call):
    """A call as a word; the capture's own folder, copy and removal are part of "capture"."""
    if call["module"] == "win_tempfile" or call["module"] in ("win_copy", "win_file") and in_temp(
            call.get("dest") or call.get("path")):
        return None
    word = {"win_file": "folder", "win_copy": "copy", "win_reboot": "reboot"}.get(call["module"])
    if call["module"] == "win_command":
        word = "capture" if len(call["argv"]) == 2 else call["argv"][1]
    word = word or call["module"]
    return word + ("?" if call["check_mode"] and word != "capture" else "")


def recap(output):
    return {m.group(1): int(m.group(2)) for m in re.finditer(r"^(\S+)\s+: ok=\d+\s+changed=(\d+)", output, re.M)}


def run_scenario(scenario, host_build, described, scratch):
    name, hosts, rollout, inventory_vars, runs, package, code, calls, batches, changed, text = scenario
    release = os.path.join(scratch, "release")
    playbook_dir = os.path.join(release, "deploy", "ansible")
    shutil.copytree(os.path.join(ROOT, "deploy", "ansible"), playbook_dir,
                    ignore=shutil.ignore_patterns("logs", "inventory.yml", "group_vars", "*.retry", "__pycache__"))
    shutil.copytree(EXAMPLE, os.path.join(release, "examples", "package"))
    os.makedirs(os.path.join(release, "x64"))
    for program in ("install.exe", "capture.exe"):
        with open(os.path.join(release, "x64", program), "wb") as f:
            f.write(b"MZ")
    tools = {"mpio_pkgcheck": "pkgcheck", "mpio_host_install": "install", "mpio_winsim": "winsim"}
    settings = dict(make_package(package, release), **rollout)
    settings.update({key: os.path.join(host_build, name) for key, name in tools.items()})
    set_rollout(os.path.join(playbook_dir, "rollout.yml"), settings)
    inventory = {"windows": {"hosts": {h: None for h in hosts},
                             "vars": dict(inventory_vars, ansible_connection="recorded.hosts.local",
                                          ansible_python_interpreter=sys.executable)}}
    with open(os.path.join(playbook_dir, "inventory.yml"), "w") as f:
        yaml.safe_dump(inventory, f)
    record = os.path.join(scratch, "record")
    os.makedirs(record)
    script = os.path.join(scratch, "script.json")
    with open(script, "w") as f:
        json.dump({h: {"machine": described[machine], "runs": host_runs} for h, (machine, host_runs) in hosts.items()}, f)
    env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=os.path.join(ROOT, "tests", "ansible", "collections"),
               ANSIBLE_NOCOLOR="1", ANSIBLE_LOCALHOST_WARNING="false", ANSIBLE_PIPELINING="1", ANSIBLE_DEPRECATION_WARNINGS="false",
               MPIO_RECORDER_SCRIPT=script, MPIO_RECORDER_DIR=record, MPIO_HOST_BUILD=host_build)
    for arguments in runs:
        run = subprocess.run(["ansible-playbook", "-i", "inventory.yml", "site.yml"] + arguments, cwd=playbook_dir,
                             env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             universal_newlines=True, timeout=600)

    problems = []
    if run.returncode != code:
        problems.append("ansible-playbook exited %d, not %d" % (run.returncode, code))
    recorded = {h: calls_of(record, h) for h in hosts}
    got = {h: " ".join(w for w in map(shown, recorded[h]) if w) for h in hosts}
    if got != calls:
        problems.append("calls %s, not %s" % (got, calls))
    got_batches = sorted({tuple(c["batch"]) for h in hosts for c in recorded[h]})
    if got_batches != sorted(tuple(b) for b in batches):
        problems.append("batches %s, not %s" % (got_batches, batches))
    if changed is not None and recap(run.stdout) != changed:
        problems.append("changed in the last run %s, not %s" % (recap(run.stdout), changed))
    if text and text not in run.stdout:
        problems.append("the output does not say %r" % text)
    # Each host that ran install.exe has the log of its runs on the controller (a scripted run's
    # output, a real one's log), the others none; each captured host has its capture there, and
    # no host keeps the capture's folder.
    for h, (machine, host_runs) in hosts.items():
        taken = host_runs[:len([word for word in calls[h].split() if word in ("-i", "-u")])]
        log = os.path.join(playbook_dir, "logs", h, "MPIOInstall.LOG")
        got_log = None
        if os.path.exists(log):
            with open(log, newline="") as f:
                got_log = f.read()
        if not taken:
            right = got_log is None
        elif all("rc" in r for r in taken):
            right = got_log == "".join(r.get("stdout", "") for r in taken)
        else:
            right = got_log is not None and got_log.count("Starting Multi-Path install/uninstall package") == len(taken)
        if not right:
            problems.append("%s: the log on the controller %s" % (h, "is missing" if got_log is None else
                            "should not be there" if not taken else "is not its runs' log"))
        captured = "capture" in calls[h].split() and machine != NOT_ADMIN
        if os.path.exists(os.path.join(playbook_dir, "logs", h, "capture.json")) != captured:
            problems.append("%s: the capture on the controller %s" % (h, "is missing" if captured else "should not be there"))
        state = os.path.join(record, h + ".state.json")
        if os.path.exists(state):
            with open(state) as f:
                left = [p for p in json.load(f)["files"]["folders"] if in_temp(p + "\\")]
            if left != ["c:\\windows\\temp"]:
                problems.append("%s keeps %s" % (h, left))
    return problems, run.stdout, got


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__)
        return 2
    host_build = os.path.abspath(argv[1])
    passed = failed = 0
    with tempfile.TemporaryDirectory() as shared:
        described = machines(host_build, shared)
    def run(scenario):
        with tempfile.TemporaryDirectory() as scratch:
            return run_scenario(copy.deepcopy(scenario), host_build, described, scratch)

    # The rows share nothing but the machines: they run side by side, one a
    # core, and report in their order.
    chosen = [s for s in SCENARIOS if len(argv) == 2 or argv[2] in s[0]]
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        for scenario, (problems, output, got) in zip(chosen, pool.map(run, chosen)):
            if problems:
                failed += 1
                print("FAIL %s\n%s\n  %s" % (scenario[0], output, "\n  ".join(problems)))
            else:
                passed += 1
                print("PASS %s: %s" % (scenario[0], "; ".join("%s: %s" % (h, c or "-") for h, c in got.items())))
    print("role tests: %d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
