"""Reaches a recorded host on the controller, from a folder of its own.

The local connection with one change: commands and file transfers start in
the host's HOST.drive folder under MPIO_RECORDER_DIR, where the recorders
write the files the role fetches back (MPIOInstall.LOG) under the Windows path
they have on the host.  So a fetch of C:\\MPIO\\MPIOInstall.LOG finds the
host's own log, and only once install.exe has written it.
"""

DOCUMENTATION = """
    name: local
    short_description: a recorded host, reached on the controller
    description:
        - The local connection, with commands and transfers relative to the host's folder of recorded files.
    author: MPIO package installer maintainers
    extends_documentation_fragment:
        - connection_pipelining
"""

import os

from ansible.plugins.connection.local import Connection as LocalConnection
from ansible_collections.ansible.windows.plugins.plugin_utils.recorder import drive_of


class Connection(LocalConnection):
    transport = "recorded.hosts.local"

    def _connect(self):
        self.cwd = drive_of(self._play_context.remote_addr)
        os.makedirs(self.cwd, exist_ok=True)
        return super(Connection, self)._connect()
