"""Recorder of ansible.windows.win_shell: the role's state probe, answered with the host's state."""

import json
import re

from ansible_collections.ansible.windows.plugins.plugin_utils.recorder import RecorderAction


class ActionModule(RecorderAction):
    MODULE = "win_shell"
    SKIPPED_IN_CHECK_MODE = True

    def answer(self, script, host, call):
        text = self._task.args.get("_raw_params", "")
        # What the probe was templated to look for: the package's facts.
        call["reads"] = dict(re.findall(r"^\$(service|hardwareId) = '(.*)'$", text, re.M))
        return {"changed": True, "rc": 0, "stdout": json.dumps(host["state"]) + "\r\n", "stderr": ""}
