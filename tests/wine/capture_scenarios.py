"""The Wine suite's scenarios of capture.exe: a prefix built from a machine
description, captured, and the description it wrote held against the one it
was built from; the refused outputs; and the capture loaded by the host
build.  Each scenario checks the Wine run itself; the suite's oracle
compares the prefix with the host build's machine as it does for every
scenario."""

import json
import os
import re
import subprocess
import tempfile

from scenario import MPDEV_KEY, MPIO_PARAMETERS_KEY, UPPER_FILTERS, Scenario, Step
from scenarios import (ADAPTERS, DEVNODE_STATUS, DISKS, ENUMERATOR, EXAMPLE_PACKAGE, GEN6, GEN10, INSTALL_ARGS,
                       OTHER_ENTRY, PACKAGE, QUORVEX_DISK_0, QUORVEX_DISK_1, QUORVEX_ENTRY, TESSELLA_DISK, APPEND,
                       COPY_OEM, bus_device, dsm_device, gen6_machine, multi_sz)
from winesuite import class_guid, value_bytes, value_type

ALL = []

CAPTURE = "C:\\work\\capture.exe"
FEATURE_INFO = "DISM.exe /English /Online /Get-FeatureInfo /FeatureName:MultipathIo"
DISK_CLASS = "{4D36E967-E325-11CE-BFC1-08002BE10318}"
# Wine deviations met only by capture.exe (docs/wine-deviations.md):
DRIVER_VERSION = "W13 driver key without DriverVersion"
TIME = r"\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}"
def scenario(**kwargs):
    kwargs.setdefault("extra_programs", ["capture.exe"])
    kwargs.setdefault("versioned_helpers", ["capture.exe"])
    kwargs.setdefault("host", False)
    ALL.append(Scenario(**kwargs))


def capture(*args):
    return Step(program=[CAPTURE] + list(args))


def captured(r, c, name):
    """The description a capture wrote to C:\\work\\NAME; None (a failure noted) when unreadable."""
    try:
        with open(os.path.join(r.work, name), encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError) as error:
        c.fail("%s: %s" % (name, error))
        return None


def devices_by_id(description):
    return {d["instance_id"].upper(): d for d in description.get("devices", [])}


def check_device(c, found, described):
    """A captured device against its description (Wine: W4 leaves the status
    words at 0, W5 gives no enumerator)."""
    what = "device " + described["instance_id"]
    device = found.get(described["instance_id"].upper())
    if device is None:
        c.fail(what + " not captured")
        return
    c.eq(device["class"], class_guid(described["class"]), what + " class")
    for member in ("hardware_ids", "description", "config_flags", "service"):
        c.eq(device.get(member), described.get(member), what + " " + member)
    c.eq((device.get("status"), device.get("problem")), ("0x00000000", 0), what + " status (%s)" % DEVNODE_STATUS)
    c.true("enumerator" not in device, what + " has an enumerator (%s expects none)" % ENUMERATOR)


def check_registry(c, registry, described):
    """Every described value captured with the same type and bytes."""
    for path, key in described.items():
        for name, value in key.get("values", {}).items():
            got = registry.get(path, {}).get("values", {}).get(name)
            if got is None:
                c.fail("value %s\\%s not captured" % (path, name))
                continue
            c.eq((value_type(got), value_bytes(got)), (value_type(value), value_bytes(value)),
                 "value %s\\%s" % (path, name))


def check_unread_enumerators(c, description, more=()):
    """W5: the enumerator property fails without a last error, for every
    device; nothing else is left unread but 'more' (what, error) items."""
    expected = sorted([("device %s: enumerator" % d["instance_id"], 0) for d in description["devices"]] + list(more))
    got = sorted((u["what"], u["error"]) for u in description["capture"]["unread"])
    c.eq(got, expected, "unread items (%s: every enumerator)" % ENUMERATOR)


def check_notes(c, description):
    notes = description.get("capture", {})
    c.eq(notes.get("program"), "capture.exe", "capture.program")
    c.true(re.fullmatch(r"\d+\.\d+\.\d+", notes.get("version", "")), "capture.version %r" % notes.get("version"))
    c.true(re.fullmatch(TIME, notes.get("time", "")), "capture.time %r" % notes.get("time"))
    c.true(re.fullmatch(TIME, description.get("clock", {}).get("time", "")), "clock.time")
    c.eq(description.get("administrator"), True, "administrator")


