"""Stands in for a Windows module: records each call and answers from a script.

MPIO_RECORDER_SCRIPT names a JSON file with one script per inventory host:

  {"HOST": {"machine": {...a machine description of the simulated machine...},
            "folders": ["C:\\\\Data", ...],
            "runs": [{"switch": "-i"}, {"switch": "-i", "rc": -1, "stdout": "..."}]}}

The host is a simulated machine: HOST.machine.json under MPIO_RECORDER_DIR,
a copy of "machine" made at the first call.  capture.exe and install.exe run
as the host builds under MPIO_HOST_BUILD (capture, install) on that machine,
and win_reboot reboots it with winsim.  Each install.exe run takes the host's
next entry of "runs" (a run beyond the script fails); an entry with "rc" is
scripted: it answers with rc and stdout and leaves the machine alone.
"folders" (optional) are there before the first call, besides C:\\ and
C:\\Windows\\Temp.  MPIO_RECORDER_DIR keeps each host's calls
(HOST.calls.jsonl, one JSON object a line) and what its calls left
(HOST.state.json: the runs taken, the host's folders and files and where on
the controller each file was copied from), so that later calls, and a second
playbook run, see it.  Files that the role fetches back are also written to
HOST.drive/ (see HostFiles), where the connection recorded.hosts.local reads
them.
"""

import hashlib
import json
import os
import re
import shutil
import subprocess

from ansible.plugins.action import ActionBase


class HostError(Exception):
    """A path the host cannot take; the text is what the module reports."""


def checksum_of(path):
    """The SHA-1 of a controller file, as win_copy compares files."""
    with open(path, "rb") as f:
        return hashlib.sha1(f.read()).hexdigest()


def windows_path(path):
    return re.sub(r"[\\/]+", r"\\", path)


def join(folder, name):
    return windows_path(folder).rstrip("\\") + "\\" + windows_path(name).lstrip("\\")


def parent_of(path):
    """Split-Path of a path: C:\\MPIO for C:\\MPIO\\install.exe, C:\\ for C:\\MPIO."""
    parent = windows_path(path).rstrip("\\").rsplit("\\", 1)[0]
    return parent + "\\" if parent.endswith(":") else parent


def host_program(name):
    """A program of the host build (capture, install, winsim)."""
    return os.path.join(os.environ.get("MPIO_HOST_BUILD", ""), name)


def run_on_machine(machine, argv, cwd):
    """A host build's program on the simulated machine file `machine`."""
    if not os.path.exists(machine):
        raise HostError("the host's script gives no machine for %s to run on" % os.path.basename(argv[0]))
    return subprocess.run(argv, cwd=cwd, env=dict(os.environ, WINSIM_MACHINE=machine), stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=300)


def drive_of(name):
    """Where the files of host NAME that the role fetches lie on the controller."""
    return os.path.join(os.environ["MPIO_RECORDER_DIR"], name + ".drive")


