"""What a scenario is: a machine, command lines, assertions on the Wine run,
and the Wine deviations it expects to meet when compared with the host run."""

import copy
import dataclasses
import os
import re
import shutil
from dataclasses import dataclass, field

from winesuite import ROOT, WINE_VERSIONS, expected_output, byte_diff, mask_log, mask_console, class_guid

EXAMPLE_PACKAGE = os.path.join(ROOT, "examples", "package")
FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures")

MPDEV_KEY = "SYSTEM\\CurrentControlSet\\Control\\MPDEV"
MPDEV_LIST = (MPDEV_KEY, "MPIOSupportedDeviceList")
ADAPTER_CLASS_KEY = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E97B-E325-11CE-BFC1-08002BE10318}"
UPPER_FILTERS = (ADAPTER_CLASS_KEY, "UpperFilters")
MPIO_PARAMETERS_KEY = "SYSTEM\\CurrentControlSet\\Services\\mpio\\Parameters"


class Package:
    """The INF files and driver files handed to the installer as source_path."""

    def __init__(self, source=EXAMPLE_PACKAGE, replace=None, drop=(), rename=None):
        self.source = source
        self.replace = dict(replace or {})   # file name -> text written instead
        self.drop = set(drop)
        self.rename = dict(rename or {})     # file name -> the name it has in the copy

    def copy_to(self, dest):
        os.makedirs(dest)
        for name in sorted(os.listdir(self.source)):
            if name in self.drop or name in self.replace:
                continue
            shutil.copy(os.path.join(self.source, name), os.path.join(dest, self.rename.get(name, name)))
        for name, text in self.replace.items():
            with open(os.path.join(dest, self.rename.get(name, name)), "w", newline="\r\n") as f:
                f.write(text)

    def driver_files(self):
        names = set(n for n in os.listdir(self.source) if n.lower().endswith(".sys"))
        return sorted(self.rename.get(n, n) for n in names - self.drop)


@dataclass
class Step:
    """One command line of the installer (args), or a helper run on Wine only."""
    args: list = field(default_factory=list)
    fresh_log: bool = False          # start this run with no log file
    timeout: int = 120
    wine_program: list = None        # Wine only: run this instead of the installer
    in_work: bool = False            # the helper runs in C:\work instead of C:\tools
    program: list = None             # Wine only: run this through wrun instead of the installer
    wait_ms: int = 0                 # Wine only: wrun ends the program after this long


@dataclass
class Allow:
    """A difference between the host and the Wine run that a Wine deviation causes."""
    deviation: str
    kind: str                        # "lines", "exit", "devices", "value", "files"
    match: object                    # predicate(host, wine) -> bool


def lines(deviation, host_patterns, wine_patterns):
    """Allows a hunk whose host lines and Wine lines each match, one by one, the patterns."""
    def match(host, wine):
        return _match_all(host_patterns, host) and _match_all(wine_patterns, wine)
    return Allow(deviation, "lines", match)


def _match_all(patterns, found):
    # A pattern matches one line of the log (with or without its time stamp)
    # or of the console, without its line end.
    if len(patterns) != len(found):
        return False
    return all(re.fullmatch(r"(?:\[TS\])?" + p + r"\r?", line, re.S) for p, line in zip(patterns, found))


def any_lines(deviation, host_patterns, wine_patterns):
    """Allows a hunk whose every host line matches one of host_patterns and
    every Wine line one of wine_patterns."""
    def each(patterns, found):
        return all(any(re.fullmatch(r"(?:\[TS\])?" + p + r"\r?", line, re.S) for p in patterns) for line in found)
    return Allow(deviation, "lines", lambda host, wine: each(host_patterns, host) and each(wine_patterns, wine))


def exits(deviation, host_codes, wine_codes):
    """Allows these exit codes (low 8 bits) on the host and on Wine."""
    return Allow(deviation, "exit", lambda h, w: list(h) == list(host_codes) and list(w) == list(wine_codes))


@dataclass
class Scenario:
    name: str
    title: str
    machine: dict
    steps: list
    check: object = None                     # check(result, Check)
    package: Package = None
    values: list = field(default_factory=list)   # (key, name) pairs read afterwards
    watched_keys: list = field(default_factory=list)
    allow: list = field(default_factory=list)
    twin_allow: list = field(default_factory=list)   # further differences of the twin (a capture's host run)
    host: bool = True                        # compare with the host run
    host_machine: dict = None                # when the host needs another description
    fake_dism: bool = True
    extra_helpers: list = field(default_factory=list)
    extra_programs: list = field(default_factory=list)   # programs of the build put beside install.exe
    prepare: object = None                   # prepare(work_dir): Wine only, before the steps
    versioned_helpers: list = field(default_factory=list)
    classes: tuple = ("scsiadapter", "diskdrive", "system")
    arches: tuple = ("x64",)                 # the builds that run it: "x64", "x86" (a 32-bit prefix)
    x86_as: tuple = ()                       # X86_SYSTEMS names; default: what the machine's version stands for
    arch: str = "x64"                        # the build this run is for (set by runs())

    def watched_values(self):
        return list(self.values)

    def host_machine_description(self):
        return self.host_machine if self.host_machine is not None else self.machine

    def compared_classes(self):
        return {class_guid(c) for c in self.classes}

    def explain(self, kind, host, wine):
        for allow in self.allow:
            if allow.kind == kind and allow.match(host, wine):
                return allow.deviation
        return None

    def deviations(self):
        return sorted({a.deviation for a in self.allow})


