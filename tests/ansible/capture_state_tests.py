#!/usr/bin/env python3
"""The role's filter mpio_capture_state (and mpio_host_plan after it) on real
captures: build/host/capture of simulated machines before and after the host
build's install -i and -u of the example package.

  capture_state_tests.py HOST_BUILD_DIR
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "deploy", "ansible", "roles", "mpio", "filter_plugins"))
from mpio_state import mpio_capture_state, mpio_host_plan  # noqa: E402

PACKAGE = os.path.join(ROOT, "examples", "package")
STRING = "QUORVEX LUMENSTRIDE     "

# name, os edits, the runs of install before the capture, the hardware ID the
# role is given, then the state read and whether -i and -u would run.
ROWS = [
    ("fresh", {}, [], "Root\\QVXDSM",
     {"version": "10.0", "service": "absent", "driver_version": None, "supported_devices": [],
      "multipath_feature": "Disabled"}, True, False),
    ("after -i", {}, ["-i"], "Root\\QVXDSM",
     {"service": "present", "driver_version": "2.4.1.0", "supported_devices": [STRING],
      "multipath_feature": "Enabled"}, False, True),
    ("after -i, the hardware ID in another case", {}, ["-i"], "ROOT\\qvxdsm",
     {"driver_version": "2.4.1.0"}, False, True),
    ("after -i and -u, before the reboot", {}, ["-i", "-u"], "Root\\QVXDSM",
     {"service": "marked for deletion", "driver_version": None, "supported_devices": []}, True, False),
    ("6.0 after -i fails: no feature read", {"major": 6, "minor": 0, "build": 6002}, ["-i"], "Root\\QVXDSM",
     {"version": "6.0", "service": "absent", "multipath_feature": None}, True, False),
]


def run(argv, machine, cwd):
    return subprocess.run(argv, cwd=cwd, env=dict(os.environ, WINSIM_MACHINE=machine), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True)


def main(argv):
    if len(argv) != 2:
        print(__doc__)
        return 2
    build = os.path.abspath(argv[1])
    facts = json.loads(subprocess.run([os.path.join(build, "pkgcheck"), PACKAGE, "qvxdsm.inf", "Root\\QVXDSM",
                                       "--facts"], stdout=subprocess.PIPE, check=True).stdout)
    failed = 0
    for name, os_edits, runs, hwid, want, install_runs, uninstall_runs in ROWS:
        problems = []
        with tempfile.TemporaryDirectory() as scratch:
            machine, capture = os.path.join(scratch, "machine.json"), os.path.join(scratch, "capture.json")
            run([os.path.join(build, "winsim"), "default", machine], machine, scratch)
            with open(machine) as f:
                described = json.load(f)
            described["os"].update(os_edits)
            if os_edits:
                described.pop("features", None)
            with open(machine, "w") as f:
                json.dump(described, f)
            for switch in runs:
                run([os.path.join(build, "install"), switch, PACKAGE, "qvxdsm.inf", "Root\\QVXDSM"], machine, scratch)
            done = run([os.path.join(build, "capture"), capture], machine, scratch)
            if done.returncode:
                problems.append("capture exited %d: %s" % (done.returncode, done.stdout))
            else:
                state = mpio_capture_state(capture, facts, hwid)
                problems += ["%s is %r, not %r" % (k, state.get(k), v) for k, v in want.items() if state.get(k) != v]
                for action, want_run in (("install", install_runs), ("uninstall", uninstall_runs)):
                    plan = mpio_host_plan(state, facts, action)
                    if plan["run"] != want_run:
                        problems.append("%s would %srun: %s" % (action, "" if plan["run"] else "not ", plan["summary"]))
        failed += bool(problems)
        print("%s %s%s" % ("FAIL" if problems else "PASS", name, "".join("\n  " + p for p in problems)))
    print("capture state tests: %d passed, %d failed" % (len(ROWS) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
