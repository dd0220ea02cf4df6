"""The package's facts, pkgcheck's verdict, and what a host has of the package.

pkgcheck (the Linux release's) reads the package: its --json run gives the
verdict, its --facts run the DSM's service, DriverVer and supported-device
strings.  capture.exe, run on the host, writes its machine description;
mpio_capture_state reads from it what the host has of the package: the DSM's
service and whether it is marked for deletion, the DSM device's driver
version, the supported-device list and, from Windows 6.1 on, the MultipathIo
feature.  mpio_host_plan compares the two and says whether install.exe is to
run.
"""

import json
import re

from ansible.errors import AnsibleFilterError

SERVICE_STATES = ("absent", "present", "marked for deletion")

# pkgcheck's warning on the example package's files, which carry its
# placeholder mark: "NAME is a placeholder, not a driver (...)" in the row
# driver-images, "... not a signed catalog (...)" in catalog-format; several
# files of one row are joined with "; ".
PLACEHOLDER_CHECKS = ("driver-images", "catalog-format")
PLACEHOLDER = re.compile(r"(?:^|; )([^;]+?) is a placeholder, not a (?:driver|signed catalog)\b")


def _json(text, what):
    try:
        return json.loads(text)
    except (TypeError, ValueError) as error:
        raise AnsibleFilterError("%s is not JSON (%s): %r" % (what, error, str(text)[:200]))


def mpio_pkgcheck_verdict(result):
    """{'errors': [...], 'warnings': [...], 'placeholders': [...]} of a
    registered `pkgcheck --json` run; a placeholder is "FILE [INF]", a file
    that pkgcheck knows as one of the example package's."""
    rc = result.get("rc")
    stderr = (result.get("stderr") or "").strip()
    if rc not in (0, 1):
        return {"errors": ["pkgcheck could not check the package (exit %s): %s" % (rc, stderr or result.get("msg", ""))],
                "warnings": [], "placeholders": []}
    report = _json(result.get("stdout"), "pkgcheck's report")
    verdict = {"errors": [], "warnings": [], "placeholders": []}
    for table in ("inf_checks", "lifecycle"):
        for finding in report.get(table, []):
            key = {"error": "errors", "warning": "warnings"}.get(finding.get("verdict"))
            if key:
                verdict[key].append("%s [%s]: %s" % (finding.get("title"), finding.get("column"), finding.get("reason")))
            if key == "warnings" and finding.get("check") in PLACEHOLDER_CHECKS:
                verdict["placeholders"] += ["%s [%s]" % (name.strip(), finding.get("column"))
                                            for name in PLACEHOLDER.findall(finding.get("reason") or "")]
    if rc == 1 and not verdict["errors"]:
        verdict["errors"].append("pkgcheck rejected the package")
    return verdict


def _version(text):
    """A DriverVer version as four numbers, so that 2.4.01 equals 2.4.1.0."""
    try:
        parts = [int(p) for p in str(text).strip().split(".")]
    except ValueError:
        return None
    if not 1 <= len(parts) <= 4:
        return None
    return tuple(parts + [0] * (4 - len(parts)))


def mpio_package_facts(stdout):
    """pkgcheck --facts, checked for what the state comparison needs."""
    facts = _json(stdout, "pkgcheck --facts")
    version = (facts.get("driver_ver") or {}).get("version")
    missing = []
    if not facts.get("dsm_service"):
        missing.append("the DSM's service (an AddService with flag 0x2 in its x64 install section)")
    if _version(version) is None:
        missing.append("a version in DriverVer (mm/dd/yyyy,w.x.y.z)")
    if not facts.get("supported_devices"):
        missing.append("a supported-device string")
    if missing:
        raise AnsibleFilterError("the DSM INF %s lacks %s: the role cannot tell whether a host has the package"
                                 % (facts.get("dsm_inf"), " and ".join(missing)))
    return facts


MPDEV = "SYSTEM\\CurrentControlSet\\Control\\MPDEV"


