"""Recorder of ansible.windows.win_reboot: the host's simulated machine reboots (winsim reboot)."""

from ansible_collections.ansible.windows.plugins.plugin_utils.recorder import RecorderAction, host_program, run_on_machine


class ActionModule(RecorderAction):
    MODULE = "win_reboot"

    def answer(self, script, host, call):
        run = run_on_machine(self.machine, [host_program("winsim"), "reboot", self.machine], None)
        if run.returncode:
            return {"failed": True, "msg": "winsim reboot failed: %s" % run.stderr}
        return {"changed": True, "rebooted": True, "elapsed": 0}
