"""Recorder of ansible.windows.win_file with state=directory or absent, the states the role uses.

directory: a missing folder is made with every folder above it (the module's
New-Item -ItemType Directory); a folder already there is no change; a file in
its place fails.  absent: a file, or a folder with everything in it, is
removed; a path that is not there is no change.  Check mode changes nothing
and says what would change.
"""

from ansible_collections.ansible.windows.plugins.plugin_utils.recorder import RecorderAction


class ActionModule(RecorderAction):
    MODULE = "win_file"

    def answer(self, script, host, call):
        args = self._task.args
        path = args.get("path", args.get("dest", args.get("name")))
        call.update(path=path, state=args.get("state"))
        if not path:
            return {"failed": True, "msg": "Get-AnsibleParam: Missing required argument: path"}
        if args.get("state") == "absent":
            there = self.files.is_file(path) or self.files.is_folder(path)
            if there and not call["check_mode"]:
                self.files.remove(path)
            return {"changed": there}
        if args.get("state") != "directory":
            return {"failed": True, "msg": "the recorder models state=directory and absent only, not %r"
                    % args.get("state")}
        if self.files.is_file(path):
            return {"failed": True, "changed": False, "msg": "path %s is not a directory" % path}
        if self.files.is_folder(path):
            return {"changed": False}
        if not call["check_mode"]:
            self.files.make_folders(path)
        return {"changed": True}
