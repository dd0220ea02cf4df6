"""The scenarios of the Wine suite."""

import re

from scenario import (EXAMPLE_PACKAGE, FIXTURES, MPDEV_LIST, MPIO_PARAMETERS_KEY, UPPER_FILTERS, Allow, Package,
                      Scenario, Step, any_lines, exits, lines)
from winesuite import Console, Err, multi_sz

BANNER = "Starting Multi-Path install/uninstall package\n"
USAGE = [
    "Installs the Multi-Path software package.\n",
    "\n",
    "Usage: install switch source_path dsm_inf dsm_hwid\n",
    "\n",
    "  switch     \tWhether to install or uninstall (-i, -u, -c)\n",
    "  source_path\tPermanent location that hosts all the infs and drivers\n",
    "  dsm_inf    \tName of dsm inf (with extension)\n",
    "  dsm_hwid   \tHardware Id associated with the dsm\n",
    "\n",
]
MINUS_ONE = 0xFFFFFFFF
BOTH = ("x64", "x86")   # run by the x64 build and, in a 32-bit prefix, by the x86 build

GEN5_2K = {"major": 5, "minor": 0, "build": 2195, "csd": "Service Pack 4"}
GEN5 = {"major": 5, "minor": 2, "build": 3790, "csd": "Service Pack 2"}
GEN6 = {"major": 6, "minor": 1, "build": 7601, "csd": "Service Pack 1"}
GEN10 = {"major": 10, "minor": 0, "build": 17763, "csd": ""}

# Wine deviations (docs/wine-deviations.md):
UPDATE_DRIVER = "W1 UpdateDriverForPlugAndPlayDevicesW"
CLASS_PARAMS = "W2 SetupDiSetClassInstallParamsW"
PROPERTY_CHANGE = "W3 DIF_PROPERTYCHANGE"
DEVNODE_STATUS = "W4 CM_Get_DevNode_Status"
ENUMERATOR = "W5 SPDRP_ENUMERATOR_NAME"
DELREG = "W6 DelReg delete-string"
COPY_OEM = "W7 SetupCopyOEMInfW"
MESSAGES = "W8 FormatMessageW"
APPEND = "W9 AddReg append"
DEVINST = "W10 DevInst from 0"
# A twin has no enumerators either (W5, the capture could not read them):
# the stand-in's read fails with 13 where Wine leaves the earlier 183.
TWIN_NO_ENUMERATOR = [lines(ENUMERATOR, [r" ?Error code \(0x0000000d\)"], [r" ?Error code \(0x000000b7\)"])]

# The machine's hardware (the example machines' adapters and disks).
QUORVEX_FC = {
    "class": "scsiadapter", "instance_id": "PCI\\VEN_1D5A&DEV_0210&SUBSYS_00011D5A&REV_02\\4&2A6F1C3&0&0010",
    "hardware_ids": ["PCI\\VEN_1D5A&DEV_0210&SUBSYS_00011D5A&REV_02", "PCI\\VEN_1D5A&DEV_0210&SUBSYS_00011D5A",
                     "PCI\\VEN_1D5A&DEV_0210"],
    "description": "Quorvex Lumenstride FC Host Adapter", "config_flags": 0}
TESSELLA_SAS = {
    "class": "scsiadapter", "instance_id": "PCI\\VEN_1E37&DEV_0054&SUBSYS_30201E37&REV_01\\4&2A6F1C3&0&00A8",
    "hardware_ids": ["PCI\\VEN_1E37&DEV_0054&SUBSYS_30201E37&REV_01", "PCI\\VEN_1E37&DEV_0054&SUBSYS_30201E37",
                     "PCI\\VEN_1E37&DEV_0054"],
    "description": "Tessella SAS Adapter", "config_flags": 0}
ADAPTERS = [QUORVEX_FC, TESSELLA_SAS]
QUORVEX_IDS = ["SCSI\\DiskQUORVEX_LUMENSTRIDE_____0100", "SCSI\\DiskQUORVEX_LUMENSTRIDE_____", "SCSI\\DiskQUORVEX_",
               "SCSI\\QUORVEX_LUMENSTRIDE_____0", "QUORVEX_LUMENSTRIDE_____0", "GenDisk"]
TESSELLA_IDS = ["SCSI\\DiskTESSELLAORBIT-2_________0200", "SCSI\\DiskTESSELLAORBIT-2_________", "SCSI\\DiskTESSELLA",
                "SCSI\\TESSELLAORBIT-2_________0", "TESSELLAORBIT-2_________0", "GenDisk"]
QUORVEX_DISK_0 = "SCSI\\DISK&VEN_QUORVEX&PROD_LUMENSTRIDE&REV_0100\\5&1C0FE2A&0&000000"
QUORVEX_DISK_1 = "SCSI\\DISK&VEN_QUORVEX&PROD_LUMENSTRIDE&REV_0100\\5&1C0FE2A&0&000100"
TESSELLA_DISK = "SCSI\\DISK&VEN_TESSELLA&PROD_ORBIT-2&REV_0200\\5&3B9D471&0&000000"


def disk(instance_id, ids, description, flags=0):
    return {"class": "diskdrive", "instance_id": instance_id, "hardware_ids": list(ids),
            "description": description, "config_flags": flags}


DISKS = [disk(QUORVEX_DISK_0, QUORVEX_IDS, "QUORVEX LUMENSTRIDE SCSI Disk Device"),
         disk(QUORVEX_DISK_1, QUORVEX_IDS, "QUORVEX LUMENSTRIDE SCSI Disk Device"),
         disk(TESSELLA_DISK, TESSELLA_IDS, "TESSELLA ORBIT-2 SCSI Disk Device")]
QUORVEX_ENTRY = "QUORVEX LUMENSTRIDE     "
TESSELLA_ENTRY = "TESSELLAORBIT-2         "
DSM_DESCRIPTION = "Quorvex Lumenstride Device Specific Module"


def bus_device(hardware_id, **extra):
    # The root device the installer creates (or the feature brings) for the bus driver.
    return dict({"class": "scsiadapter", "instance_id": "ROOT\\MPIO\\0000", "hardware_ids": [hardware_id],
                 "description": "Multi-Path Support"}, **extra)


def dsm_device(**extra):
    return dict({"class": "system", "instance_id": "ROOT\\MPIO\\0001", "hardware_ids": ["Root\\QVXDSM"],
                 "description": DSM_DESCRIPTION}, **extra)


def hwid_lines(device):
    return ["HWID:%s\n" % i for i in device["hardware_ids"]]


def try_entry(index):
    return "!!TRY ENTRY %d.\n" % index


# The system devices every Wine prefix has; the host machines get them too.
WINE_SYSTEM_DEVICES = ["Wine HID bus driver", "Wine USB bus driver"]
STATUS_LINE = r"Driver Status: ulStatus = 0x[0-9A-F]{8}, ulProblem = 0x[0-9A-F]{8}"
WINE_STATUS = "Driver Status: ulStatus = 0x00000000, ulProblem = 0x00000000\n"

ALL = []


def scenario(**kwargs):
    ALL.append(Scenario(**kwargs))


