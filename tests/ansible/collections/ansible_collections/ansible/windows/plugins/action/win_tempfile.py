"""Recorder of ansible.windows.win_tempfile with state=directory, the one state the role uses.

As the module does, makes a folder named prefix, a random part and suffix in
path (by default %TEMP%, here C:\\Windows\\Temp), which must exist, and
returns it as path.  In check mode it returns the path and makes nothing.
"""

import uuid

from ansible_collections.ansible.windows.plugins.plugin_utils.recorder import RecorderAction, join


class ActionModule(RecorderAction):
    MODULE = "win_tempfile"

    def answer(self, script, host, call):
        args = self._task.args
        others = sorted(set(args) - {"state", "prefix", "suffix", "path"})
        if others or args.get("state") != "directory":
            return {"failed": True, "msg": "the recorder models state=directory, prefix, suffix and path only"}
        folder = args.get("path") or "C:\\Windows\\Temp"
        if not self.files.is_folder(folder):
            return {"failed": True, "msg": "The temporary directory '%s' does not exist" % folder}
        path = join(folder, "%s%s%s" % (args.get("prefix", "ansible."), uuid.uuid4().hex[:12], args.get("suffix", "")))
        call.update(path=path)
        if not call["check_mode"]:
            self.files.make_folders(path)
        return {"changed": True, "path": path, "state": "directory"}
