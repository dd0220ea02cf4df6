"""Stands in for a Windows module: records each call and answers from a script.

MPIO_RECORDER_SCRIPT names a JSON file with one script per inventory host:

  {"HOST": {"state": {...what the state probe reports...},
            "runs": [{"switch": "-i", "rc": 0, "stdout": "...",
                      "state": {...changed now...}, "at_reboot": {...changed at the next reboot...}}]}}

Each install.exe run takes the host's next entry of "runs"; a run beyond the
script fails.  MPIO_RECORDER_DIR keeps each host's calls (HOST.calls.jsonl,
one JSON object a line) and the state its runs and reboots left
(HOST.state.json), so that later calls, and a second playbook run, see it.
"""

import json
import os

from ansible.plugins.action import ActionBase


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
            host = {"state": dict(scripts[name]["state"]), "runs": 0, "at_reboot": {}}
        call = {"module": self.MODULE, "check_mode": bool(self._play_context.check_mode),
                "batch": sorted(task_vars.get("ansible_play_batch", []))}
        if call["check_mode"] and self.SKIPPED_IN_CHECK_MODE:
            answer = {"skipped": True, "msg": "remote module (%s) does not support check mode" % self.MODULE}
        else:
            answer = self.answer(scripts[name], host, call)
        with open(os.path.join(directory, name + ".calls.jsonl"), "a") as f:
            f.write(json.dumps(call) + "\n")
        with open(state_path, "w") as f:
            json.dump(host, f)
        result.update(answer)
        return result