# ---------------------------------------------------------------------------
# Command line
# ---------------------------------------------------------------------------

def check_usage(r, c):
    c.exits(*[MINUS_ONE] * 7)
    run = [BANNER] + USAGE
    c.log(*(run * 7))
    for i in range(7):
        c.console(i, *run)


scenario(
    name="usage-and-arguments",
    title="wrong argument counts and switches print the usage text and exit -1",
    machine={"os": GEN10},
    steps=[Step([]), Step(["-i"]), Step(["-c", "a", "b", "c"]), Step(["-I", "{pkg}", "qvxdsm.inf", "Root\\QVXDSM"]),
           Step(["/i", "{pkg}", "qvxdsm.inf", "Root\\QVXDSM"]), Step(["-i ", "{pkg}", "qvxdsm.inf", "Root\\QVXDSM"]),
           Step(["-u", "{pkg}", "qvxdsm.inf", "Root\\QVXDSM", "extra"])],
    check=check_usage)


# ---------------------------------------------------------------------------
# The Windows version, and the manifest that makes the query report it
# ---------------------------------------------------------------------------

def check_version_manifest(r, c):
    # With the supportedOS entries the query reports Windows 10 as 10.0; the
    # same program without them is told 6.2, as Windows 8.1 and later do.
    c.eq(c.output(0).split()[:2], ["version", "10.0"], "version query with the manifest")
    c.eq(c.output(1).split()[:2], ["version", "6.2"], "version query without the manifest")


scenario(
    name="version-manifest",
    title="the manifest makes the version query report 10.0 on Windows 10 (6.2 without it)",
    machine={"os": GEN10},
    steps=[Step(wine_program=["C:\\tools\\wver.exe"]), Step(wine_program=["C:\\tools\\wver-plain.exe"])],
    extra_helpers=["wver.exe", "wver-plain.exe"], versioned_helpers=["wver.exe", "wver-plain.exe"],
    check=check_version_manifest, host=False)


# ---------------------------------------------------------------------------
# Wine deviations, measured directly (Wine only)
# ---------------------------------------------------------------------------

PROBE = Package(source=FIXTURES + "/probe")


# What the driver update answers under Wine, whatever it did.
UPDATE_SUCCESS = ["result", "1", "reboot", "0x0", "last_error", "0x00000000"]


def probe_update(hardware_id, inf, flags="0"):
    return Step(wine_program=["C:\\tools\\wdev.exe", "probe-update", hardware_id, "C:\\work\\pkg\\" + inf, flags])


def root_devices(*hardware_ids):
    """System devices ROOT\\SYSTEM\\0000, 0001, ... with one hardware ID each."""
    return [{"class": "system", "instance_id": "*SYSTEM", "hardware_ids": [i]} for i in hardware_ids]


def check_driver(c, number, service, what):
    device = c.device("ROOT\\SYSTEM\\%04d" % number)
    if device:
        c.eq(device.service, service, what)


def check_udpnpd(r, c):
    # 0: no device has the ID and the INF does not exist; 1: the same with an
    # install flag Windows rejects (ERROR_INVALID_FLAGS); 2: a device whose ID
    # differs from the INF's only in letter case.  Windows: FALSE with
    # ERROR_NO_SUCH_DEVINST (0xE000020B), FALSE with ERROR_INVALID_FLAGS
    # (1004), TRUE with the driver installed.
    # 3: the requested ID equals the device's, the INF's model ID differs in
    # case: installed, so only the requested ID is compared with case.
    for i in range(4):
        c.eq(c.output(i).split(), UPDATE_SUCCESS, "UpdateDriverForPlugAndPlayDevicesW probe %d" % i)
    check_driver(c, 0, None, "driver installed on the lower-case device")
    check_driver(c, 1, "probe", "driver installed on the exact-case device")
    check_driver(c, 2, "probe", "driver installed although the INF's ID differs in case")
    # 4: an INF whose models section has no NTamd64 decoration: x64 Windows
    # finds no driver in it (W11); Wine installs from it.
    check_driver(c, 3, "probe", "driver installed from an undecorated models section")


scenario(
    name="wine-update-driver",
    title="Wine: driver update succeeds without a device or INF, matches case, takes undecorated models",
    machine={"os": GEN10, "devices": root_devices("root\\probedev", "Root\\PROBEDEV", "Root\\ProbeCase",
                                                  "Root\\UNDECORATED")},
    package=PROBE,
    steps=[probe_update("Root\\NOSUCHDEV", "none.inf"), probe_update("Root\\NOSUCHDEV", "none.inf", "0x80000000"),
           probe_update("Root\\PROBEDEV", "probe.inf"), probe_update("Root\\ProbeCase", "probecase.inf"),
           probe_update("Root\\UNDECORATED", "undecorated.inf")],
    check=check_udpnpd, host=False)


def check_models_fallback(r, c):
    # 32-bit Windows reads the undecorated models section when none of the
    # entry's decorations is for x86 (Windows 2000 reads only that one).
    # 32-bit Wine does so only for an entry without any decoration.
    for i in (0, 1):
        c.eq(c.output(i).split(), UPDATE_SUCCESS, "UpdateDriverForPlugAndPlayDevicesW probe %d" % i)
    check_driver(c, 0, None, "driver from the undecorated section beside an NTamd64 one")
    check_driver(c, 1, "probe", "driver from the undecorated section alone")


scenario(
    name="wine-models-fallback",
    title="32-bit Wine: no undecorated models section when the entry's only decoration is NTamd64",
    machine={"os": GEN5, "devices": root_devices("Root\\FALLBACK", "Root\\UNDECORATED")},
    package=PROBE,
    steps=[probe_update("Root\\FALLBACK", "fallback.inf"), probe_update("Root\\UNDECORATED", "undecorated.inf")],
    check=check_models_fallback, host=False, arches=("x86",), x86_as=("win2k", "winxp", "win2003"))


def check_class_params(r, c):
    # Windows: TRUE.  Wine: FALSE, and the last error keeps the value set
    # before the call.
    c.eq(c.output(0).split(), ["result", "0", "last_error", "0x5EED5EED"], "SetupDiSetClassInstallParamsW")
    # Windows: TRUE (the class installer restarts the device).  Wine: FALSE
    # with ERROR_DI_DO_DEFAULT.
    c.eq(c.output(1).split(), ["result", "0", "last_error", "0xE000020E"], "DIF_PROPERTYCHANGE")


scenario(
    name="wine-class-installer",
    title="Wine: SetupDiSetClassInstallParamsW fails without an error, DIF_PROPERTYCHANGE fails",
    machine={"os": GEN10, "devices": [
        {"class": "scsiadapter", "instance_id": "PCI\\VEN_1E37&DEV_0054\\4&2A6F1C3&0&00A8",
         "hardware_ids": ["PCI\\VEN_1E37&DEV_0054"], "description": "Tessella SAS Adapter"}]},
    steps=[Step(wine_program=["C:\\tools\\wdev.exe", "probe-classparams", "scsiadapter"]),
           Step(wine_program=["C:\\tools\\wdev.exe", "probe-propchange", "scsiadapter"])],
    check=check_class_params, host=False, arches=BOTH)