def mpio_capture_state(path, package, hwid):
    """What a host has of the package, from the capture (the file at path)
    that capture.exe wrote of it: generation and version, service (absent,
    present, marked for deletion), driver_version (of the first device with
    the DSM's hardware ID, as Windows matches IDs: without case), the
    supported-device list and multipath_feature (None before 6.1, where
    Windows has no DISM.exe and capture.exe reads no feature)."""
    try:
        with open(path, encoding="utf-8") as f:
            capture = json.load(f)
    except (OSError, ValueError) as error:
        raise AnsibleFilterError("cannot read the capture %s: %s" % (path, error))
    system = capture.get("os") or {}
    version = [int(system.get("major", 0)), int(system.get("minor", 0))]
    services = {name.lower(): value for name, value in (capture.get("services") or {}).items()}
    service = services.get(package["dsm_service"].lower())
    driver = next((d.get("driver_version") or None for d in capture.get("devices") or []
                   if hwid.lower() in [h.lower() for h in d.get("hardware_ids") or []]), None)
    registry = {key.lower(): value for key, value in (capture.get("registry") or {}).items()}
    values = (registry.get(MPDEV.lower()) or {}).get("values") or {}
    listed = next((v.get("data") for name, v in values.items() if name.lower() == "mpiosupporteddevicelist"), [])
    feature = None
    if version >= [6, 1]:
        feature = (capture.get("features") or {}).get("MultipathIo", "not read")
    return {"generation": version[0], "version": "%d.%d" % tuple(version),
            "service": "absent" if service is None else
            "marked for deletion" if service.get("marked_for_delete") else "present",
            "driver_version": driver, "supported_devices": listed if isinstance(listed, list) else [listed],
            "multipath_feature": feature,
            "unread": ["%s (error %s)" % (u.get("what"), u.get("error"))
                       for u in (capture.get("capture") or {}).get("unread") or []]}


def mpio_host_plan(state, package, action):
    """What to run on a host, from its state (mpio_capture_state) and the package's facts.

    install runs -i unless the package is installed at this version: the
    service present and not marked for deletion, the DSM device's driver at
    the package's DriverVer, every supported-device string in the list and,
    from 6.1 on, MultipathIo enabled (on 6.0 Multipath I/O is switched on
    by hand; install.exe then fails without it, which the twin shows).  uninstall runs -u where any of
    the package is left: the service (not only marked for deletion), a device
    with the DSM's driver, or one of its supported-device strings.
    """
    if action not in ("install", "uninstall"):
        raise AnsibleFilterError("mpio_action must be install or uninstall, not %r" % (action,))
    if not isinstance(state, dict):
        state = _json(state, "the host's state")
    service = state.get("service")
    if service not in SERVICE_STATES:
        raise AnsibleFilterError("the host's state gives the service as %r" % (service,))
    listed = state.get("supported_devices") or []
    if isinstance(listed, str):
        listed = [listed]
    generation = int(state.get("generation") or 0)
    strings = package["supported_devices"]
    driver = state.get("driver_version")

    found, missing = [], []
    (found if service == "present" else missing).append("service %s %s" % (package["dsm_service"], service))
    if driver is not None and _version(driver) == _version(package["driver_ver"]["version"]):
        found.append("driver %s" % driver)
    else:
        missing.append("driver %s (the package's is %s)" % (driver or "absent", package["driver_ver"]["version"]))
    absent = [s for s in strings if s not in listed]
    (missing if absent else found).append(
        "supported devices %s" % ("without " + ", ".join(repr(s) for s in absent) if absent else "listed"))
    feature = state.get("multipath_feature")
    if feature is not None:
        (found if feature == "Enabled" else missing).append("MultipathIo %s" % feature)

    left = service == "present" or driver is not None or any(s in listed for s in strings)
    if action == "install":
        run = bool(missing)
        summary = ("install: %s" % "; ".join(missing)) if run else "installed at %s" % package["driver_ver"]["version"]
    else:
        run = left
        summary = "uninstall: %s" % "; ".join(found) if run else "nothing of the package is installed"
        if not run and service == "marked for deletion":
            summary += " (its service goes at the next reboot)"
    return {"run": run, "switch": "-i" if action == "install" else "-u", "generation": generation,
            "found": found, "missing": missing, "summary": summary}


class FilterModule(object):
    def filters(self):
        return {"mpio_pkgcheck_verdict": mpio_pkgcheck_verdict, "mpio_package_facts": mpio_package_facts,
                "mpio_capture_state": mpio_capture_state, "mpio_host_plan": mpio_host_plan}