def check_host_loads(r, c, description):
    """The host build loads the capture and saves the same devices, values
    and published INFs back (its -c changes nothing of them on 10.0)."""
    if not r.host_binary:
        return
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "machine.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(description, f)
        run = subprocess.run([r.host_binary, "-c"], cwd=work, env=dict(os.environ, WINSIM_MACHINE=path),
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        if run.returncode not in (0, 1):
            c.fail("the host build did not load the capture (status %d): %s" % (
                run.returncode, run.stderr.decode(errors="replace").strip()))
            return
        with open(path, encoding="utf-8") as f:
            saved = json.load(f)
    c.eq([d["instance_id"] for d in saved["devices"]], [d["instance_id"] for d in description["devices"]],
         "devices the host build loaded")
    check_registry(c, saved["registry"], description["registry"])
    c.eq([(e["published_name"], e.get("content"), e.get("content_hex")) for e in saved.get("driver_store", [])],
         [(e["published_name"], e.get("content"), e.get("content_hex")) for e in description["driver_store"]],
         "published INFs the host build loaded")


# ---------------------------------------------------------------------------
# A described machine, captured plainly and with --mask-serials
# ---------------------------------------------------------------------------

with open(os.path.join(EXAMPLE_PACKAGE, "qvxdsm.inf"), "rb") as _f:
    PUBLISHED_INF = _f.read()

DESCRIBED = {
    "os": GEN10,
    "devices": ADAPTERS + DISKS + [bus_device("ROOT\\MPIO", config_flags=0), dsm_device(config_flags=0)],
    "registry": {
        MPDEV_KEY: {"values": {"MPIOSupportedDeviceList": multi_sz(OTHER_ENTRY, QUORVEX_ENTRY)}},
        UPPER_FILTERS[0]: {"values": {"UpperFilters": multi_sz("tsasflt")}},
        MPIO_PARAMETERS_KEY: {"values": {
            "PathVerifyEnabled": {"type": "REG_DWORD", "data": 1},
            "PDORemovePeriod": {"type": "REG_DWORD", "data": 120},
            "Note": {"type": "REG_SZ", "data": "caf\u00e9 \"quoted\" \\ path"},
            # A list without its closing NUL: kept as its bytes.
            "Cut": {"type": "REG_MULTI_SZ", "hex": "4100000042004300"},
            "Blob": {"type": "REG_BINARY", "hex": "00ff10"}}},
    },
    "features": {"MultipathIo": "Enabled"},
    "driver_store": [{"published_name": "oem5.inf", "content": PUBLISHED_INF.decode("utf-8")},
                     # Not an INF the setup library reads: a few bytes of UTF-16.
                     {"published_name": "oem6.inf", "content_hex": "fffe5b005600"}],
}
# Of a class key only its filters are captured, not this value.
OTHER_CLASS_VALUE = (UPPER_FILTERS[0], "Raw")
DESCRIBED["registry"][UPPER_FILTERS[0]]["values"]["Raw"] = {"type": "REG_BINARY", "hex": "01"}
SERIALS = ("5&1C0FE2A&0&000000", "5&1C0FE2A&0&000100", "5&3B9D471&0&000000")


def check_described(r, c):
    c.exits(0, 0)
    # Each capture asked the servicing tool itself, through the command
    # interpreter, as the installer does.
    c.dism(FEATURE_INFO, FEATURE_INFO)
    d = captured(r, c, "machine.json")
    if d is None:
        return
    c.eq({k: d["os"].get(k) for k in ("major", "minor", "arch")}, {"major": 10, "minor": 0, "arch": "amd64"}, "os")
    found = devices_by_id(d)
    for described in DESCRIBED["devices"]:
        check_device(c, found, described)
    # The setup library's order is kept (Wine's: by instance ID).
    ids = [x["instance_id"].upper() for x in d["devices"]]
    ours = [x for x in ids if x in {y["instance_id"].upper() for y in DESCRIBED["devices"]}]
    c.eq(ours, sorted(ours, key=lambda i: i.split("\\")), "device order")
    described_values = {k: v for k, v in DESCRIBED["registry"].items()}
    described_values[UPPER_FILTERS[0]] = {"values": {"UpperFilters": multi_sz("tsasflt")}}
    check_registry(c, d["registry"], described_values)
    c.true(OTHER_CLASS_VALUE[1] not in d["registry"].get(OTHER_CLASS_VALUE[0], {}).get("values", {}),
           "a class key's value other than its filters was captured")
    values = d["registry"].get(MPIO_PARAMETERS_KEY, {}).get("values", {})
    c.eq({n: ("data" in v) for n, v in values.items()},
         {"PathVerifyEnabled": True, "PDORemovePeriod": True, "Note": True, "Cut": False, "Blob": False},
         "values written as data rather than hex")
    c.eq(d.get("features"), {"MultipathIo": "Enabled"}, "features")
    c.eq([e["published_name"] for e in d["driver_store"]], ["oem5.inf", "oem6.inf"], "published INFs")
    if len(d["driver_store"]) == 2:
        oem5, oem6 = d["driver_store"]
        c.eq(oem5.get("content", "").encode("utf-8"), PUBLISHED_INF, "oem5.inf content")
        # Without a record of where it came from, Wine names the INF itself.
        c.eq(oem5.get("original_path"), "oem5.inf", "oem5.inf original name")
        # Kept as its bytes; its original name could not be asked for.
        c.eq(oem6, {"published_name": "oem6.inf", "content_hex": "fffe5b005600"}, "oem6.inf")
    check_notes(c, d)
    check_unread_enumerators(c, d, [("driver store oem6.inf: INF information", 2)])
    c.true(r.step_stderr[0].strip().endswith("capture: wrote C:\\work\\machine.json: %d devices, %d services, "
                                             "2 published INFs, %d items not read"
                                             % (len(d["devices"]), len(d["services"]), len(d["devices"]) + 1)),
           "summary line: %r" % r.step_stderr[0][-200:])
    c.true(all(line.startswith("capture: ") for line in r.step_stderr[0].splitlines()),
           "a message line without its \"capture: \"")
    check_host_loads(r, c, d)
    check_masked(r, c, d)


def check_masked(r, c, plain):
    """--mask-serials: the disks' last ID part masked in order of appearance,
    everything else as in the plain capture, no serial left in the file."""
    masked = captured(r, c, "masked.json")
    if masked is None:
        return
    with open(os.path.join(r.work, "masked.json"), encoding="utf-8") as f:
        text = f.read()
    for serial in SERIALS:
        c.true(serial not in text, "serial %s left in the masked capture" % serial)
    numbers = {}
    expected = []
    for device in plain["devices"]:
        device = dict(device)
        if device["class"] == DISK_CLASS:
            head, _, tail = device["instance_id"].rpartition("\\")
            numbers.setdefault(tail.upper(), len(numbers) + 1)
            device["instance_id"] = "%s\\MASKED&%04d" % (head, numbers[tail.upper()])
        expected.append(device)
    c.eq(masked["devices"], expected, "masked devices")
    c.eq(sorted(numbers), sorted(s.upper() for s in SERIALS), "the masked parts")
    for member in ("os", "registry", "services", "features", "driver_store"):
        c.eq(masked.get(member), plain.get(member), "masked capture's " + member)


scenario(
    name="capture-described",
    title="capture.exe on 10.0: devices, values, feature and published INF as described; --mask-serials",
    machine=DESCRIBED,
    steps=[capture("C:\\work\\machine.json"), capture("--mask-serials", "C:\\work\\masked.json")],
    check=check_described)


# ---------------------------------------------------------------------------
# After an install: the DSM's driver and service, the pending feature
# ---------------------------------------------------------------------------

def check_after_install(r, c):
    c.exits(1, 0)
    c.dism("DISM.exe /online /norestart /enable-feature:MultipathIo", FEATURE_INFO)
    d = captured(r, c, "machine.json")
    if d is None:
        return
    c.eq({k: d["os"].get(k) for k in ("major", "minor")}, {"major": 6, "minor": 1}, "os")
    # The feature command answered 3010: the state waits for a reboot.
    c.eq(d.get("features"), {"MultipathIo": "EnablePending"}, "features")
    dsm = devices_by_id(d).get("ROOT\\MPIO\\0001", {})
    # Wine's store keeps the INF's own name (W7; Windows: oem<N>.inf), and
    # its driver key has no DriverVersion (W13; Windows: the version of the
    # INF's DriverVer, 2.4.1.0).
    c.eq((dsm.get("service"), dsm.get("driver_inf"), dsm.get("driver_version")), ("qvxdsm", "qvxdsm.inf", None),
         "the DSM device's driver (%s, %s)" % (COPY_OEM, DRIVER_VERSION))
    for disk in (QUORVEX_DISK_0, QUORVEX_DISK_1, TESSELLA_DISK):
        c.true("driver_inf" not in devices_by_id(d).get(disk, {"driver_inf": "missing device"}),
               "disk %s without a driver has a driver INF" % disk)
    c.eq(d["services"].get("qvxdsm"), {"display_name": "Quorvex Lumenstride DSM", "type": 1, "start": 0,
                                       "error_control": 1,
                                       "binary": d["services"].get("qvxdsm", {}).get("binary")},
         "the DSM's service")
    c.true(re.search(r"qvxdsm\.sys$", d["services"].get("qvxdsm", {}).get("binary", ""), re.I),
           "the DSM service's binary")
    # W9: the DSM INF's append creates the list's key but not the list.
    c.eq(d["registry"].get(MPDEV_KEY), {"values": {}}, "%s (%s)" % (MPDEV_KEY, APPEND))
    # W7: no published INF is named oem<N>.inf under Wine.
    c.eq(d["driver_store"], [], "driver store (%s)" % COPY_OEM)
    check_unread_enumerators(c, d)


scenario(
    name="capture-after-install",
    title="capture.exe after -i on 6.1 (3010): the DSM's driver INF, version and service, the feature pending",
    machine=gen6_machine(GEN6, 3010), package=PACKAGE,
    steps=[Step(INSTALL_ARGS), capture("C:\\work\\machine.json")],
    check=check_after_install)


# ---------------------------------------------------------------------------
# Arguments and outputs that are refused
# ---------------------------------------------------------------------------

OLD_TEXT = b'{"kept": true}\n'


def prepare_refused(work):
    # A folder in which no file may be created: a link to /sys, where even
    # root (the suite's user) is refused; a folder in place of the file; a
    # description whose temporary name is taken by a folder; one to replace.
    os.symlink("/sys", os.path.join(work, "denied"))
    os.makedirs(os.path.join(work, "folder"))
    for name in ("kept.json", "replaced.json"):
        with open(os.path.join(work, name), "wb") as f:
            f.write(OLD_TEXT)
    os.makedirs(os.path.join(work, "kept.json.tmp"))


REFUSED_STEPS = [
    (capture(), 1, r"capture: usage: capture\.exe FILE \[--mask-serials\]"),
    (capture("C:\\work\\a.json", "--mask-serial"), 1, r"capture: usage: .*"),
    (capture("C:\\work\\a.json", "C:\\work\\b.json"), 1, r"capture: usage: .*"),
    (capture("C:\\work\\missing\\out.json"), 3, r"capture: cannot write C:\\work\\missing\\out\.json: .* \(error 3\)"),
    (capture("C:\\work\\denied\\out.json"), 3, r"capture: cannot write C:\\work\\denied\\out\.json: .* \(error 5\)"),
    (capture("C:\\work\\folder"), 3, r"capture: cannot write C:\\work\\folder: .* \(error 5\)"),
    (capture("C:\\work\\kept.json"), 3, r"capture: cannot write C:\\work\\kept\.json: .* \(error 5\)"),
    (capture("C:\\work\\replaced.json"), 0, r"capture: wrote C:\\work\\replaced\.json: .*"),
]


def check_refused(r, c):
    c.exits(*[code for _, code, _ in REFUSED_STEPS])
    for i, (_, _, pattern) in enumerate(REFUSED_STEPS):
        lines = r.step_stderr[i].splitlines() if i < len(r.step_stderr) else []
        c.true(lines and re.fullmatch(pattern, lines[0] if "usage" in pattern else lines[-1]),
               "step %d message: %r" % (i, lines))
        c.true(all(line.startswith("capture: ") for line in lines), "step %d: a line without \"capture: \"" % i)
    names = sorted(os.listdir(r.work))
    c.eq([n for n in names if n.endswith(".tmp")], ["kept.json.tmp"], "temporary files left")
    c.true(not os.path.exists(os.path.join(r.work, "a.json")), "a.json written by a refused command line")
    c.true(os.path.isdir(os.path.join(r.work, "folder")) and not os.listdir(os.path.join(r.work, "folder")),
           "the folder named as the file changed")
    with open(os.path.join(r.work, "kept.json"), "rb") as f:
        c.eq(f.read(), OLD_TEXT, "kept.json after the failed run")
    d = captured(r, c, "replaced.json")
    if d is not None:
        c.eq(d["capture"]["program"], "capture.exe", "replaced.json after the run")


scenario(
    name="capture-refused",
    title="capture.exe: usage errors exit 1; a missing or refusing folder, a folder as the file exit 3, no temporary"
          " file left, an existing file kept whole",
    machine={"os": GEN10}, steps=[s for s, _, _ in REFUSED_STEPS], prepare=prepare_refused, check=check_refused)