# The 32-bit systems an x86 run can stand for.  A 5.2 machine is XP x64 or
# Server 2003 x64 to the x64 build; to the x86 build it stands for both 32-bit
# systems of that install path, XP (5.1) and Server 2003 (5.2).
X86_SYSTEMS = {"win2k": {"major": 5, "minor": 0, "build": 2195, "csd": "Service Pack 4"},
               "winxp": {"major": 5, "minor": 1, "build": 2600, "csd": "Service Pack 3"},
               "win2003": {"major": 5, "minor": 2, "build": 3790, "csd": "Service Pack 2"}}
X86_AS = {(5, 2): ("winxp", "win2003")}


def runs(scenario, arch):
    """The runs of a scenario by one build: itself for x64; for x86 one run per
    32-bit system it stands for, named NAME@SYSTEM, on a 32-bit host machine."""
    if arch not in scenario.arches:
        return []
    if arch == "x64":
        return [scenario]
    os_info = scenario.machine.get("os", {"major": 10, "minor": 0})
    found = []
    for system in scenario.x86_as or X86_AS.get((os_info["major"], os_info["minor"]), (None,)):
        version = dict(X86_SYSTEMS[system] if system else os_info)
        host = copy.deepcopy(scenario.host_machine_description())
        host["os"] = dict(version, arch="x86")
        name = "%s@%s" % (scenario.name, WINE_VERSIONS[arch][(version["major"], version["minor"])])
        found.append(dataclasses.replace(scenario, name=name, machine=dict(scenario.machine, os=version),
                                         host_machine=host, arch=arch))
    return found


class Check:
    """Collects failed assertions of one scenario."""

    def __init__(self, result):
        self.r = result
        self.failures = []

    def fail(self, text):
        self.failures.append(text)

    def true(self, condition, text):
        if not condition:
            self.fail(text)

    def eq(self, actual, expected, what):
        if actual != expected:
            self.fail("%s: expected %r, got %r" % (what, expected, actual))

    def output(self, index):
        """Standard output of step 'index' (0-based, any kind of step), as text."""
        return self.r.consoles[index].decode("utf-8", errors="replace")

    def exits(self, *codes):
        expected = [c & 0xFFFFFFFF for c in codes]
        actual = [c for c, s in zip(self.r.exit_codes, self.r.steps) if not s.wine_program]
        if actual != expected:
            self.fail("exit codes: expected %s, got %s" % (
                [hex(c) for c in expected], [hex(c) if isinstance(c, int) else c for c in actual]))

    def log(self, *records):
        """The whole log file, masked, against the records."""
        expected, _ = expected_output(*records)
        actual, _ = mask_log(self.r.log)
        if actual != expected:
            self.fail("log bytes differ:\n" + byte_diff(expected, actual, "log"))

    def console(self, index, *records):
        """The console bytes of installer run 'index' (0-based), masked."""
        _, expected = expected_output(*records)
        _, texts = mask_log(self.r.log)
        runs = [c for c, s in zip(self.r.consoles, self.r.steps) if not s.wine_program]
        actual = mask_console(runs[index], texts)
        if actual != expected:
            self.fail("console %d bytes differ:\n" % index + byte_diff(expected, actual, "console"))

    def value(self, key_name, expected_type, expected_bytes):
        found = self.r.value(*key_name)
        self.eq(found, (expected_type, expected_bytes), "value " + "\\".join(key_name))

    def no_value(self, key_name):
        found = self.r.value(*key_name)
        self.true(found is not None and found[0] == "error", "value %s should be absent, is %r" % (
            "\\".join(key_name), found))

    def device(self, instance_id):
        d = self.r.device(instance_id)
        if d is None:
            self.fail("device %s missing" % instance_id)
        return d

    def no_device(self, instance_id):
        self.true(self.r.device(instance_id) is None, "device %s should not exist" % instance_id)

    def dism(self, *calls):
        self.eq(self.r.dism_calls, list(calls), "DISM command lines")
