"""Recorder of ansible.windows.win_copy: the source and destination, nothing copied."""

from ansible_collections.ansible.windows.plugins.plugin_utils.recorder import RecorderAction


class ActionModule(RecorderAction):
    MODULE = "win_copy"

    def answer(self, script, host, call):
        call.update(src=self._task.args.get("src"), dest=self._task.args.get("dest"))
        return {"changed": True, "dest": call["dest"]}
