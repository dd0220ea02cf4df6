"""Recorder of ansible.windows.win_copy, from the controller to the host.

Copies nothing: keeps what the module would leave in the host's folders and
fails where it fails.  As the module's action does, a copy first asks the host
which files differ (by SHA-1), then copies one file alone, or several through
a zip that is expanded on the host.  A file alone creates its folder only when
dest names a folder (ends with \\ or /, or is one); else a missing folder
fails the copy.  A directory (src ending with /: its contents; else the
directory itself) goes below dest, which is created with every folder under
it.  The options other than src and dest are not modelled.
"""

import os

from ansible_collections.ansible.windows.plugins.plugin_utils.recorder import (
    HostError, RecorderAction, checksum_of, join, parent_of)


def ends_with_separator(path):
    return path.endswith(("\\", "/"))


class ActionModule(RecorderAction):
    MODULE = "win_copy"

    def answer(self, script, host, call):
        src, dest = self._task.args.get("src"), self._task.args.get("dest")
        call.update(src=src, dest=dest)
        others = sorted(set(self._task.args) - {"src", "dest"})
        if others:
            return {"failed": True, "msg": "the recorder models src and dest only, not %s" % ", ".join(others)}
        if src is None or dest is None:
            return {"failed": True, "msg": "src (or content) and dest are required"}
        if not os.path.isabs(src) or not os.path.exists(src):
            return {"failed": True, "msg": "Could not find or access '%s' on the Ansible Controller." % src}
        if os.path.isdir(src):
            return self.copy_directory(src, dest, call["check_mode"])
        return self.copy_file(src, dest, call["check_mode"])

    def query(self, folder, copies, folders):
        """The files (name, checksum, controller path) and folders that differ below folder."""
        files = self.files
        for name in folders:
            path = join(folder, name)
            if files.is_file(parent_of(path)):
                raise HostError("cannot copy folder to dest '%s': object at parent directory path is already a file" % path)
            if files.is_file(path):
                raise HostError("cannot copy folder to dest '%s': object at path is already a file" % path)
        changed = []
        for name, checksum, local in copies:
            path = join(folder, name)
            if files.is_folder(path):
                path = join(path, os.path.basename(local))
            if files.is_folder(path):
                raise HostError("cannot copy file to dest '%s': object at path is already a directory" % path)
            if files.checksum(path) != checksum:
                changed.append((name, checksum, local))
        return changed, [name for name in folders if not files.is_folder(join(folder, name))]

    def copy_one(self, dest, name, checksum, local):
        """The module's copy of one file: to dest, or dest\\name where dest names
        a folder.  A failure comes back as the action reports it (changed too)."""
        target = join(dest, name) if ends_with_separator(dest) or self.files.is_folder(dest) else dest
        folder = parent_of(target)
        try:
            if self.files.is_file(folder):
                raise HostError("object at destination parent dir '%s' is currently a file" % folder)
            if not self.files.is_folder(folder):
                if target == dest:
                    raise HostError("Destination directory '%s' does not exist" % folder)
                self.files.make_folders(folder)
            self.files.write(target, checksum, local)
        except HostError as error:
            return {"failed": True, "changed": True, "msg": "failed to copy file %s: %s" % (local, error)}
        return {}

    def copy_file(self, src, dest, check_mode):
        name = os.path.basename(src)
        if ends_with_separator(dest):
            folder, target = dest, name
        else:
            folder, target = parent_of(dest), dest.replace("/", "\\").rsplit("\\", 1)[-1]
        checksum = checksum_of(src)
        changed, _ = self.query(folder, [(target, checksum, src)], [])
        result = {"changed": bool(changed), "src": src, "dest": dest, "checksum": checksum, "operation": "file_copy"}
        if changed and not check_mode:
            result.update(self.copy_one(dest, name, checksum, src))
        return result

    def copy_directory(self, src, dest, check_mode):
        top = src.rstrip("/")
        base = top if src.endswith("/") else os.path.dirname(top)
        copies, folders = [], []
        for here, subfolders, names in os.walk(top):
            relative = os.path.relpath(here, base)
            relative = "" if relative == "." else relative
            copies += [(os.path.join(relative, n), checksum_of(os.path.join(here, n)), os.path.join(here, n))
                       for n in sorted(names)]
            folders += [os.path.join(relative, n) for n in sorted(subfolders)]
        if not ends_with_separator(dest):
            dest += "\\"
        changed, new_folders = self.query(dest, copies, folders)
        result = {"changed": bool(changed or new_folders), "src": src, "dest": dest, "operation": "folder_copy"}
        if check_mode or not (changed or new_folders):
            pass
        elif len(changed) == 1 and not new_folders:
            result.update(self.copy_one(dest, *changed[0]))
        else:
            # The zip holds every file and folder; expanding it makes each one's folder.
            for name in folders:
                self.files.make_folders(join(dest, name))
            for name, checksum, local in copies:
                self.files.make_folders(parent_of(join(dest, name)))
                self.files.write(join(dest, name), checksum, local)
        return result