def check_device_properties(r, c):
    # The status query answers CR_SUCCESS but leaves both outputs as they
    # were; the enumerator property is refused without a last error.
    # Device instance handles are the devices' places in the set, from 0;
    # Windows never hands out 0 for a device.
    c.eq(re.findall(r"devinst (0x[0-9A-F]+)", c.output(0)), ["0x00000000", "0x00000001"], "DevInst of the two devices")
    for instance in ("PCI\\VEN_1E37&DEV_0054\\4&2A6F1C3&0&00A8", "ROOT\\MPIO\\0000"):
        c.eq(r.status_probe.get(instance), (0, 0xA5A5A5A5, 0xA5A5A5A5), "CM_Get_DevNode_Status of " + instance)
        c.true("  enumerator error unset" in c.output(0).split("device " + instance)[1].split("device ")[0],
               "SPDRP_ENUMERATOR_NAME of %s should fail with no last error" % instance)


scenario(
    name="wine-device-status",
    title="Wine: DevInst counts from 0; CM_Get_DevNode_Status writes nothing; no enumerator name",
    machine={"os": GEN10, "devices": [
        {"class": "scsiadapter", "instance_id": "PCI\\VEN_1E37&DEV_0054\\4&2A6F1C3&0&00A8",
         "hardware_ids": ["PCI\\VEN_1E37&DEV_0054"], "description": "Tessella SAS Adapter"},
        {"class": "scsiadapter", "instance_id": "*MPIO", "hardware_ids": ["ROOT\\MPIO"],
         "description": "Multi-Path Support"}]},
    steps=[Step(wine_program=["C:\\tools\\wdev.exe", "show", "scsiadapter"])],
    check=check_device_properties, host=False, arches=BOTH)


def check_delreg(r, c):
    # [OneLine] takes "BB" out of AA BB CC: Windows stores AA CC (14 bytes);
    # Wine stores the right text but only half of its bytes.
    c.eq(c.output(0).split(), ["result", "1", "last_error", "0x00000000"], "[OneLine] installed")
    c.eq(c.output(1).splitlines()[1], "type 7 size 7 hex 41004100000043", "First after [OneLine]")
    # Taking the only entry out of AA: Windows leaves the empty list (2
    # bytes); 64-bit Wine stores 1 byte, 32-bit Wine 3, the last one whatever
    # lay behind the value.
    single = {"x64": "type 7 size 1 hex 00", "x86": "type 7 size 3 hex 0000[0-9A-F]{2}"}[r.arch]
    c.true(re.fullmatch(single, c.output(1).splitlines()[3]), "Single after [OneLine]: expected %r, got %r" % (
        single, c.output(1).splitlines()[3]))
    # [TwoLines] on one value: the process faults.
    c.true(c.r.exit_codes[2] in (0xC0000005, "timeout"), "[TwoLines] should crash, ended %r" % (c.r.exit_codes[2],))
    c.true("Unhandled page fault" in r.stderr, "no page fault reported on stderr")


scenario(
    name="wine-delreg-delete-string",
    title="Wine: a DelReg delete-string line halves the value; two lines on one value crash",
    machine={"os": GEN10, "registry": {"SYSTEM\\CurrentControlSet\\Control\\MPDEV": {"values": {
        "First": multi_sz("AA", "BB", "CC"), "Second": multi_sz("AA", "BB", "CC"), "Single": multi_sz("AA")}}}},
    package=PROBE,
    steps=[Step(wine_program=["C:\\tools\\wdev.exe", "probe-section", "C:\\work\\pkg\\registry.inf", "OneLine"]),
           Step(wine_program=["C:\\tools\\wreg.exe", "value", "SYSTEM\\CurrentControlSet\\Control\\MPDEV", "First",
                              "value", "SYSTEM\\CurrentControlSet\\Control\\MPDEV", "Single"]),
           Step(program=["C:\\tools\\wdev.exe", "probe-section", "C:\\work\\pkg\\registry.inf", "TwoLines"],
                wait_ms=3000)],
    check=check_delreg, host=False, arches=BOTH)


def check_append(r, c):
    # Windows creates an absent value (and its key) for an append line; Wine
    # writes nothing.  Appending to a present value works on both.
    c.eq(c.output(0).split(), ["result", "1", "last_error", "0x00000000"], "[AppendAbsent] installed")
    c.eq(c.output(1).split(), ["result", "1", "last_error", "0x00000000"], "[AppendExisting] installed")
    c.eq(r.value("SYSTEM\\CurrentControlSet\\Control\\SuiteProbe", "Third"), ("error", 2), "Third after the append")
    c.eq(r.value("SYSTEM\\CurrentControlSet\\Control\\MPDEV", "First"),
         (7, "AA\0BB\0DD\0\0".encode("utf-16-le")), "First after the append")


scenario(
    name="wine-addreg-append",
    title="Wine: an AddReg append line (0x10008) does not create an absent value",
    machine={"os": GEN10, "registry": {"SYSTEM\\CurrentControlSet\\Control\\MPDEV": {"values": {
        "First": multi_sz("AA", "BB")}}}},
    package=PROBE,
    steps=[Step(wine_program=["C:\\tools\\wdev.exe", "probe-section", "C:\\work\\pkg\\registry.inf", "AppendAbsent"]),
           Step(wine_program=["C:\\tools\\wdev.exe", "probe-section", "C:\\work\\pkg\\registry.inf",
                              "AppendExisting"])],
    values=[("SYSTEM\\CurrentControlSet\\Control\\SuiteProbe", "Third"), ("SYSTEM\\CurrentControlSet\\Control\\MPDEV", "First")],
    check=check_append, host=False, arches=BOTH)


def check_copy_oem(r, c):
    # Windows publishes the INF as oem<N>.inf; Wine keeps its own name.
    out = c.output(0).splitlines()
    c.eq(out[:2], ["result 1", "last_error 0x00000000"], "SetupCopyOEMInfW")
    c.eq(out[2] if len(out) > 2 else None, "destination C:\\windows\\inf\\probe.inf", "published name")
    c.true("probe.inf" in r.inf_store, "probe.inf not in the INF store")


scenario(
    name="wine-copy-oem-inf",
    title="Wine: SetupCopyOEMInfW keeps the INF's own name in the store",
    machine={"os": GEN10}, package=PROBE,
    steps=[Step(wine_program=["C:\\tools\\wdev.exe", "probe-copyoem", "C:\\work\\pkg\\probe.inf"])],
    check=check_copy_oem, host=False, arches=BOTH)


def check_messages(r, c):
    # The texts for 2 and 87 and the absence of one for 0x20B, as Wine gives
    # them; Windows says "The system cannot find the file specified." and
    # "The parameter is incorrect.".
    texts = [bytes.fromhex(c.output(i).split()[1]).decode() if c.output(i).startswith("text") else c.output(i).strip()
             for i in range(3)]
    c.eq(texts[0], "File not found.\r\n", "text of 2")
    c.eq(texts[1], "Invalid parameter.\r\n", "text of 87")
    c.eq(texts[2].split()[0], "none", "text of 0x20B")