class HostFiles(object):
    """A host's folders and files as Windows names them: without case, with \\
    or / between names, from a drive letter on; only drive C: exists.  A file
    is kept as its SHA-1.  A text file written with append_text is also
    written to HOST.drive/ under the name the host gives it, so that the local
    connection finds it under that (relative) name there."""

    def __init__(self, host, name, first_folders=()):
        if "files" not in host:
            host["files"] = {"folders": ["c:"], "files": {}, "sources": {}}
            for folder in ["C:\\Windows\\Temp"] + list(first_folders):
                self.make_folders(folder, host["files"])
        self.state = host["files"]
        self.drive = drive_of(name)

    @staticmethod
    def key(path):
        text = windows_path(path).rstrip("\\").lower()
        if not re.match(r"^[a-z]:(\\|$)", text):
            raise HostError("the recorders take absolute Windows paths only, not %r" % path)
        return text

    def is_folder(self, path):
        return self.key(path) in self.state["folders"]

    def is_file(self, path):
        return self.key(path) in self.state["files"]

    def checksum(self, path):
        return self.state["files"].get(self.key(path))

    def make_folders(self, path, state=None):
        """The folder and those above it, as New-Item -ItemType Directory makes them."""
        state = state or self.state
        names = self.key(path).split("\\")
        if names[0] not in state["folders"]:
            raise HostError("Cannot find drive. A drive with the name '%s' does not exist." % names[0][0].upper())
        for end in range(2, len(names) + 1):
            folder = "\\".join(names[:end])
            if folder in state["files"]:
                raise HostError("%s is a file, not a folder (the recorder's words)" % folder)
            if folder not in state["folders"]:
                state["folders"].append(folder)

    def write(self, path, checksum, source=None):
        """A file written at path; source: the controller file it is a copy of."""
        if not self.is_folder(parent_of(path)):
            raise HostError("Could not find a part of the path '%s'." % path)
        if self.is_folder(path):
            raise HostError("%s is a folder, not a file (the recorder's words)" % path)
        self.state["files"][self.key(path)] = checksum
        if source:
            self.state["sources"][self.key(path)] = source
        else:
            self.state["sources"].pop(self.key(path), None)

    def remove(self, path):
        """A file, or a folder with everything below it; its copies in HOST.drive go too."""
        key = self.key(path)
        below = [k for k in self.state["files"] if k == key or k.startswith(key + "\\")]
        for k in below:
            del self.state["files"][k]
            self.state["sources"].pop(k, None)
        self.state["folders"] = [k for k in self.state["folders"] if not (k == key or k.startswith(key + "\\"))]
        if os.path.isdir(self.drive):
            for name in os.listdir(self.drive):
                if name.lower() == key or name.lower().startswith(key + "\\"):
                    os.remove(os.path.join(self.drive, name))

    def sources_below(self, folder):
        """{path below folder, relative: controller file} of the files copied there."""
        key = self.key(folder) + "\\"
        return {k[len(key):]: src for k, src in self.state["sources"].items() if k.startswith(key)}

    def put(self, path, local):
        """A file a program on the host wrote, kept in HOST.drive under its host name."""
        os.makedirs(self.drive, exist_ok=True)
        shutil.copyfile(local, os.path.join(self.drive, path))
        self.write(path, checksum_of(local))

    def append_text(self, path, text):
        os.makedirs(self.drive, exist_ok=True)
        copy = os.path.join(self.drive, path)
        with open(copy, "a", newline="") as f:
            f.write(text)
        self.write(path, checksum_of(copy))


class RecorderAction(ActionBase):
    """One Windows module: answer() gives the result and changes the host."""

    MODULE = None
    SKIPPED_IN_CHECK_MODE = False   # the real module has no check mode

    def answer(self, script, host, call):
        raise NotImplementedError

    def run(self, tmp=None, task_vars=None):
        result = super(RecorderAction, self).run(tmp, task_vars)
        name = task_vars["inventory_hostname"]
        directory = os.environ["MPIO_RECORDER_DIR"]
        with open(os.environ["MPIO_RECORDER_SCRIPT"]) as f:
            scripts = json.load(f)
        if name not in scripts:
            result.update(failed=True, msg="no recorder script for host %s" % name)
            return result
        state_path = os.path.join(directory, name + ".state.json")
        if os.path.exists(state_path):
            with open(state_path) as f:
                host = json.load(f)
        else:
            host = {"runs": 0}
        self.machine = os.path.join(directory, name + ".machine.json")
        if not os.path.exists(self.machine) and "machine" in scripts[name]:
            with open(self.machine, "w") as f:
                json.dump(scripts[name]["machine"], f)
        self.files = HostFiles(host, name, scripts[name].get("folders", []))
        call = {"module": self.MODULE, "check_mode": bool(self._play_context.check_mode),
                "batch": sorted(task_vars.get("ansible_play_batch", []))}
        if call["check_mode"] and self.SKIPPED_IN_CHECK_MODE:
            answer = {"skipped": True, "msg": "remote module (%s) does not support check mode" % self.MODULE}
        else:
            try:
                answer = self.answer(scripts[name], host, call)
            except HostError as error:
                answer = {"failed": True, "msg": str(error)}
        with open(os.path.join(directory, name + ".calls.jsonl"), "a") as f:
            f.write(json.dumps(call) + "\n")
        with open(state_path, "w") as f:
            json.dump(host, f)
        result.update(answer)
        return result
