"""Machinery of the Wine suite: prefixes, Wine and host runs, log masking,
the machine afterwards, and the side-by-side comparison.

A scenario describes one machine in the JSON machine-description format of the
stand-in.  The Wine side builds that machine in a fresh Wine prefix (Windows
version, HKLM values, devices through the real setup library, the DISM
stand-in's answer); the host side hands the same description, plus the devices
the Wine prefix always has, to the host binary.  Both run the same command
lines; the scenario asserts on the Wine run, and the masked logs, consoles and
machines afterwards of both runs are compared.
"""

import difflib
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

SCSI_ADAPTER = "{4D36E97B-E325-11CE-BFC1-08002BE10318}"
DISK_DRIVE = "{4D36E967-E325-11CE-BFC1-08002BE10318}"
SYSTEM = "{4D36E97D-E325-11CE-BFC1-08002BE10318}"
CLASS_NAMES = {"scsiadapter": SCSI_ADAPTER, "diskdrive": DISK_DRIVE, "system": SYSTEM}

# The Windows version each scenario asks Wine for, by build and (major, minor).
WINE_VERSIONS = {"x64": {(5, 0): "win2k", (5, 2): "winxp64", (6, 1): "win7", (10, 0): "win10"},
                 "x86": {(5, 0): "win2k", (5, 1): "winxp", (5, 2): "win2003", (6, 1): "win7", (10, 0): "win10"}}

# Directories of a prefix that Wine or the installer may write to; a scenario's
# prefix gets its own copy of these, everything else is hard-linked to the
# template (checked untouched at the end of the suite).
PRIVATE_PATHS = ["system.reg", "user.reg", "userdef.reg", "drive_c/users", "drive_c/ProgramData",
                 "drive_c/windows/inf", "drive_c/windows/system32/drivers"]

# The feature states of a description as DISM shows them.
FEATURE_SHOWN = {"Enabled": "Enabled", "Disabled": "Disabled", "EnablePending": "Enable Pending",
                 "DisablePending": "Disable Pending"}

REG_TYPES = {"REG_NONE": 0, "REG_SZ": 1, "REG_EXPAND_SZ": 2, "REG_BINARY": 3, "REG_DWORD": 4,
             "REG_MULTI_SZ": 7, "REG_QWORD": 11}

WINE_TIMEOUT = 120      # seconds for any single Wine program
BOOT_TIMEOUT = 300      # seconds for creating the template prefix


class SuiteError(Exception):
    """The suite itself cannot go on (no Wine, no build, a broken prefix)."""


class WineSetupError(SuiteError):
    """Preparing one scenario's prefix failed before the installer ran: worth
    one more try on a fresh prefix, as it says nothing about the installer."""


# ---------------------------------------------------------------------------
# Machine descriptions
# ---------------------------------------------------------------------------

def class_guid(text):
    return CLASS_NAMES.get(text.lower(), text.upper())


def number(value):
    if isinstance(value, str):
        return int(value, 0)
    return int(value)


def value_bytes(value):
    """The stored bytes of a registry value of a machine description."""
    if "hex" in value:
        return bytes.fromhex(value["hex"])
    kind = value_type(value)
    data = value["data"]
    if kind in (REG_TYPES["REG_SZ"], REG_TYPES["REG_EXPAND_SZ"]):
        return (data + "\0").encode("utf-16-le")
    if kind == REG_TYPES["REG_MULTI_SZ"]:
        return "".join(s + "\0" for s in data).encode("utf-16-le") + b"\0\0"
    if kind == REG_TYPES["REG_DWORD"]:
        return number(data).to_bytes(4, "little")
    if kind == REG_TYPES["REG_QWORD"]:
        return number(data).to_bytes(8, "little")
    raise SuiteError("value without bytes: %r" % (value,))


def value_type(value):
    kind = value.get("type", "REG_BINARY")
    return REG_TYPES[kind] if isinstance(kind, str) and kind in REG_TYPES else number(kind)


def multi_sz(*strings):
    """A REG_MULTI_SZ value of a machine description."""
    return {"type": "REG_MULTI_SZ", "data": list(strings)}


def device_sort_key(device):
    # The order in which Wine's setup library lists devices: by enumerator,
    # device and instance, each compared without case.
    return [part.upper() for part in device["instance_id"].split("\\")]


# ---------------------------------------------------------------------------
# Logs and consoles
# ---------------------------------------------------------------------------

TIME_STAMP = re.compile(rb"\[\d{2}/\d{2}/\d+ \d{2}:\d{2}:\d{2}\.\d{3}\]")
# A record of the system's message text: the text, its own CR LF (written as
# CR CR LF) and the LF of " %s\n", right before the error-code record.
LOG_MESSAGE = re.compile(rb"\[TS\] ((?:(?!\[TS\]).)*?)\r\r\n\r\n(?=\[TS\] Error code \(0x)", re.S)


