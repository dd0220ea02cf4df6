"""Recorder of ansible.windows.win_command: an install.exe run from the host's script.

As on the host, the program must be there (a file the recorders' copies left)
and chdir a folder, else the process does not start: the module fails with
the Win32 error as rc and no stdout.  A run that starts writes what
install.exe prints to MPIOInstall.LOG in chdir, its current directory.  The
exit code is read unsigned, as the module reads GetExitCodeProcess: -1 is
4294967295.
"""

from ansible_collections.ansible.windows.plugins.plugin_utils.recorder import RecorderAction, join, parent_of

NOT_STARTED = {2: "The system cannot find the file specified", 3: "The system cannot find the path specified",
               267: "The directory name is invalid"}


class ActionModule(RecorderAction):
    MODULE = "win_command"
    SKIPPED_IN_CHECK_MODE = True

    def answer(self, script, host, call):
        argv = list(self._task.args.get("argv") or [])
        chdir = self._task.args.get("chdir")
        call.update(argv=argv, chdir=chdir)
        if len(argv) != 5:
            return {"failed": True, "msg": "the recorder models install.exe's argv of 5 only, not %r" % argv}
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
        if not self.files.is_file(join(argv[2], argv[3])):
            return {"failed": True, "msg": "the host has no %s: the script's run cannot stand" % join(argv[2], argv[3])}
        runs = script.get("runs", [])
        if host["runs"] >= len(runs):
            return {"failed": True, "msg": "run %d of install.exe is not in the script" % (host["runs"] + 1)}
        run = runs[host["runs"]]
        host["runs"] += 1
        if run.get("switch") and argv[1:2] != [run["switch"]]:
            return {"failed": True, "msg": "the script has %s here, not %s" % (run["switch"], argv[1:2])}
        host["state"].update(run.get("state", {}))
        host["at_reboot"].update(run.get("at_reboot", {}))
        if chdir is not None:
            self.files.append_text(join(chdir, "MPIOInstall.LOG"), run.get("stdout", ""))
        rc = run["rc"] & 0xFFFFFFFF
        answer = {"changed": True, "rc": rc, "stdout": run.get("stdout", ""), "stderr": "", "cmd": cmd}
        if rc:
            answer.update(failed=True, msg="non-zero return code")
        return answer
