#!/usr/bin/env python3
"""Checks that the recorders standing in for the Windows modules
(collections/) fail where the modules of ansible.windows 1.14 fail and leave
the host as they leave it: each row runs its tasks on a fresh recorded host
(drive C: only, plus the row's folders) and checks the last task's result and
the host's folders and files after.

  recorder_tests.py
"""
import json
import os
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
ABSENT = object()   # the result must not have this key

EXE = ("ansible.windows.win_copy", {"src": "{exe}", "dest": "C:\\MPIO\\install.exe"})
PACKAGE = ("ansible.windows.win_copy", {"src": "{package}/", "dest": "C:\\MPIO\\package\\"})
FOLDER = ("ansible.windows.win_file", {"path": "C:\\MPIO", "state": "directory"})
RUN = ("ansible.windows.win_command", {"argv": ["C:\\MPIO\\install.exe", "-i", "C:\\MPIO\\package", "pkg.inf",
                                                "Root\\TESTDSM"], "chdir": "C:\\MPIO"})
PACKAGE_FILES = {"c:\\mpio\\package\\pkg.inf", "c:\\mpio\\package\\sub\\pkg.sys"}

# name, folders there before, tasks, install.exe's exit code in the script,
# then the last task's result (keys and values; "msg" is a part of it) and
# the folders and files after (None: not checked).
ROWS = [
    ("a file copied into a missing folder fails", [], [EXE], 0,
     {"failed": True, "msg": "Destination directory 'C:\\MPIO' does not exist"}, {"c:"}, set()),
    ("a file copied to a dest ending with \\ makes the folders", [],
     [("ansible.windows.win_copy", {"src": "{exe}", "dest": "C:\\MPIO\\Bin\\"})], 0,
     {"changed": True}, {"c:", "c:\\mpio", "c:\\mpio\\bin"}, {"c:\\mpio\\bin\\install.exe"}),
    ("a file copied onto a folder's name goes into it", ["C:\\MPIO"],
     [("ansible.windows.win_copy", {"src": "{exe}", "dest": "c:\\mpio"})], 0,
     {"changed": True}, None, {"c:\\mpio\\install.exe"}),
    ("the same file again is no change", ["C:\\MPIO"], [EXE, EXE], 0, {"changed": False}, None, None),
    ("a copy to a drive the host lacks fails", [],
     [("ansible.windows.win_copy", {"src": "{exe}", "dest": "D:\\MPIO\\"})], 0,
     {"failed": True, "msg": "A drive with the name 'D' does not exist"}, {"c:"}, set()),
    ("a directory's contents make dest and the folders below it", [], [PACKAGE], 0,
     {"changed": True}, {"c:", "c:\\mpio", "c:\\mpio\\package", "c:\\mpio\\package\\sub"}, PACKAGE_FILES),
    ("a directory without / goes below dest under its name", ["C:\\MPIO"],
     [("ansible.windows.win_copy", {"src": "{package}", "dest": "C:\\MPIO"})], 0,
     {"changed": True}, None, PACKAGE_FILES),
    ("win_file makes a folder with those above it, then is no change", [],
     [("ansible.windows.win_file", {"path": "C:\\MPIO\\a\\b", "state": "directory"})] * 2, 0,
     {"changed": False}, {"c:", "c:\\mpio", "c:\\mpio\\a", "c:\\mpio\\a\\b"}, set()),
    ("win_file on a file's path fails", ["C:\\MPIO"],
     [EXE, ("ansible.windows.win_file", {"path": "C:\\MPIO\\install.exe", "state": "directory"})], 0,
     {"failed": True, "msg": "is not a directory"}, None, None),
    ("install.exe not on the host does not start", [], [RUN], 0,
     {"failed": True, "rc": 3, "stdout": ABSENT}, {"c:"}, set()),
    ("-1 is read unsigned, and the run writes its log", [], [FOLDER, EXE, PACKAGE, RUN], -1,
     {"failed": True, "rc": 4294967295, "msg": "non-zero return code"}, None,
     PACKAGE_FILES | {"c:\\mpio\\install.exe", "c:\\mpio\\mpioinstall.log"}),
    ("-2 is read unsigned", [], [FOLDER, EXE, PACKAGE, RUN], -2, {"failed": True, "rc": 4294967294}, None, None),
    ("win_tempfile makes its folder in an existing folder only", [],
     [("ansible.windows.win_tempfile", {"state": "directory", "path": "C:\\Missing"})], 0,
     {"failed": True, "msg": "does not exist"}, {"c:"}, set()),
    ("win_file absent removes a folder with its files, then is no change", ["C:\\MPIO"],
     [FOLDER, EXE, PACKAGE] + [("ansible.windows.win_file", {"path": "C:\\MPIO", "state": "absent"})] * 2, 0,
     {"changed": False}, {"c:"}, set()),
    ("install.exe's run without rc needs the host's machine", [], [FOLDER, EXE, PACKAGE, (
        "ansible.windows.win_command", {"argv": ["C:\\MPIO\\install.exe", "-i", "C:\\MPIO\\package", "pkg.inf", "Root\\X"]})],
     None, {"failed": True, "msg": "gives no machine"}, None, None),
]


