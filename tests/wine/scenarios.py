"""The scenarios of the Wine suite."""

from scenario import (Allow, Package, Scenario, Step, lines, MPDEV_LIST, UPPER_FILTERS, MPIO_PARAMETERS_KEY)
from winesuite import Console, Err, LogOnly, multi_sz

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

GEN5_2K = {"major": 5, "minor": 0, "build": 2195, "csd": "Service Pack 4"}
GEN5 = {"major": 5, "minor": 2, "build": 3790, "csd": "Service Pack 2"}
GEN6 = {"major": 6, "minor": 1, "build": 7601, "csd": "Service Pack 1"}
GEN10 = {"major": 10, "minor": 0, "build": 17763, "csd": ""}

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

PROBE = Package(source=__import__("scenario").FIXTURES + "/probe")


def check_udpnpd(r, c):
    # 0: no device has the ID and the INF does not exist; 1: the same with an
    # install flag Windows rejects (ERROR_INVALID_FLAGS); 2: a device whose ID
    # differs from the INF's only in letter case.  Windows: FALSE with
    # ERROR_NO_SUCH_DEVINST (0xE000020B), FALSE with ERROR_INVALID_FLAGS
    # (1004), TRUE with the driver installed.
    for i in (0, 1, 2):
        c.eq(c.output(i).split(), ["result", "1", "reboot", "0x0", "last_error", "0x00000000"],
             "UpdateDriverForPlugAndPlayDevicesW probe %d" % i)
    lower = c.device("ROOT\\SYSTEM\\0000")
    if lower:
        c.eq(lower.service, None, "driver installed on the lower-case device")
    exact = c.device("ROOT\\SYSTEM\\0001")
    if exact:
        c.eq(exact.service, "probe", "driver installed on the exact-case device")


scenario(
    name="wine-update-driver",
    title="Wine: UpdateDriverForPlugAndPlayDevicesW succeeds without a device or INF, matches case",
    machine={"os": GEN10, "devices": [
        {"class": "system", "instance_id": "*SYSTEM", "hardware_ids": ["root\\probedev"]},
        {"class": "system", "instance_id": "*SYSTEM", "hardware_ids": ["Root\\PROBEDEV"]}]},
    package=PROBE,
    steps=[Step(wine_program=["C:\\tools\\wdev.exe", "probe-update", "Root\\NOSUCHDEV", "C:\\work\\pkg\\none.inf", "0"]),
           Step(wine_program=["C:\\tools\\wdev.exe", "probe-update", "Root\\NOSUCHDEV", "C:\\work\\pkg\\none.inf",
                              "0x80000000"]),
           Step(wine_program=["C:\\tools\\wdev.exe", "probe-update", "Root\\PROBEDEV", "C:\\work\\pkg\\probe.inf", "0"])],
    check=check_udpnpd, host=False)


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
    check=check_class_params, host=False)


def check_device_properties(r, c):
    # The status query answers CR_SUCCESS but leaves both outputs as they
    # were; the enumerator property is refused without a last error.
    for instance in ("PCI\\VEN_1E37&DEV_0054\\4&2A6F1C3&0&00A8", "ROOT\\MPIO\\0000"):
        c.eq(r.status_probe.get(instance), (0, 0xA5A5A5A5, 0xA5A5A5A5), "CM_Get_DevNode_Status of " + instance)
        c.true("  enumerator error unset" in c.output(0).split("device " + instance)[1].split("device ")[0],
               "SPDRP_ENUMERATOR_NAME of %s should fail with no last error" % instance)


scenario(
    name="wine-device-status",
    title="Wine: CM_Get_DevNode_Status writes nothing; SPDRP_ENUMERATOR_NAME fails, no error",
    machine={"os": GEN10, "devices": [
        {"class": "scsiadapter", "instance_id": "PCI\\VEN_1E37&DEV_0054\\4&2A6F1C3&0&00A8",
         "hardware_ids": ["PCI\\VEN_1E37&DEV_0054"], "description": "Tessella SAS Adapter"},
        {"class": "scsiadapter", "instance_id": "*MPIO", "hardware_ids": ["ROOT\\MPIO"],
         "description": "Multi-Path Support"}]},
    steps=[Step(wine_program=["C:\\tools\\wdev.exe", "show", "scsiadapter"])],
    check=check_device_properties, host=False)


def check_delreg(r, c):
    # [OneLine] takes "BB" out of AA BB CC: Windows stores AA CC (14 bytes);
    # Wine stores the right text but only half of its bytes.
    c.eq(c.output(0).split(), ["result", "1", "last_error", "0x00000000"], "[OneLine] installed")
    c.eq(c.output(1).splitlines()[1], "type 7 size 7 hex 41004100000043", "First after [OneLine]")
    # [TwoLines] on one value: the process faults.
    c.true(c.r.exit_codes[2] in (0xC0000005, "timeout"), "[TwoLines] should crash, ended %r" % (c.r.exit_codes[2],))
    c.true("Unhandled page fault" in r.stderr, "no page fault reported on stderr")


scenario(
    name="wine-delreg-delete-string",
    title="Wine: a DelReg delete-string line halves the value; two lines on one value crash",
    machine={"os": GEN10, "registry": {"SYSTEM\\CurrentControlSet\\Control\\MPDEV": {"values": {
        "First": multi_sz("AA", "BB", "CC"), "Second": multi_sz("AA", "BB", "CC")}}}},
    package=PROBE,
    steps=[Step(wine_program=["C:\\tools\\wdev.exe", "probe-section", "C:\\work\\pkg\\delreg.inf", "OneLine"]),
           Step(wine_program=["C:\\tools\\wreg.exe", "value", "SYSTEM\\CurrentControlSet\\Control\\MPDEV", "First"]),
           Step(program=["C:\\tools\\wdev.exe", "probe-section", "C:\\work\\pkg\\delreg.inf", "TwoLines"],
                wait_ms=3000)],
    check=check_delreg, host=False)


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
    check=check_copy_oem, host=False)


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
    check=check_messages, host=False)
