"""Recorder of ansible.windows.win_command: an install.exe run from the host's script."""

from ansible_collections.ansible.windows.plugins.plugin_utils.recorder import RecorderAction


class ActionModule(RecorderAction):
    MODULE = "win_command"
    SKIPPED_IN_CHECK_MODE = True

    def answer(self, script, host, call):
        argv = list(self._task.args.get("argv") or [])
        call.update(argv=argv, chdir=self._task.args.get("chdir"))
        runs = script.get("runs", [])
        if host["runs"] >= len(runs):
            return {"failed": True, "msg": "run %d of install.exe is not in the script" % (host["runs"] + 1)}
        run = runs[host["runs"]]
        host["runs"] += 1
        if run.get("switch") and argv[1:2] != [run["switch"]]:
            return {"failed": True, "msg": "the script has %s here, not %s" % (run["switch"], argv[1:2])}
        host["state"].update(run.get("state", {}))
        host["at_reboot"].update(run.get("at_reboot", {}))
        # win_command reads the 32-bit exit code unsigned.
        rc = run["rc"] & 0xFFFFFFFF
        answer = {"changed": True, "rc": rc, "stdout": run.get("stdout", ""), "stderr": "", "cmd": " ".join(argv)}
        if rc:
            answer.update(failed=True, msg="non-zero return code")
        return answer