def mask_log(data):
    """Time stamps become [TS], message texts <MSG>; also returns the texts."""
    masked = TIME_STAMP.sub(b"[TS]", data)
    texts = [m.group(1) for m in LOG_MESSAGE.finditer(masked)]
    return LOG_MESSAGE.sub(b"[TS] <MSG>\r\r\n\r\n", masked), texts


def mask_console(data, texts):
    """Message texts seen in the log become <MSG> on the console too."""
    for text in sorted(set(texts), key=len, reverse=True):
        data = data.replace(b" " + text + b"\r\r\n\r\n Error code (0x", b" <MSG>\r\r\n\r\n Error code (0x")
    return data


class Console(str):
    """A line written to the console only (the feature command's wprintf)."""


@dataclass
class Err:
    """The two records of LogErrorText: the system's text and the code line."""
    code: int
    text: bool = True


def expected_output(*records):
    """The masked log and console that a list of records gives."""
    log, console = b"", b""
    for record in records:
        if isinstance(record, Err):
            message = b" <MSG>\r\r\n\r\n" if record.text else b""
            line = b" Error code (0x%08x)\r\n" % (record.code & 0xFFFFFFFF)
            log += (b"[TS]" + message if message else b"") + b"[TS]" + line
            console += message + line
            continue
        text = record.replace("\n", "\r\n").encode("latin-1")
        if isinstance(record, Console):
            console += text
        else:
            log += b"[TS]" + text
            console += text
    return log, console


def show_bytes(data, limit=4000):
    text = data.decode("latin-1").replace("\r", "\\r").replace("\n", "\\n\n")
    return text if len(text) <= limit else text[:limit] + "..."


def byte_diff(expected, actual, label):
    a = show_bytes(expected, 100000).splitlines()
    b = show_bytes(actual, 100000).splitlines()
    lines = list(difflib.unified_diff(a, b, "expected " + label, "actual " + label, lineterm="", n=2))
    return "\n".join(lines[:80])


# ---------------------------------------------------------------------------
# Results: what a run left behind, the same shape for Wine and the host
# ---------------------------------------------------------------------------

@dataclass
class Device:
    instance_id: str
    class_guid: str
    hardware_ids: object = None          # list, or None when absent
    description: object = None
    config_flags: object = None          # int, or None when absent
    service: object = None
    enumerator: object = None
    status: object = None                # (cr, status, problem) as the status query left them

    def facts(self):
        return {"instance_id": self.instance_id.upper(), "hardware_ids": self.hardware_ids,
                "description": self.description, "config_flags": self.config_flags, "service": self.service}


@dataclass
class Result:
    exit_codes: list = field(default_factory=list)     # full 32-bit codes (host: low 8 bits)
    consoles: list = field(default_factory=list)       # raw console bytes per run
    log: bytes = b""
    devices: dict = field(default_factory=dict)        # class GUID -> [Device]
    values: dict = field(default_factory=dict)         # "KEY\\NAME" (upper) -> (type, bytes) or ("error", code)
    keys: dict = field(default_factory=dict)           # "KEY" (upper) -> list of value names, or None
    files: set = field(default_factory=set)            # package files in the drivers directory, as named there
    dism_calls: list = field(default_factory=list)
    stderr: str = ""
    status_probe: dict = field(default_factory=dict)   # instance ID -> (cr, status, problem) as Wine wrote them
    inf_store: list = field(default_factory=list)      # names in the INF store (Wine)
    machine: dict = None                               # the saved machine description (host)
    machines: list = field(default_factory=list)       # the machine files: as described, after each run (host)
    captures: list = field(default_factory=list)       # capture.exe's files: as made, after each run (Wine)
    steps: list = field(default_factory=list)
    arch: str = "x64"                                  # the Windows build that ran (Wine)
    step_stderr: list = field(default_factory=list)    # standard error of each step, as text (Wine)
    work: str = ""                                     # C:\work of the prefix, readable until the checks end (Wine)
    host_binary: str = None                            # the host binary the suite compares with, if any

    def masked(self):
        log, texts = mask_log(self.log)
        return log, [mask_console(c, texts) for c in self.consoles]

    def class_devices(self, name):
        return self.devices.get(class_guid(name), [])

    def device(self, instance_id):
        for devices in self.devices.values():
            for device in devices:
                if device.instance_id.upper() == instance_id.upper():
                    return device
        return None

    def value(self, key, name):
        return self.values.get((key + "\\" + name).upper())