scenario(
    name="wine-message-texts",
    title="Wine: FormatMessageW's texts are Wine's own, not Windows'",
    machine={"os": GEN10},
    steps=[Step(wine_program=["C:\\tools\\wdev.exe", "probe-message", "2"]),
           Step(wine_program=["C:\\tools\\wdev.exe", "probe-message", "87"]),
           Step(wine_program=["C:\\tools\\wdev.exe", "probe-message", "0x20B"])],
    check=check_messages, host=False, arches=BOTH)


# ---------------------------------------------------------------------------
# Health check
# ---------------------------------------------------------------------------

def check_gen6(r, c):
    c.exits(1)
    c.log(BANNER, "CheckInstallMPIO: install condition 1\n")


scenario(
    name="check-win10",
    title="-c on 10.0 reports condition 1 without looking at any device",
    machine={"os": GEN10, "devices": ADAPTERS + [bus_device("ROOT\\MPIO", status="0x0180210A")]},
    steps=[Step(["-c"])], check=check_gen6)


def system_walk_tail(start):
    records = []
    for i, description in enumerate(WINE_SYSTEM_DEVICES):
        records += [try_entry(start + i), "Device Desc: %s\n" % description]
    return records


def check_gen5(r, c):
    c.exits(1)
    c.log(BANNER, "Check MPIO, please wait ...\n",
          try_entry(0), "Device Desc: Quorvex Lumenstride FC Host Adapter\n",
          try_entry(1), "Device Desc: Tessella SAS Adapter\n",
          try_entry(2), "Device Desc: Multi-Path Support\n", "MPIO Checked\n", WINE_STATUS, "MPIO Good\n",
          "Check DSM, please wait ...\n",
          try_entry(0), "Device Desc: %s\n" % DSM_DESCRIPTION, "DSM Checked\n", WINE_STATUS, "DSM Good\n",
          *system_walk_tail(1),
          "CheckInstallMPIO: install condition 1\n")


scenario(
    name="check-xp",
    title="-c on 5.2 finds the bus device and the DSM by description and judges both good",
    machine={"os": GEN5, "devices": ADAPTERS + [bus_device("Detected\\MPIO"), dsm_device()]},
    steps=[Step(["-c"])], check=check_gen5,
    # The host reports the devices' real status (started, driver loaded).
    allow=[lines(DEVNODE_STATUS, [STATUS_LINE], [STATUS_LINE.replace("[0-9A-F]{8}", "00000000")])], arches=BOTH)


scenario(
    name="check-win2k-dsm-pending",
    title="-c on 5.0 with the DSM marked for removal (Windows: condition 0; Wine cannot show the mark)",
    machine={"os": GEN5_2K, "devices": ADAPTERS + [bus_device("Detected\\MPIO"),
                                                  dsm_device(status="0x0004000A")]},
    # Windows would show the DSM's pending removal and answer 0; Wine's status
    # query leaves the status at 0, so the DSM is judged good, as in check-xp.
    steps=[Step(["-c"])], check=check_gen5,
    allow=[lines(DEVNODE_STATUS, [STATUS_LINE], [STATUS_LINE.replace("[0-9A-F]{8}", "00000000")]),
           lines(DEVNODE_STATUS, [r"Driver Status: ulStatus = 0x0004000A, ulProblem = 0x00000000", "DSM Bad"],
                 [STATUS_LINE.replace("[0-9A-F]{8}", "00000000"), "DSM Good"]),
           lines(DEVNODE_STATUS, ["CheckInstallMPIO: install condition 0"], ["CheckInstallMPIO: install condition 1"]),
           exits(DEVNODE_STATUS, [0], [1])], arches=BOTH)


# ---------------------------------------------------------------------------
# Install
# ---------------------------------------------------------------------------

PACKAGE = Package()
INSTALL_ARGS = ["-i", "{pkg}", "qvxdsm.inf", "Root\\QVXDSM"]
UNINSTALL_ARGS = ["-u", "{pkg}", "qvxdsm.inf", "Root\\QVXDSM"]
REINSTALL_ARGS = ["-r", "{pkg}", "qvxdsm.inf", "Root\\QVXDSM"]
INSTALL_VALUES = [MPDEV_LIST, UPPER_FILTERS]


STANDIN_CONFIG_FLAGS = "S1 stand-in keeps CONFIGFLAG_REINSTALL after a driver install (reported)"
OTHER_ENTRY = "KESTRELXVAULT-7         "      # a vendor whose arrays this machine has none of


def append_absent(value):
    """W9: the value an INF appends to does not exist beforehand; Wine leaves it absent."""
    key = "\\".join(value).upper()
    return Allow(APPEND, "value", lambda k, hw: k == key and hw[1] == ("error", 2) and hw[0][0] == 7)


def mpdev_list(*entries):
    return {MPDEV_LIST[0]: {"values": {MPDEV_LIST[1]: multi_sz(*entries)}}}


def claimed(ids):
    return [("MPIODisk" if i == "GenDisk" else i) for i in ids]


def multi_sz_bytes(*strings):
    return "".join(s + "\0" for s in strings).encode("utf-16-le") + b"\0\0"


def reinstall_flag_kept(host, wine):
    # The stand-in leaves CONFIGFLAG_REINSTALL set on the disks the driver was
    # installed on; Wine (and, as far as we know, Windows) clears it.
    def strip(devices):
        return [dict(d, config_flags=(d["config_flags"] & ~0x20) if d["config_flags"] else d["config_flags"])
                for d in devices]
    return host != wine and strip(host) == strip(wine)


GEN5_INSTALL_LOG = [
    BANNER,
    "\nInstalling the Multi-Path Adapter Filter and Multi-Path Bus Driver...\n", "\nSuccess \n",
    "\nInstalling the Device Specific Module...\n", "\nSuccess \n",
    "\nInstalling the Multi-Path Device Driver...\n", try_entry(0), try_entry(1), try_entry(2), "Success \n",
    "\nRestarting all SCSI adapters...\n"]


def check_install_xp(r, c):
    c.exits(0)
    c.log(*GEN5_INSTALL_LOG, try_entry(0), "HWID:Detected\\MPIO\n", "Skipped\n", "Success \n")
    c.console(0, *GEN5_INSTALL_LOG, try_entry(0), "HWID:Detected\\MPIO\n", "Skipped\n", "Success \n")
    # The listed disks carry "MPIODisk" in place of "GenDisk" and have the
    # disk driver; the other vendor's disk is untouched.
    for instance in (QUORVEX_DISK_0, QUORVEX_DISK_1):
        d = c.device(instance)
        if d:
            c.eq(d.hardware_ids, claimed(QUORVEX_IDS), instance + " hardware IDs")
            c.eq(d.service, "mpdev", instance + " service")
    d = c.device(TESSELLA_DISK)
    if d:
        c.eq((d.hardware_ids, d.config_flags, d.service), (TESSELLA_IDS, 0, None), "the other vendor's disk")
    c.eq(c.device("ROOT\\MPIO\\0000").service, "mpio", "bus device driver")
    c.eq(c.device("ROOT\\MPIO\\0001").service, "qvxdsm", "DSM device driver")
    # The DSM's array is appended to the list, the filter to the class's filters.
    c.value(MPDEV_LIST, 7, multi_sz_bytes(OTHER_ENTRY, QUORVEX_ENTRY))
    c.value(UPPER_FILTERS, 7, multi_sz_bytes("tsasflt", "mpfilt"))
    c.eq(sorted(r.files), ["mpdev.sys", "mpfilt.sys", "mpio.sys", "qvxdsm.sys"], "driver files")
    # Windows publishes the disk driver's INF as oem<N>.inf; Wine keeps its name (W7).
    c.true("mpdev.inf" in r.inf_store, "mpdev.inf not in the INF store")


