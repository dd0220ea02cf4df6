"""Recorder of ansible.windows.win_reboot: what the host's runs left for the reboot happens."""

from ansible_collections.ansible.windows.plugins.plugin_utils.recorder import RecorderAction


class ActionModule(RecorderAction):
    MODULE = "win_reboot"

    def answer(self, script, host, call):
        host["state"].update(host["at_reboot"])
        host["at_reboot"] = {}
        return {"changed": True, "rebooted": True, "elapsed": 0}