def parse_wdev_show(text):
    devices, current, guid = {}, None, None
    for line in text.splitlines():
        if line.startswith("class "):
            guid = class_guid(line[6:].strip())
            devices.setdefault(guid, [])
        elif line.startswith("device "):
            current = Device(line[7:], guid)
            devices[guid].append(current)
        elif line.startswith("  ") and current is not None:
            key, _, rest = line.strip().partition(" ")
            if key == "status":
                parts = dict(p.split("=") for p in rest.split())
                current.status = tuple(int(parts[k], 16) for k in ("cr", "status", "problem"))
                continue
            if rest.startswith("error"):
                continue
            if key == "hardware_ids":
                current.hardware_ids = re.findall(r"\[([^\]]*)\]", rest)
            elif key == "description":
                current.description = rest.partition(" ")[2]
            elif key == "config_flags":
                current.config_flags = int(rest.split()[1], 16)
            elif key == "service":
                current.service = rest.partition(" ")[2]
            elif key == "enumerator":
                current.enumerator = rest.partition(" ")[2]
    return devices


def parse_wreg(text):
    values, keys = {}, {}
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("value "):
            name = line[6:].upper()
            answer = lines[i + 1].split()
            if answer[0] == "error":
                values[name] = ("error", int(answer[1]))
            else:
                values[name] = (int(answer[1]), bytes.fromhex(answer[5]) if len(answer) > 5 else b"")
            i += 2
        elif line.startswith("key "):
            name = line[4:].upper()
            i += 1
            if i < len(lines) and lines[i].startswith("error"):
                keys[name] = None
                i += 1
                continue
            i += 1
            names = []
            while i < len(lines) and lines[i].startswith("name "):
                names.append(lines[i][5:])
                i += 1
            keys[name] = names
        else:
            i += 1
    return values, keys


# ---------------------------------------------------------------------------
# Wine
# ---------------------------------------------------------------------------

# The Wine loader of each build's prefix.  Debian's "wine" starts the 32-bit
# loader whenever wine32 is installed, so a 64-bit prefix is started with the
# 64-bit loader itself.
LOADERS = {"x64": [os.environ.get("WINE"), shutil.which("wine64"), "/usr/lib/wine/wine64", shutil.which("wine")],
           "x86": [os.environ.get("WINE32"), "/usr/lib/wine/wine", shutil.which("wine")]}
WINEARCH = {"x64": "win64", "x86": "win32"}


def is_elf32(path):
    """A 32-bit program (not a script that starts one)."""
    try:
        with open(path, "rb") as f:
            return f.read(5) == b"\x7fELF\x01"
    except OSError:
        return False


def find_wine(arch="x64"):
    for candidate in LOADERS[arch]:
        if candidate and os.path.exists(candidate):
            return candidate
    raise SuiteError("no Wine loader for %s found (set %s)" % (arch, "WINE32" if arch == "x86" else "WINE"))


def reg_key_line(path):
    return "[" + path.replace("\\", "\\\\") + "]"


def reg_value_line(name, kind, data):
    quoted = '"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"'
    return "%s=hex(%x):%s" % (quoted, kind, ",".join("%02x" % b for b in data))