def gen5_installed_machine(os_info, adapters=(), extra_registry=None):
    registry = mpdev_list(OTHER_ENTRY)
    registry[UPPER_FILTERS[0]] = {"values": {UPPER_FILTERS[1]: multi_sz("tsasflt")}}
    registry.update(extra_registry or {})
    return {"os": os_info,
            "devices": list(adapters) + DISKS + [bus_device("Detected\\MPIO", config_flags=0),
                                                 dsm_device(config_flags=0)],
            "registry": registry}


# The example package as a Windows machine may have stored it: the driver
# files and mpio.inf in capitals, while the INFs and the command line name
# them in lower case.  Windows and Wine look names up without regard to case.
CASE_PACKAGE = Package(rename={"mpio.inf": "MPIO.INF", "mpio.sys": "MPIO.SYS", "mpfilt.sys": "MPFILT.SYS",
                               "mpdev.sys": "MPDEV.SYS", "qvxdsm.sys": "QVXDSM.SYS"})

for name, title, package in [
        ("install-xp", "-i on 5.2 with the bus and DSM devices present: drivers, disk claim, restart", PACKAGE),
        ("install-xp-case", "-i on 5.2 from a package whose file names differ from its INFs' in case: installed"
         " as named by the INFs", CASE_PACKAGE)]:
    scenario(name=name, title=title, machine=gen5_installed_machine(GEN5), package=package, steps=[Step(INSTALL_ARGS)],
             values=INSTALL_VALUES, check=check_install_xp,
             allow=[Allow(STANDIN_CONFIG_FLAGS, "devices", reinstall_flag_kept)], arches=BOTH)


def check_install_adapters(r, c):
    # Restarting the first PCI adapter: SetupDiSetClassInstallParamsW fails
    # without an error of its own (W2), so the step reports the error an
    # earlier call of Wine's left behind (183, ERROR_ALREADY_EXISTS).  Windows
    # restarts both adapters and the install succeeds.
    c.exits(MINUS_ONE)
    c.log(*GEN5_INSTALL_LOG, try_entry(0), *hwid_lines(QUORVEX_FC), "Failure.", Err(183))


scenario(
    name="install-xp-adapter-restart",
    title="-i on 5.2 with PCI adapters: Wine cannot restart them (W2), the step fails",
    machine=gen5_installed_machine(GEN5, ADAPTERS),
    package=PACKAGE, steps=[Step(INSTALL_ARGS)], values=INSTALL_VALUES, check=check_install_adapters,
    allow=[Allow(STANDIN_CONFIG_FLAGS, "devices", reinstall_flag_kept),
           any_lines(CLASS_PARAMS, [r"!!TRY ENTRY \d\.", r"HWID:.*", "Skipped", "Success "],
                     [r"Failure\.(?:\[TS\])? <MSG>\r", "", r" Error code \(0x000000b7\)"]),
           exits(CLASS_PARAMS, [0], [255])], arches=BOTH)


def check_install_fresh(r, c):
    # No device has either hardware ID yet.  Windows: the driver updates fail
    # with ERROR_NO_SUCH_DEVINST, the installer creates the root devices
    # ROOT\MPIO\0000 and 0001 and installs on them, and the DSM's INF adds its
    # array to the list.  Wine's driver update reports success without any
    # device (W1): no root device is made, no driver installed, so the list
    # never appears and the disk driver step fails with 2.
    c.exits(MINUS_ONE)
    c.log(BANNER, "\nInstalling the Multi-Path Adapter Filter and Multi-Path Bus Driver...\n", "\nSuccess \n",
          "\nInstalling the Device Specific Module...\n", "\nSuccess \n",
          "\nInstalling the Multi-Path Device Driver...\n", "Failure.", Err(2))
    c.no_device("ROOT\\MPIO\\0000")
    c.no_device("ROOT\\MPIO\\0001")
    c.eq(r.files, set(), "driver files")


scenario(
    name="install-xp-fresh",
    title="-i on 5.2 with no bus or DSM device: Wine makes no root device (W1), the disk step fails",
    machine={"os": GEN5, "devices": DISKS},
    package=PACKAGE, steps=[Step(INSTALL_ARGS)], values=INSTALL_VALUES, check=check_install_fresh, host=False,
    arches=BOTH)


# A disk driver INF with no model for "MPIODisk": nothing can be installed on
# the claimed disks, so what the claim wrote stays visible.  Windows' driver
# update fails then; Wine's reports success (W1).
def _example_inf(name):
    with open(EXAMPLE_PACKAGE + "/" + name) as f:
        return f.read()


NO_MODEL_MPDEV = Package(replace={"mpdev.inf": _example_inf("mpdev.inf").replace("MpdevInstall, MPIODisk",
                                                                                  "MpdevInstall, SCSI\\MPIOOtherDisk")})


def check_disk_claim(r, c):
    c.exits(0)
    c.log(*GEN5_INSTALL_LOG, try_entry(0), "HWID:Detected\\MPIO\n", "Skipped\n", "Success \n")
    for instance in (QUORVEX_DISK_0, QUORVEX_DISK_1):
        d = c.device(instance)
        if d:
            c.eq(d.hardware_ids, claimed(QUORVEX_IDS), instance + " hardware IDs")
            c.eq(d.config_flags, 0x20, instance + " configuration flags (CONFIGFLAG_REINSTALL)")
            c.eq(d.service, None, instance + " service")
    d = c.device(TESSELLA_DISK)
    if d:
        c.eq((d.hardware_ids, d.config_flags), (TESSELLA_IDS, 0), "the other vendor's disk")


scenario(
    name="disk-claim-xp",
    title="-i on 5.2: the claim rewrites GenDisk to MPIODisk and sets CONFIGFLAG_REINSTALL",
    machine=gen5_installed_machine(GEN5),
    package=NO_MODEL_MPDEV, steps=[Step(INSTALL_ARGS)], values=INSTALL_VALUES, check=check_disk_claim,
    allow=[any_lines(UPDATE_DRIVER, [r"Failure\.(?:\[TS\])? <MSG>\r", "", r" Error code \(0xe0000228\)"],
                     ["Success ", "", r"Restarting all SCSI adapters\.\.\.", r"!!TRY ENTRY 0\.", r"HWID:Detected\\MPIO",
                      "Skipped"]),
           exits(UPDATE_DRIVER, [255], [0])], arches=BOTH)