def filled(value, paths):
    if isinstance(value, str):
        return value.format(**paths)
    return [filled(v, paths) for v in value] if isinstance(value, list) else {
        k: filled(v, paths) for k, v in value.items()}


def run_row(row, scratch):
    name, folders, tasks, rc, expect, want_folders, want_files = row
    paths = {"exe": os.path.join(scratch, "install.exe"), "package": os.path.join(scratch, "package")}
    os.makedirs(os.path.join(paths["package"], "sub"))
    for path in (paths["exe"], os.path.join(paths["package"], "pkg.inf"), os.path.join(paths["package"], "sub", "pkg.sys")):
        with open(path, "w") as f:
            f.write(os.path.basename(path))
    runs = [{"switch": "-i"} if rc is None else {"switch": "-i", "rc": rc, "stdout": "run\r\n"}]
    files = {"script.json": {"h": {"folders": folders, "runs": runs}},
             "inventory.yml": {"all": {"hosts": {"h": {"ansible_connection": "recorded.hosts.local",
                                                       "ansible_python_interpreter": sys.executable}}}},
             "play.yml": [{"hosts": "all", "gather_facts": False, "tasks": [
                 {"name": "task %d" % i, module: filled(args, paths), "ignore_errors": True}
                 for i, (module, args) in enumerate(tasks)]}]}
    for file_name, content in files.items():
        with open(os.path.join(scratch, file_name), "w") as f:
            json.dump(content, f)   # YAML reads JSON
    record = os.path.join(scratch, "record")
    os.makedirs(record)
    env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=os.path.join(ROOT, "tests", "ansible", "collections"),
               ANSIBLE_STDOUT_CALLBACK="json", ANSIBLE_LOCALHOST_WARNING="false",
               MPIO_RECORDER_SCRIPT=os.path.join(scratch, "script.json"), MPIO_RECORDER_DIR=record)
    run = subprocess.run(["ansible-playbook", "-i", "inventory.yml", "play.yml"], cwd=scratch, env=env,
                         stdin=subprocess.DEVNULL, capture_output=True, universal_newlines=True, timeout=300)
    try:
        result = json.loads(run.stdout)["plays"][0]["tasks"][-1]["hosts"]["h"]
        with open(os.path.join(record, "h.state.json")) as f:
            after = json.load(f)["files"]
    except (OSError, ValueError, KeyError, IndexError):
        return ["no result of the last task: %s" % (run.stderr or run.stdout)[-2000:]]
    problems = ["%s is %r, not %r" % (key, result.get(key, "absent"), "absent" if value is ABSENT else value)
                for key, value in expect.items()
                if not (result.get(key, ABSENT) == value or key == "msg" and value in str(result.get(key)))]
    # Every host has C:\Windows\Temp, where win_tempfile makes its folders.
    if want_folders is not None:
        want_folders = want_folders | {"c:\\windows", "c:\\windows\\temp"}
    for what, want in (("folders", want_folders), ("files", want_files)):
        if want is not None and set(after[what]) != want:
            problems.append("%s %s, not %s" % (what, sorted(after[what]), sorted(want)))
    return problems


def main():
    failed = 0
    for row in ROWS:
        with tempfile.TemporaryDirectory() as scratch:
            problems = run_row(row, scratch)
        failed += bool(problems)
        print("%s %s%s" % ("FAIL" if problems else "PASS", row[0], "".join("\n  " + p for p in problems)))
    print("recorder tests: %d passed, %d failed" % (len(ROWS) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