class Wine:
    def __init__(self, build_dir, template_dir, log, arch="x64"):
        self.arch = arch
        self.wine = find_wine(arch)
        self.wineserver = os.environ.get("WINESERVER") or shutil.which("wineserver") or "wineserver"
        self.build_dir = build_dir
        self.helpers = os.path.join(build_dir, "wine-helpers")
        self.template = template_dir
        self.say = log
        for needed in [os.path.join(build_dir, "install.exe")] + [
                os.path.join(self.helpers, n) for n in ("wdev.exe", "wreg.exe", "wrun.exe", "DISM.exe")]:
            if not os.path.exists(needed):
                raise SuiteError("missing %s (build the windows-%s preset first)" % (needed, arch))
        self.base_devices = []
        self.base_capture = None
        self.capture = os.path.join(build_dir, "capture.exe")
        if not os.path.exists(self.capture):
            self.capture = None

    def env(self, prefix):
        env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            env.pop(name, None)
        env.update(WINEPREFIX=prefix, WINEARCH=WINEARCH[self.arch], WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="C", LANG="C")
        return env

    def run(self, prefix, args, cwd, timeout=WINE_TIMEOUT):
        # Output goes to files, not pipes: processes that Wine starts in the
        # background inherit the handles, and a pipe would stay open until
        # they end.
        command = ["timeout", "-k", "5", str(timeout), self.wine] + args
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            done = subprocess.run(command, cwd=cwd, env=self.env(prefix), stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=err)
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(command, done.returncode, out.read(), err.read())

    def start(self, prefix):
        """A persistent wineserver for the prefix, so that runs need not start one each."""
        subprocess.run(["timeout", "30", self.wineserver, "-p"], env=self.env(prefix),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self, prefix):
        subprocess.run(["timeout", "30", self.wineserver, "-k"], env=self.env(prefix),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait(self, prefix):
        subprocess.run(["timeout", "60", self.wineserver, "-w"], env=self.env(prefix),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def version(self):
        """What the template was made with.  A 64-bit prefix made while the
        32-bit loader was missing lacks the 32-bit half and must be made again."""
        out = subprocess.run(["timeout", "30", self.wine, "--version"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL)
        loader32 = next((c for c in LOADERS["x86"] if c and is_elf32(c)), None)
        return "%s, %s prefix by %s, 32-bit loader %s" % (out.stdout.decode().strip(), WINEARCH[self.arch],
                                                           self.wine, loader32 or "missing")

    # -- the template prefix -------------------------------------------------

    def prepare_template(self):
        stamp = os.path.join(self.template, ".suite-template")
        wanted = self.version() + (", captured" if self.capture else "")
        if os.path.exists(stamp) and open(stamp).read().strip() == wanted:
            self.say("template prefix: reusing %s" % self.template)
        else:
            started = time.time()
            shutil.rmtree(self.template, ignore_errors=True)
            os.makedirs(os.path.dirname(self.template), exist_ok=True)
            out = subprocess.run(["timeout", "-k", "5", str(BOOT_TIMEOUT), self.wine, "wineboot.exe", "-i"],
                                 env=self.env(self.template), stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.wait(self.template)
            if out.returncode != 0 or not os.path.exists(os.path.join(self.template, "system.reg")):
                raise SuiteError("wineboot -i failed: %s" % out.stderr.decode(errors="replace")[-2000:])
            self.disable_crash_debugger()
            # The devices every prefix starts with; the host machines get them too.
            tools = os.path.join(self.template, "drive_c", "suite-baseline")
            os.makedirs(tools)
            shutil.copy(os.path.join(self.helpers, "wdev.exe"), tools)
            out = self.run(self.template, ["C:\\suite-baseline\\wdev.exe", "show", "system", "scsiadapter",
                                           "diskdrive"], cwd=tools)
            self.wait(self.template)
            with open(os.path.join(self.template, "baseline-devices.txt"), "wb") as f:
                f.write(out.stdout)
            if self.capture:
                # What the prefix has before a scenario adds to it (devices of
                # every class, services, class keys): the host machines get it too.
                shutil.copy(self.capture, tools)
                out = self.run(self.template, ["C:\\suite-baseline\\capture.exe", "C:\\suite-baseline\\base.json"],
                               cwd=tools)
                self.wait(self.template)
                if out.returncode != 0:
                    raise SuiteError("capture of the template failed: %s" % out.stderr.decode(errors="replace")[-1000:])
                shutil.copy(os.path.join(tools, "base.json"), os.path.join(self.template, "baseline-capture.json"))
            shutil.rmtree(tools)
            with open(stamp, "w") as f:
                f.write(wanted + "\n")
            self.say("template prefix: created in %.1f s (%s)" % (time.time() - started, wanted))
        with open(os.path.join(self.template, "baseline-devices.txt"), "rb") as f:
            parsed = parse_wdev_show(f.read().decode("utf-8"))
        self.base_devices = [d for devices in parsed.values() for d in devices]
        if self.capture:
            with open(os.path.join(self.template, "baseline-capture.json"), encoding="utf-8") as f:
                self.base_capture = json.load(f)
        self.stamp_time = os.stat(stamp).st_mtime

    def disable_crash_debugger(self):
        # A crashing program would otherwise start winedbg and hang until the
        # timeout; with a debugger that cannot start it ends at once.
        path = os.path.join(self.template, "system.reg")
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            text = f.read()
        # A 64-bit prefix has a second entry for 32-bit programs (Wow6432Node).
        text, count = re.subn(r'^"Debugger"="winedbg --auto %ld %ld"$',
                              r'"Debugger"="C:\\\\windows\\\\no-such-debugger.exe %ld %ld"', text, flags=re.M)
        if count == 0:
            raise SuiteError("template: AeDebug debugger entry not found")
        with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(text)

    def template_changes(self):
        """Files of the template changed since it was made (hard links gone wrong)."""
        changed = []
        for top, dirs, files in os.walk(self.template):
            for name in files:
                path = os.path.join(top, name)
                if os.path.islink(path):
                    continue
                if os.stat(path).st_mtime > self.stamp_time + 1:
                    changed.append(os.path.relpath(path, self.template))
        return changed

    def copy_template(self, prefix):
        subprocess.run(["cp", "-al", self.template, prefix], check=True)
        for rel in PRIVATE_PATHS:
            target = os.path.join(prefix, rel)
            source = os.path.join(self.template, rel)
            if os.path.isdir(source):
                shutil.rmtree(target)
                shutil.copytree(source, target, symlinks=True)
            elif os.path.exists(source):
                os.unlink(target)
                shutil.copy2(source, target)


def append_registry(prefix, user_keys, machine_keys):
    """Adds keys to the prefix's registry files while no wineserver runs."""
    for name, keys in (("user.reg", user_keys), ("system.reg", machine_keys)):
        if not keys:
            continue
        lines = [""]
        for path, values in keys:
            lines.append(reg_key_line(path))
            for value_name, kind, data in values:
                lines.append(reg_value_line(value_name, kind, data))
            lines.append("")
        with open(os.path.join(prefix, name), "a", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")


# ---------------------------------------------------------------------------
# One scenario on Wine and on the host
# ---------------------------------------------------------------------------

def package_files_among(package, names):
    """The package's driver files among the names of a drivers directory, in
    the letter case the directory has them."""
    wanted = {n.lower() for n in package.driver_files()}
    return {n for n in names if n.lower() in wanted}


def run_on_wine(wine, scenario, work):
    prefix = os.path.join(work, "prefix")
    wine.copy_template(prefix)
    drive = os.path.join(prefix, "drive_c")
    cwd = os.path.join(drive, "work")
    tools = os.path.join(drive, "tools")
    os.makedirs(cwd)
    os.makedirs(tools)
    for name in ("wdev.exe", "wreg.exe", "wrun.exe"):
        os.link(os.path.join(wine.helpers, name), os.path.join(tools, name))
    for name in scenario.extra_helpers:
        os.link(os.path.join(wine.helpers, name), os.path.join(tools, name))
    if wine.capture:
        os.link(wine.capture, os.path.join(tools, "capture.exe"))
    shutil.copy(os.path.join(wine.build_dir, "install.exe"), cwd)
    for name in scenario.extra_programs:
        source = os.path.join(wine.build_dir, name)
        if not os.path.exists(source):
            raise SuiteError("missing %s (build the windows-%s preset first)" % (source, wine.arch))
        shutil.copy(source, cwd)
    if scenario.fake_dism:
        shutil.copy(os.path.join(wine.helpers, "DISM.exe"), cwd)
    machine = scenario.machine
    dism = machine.get("dism", {})
    with open(os.path.join(cwd, "DISM.status"), "w") as f:
        on_disable = dism.get("on_disable", "keep")
        f.write("%d %s\n" % (number(dism.get("exit_status", 0)), on_disable))
    # The feature's state as the DISM stand-in shows it (absent: Disabled).
    feature = machine.get("features", {}).get("MultipathIo")
    if feature is not None:
        with open(os.path.join(cwd, "DISM.feature"), "w") as f:
            f.write(FEATURE_SHOWN[feature] + "\n")
    # Published INFs of the description, as files of the INF folder.
    for entry in machine.get("driver_store", []):
        content = (bytes.fromhex(entry["content_hex"]) if "content_hex" in entry
                   else entry.get("content", "").encode("utf-8"))
        with open(os.path.join(drive, "windows", "inf", entry["published_name"]), "wb") as f:
            f.write(content)
    if scenario.prepare:
        scenario.prepare(cwd)
    if scenario.package:
        scenario.package.copy_to(os.path.join(cwd, "pkg"))

    os_info = machine.get("os", {"major": 10, "minor": 0})
    version = WINE_VERSIONS[wine.arch][(os_info["major"], os_info["minor"])]
    user_keys = [("Software\\Wine\\AppDefaults\\" + exe, [("Version", 1, (version + "\0").encode("utf-16-le"))])
                 for exe in sorted({"install.exe", "capture.exe"} | set(scenario.versioned_helpers))]
    machine_keys = []
    for path, key in machine.get("registry", {}).items():
        values = [(name, value_type(v), value_bytes(v)) for name, v in key.get("values", {}).items()]
        machine_keys.append((path, values))
    append_registry(prefix, user_keys, machine_keys)

    result = Result(arch=wine.arch, work=cwd)

    def capture():
        # The prefix as capture.exe writes it, copied out of the prefix.  It
        # asks the DISM stand-in of C:\work, whose record of command lines
        # is the scenario's: the query is taken out of it again.
        if not wine.capture:
            return
        calls = os.path.join(cwd, "DISM.calls")
        kept = open(calls, "rb").read() if os.path.exists(calls) else None
        name = "capture-%d.json" % len(result.captures)
        out = wine.run(prefix, ["C:\\tools\\capture.exe", "C:\\tools\\" + name], cwd=cwd)
        if kept is None and os.path.exists(calls):
            os.unlink(calls)
        elif kept is not None:
            with open(calls, "wb") as f:
                f.write(kept)
        if out.returncode != 0 or not os.path.exists(os.path.join(tools, name)):
            result.captures.append("capture.exe failed with status %d: %s" % (
                out.returncode, out.stderr.decode(errors="replace").strip()[-500:]))
            return
        shutil.copy(os.path.join(tools, name), os.path.join(work, name))
        result.captures.append(os.path.join(work, name))

    wine.start(prefix)
    try:
        devices = [d for d in machine.get("devices", [])]
        if devices:
            lines = []
            for d in devices:
                fields = [d["class"], d["instance_id"], d.get("description", "-"),
                          "%d" % number(d["config_flags"]) if "config_flags" in d else "-"]
                fields += d.get("hardware_ids", [])
                lines.append("\t".join(fields))
            with open(os.path.join(tools, "devices.txt"), "w", encoding="utf-8") as f:
                f.write("\n".join(lines) + "\n")
            out = wine.run(prefix, ["C:\\tools\\wdev.exe", "create", "C:\\tools\\devices.txt"], cwd=tools)
            if out.returncode != 0:
                raise WineSetupError("device creation failed with status %d: %s %s"
                                     % (out.returncode, out.stdout.decode(errors="replace").strip(),
                                        out.stderr.decode(errors="replace").strip()))
        capture()
        for step in scenario.steps:
            if step.fresh_log and os.path.exists(os.path.join(cwd, "MPIOInstall.LOG")):
                os.unlink(os.path.join(cwd, "MPIOInstall.LOG"))
            if step.wine_program:
                out = wine.run(prefix, step.wine_program, cwd=cwd if step.in_work else tools,
                               timeout=step.timeout)
                result.consoles.append(out.stdout)
                result.step_stderr.append(out.stderr.decode(errors="replace"))
                result.stderr += out.stderr.decode(errors="replace")
                result.exit_codes.append(out.returncode)
                continue
            exit_file = os.path.join(tools, "exit.txt")
            if os.path.exists(exit_file):
                os.unlink(exit_file)
            args = [wine_arg(a) for a in step.args]
            program = [wine_arg(p) for p in step.program] if step.program else ["C:\\work\\install.exe"]
            limit = ["--timeout", str(step.wait_ms)] if step.wait_ms else []
            out = wine.run(prefix, ["C:\\tools\\wrun.exe", "C:\\tools\\exit.txt"] + limit + program + args,
                           cwd=cwd, timeout=step.timeout)
            result.consoles.append(out.stdout)
            result.step_stderr.append(out.stderr.decode(errors="replace"))
            result.stderr += out.stderr.decode(errors="replace")
            if out.returncode == 124:
                result.exit_codes.append("timeout")
            elif not os.path.exists(exit_file):
                result.exit_codes.append("no exit code (wrun status %d)" % out.returncode)
            else:
                word, value = open(exit_file).read().split()
                if word == "exit":
                    result.exit_codes.append(int(value, 16))
                elif word == "timeout":
                    result.exit_codes.append("timeout")
                else:
                    result.exit_codes.append("start error " + value)
            if not step.program:
                capture()
        # The machine afterwards.
        out = wine.run(prefix, ["C:\\tools\\wdev.exe", "show", "scsiadapter", "diskdrive", "system"], cwd=tools)
        result.devices = parse_wdev_show(out.stdout.decode("utf-8", errors="replace"))
        for devices in result.devices.values():
            for d in devices:
                if d.status is not None:
                    result.status_probe[d.instance_id.upper()] = d.status
        queries = []
        for key, name in scenario.watched_values():
            queries += ["value", key, name]
        for key in scenario.watched_keys:
            queries += ["key", key]
        if queries:
            out = wine.run(prefix, ["C:\\tools\\wreg.exe"] + queries, cwd=tools)
            result.values, result.keys = parse_wreg(out.stdout.decode("utf-8", errors="replace"))
    finally:
        wine.stop(prefix)
    log_path = os.path.join(cwd, "MPIOInstall.LOG")
    if os.path.exists(log_path):
        result.log = open(log_path, "rb").read()
    calls = os.path.join(cwd, "DISM.calls")
    if os.path.exists(calls):
        result.dism_calls = open(calls, encoding="utf-8").read().splitlines()
    drivers = os.path.join(drive, "windows", "system32", "drivers")
    if scenario.package:
        result.files = package_files_among(scenario.package, os.listdir(drivers))
    result.inf_store = sorted(os.listdir(os.path.join(drive, "windows", "inf")))
    return result


def wine_arg(arg):
    return arg.replace("{pkg}", "C:\\work\\pkg").replace("{work}", "C:\\work")


def host_machine(scenario, base_devices, base_capture=None):
    machine = json.loads(json.dumps(scenario.host_machine_description()))
    machine.setdefault("interactive", False)
    devices = machine.get("devices", [])
    present = {d["instance_id"].upper() for d in devices}
    if base_capture:
        add_base_capture(machine, devices, present, base_capture)
    for base in base_devices:
        if base.instance_id.upper() in present:
            continue
        entry = {"instance_id": base.instance_id, "class": base.class_guid}
        if base.hardware_ids is not None:
            entry["hardware_ids"] = base.hardware_ids
        if base.description is not None:
            entry["description"] = base.description
        if base.config_flags is not None:
            entry["config_flags"] = base.config_flags
        if base.service is not None:
            entry["service"] = base.service
        devices.append(entry)
    for d in devices:
        if d["instance_id"].startswith("*"):
            # wdev.exe creates it with an ID the setup library generates:
            # ROOT\NAME\NNNN, the first number free.
            name = d["instance_id"][1:].upper()
            number = 0
            while "ROOT\\%s\\%04d" % (name, number) in present:
                number += 1
            d["instance_id"] = "ROOT\\%s\\%04d" % (name, number)
            present.add(d["instance_id"])
        d.setdefault("enumerator", d["instance_id"].split("\\")[0])
    machine["devices"] = sorted(devices, key=device_sort_key)
    return machine


def add_base_capture(machine, devices, present, base):
    """What a fresh prefix has besides the scenario's machine, from the
    template's capture: devices of every class, services, and the captured
    keys' values the description does not give."""
    for d in base.get("devices", []):
        if d["instance_id"].upper() not in present:
            devices.append({k: v for k, v in d.items() if k not in ("status", "problem")})
            present.add(d["instance_id"].upper())
    services = machine.setdefault("services", {})
    named = {n.upper() for n in services}
    for name, service in base.get("services", {}).items():
        if name.upper() not in named:
            services[name] = service
    registry = machine.setdefault("registry", {})
    paths = {p.upper(): p for p in registry}
    for path, key in base.get("registry", {}).items():
        mine = registry.setdefault(paths.get(path.upper(), path), {})
        values = mine.setdefault("values", {})
        names = {n.upper() for n in values}
        for name, value in key.get("values", {}).items():
            if name.upper() not in names:
                values[name] = value


# The members of a description that script the machine's answers rather than
# describe its state; a capture cannot record them, so a twin takes them from
# the description.
SCRIPTED = ("dism", "interactive", "message_box_answers", "shutdown_privilege")


def twin_machine(capture_path, description):
    with open(capture_path, encoding="utf-8") as f:
        twin = json.load(f)
    twin.pop("capture", None)
    for member in SCRIPTED:
        if member in description:
            twin[member] = description[member]
    return twin


def run_on_host(binary, scenario, work, base_devices, base_capture=None, machine=None):
    """The scenario's installer runs on the host build, on its machine
    ('machine', or the description plus the prefix's base); the machine file
    is kept as it was before and after each run."""
    os.makedirs(work)
    cwd = work
    if scenario.package:
        scenario.package.copy_to(os.path.join(cwd, "pkg"))
    machine_path = os.path.join(cwd, "machine.json")
    with open(machine_path, "w") as f:
        json.dump(machine or host_machine(scenario, base_devices, base_capture), f, indent=1)
    env = dict(os.environ, WINSIM_MACHINE=machine_path)
    result = Result()

    def keep():
        kept = os.path.join(cwd, "machine-%d.json" % len(result.machines))
        shutil.copy(machine_path, kept)
        result.machines.append(kept)

    keep()
    for step in scenario.steps:
        if step.wine_program or step.program:
            continue
        if step.fresh_log and os.path.exists(os.path.join(cwd, "MPIOInstall.LOG")):
            os.unlink(os.path.join(cwd, "MPIOInstall.LOG"))
        args = [a.replace("{pkg}", os.path.join(cwd, "pkg")).replace("{work}", cwd) for a in step.args]
        out = subprocess.run(["timeout", "60", binary] + args, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        result.consoles.append(out.stdout)
        result.stderr += out.stderr.decode(errors="replace")
        result.exit_codes.append(out.returncode)
        keep()
    log_path = os.path.join(cwd, "MPIOInstall.LOG")
    if os.path.exists(log_path):
        result.log = open(log_path, "rb").read()
    with open(machine_path) as f:
        after = json.load(f)
    result.machine = after
    for d in after.get("devices", []):
        flags = d.get("config_flags")
        device = Device(d["instance_id"], class_guid(d["class"]), d.get("hardware_ids"), d.get("description"),
                        number(flags) if flags is not None else None, d.get("service"), d.get("enumerator"))
        result.devices.setdefault(device.class_guid, []).append(device)
    registry = {k.upper(): v for k, v in after.get("registry", {}).items()}
    for key, name in scenario.watched_values():
        entry = registry.get(key.upper())
        values = {n.upper(): v for n, v in (entry or {}).get("values", {}).items()}
        if entry is None:
            result.values[(key + "\\" + name).upper()] = ("error", 2)
        elif name.upper() not in values:
            result.values[(key + "\\" + name).upper()] = ("error", 2)
        else:
            v = values[name.upper()]
            result.values[(key + "\\" + name).upper()] = (value_type(v), value_bytes(v))
    for key in scenario.watched_keys:
        entry = registry.get(key.upper())
        result.keys[key.upper()] = None if entry is None else sorted(entry.get("values", {}).keys())
    if scenario.package:
        live = [f["destination"].replace("/", "\\").split("\\")[-1] for f in after.get("files", [])
                if not f.get("deleted")]
        result.files = package_files_among(scenario.package, live)
    return result


# ---------------------------------------------------------------------------
# Comparison
# ---------------------------------------------------------------------------

def compare(scenario, host, wine_result):
    """Differences between the host and Wine runs that no declared deviation explains."""
    problems = []
    explained = set()
    host_log, host_consoles = host.masked()
    wine_log, wine_consoles = wine_result.masked()
    wine_codes = [c for c, s in zip(wine_result.exit_codes, scenario.steps) if not s.wine_program]
    host_codes = [c & 0xFF if isinstance(c, int) else c for c in host.exit_codes]
    wine_low = [c & 0xFF if isinstance(c, int) else c for c in wine_codes]
    if host_codes != wine_low:
        reason = scenario.explain("exit", host_codes, wine_low)
        if reason:
            explained.add(reason)
        else:
            problems.append("exit codes differ: host %s, Wine %s" % (host_codes, wine_low))
    for label, h, w in [("log", host_log, wine_log)] + [
            ("console %d" % (i + 1), hc, wc)
            for i, (hc, wc) in enumerate(zip(host_consoles, [c for c, s in zip(wine_consoles, scenario.steps)
                                                             if not s.wine_program]))]:
        problems += diff_text(scenario, label, h, w, explained)
    for guid in sorted(set(host.devices) | set(wine_result.devices)):
        if guid not in scenario.compared_classes():
            continue
        h = [d.facts() for d in host.devices.get(guid, [])]
        w = [d.facts() for d in wine_result.devices.get(guid, [])]
        if h != w:
            reason = scenario.explain("devices", h, w)
            if reason:
                explained.add(reason)
            else:
                problems.append("devices of %s differ:\n  host %s\n  Wine %s" % (guid, h, w))
    for key in sorted(set(host.values) | set(wine_result.values)):
        h, w = host.values.get(key), wine_result.values.get(key)
        if h != w:
            reason = scenario.explain("value", key, (h, w))
            if reason:
                explained.add(reason)
            else:
                problems.append("value %s differs: host %s, Wine %s" % (key, h, w))
    if host.files != wine_result.files:
        reason = scenario.explain("files", host.files, wine_result.files)
        if reason:
            explained.add(reason)
        else:
            problems.append("driver files differ: host %s, Wine %s" % (sorted(host.files),
                                                                      sorted(wine_result.files)))
    return problems, explained


def diff_text(scenario, label, host_bytes, wine_bytes, explained):
    if host_bytes == wine_bytes:
        return []
    h = host_bytes.decode("latin-1").split("\n")
    w = wine_bytes.decode("latin-1").split("\n")
    problems = []
    matcher = difflib.SequenceMatcher(None, h, w, autojunk=False)
    for op, i1, i2, j1, j2 in matcher.get_opcodes():
        if op == "equal":
            continue
        host_lines, wine_lines = h[i1:i2], w[j1:j2]
        reason = scenario.explain("lines", host_lines, wine_lines)
        if reason:
            explained.add(reason)
            continue
        problems.append("%s differs:\n%s\n%s" % (
            label, "\n".join("  host| " + l.replace("\r", "\\r") for l in host_lines),
            "\n".join("  Wine| " + l.replace("\r", "\\r") for l in wine_lines)))
    return problems