# ---------------------------------------------------------------------------
# Install on 6 and later: the multipath feature
# ---------------------------------------------------------------------------

GEN6_DSM_LOG = [BANNER, "\nInstalling the Device Specific Module...\n", "\nSuccess \n"]
RESTART_BUS_ONLY = ["\nRestarting all SCSI adapters...\n", try_entry(0), "HWID:ROOT\\MPIO\n", "Skipped\n",
                    "Success \n"]
FEATURE_ON = "DISM.exe /online /norestart /enable-feature:MultipathIo"
FEATURE_OFF = "DISM.exe /online /norestart /disable-feature:MultipathIo"
INSTALLING_OC = Console("\nInstalling the MPIO OC. This may take some time, please be patient...\n")
UNINSTALLING_OC = Console("\nUninstalling the MPIO OC. This may take some time, please be patient...\n")


def gen6_machine(os_info, dism_status, bus=False, **extra):
    devices = [dsm_device(config_flags=0)]
    if bus:
        devices.append(bus_device("ROOT\\MPIO", config_flags=0))
    machine = {"os": os_info, "devices": devices + DISKS, "dism": {"exit_status": dism_status}}
    machine.update(extra)
    return machine


def check_feature_on(r, c):
    c.exits(0)
    c.dism(FEATURE_ON)
    c.log(*GEN6_DSM_LOG, *RESTART_BUS_ONLY)
    c.console(0, BANNER, INSTALLING_OC, Console("Success \n"), *GEN6_DSM_LOG[1:], *RESTART_BUS_ONLY)
    c.eq(c.device("ROOT\\MPIO\\0000").hardware_ids, ["ROOT\\MPIO"], "the bus device the feature brought")
    c.eq(c.device("ROOT\\MPIO\\0001").service, "qvxdsm", "DSM device driver")


scenario(
    name="install-win10-feature",
    title="-i on 10.0 without the bus device: feature switched on (0), DSM installed, restart",
    machine=gen6_machine(GEN10, 0), package=PACKAGE, steps=[Step(INSTALL_ARGS)], values=[MPDEV_LIST],
    check=check_feature_on, allow=[append_absent(MPDEV_LIST)])


def check_feature_on_reboot(r, c):
    c.exits(1)
    c.dism(FEATURE_ON)
    c.log(*GEN6_DSM_LOG)
    c.console(0, BANNER, INSTALLING_OC, Console("Success (but need a reboot)\n"), *GEN6_DSM_LOG[1:])
    c.no_device("ROOT\\MPIO\\0000")


scenario(
    name="install-win7-feature-reboot",
    title="-i on 6.1: the feature command answers 3010, exit 1, no restart",
    machine=gen6_machine(GEN6, 3010), package=PACKAGE, steps=[Step(INSTALL_ARGS)], values=[MPDEV_LIST],
    check=check_feature_on_reboot, allow=[append_absent(MPDEV_LIST)])


def check_feature_on_fails(r, c):
    c.exits(MINUS_ONE)
    c.dism(FEATURE_ON)
    c.log(BANNER, Err(87))
    c.console(0, BANNER, INSTALLING_OC, Console("Failure."), Err(87))
    c.eq(c.device("ROOT\\MPIO\\0001").service, None, "DSM device driver")


scenario(
    name="install-win10-feature-fails",
    title="-i on 10.0: the feature command fails with 87, the DSM is not installed",
    machine=gen6_machine(GEN10, 87), package=PACKAGE, steps=[Step(INSTALL_ARGS)], values=[MPDEV_LIST],
    check=check_feature_on_fails)


def check_bus_present(r, c):
    c.exits(0)
    c.dism()
    c.log(BANNER, try_entry(0), *GEN6_DSM_LOG[1:], *RESTART_BUS_ONLY)


scenario(
    name="install-win10-bus-present",
    title="-i on 10.0 with the bus device present: no feature command, DSM, restart",
    machine=gen6_machine(GEN10, 0, bus=True), package=PACKAGE, steps=[Step(INSTALL_ARGS)], values=[MPDEV_LIST],
    check=check_bus_present, allow=[append_absent(MPDEV_LIST)])


def check_missing_source(r, c):
    c.exits(MINUS_ONE, MINUS_ONE)
    c.log(BANNER, "Unable to validate the source path.", Err(2),
          BANNER, "Unable to validate the source path.", Err(2), "Failure.", Err(2))
    c.dism()


scenario(
    name="missing-source-path",
    title="-i and -u with a source path that does not exist: validation failure, exit -1",
    machine=gen6_machine(GEN10, 0), package=PACKAGE,
    steps=[Step(["-i", "{work}\\nopkg", "qvxdsm.inf", "Root\\QVXDSM"]),
           Step(["-u", "{work}\\nopkg", "qvxdsm.inf", "Root\\QVXDSM"])],
    check=check_missing_source)


# ---------------------------------------------------------------------------
# Uninstall
# ---------------------------------------------------------------------------

CLAIMED_DISKS = [disk(QUORVEX_DISK_0, claimed(QUORVEX_IDS), "Multi-Path Disk Device"),
                 disk(QUORVEX_DISK_1, claimed(QUORVEX_IDS), "Multi-Path Disk Device"),
                 disk(TESSELLA_DISK, TESSELLA_IDS, "TESSELLA ORBIT-2 SCSI Disk Device")]
UNINSTALL_VALUES = [MPDEV_LIST, UPPER_FILTERS]


def uninstall_machine(os_info, list_entries, bus=None, dsm=True, others=(), filters=("tsasflt", "mpfilt"), **extra):
    devices = list(others)
    if bus:
        devices.append(bus_device(bus, config_flags=0))
    if dsm:
        devices.append(dsm_device(config_flags=0))
    registry = {}
    if list_entries is not None:
        registry.update(mpdev_list(*list_entries))
    if filters is not None:
        registry[UPPER_FILTERS[0]] = {"values": {UPPER_FILTERS[1]: multi_sz(*filters)}}
    machine = {"os": os_info, "devices": devices, "registry": registry}
    machine.update(extra)
    return machine


DSM_REMOVED_NO_DEVICE = [BANNER, "\nUninstalling the Device Specific Module...\n", try_entry(0), try_entry(1),
                         "Success\n", "Success \n"]
REBUILD = ["\nRebuilding the storage stack...\n", "Success \n"]
DISK_DRIVER_STEP = "\nUninstalling the Multi-Path Device Driver.This may take a few minutes..\n"


def wine_cut(value):
    """W6: Wine's own delete-string line stored the list with a wrong byte count."""
    key = "\\".join(value).upper()
    return Allow(DELREG, "value", lambda k, hw: k == key and hw[0][0] == 7 and hw[1][0] == 7 and hw[0] != hw[1])


STALE_FAILURE = [r"Failure\.(?:\[TS\])? <MSG>\r", "", r" Error code \(0x000000b7\)"]


