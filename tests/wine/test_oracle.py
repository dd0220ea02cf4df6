#!/usr/bin/env python3
"""The Wine oracle's reading of the deviations page and of `winsim diff`,
without Wine: a page of its own, then the real page against the real tool.

  test_oracle.py WINSIM
"""

import json
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import oracle  # noqa: E402
from winesuite import SuiteError  # noqa: E402

WINSIM = None

PAGE = """# Deviations
## W1 Update
```oracle fresh-* other
devices: changed *: description *
devices: changed *: status *
```
## W4 Status
```oracle
devices: changed *: status * -> 0x00000000*
```
## Not a deviation
```oracle
devices: changed *: service *
```
- S1 (stand-in): flags.

  ```oracle
  devices: changed *: config_flags 0x00000020 -> 0x00000000
  ```
"""


def page(text):
    f = tempfile.NamedTemporaryFile("w", suffix=".md", delete=False)
    f.write(text)
    f.close()
    return f.name


class Deviations(unittest.TestCase):
    def test_refuses_a_line_outside_a_deviation(self):
        path = page(PAGE)
        with self.assertRaises(SuiteError):
            oracle.load_deviations(path)
        os.unlink(path)

    def test_accounts_for_lines(self):
        path = page(PAGE.replace("## Not a deviation\n```oracle\ndevices: changed *: service *\n```\n", ""))
        judge = oracle.Oracle("winsim", oracle.load_deviations(path))
        os.unlink(path)
        rows = [  # scenario, section, line, deviation
            ("x", "devices", 'changed A\\1: status 0x0000000A -> 0x00000000 (-DN_STARTED)', "W4"),
            ("x", "registry", 'changed A\\1: status 0x0000000A -> 0x00000000', None),
            ("x", "devices", 'changed A\\1: status 0x0000000A -> 0x00000001', None),
            ("fresh-xp", "devices", 'changed A\\1: description "a" -> "b"', "W1"),
            ("other", "devices", 'changed A\\1: description "a" -> "b"', "W1"),
            ("install", "devices", 'changed A\\1: description "a" -> "b"', None),
            ("other", "devices", 'changed A\\1: status 0x0000000A -> 0x00000001', "W1"),
            # A block limited to a few scenarios comes after those of all.
            ("fresh-xp", "devices", 'changed A\\1: status 0x0000000A -> 0x00000000', "W4"),
            ("y", "devices", "changed A\\1: config_flags 0x00000020 -> 0x00000000", "S1"),
            # Only * is special: a dot or a bracket is itself.
            ("y", "devices", "changed A\\1: config_flags 0x00000020 -> 0x00000000.", None),
        ]
        for scenario, section, line, deviation in rows:
            with self.subTest(scenario=scenario, line=line):
                self.assertEqual(judge.explain(scenario, section, line), deviation)
        self.assertEqual([p.text for p in judge.unmet()], [])


class RealPage(unittest.TestCase):
    """The page's W5 and W4 lines account for what `winsim diff` prints of a
    device without its enumerator and status; a new difference does not."""

    def test_winsim_diff_lines(self):
        device = {"instance_id": "SCSI\\DISK&VEN_A\\1", "class": "diskdrive", "hardware_ids": ["GenDisk"]}
        host = {"os": {"major": 10, "minor": 0}, "devices": [dict(device, enumerator="SCSI")]}
        wine = {"os": {"major": 10, "minor": 0}, "devices": [dict(device, status="0x00000000", description="x")]}
        with tempfile.TemporaryDirectory() as work:
            for name, machine in (("host.json", host), ("wine.json", wine)):
                with open(os.path.join(work, name), "w") as f:
                    json.dump(machine, f)
            judge = oracle.Oracle(WINSIM, oracle.load_deviations())
            found = judge.compare("install-x", "after step 1", os.path.join(work, "host.json"),
                                  os.path.join(work, "wine.json"), work)
        self.assertEqual(found.error, "")
        self.assertEqual(sorted(d for _, _, d in found.explained), ["W4", "W5"])
        self.assertEqual([s for s, _ in found.unexplained], ["devices"])
        self.assertIn("description", found.unexplained[0][1])
        self.assertFalse(found.passed)


if __name__ == "__main__":
    WINSIM = sys.argv.pop(1)
    unittest.main()
