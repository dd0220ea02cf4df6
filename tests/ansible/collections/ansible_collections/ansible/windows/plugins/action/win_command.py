"""Recorder of ansible.windows.win_command: capture.exe and install.exe on the host's simulated machine.

As on the host, the program must be there (a file the recorders' copies left)
and chdir a folder, else the process does not start: the module fails with
the Win32 error as rc and no stdout.  capture.exe FILE runs the host build's
capture on the host's machine; FILE (in a folder the host has) is then on the
host.  install.exe SWITCH PACKAGE INF HWID runs, unless the host's script
gives the run an rc, the host build's install on the host's machine with the
files the role copied to PACKAGE; a run that starts writes its log lines to
MPIOInstall.LOG in chdir, its current directory.  The exit code is read
unsigned, as the module reads GetExitCodeProcess: -1 is 4294967295 (the host
build's 255).
"""

import os
import shutil
import tempfile

from ansible_collections.ansible.windows.plugins.plugin_utils.recorder import (
    RecorderAction, host_program, join, parent_of, run_on_machine)

NOT_STARTED = {2: "The system cannot find the file specified", 3: "The system cannot find the path specified",
               267: "The directory name is invalid"}


def windows_code(returncode):
    """A host build's exit status as the Windows program's 32-bit code, read unsigned."""
    return (returncode - 256 if returncode >= 128 else returncode) & 0xFFFFFFFF


class ActionModule(RecorderAction):
    MODULE = "win_command"
    SKIPPED_IN_CHECK_MODE = True

    def answer(self, script, host, call):
        argv = list(self._task.args.get("argv") or [])
        chdir = self._task.args.get("chdir")
        call.update(argv=argv, chdir=chdir)
        program = argv[0].replace("/", "\\").rsplit("\\", 1)[-1].lower() if argv else ""
        if not (program == "capture.exe" and len(argv) == 2 or program == "install.exe" and len(argv) == 5):
            return {"failed": True, "msg": "the recorder models capture.exe FILE and install.exe's argv of 5 only, "
                                           "not %r" % argv}
        cmd = " ".join(argv)
        error = None
        if not self.files.is_file(argv[0]):
            error = 2 if self.files.is_folder(parent_of(argv[0])) else 3
        elif chdir is not None and not self.files.is_folder(chdir):
            error = 267
        if error:
            return {"failed": True, "changed": False, "rc": error, "cmd": cmd,
                    "msg": "Failed to run: '%s': CreateProcessW() failed (%s, Win32ErrorCode %d - 0x%08X)"
                           % (cmd, NOT_STARTED[error], error, error)}
        with tempfile.TemporaryDirectory() as work:
            answer = (self.capture if program == "capture.exe" else self.install)(script, host, argv, chdir, work)
        answer.update(cmd=cmd)
        if answer.get("rc"):
            answer.update(failed=True, msg="non-zero return code")
        return answer

    def capture(self, script, host, argv, chdir, work):
        output = os.path.join(work, "capture.json")
        run = run_on_machine(self.machine, [host_program("capture"), output], work)
        if run.returncode == 0:
            if not self.files.is_folder(parent_of(argv[1])):
                return {"failed": True, "msg": "the recorder writes FILE into a folder of the host only: %s" % argv[1]}
            self.files.put(argv[1], output)
        return {"changed": True, "rc": windows_code(run.returncode), "stdout": run.stdout, "stderr": run.stderr}

    def install(self, script, host, argv, chdir, work):
        if not self.files.is_file(join(argv[2], argv[3])):
            return {"failed": True, "msg": "the host has no %s: the run cannot stand" % join(argv[2], argv[3])}
        runs = script.get("runs", [])
        if host["runs"] >= len(runs):
            return {"failed": True, "msg": "run %d of install.exe is not in the script" % (host["runs"] + 1)}
        run = runs[host["runs"]]
        host["runs"] += 1
        if run.get("switch") and argv[1:2] != [run["switch"]]:
            return {"failed": True, "msg": "the script has %s here, not %s" % (run["switch"], argv[1:2])}
        if "rc" in run:
            stdout, log, rc = run.get("stdout", ""), run.get("stdout", ""), run["rc"] & 0xFFFFFFFF
        else:
            # The package as the role copied it to the host, from the controller files it came from.
            package = os.path.join(work, "package")
            for relative, source in self.files.sources_below(argv[2]).items():
                target = os.path.join(package, *relative.split("\\"))
                os.makedirs(os.path.dirname(target), exist_ok=True)
                shutil.copyfile(source, target)
            done = run_on_machine(self.machine, [host_program("install"), argv[1], package, argv[3], argv[4]], work)
            stdout, rc = done.stdout, windows_code(done.returncode)
            log_path = os.path.join(work, "MPIOInstall.LOG")
            log = open(log_path, newline="").read() if os.path.exists(log_path) else ""
        if chdir is not None:
            self.files.append_text(join(chdir, "MPIOInstall.LOG"), log)
        return {"changed": True, "rc": rc, "stdout": stdout, "stderr": ""}