def check_dsm_device(r, c):
    # Removing the DSM device: SetupDiSetClassInstallParamsW fails without an
    # error (W2), so the step fails with the error an earlier call left (183).
    c.exits(MINUS_ONE)
    c.log(BANNER, "\nUninstalling the Device Specific Module...\n", try_entry(0), "Failure.", Err(183),
          "Failure.", Err(183))
    c.true(c.device("ROOT\\MPIO\\0001") is not None, "the DSM device should still be there")
    c.value(MPDEV_LIST, 7, multi_sz_bytes(OTHER_ENTRY, QUORVEX_ENTRY))


scenario(
    name="uninstall-xp-dsm-device",
    title="-u on 5.2 with the DSM device: Wine cannot remove it (W2), the step fails",
    machine=uninstall_machine(GEN5, [OTHER_ENTRY, QUORVEX_ENTRY], bus="Detected\\MPIO", others=CLAIMED_DISKS),
    package=PACKAGE, steps=[Step(UNINSTALL_ARGS)], values=UNINSTALL_VALUES, check=check_dsm_device,
    twin_allow=TWIN_NO_ENUMERATOR,
    allow=[any_lines(CLASS_PARAMS, [r"!!TRY ENTRY \d\.", "Success ?", "", DISK_DRIVER_STEP.strip().replace(".", r"\.")],
                     STALE_FAILURE),
           any_lines(CLASS_PARAMS, [r"!!TRY ENTRY \d\.", "Success ?", "", DISK_DRIVER_STEP.strip().replace(".", r"\.")],
                     STALE_FAILURE + [r"Failure\. <MSG>\r"]),
           exits(CLASS_PARAMS, [0], [255]),
           Allow(CLASS_PARAMS, "devices", lambda h, w: True),
           Allow(CLASS_PARAMS, "value", lambda k, hw: k == "\\".join(MPDEV_LIST).upper())], arches=BOTH)


def check_release_disks(r, c):
    # The listed entry is gone, so the claimed disks are released: the
    # enumerator name cannot be read (W5) and the step fails with the error an
    # earlier call left (183).
    c.exits(MINUS_ONE)
    c.log(*DSM_REMOVED_NO_DEVICE, DISK_DRIVER_STEP, try_entry(0), "Failure.", Err(183), "Failure.", Err(183))


scenario(
    name="uninstall-xp-release-disks",
    title="-u on 5.2, DSM device gone, claimed disks: no enumerator name (W5), the release fails",
    machine=uninstall_machine(GEN5, [OTHER_ENTRY, QUORVEX_ENTRY], bus="Detected\\MPIO", dsm=False,
                              others=CLAIMED_DISKS),
    package=PACKAGE, steps=[Step(UNINSTALL_ARGS)], values=UNINSTALL_VALUES, check=check_release_disks,
    twin_allow=TWIN_NO_ENUMERATOR,
    allow=[any_lines(ENUMERATOR, [r"!!TRY ENTRY \d\.", "Success "], STALE_FAILURE + [r"Failure\. <MSG>\r"]),
           exits(ENUMERATOR, [0], [255]),
           Allow(ENUMERATOR, "devices", lambda h, w: True),
           wine_cut(MPDEV_LIST)], arches=BOTH)


def check_win2k_list_remains(r, c):
    c.exits(0)
    c.log(*DSM_REMOVED_NO_DEVICE, DISK_DRIVER_STEP, "Success \n")
    # On 5.0 the installer takes the DSM's entry out itself after the
    # uninstall section ran, which puts right what Wine's own delete-string
    # line cut (W6).
    c.value(MPDEV_LIST, 7, multi_sz_bytes(OTHER_ENTRY))
    c.value(UPPER_FILTERS, 7, multi_sz_bytes("tsasflt", "mpfilt"))


scenario(
    name="uninstall-win2k-list-remains",
    title="-u on 5.0: the installer takes the DSM's entry out of the list itself; the bus stays",
    machine=uninstall_machine(GEN5_2K, [OTHER_ENTRY, QUORVEX_ENTRY], dsm=False),
    package=PACKAGE, steps=[Step(UNINSTALL_ARGS)], values=UNINSTALL_VALUES, check=check_win2k_list_remains, arches=BOTH)


def check_win2k_all(r, c):
    c.exits(0)
    c.log(*DSM_REMOVED_NO_DEVICE, DISK_DRIVER_STEP, "Success\n", "Success \n",
          "\nUninstalling the Multi-Path Bus Driver...\n", "Success\n", "Success \n")
    c.value(MPDEV_LIST, 7, b"\0\0")
    c.value(UPPER_FILTERS, 7, multi_sz_bytes("tsasflt"))


scenario(
    name="uninstall-win2k-all",
    title="-u on 5.0 with the list emptied: disk and bus drivers uninstalled, filter list cleaned",
    machine=uninstall_machine(GEN5_2K, [QUORVEX_ENTRY], dsm=False),
    package=PACKAGE, steps=[Step(UNINSTALL_ARGS)], values=UNINSTALL_VALUES, check=check_win2k_all, arches=BOTH)


GEN6_UNINSTALL_LOG = DSM_REMOVED_NO_DEVICE + REBUILD


def check_feature_off(r, c):
    c.exits(0)
    c.dism(FEATURE_OFF)
    c.log(*GEN6_UNINSTALL_LOG, try_entry(0))
    c.console(0, *GEN6_UNINSTALL_LOG, try_entry(0), UNINSTALLING_OC, Console("Success \n"))
    c.no_device("ROOT\\MPIO\\0000")


scenario(
    name="uninstall-win10-feature",
    title="-u on 10.0, list emptied: feature switched off (0), the bus device goes",
    machine=uninstall_machine(GEN10, [QUORVEX_ENTRY], bus="ROOT\\MPIO", dsm=False, filters=None,
                              dism={"exit_status": 0, "on_disable": "remove"}),
    package=PACKAGE, steps=[Step(UNINSTALL_ARGS)], values=[MPDEV_LIST], check=check_feature_off,
    allow=[wine_cut(MPDEV_LIST)])


def check_bus_stays(r, c):
    c.exits(MINUS_ONE)
    c.dism(FEATURE_OFF)
    c.log(*GEN6_UNINSTALL_LOG, try_entry(0), try_entry(1), try_entry(0), try_entry(1), Err(31), "Failure.", Err(31))
    c.console(0, *GEN6_UNINSTALL_LOG, try_entry(0), try_entry(1), UNINSTALLING_OC, try_entry(0), try_entry(1),
              Console("Failure."), Err(31), "Failure.", Err(31))


scenario(
    name="uninstall-win10-feature-bus-stays",
    title="-u on 10.0: feature switched off (0) but the bus device stays unmarked: 31",
    machine=uninstall_machine(GEN10, [QUORVEX_ENTRY], bus="ROOT\\MPIO", dsm=False, filters=None, others=[TESSELLA_SAS],
                              dism={"exit_status": 0, "on_disable": "keep"}),
    package=PACKAGE, steps=[Step(UNINSTALL_ARGS)], values=[MPDEV_LIST], check=check_bus_stays,
    allow=[wine_cut(MPDEV_LIST)])


def check_devinst_zero(r, c):
    # The bus device is the first SCSI adapter, so Wine hands it DevInst 0
    # (W10); the removal check takes 0 for "no device" and reports success.
    # Windows fails with 31 as in uninstall-win10-feature-bus-stays.
    c.exits(0)
    c.log(*GEN6_UNINSTALL_LOG, try_entry(0), try_entry(0))
    c.console(0, *GEN6_UNINSTALL_LOG, try_entry(0), UNINSTALLING_OC, try_entry(0), Console("Success \n"))


scenario(
    name="uninstall-win10-devinst-zero",
    title="-u on 10.0, bus device stays as the only adapter: DevInst 0 (W10) reads as gone",
    machine=uninstall_machine(GEN10, [QUORVEX_ENTRY], bus="ROOT\\MPIO", dsm=False, filters=None,
                              dism={"exit_status": 0, "on_disable": "keep"}),
    package=PACKAGE, steps=[Step(UNINSTALL_ARGS)], values=[MPDEV_LIST], check=check_devinst_zero,
    allow=[wine_cut(MPDEV_LIST), exits(DEVINST, [255], [0]),
           any_lines(DEVINST, ["", r" Error code \(0x0000001f\)", r"Failure\.(?:\[TS\])? <MSG>\r", r"(?:\[TS\])? <MSG>\r"],
                     ["", "Success "])])


def check_feature_off_reboot(r, c):
    c.exits(1)
    c.dism(FEATURE_OFF)
    c.log(*GEN6_UNINSTALL_LOG, try_entry(0))
    c.console(0, *GEN6_UNINSTALL_LOG, try_entry(0), UNINSTALLING_OC, Console("Success (but need a reboot)\n"))


scenario(
    name="uninstall-win7-feature-reboot",
    title="-u on 6.1: the feature command answers 3010, exit 1, no removal check",
    machine=uninstall_machine(GEN6, [QUORVEX_ENTRY], bus="ROOT\\MPIO", dsm=False, filters=None,
                              dism={"exit_status": 3010}),
    package=PACKAGE, steps=[Step(UNINSTALL_ARGS)], values=[MPDEV_LIST], check=check_feature_off_reboot,
    allow=[wine_cut(MPDEV_LIST)])


def check_feature_off_fails(r, c):
    c.exits(MINUS_ONE)
    c.dism(FEATURE_OFF)
    c.log(*GEN6_UNINSTALL_LOG, try_entry(0), Err(87), "Failure.", Err(87))
    c.console(0, *GEN6_UNINSTALL_LOG, try_entry(0), UNINSTALLING_OC, Console("Failure."), Err(87), "Failure.", Err(87))


scenario(
    name="uninstall-win10-feature-fails",
    title="-u on 10.0: the feature command fails with 87, reported twice",
    machine=uninstall_machine(GEN10, [QUORVEX_ENTRY], bus="ROOT\\MPIO", dsm=False, filters=None,
                              dism={"exit_status": 87}),
    package=PACKAGE, steps=[Step(UNINSTALL_ARGS)], values=[MPDEV_LIST], check=check_feature_off_fails,
    allow=[wine_cut(MPDEV_LIST)])


def check_list_remains(r, c):
    c.exits(0)
    c.dism()
    c.log(*GEN6_UNINSTALL_LOG)
    # Wine's delete-string line kept 26 of the 52 bytes (W6): the entry cut
    # short and not terminated.  The installer reads it without running past it.
    c.value(MPDEV_LIST, 7, OTHER_ENTRY[:13].encode("utf-16-le"))


scenario(
    name="uninstall-win10-list-remains",
    title="-u on 10.0 with another vendor's entry left: rebuild only, the feature stays",
    machine=uninstall_machine(GEN10, [OTHER_ENTRY, QUORVEX_ENTRY], bus="ROOT\\MPIO", dsm=False, filters=None),
    package=PACKAGE, steps=[Step(UNINSTALL_ARGS)], values=[MPDEV_LIST], check=check_list_remains,
    allow=[wine_cut(MPDEV_LIST)])


# ---------------------------------------------------------------------------
# Reinstall
# ---------------------------------------------------------------------------

PARAMETERS = [(MPIO_PARAMETERS_KEY, "PathVerifyEnabled"), (MPIO_PARAMETERS_KEY, "PDORemovePeriod")]


def check_reinstall(r, c):
    # The install succeeds, the timing parameters are written, and the box
    # that offers the reboot cannot be shown without a display: no OK, no
    # reboot, and the run still ends with -1.  That the exit code was
    # recorded at all shows that Wine was not shut down.
    c.exits(MINUS_ONE)
    c.log(BANNER, try_entry(0), *GEN6_DSM_LOG[1:], *RESTART_BUS_ONLY)
    c.value(PARAMETERS[0], 4, (1).to_bytes(4, "little"))
    c.value(PARAMETERS[1], 4, (120).to_bytes(4, "little"))
    c.dism()


scenario(
    name="reinstall-no-display",
    title="-r on 10.0 without a display: parameters written, the reboot box gives no OK, exit -1",
    machine=gen6_machine(GEN10, 0, bus=True), package=PACKAGE, steps=[Step(REINSTALL_ARGS)],
    values=[MPDEV_LIST] + PARAMETERS, check=check_reinstall, allow=[append_absent(MPDEV_LIST)], arches=BOTH)


def check_reinstall_gen5(r, c):
    # The install of install-xp, then the parameters; the reboot box gives
    # no OK without a display, and -r ends with -1 as always.
    c.exits(MINUS_ONE)
    c.log(*GEN5_INSTALL_LOG, try_entry(0), "HWID:Detected\\MPIO\n", "Skipped\n", "Success \n")
    c.value(PARAMETERS[0], 4, (1).to_bytes(4, "little"))
    c.value(PARAMETERS[1], 4, (120).to_bytes(4, "little"))
    c.value(MPDEV_LIST, 7, multi_sz_bytes(OTHER_ENTRY, QUORVEX_ENTRY))
    c.eq(sorted(r.files), ["mpdev.sys", "mpfilt.sys", "mpio.sys", "qvxdsm.sys"], "driver files")


scenario(
    name="reinstall-xp",
    title="-r on 5.2 with the bus and DSM devices present: the install, parameters written, exit -1",
    machine=gen5_installed_machine(GEN5), package=PACKAGE, steps=[Step(REINSTALL_ARGS)],
    values=INSTALL_VALUES + PARAMETERS, check=check_reinstall_gen5,
    allow=[Allow(STANDIN_CONFIG_FLAGS, "devices", reinstall_flag_kept)], arches=BOTH)


def check_reinstall_fails(r, c):
    c.exits(MINUS_ONE)
    c.log(BANNER, "Unable to validate the source path.", Err(2))
    c.no_value(PARAMETERS[0])
    c.no_value(PARAMETERS[1])


scenario(
    name="reinstall-failure",
    title="-r with a missing source path: the failure box, no parameters, exit -1",
    machine=gen6_machine(GEN10, 0, bus=True), package=PACKAGE,
    steps=[Step(["-r", "{work}\\nopkg", "qvxdsm.inf", "Root\\QVXDSM"])],
    values=PARAMETERS, check=check_reinstall_fails, arches=BOTH)
