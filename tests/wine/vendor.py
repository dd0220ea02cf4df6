#!/usr/bin/env python3
"""The vendor build settings end to end: the installer built for another
vendor's DSM (the vendor-host and vendor-x64 presets) finds that vendor's DSM
device with -c on a generation-5 machine, on the simulated machine and under
Wine, and judges it by its status; the default build does not find it.

The example made another vendor's package passes the vendor build's
pkgcheck; vendor-x64's release of it bundles it, every command its README and
its guide give runs (on the vendor's host build and the release's own
pkgcheck, the guide's deployment with recorders for Windows hosts), and a
plain configure of windows-x86 and linux-x64 afterwards has the default
settings.

One line per check, then "N passed, N failed"; the exit status is non-zero
when a check failed or the builds could not be made.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from scenario import Scenario, Step, lines  # noqa: E402
from winesuite import ROOT, SuiteError, Wine, compare, run_on_host, run_on_wine  # noqa: E402

DEVNODE_STATUS = "W4 CM_Get_DevNode_Status"   # docs/wine-deviations.md
STATUS_LINE = r"Driver Status: ulStatus = 0x[0-9A-F]{8}, ulProblem = 0x[0-9A-F]{8}"
DEFAULT_DESCRIPTION = "Quorvex Lumenstride Device Specific Module"
TIME_STAMP = re.compile(rb"\[\d{2}/\d{2}/\d+ \d{2}:\d{2}:\d{2}\.\d{3}\]")


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--no-build", action="store_true", help="use build/vendor-host and build/vendor-x64 as they are")
    parser.add_argument("--no-wine", action="store_true", help="check the host builds only")
    parser.add_argument("--no-release", action="store_true", help="do not make the vendor's release")
    parser.add_argument("--default-host", default=os.path.join(ROOT, "build", "host", "install"),
                        help="the default host build's installer")
    parser.add_argument("--default-windows", default=os.path.join(ROOT, "build", "windows-x64"),
                        help="the default windows-x64 build (install.exe and wine-helpers/)")
    parser.add_argument("--template", default=os.path.join(ROOT, "build", "wine-template"),
                        help="the Wine suite's template prefix (made once, reused)")
    return parser.parse_args()


def run_command(command):
    done = subprocess.run(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        raise SuiteError("%s failed:\n%s" % (" ".join(command), done.stdout.decode(errors="replace")[-3000:]))
    return done.stdout.decode(errors="replace")


def build(preset, jobs, targets=("installer",), settings=()):
    run_command(["cmake", "--preset", preset] + ["-D" + s for s in settings])
    run_command(["cmake", "--build", "--preset", preset, "-j", jobs, "--target"] + list(targets))


VENDOR_PACKAGE = os.path.join(ROOT, "build", "vendor-package")
VENDOR_INF, VENDOR_HWID = "tsodsm.inf", "Root\\TSODSM"


def make_vendor_package(description):
    """The example package made another vendor's: DSM INF, hardware ID, description."""
    shutil.rmtree(VENDOR_PACKAGE, ignore_errors=True)
    shutil.copytree(os.path.join(ROOT, "examples", "package"), VENDOR_PACKAGE)
    example_inf = os.path.join(VENDOR_PACKAGE, "qvxdsm.inf")
    with open(example_inf, encoding="latin-1") as f:
        text = f.read()
    text = text.replace("Root\\QVXDSM", VENDOR_HWID).replace("Quorvex Lumenstride Device Specific Module", description)
    os.remove(example_inf)
    with open(os.path.join(VENDOR_PACKAGE, VENDOR_INF), "w", encoding="latin-1", newline="") as f:
        f.write(text)


def generated_description(build_dir):
    with open(os.path.join(build_dir, "generated", "vendor.h"), encoding="utf-8") as f:
        found = re.search(r'INSTALL_DSM_DESCRIPTION_TEXT TEXT\("(.*)"\)', f.read())
    return found.group(1) if found else None


def release_commands(build_dir, work):
    """Problems of the commands the vendor's release gives, each run as given:
    the README's install.exe lines (-i, -c, -u) with the vendor's host
    installer on the built-in machine, the package at C:\\MPIO\\package; its
    pkgcheck line beside both archives unpacked; the guide's install.exe lines
    (check_usage.py) and its sh release blocks (guide_deploy.sh)."""
    unpacked = os.path.join(work, "release")
    os.makedirs(unpacked)
    for name in os.listdir(build_dir):
        if re.match(r"mpio-installer-.*-windows\.zip$", name):
            with zipfile.ZipFile(os.path.join(build_dir, name)) as archive:
                archive.extractall(unpacked)
        elif re.match(r"mpio-installer-.*-linux-x86_64\.tar\.gz$", name):
            with tarfile.open(os.path.join(build_dir, name)) as archive:
                archive.extractall(unpacked)
    windows = [d for d in os.listdir(unpacked) if d.endswith("-windows")]
    if len(windows) != 1:
        return ["the release unpacks to %s, not one Windows folder" % sorted(os.listdir(unpacked))]
    windows = os.path.join(unpacked, windows[0])
    for program in os.listdir(unpacked):   # ZipFile.extractall keeps no modes
        if program.endswith("-linux-x86_64"):
            for name in ("pkgcheck", "install", "winsim"):
                os.chmod(os.path.join(unpacked, program, name), 0o755)
    with open(os.path.join(windows, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    problems = []
    host = os.path.join(work, "host")
    shutil.copytree(os.path.join(windows, "package"), os.path.join(host, "C:", "MPIO", "package"))
    installer = os.path.join(ROOT, "build", "vendor-host", "install")
    expected = {"-i": (0,), "-c": (1,), "-u": (0, 1)}
    for info, block in re.findall(r"^```([^\n]*)\n(.*?)^```", readme, re.M | re.S):
        for line in block.splitlines():
            words = line.split()
            if not words or words[0] == "rem":
                continue
            if info == "sh":
                run = subprocess.run(["bash", "-c", line], cwd=unpacked, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                codes = (0,)
            elif words[0].lower().endswith("install.exe"):
                run = subprocess.run([installer] + words[1:], cwd=host, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                codes = expected.get(words[1], (0,))
            else:
                problems.append("README: a line of no kind this test runs: %s" % line)
                continue
            if run.returncode not in codes:
                problems.append("README: %s exits %d:\n%s" % (line, run.returncode, run.stdout.decode("latin-1")[-2000:]))
    guide = os.path.join(windows, "docs", "usage.md")
    for name, command in [
            ("guide's install.exe lines", [sys.executable, os.path.join(ROOT, "tests", "docs", "check_usage.py"),
                                           "commands", guide, installer, os.path.join(windows, "package")]),
            ("guide's deployment", ["bash", os.path.join(ROOT, "tests", "release", "guide_deploy.sh"), build_dir,
                                    "package", VENDOR_INF, VENDOR_HWID])]:
        run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if run.returncode != 0:
            problems.append("%s:\n%s" % (name, run.stdout.decode(errors="replace")[-3000:]))
    return problems


def check_release(jobs, description):
    """Problems of the vendor's release (its listing and README as check_package.py
    judges them, its own x86 and Linux builds) and of a plain configure after it."""
    build("vendor-x64", jobs, ("package",), ["MPIO_PACKAGE_DIR=" + VENDOR_PACKAGE, "MPIO_DSM_INF=" + VENDOR_INF,
                                              "MPIO_DSM_HWID=" + VENDOR_HWID])
    vendor_build = os.path.join(ROOT, "build", "vendor-x64")
    listing = subprocess.run([sys.executable, os.path.join(ROOT, "tests", "release", "check_package.py"), vendor_build],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    problems = [] if listing.returncode == 0 else ["release: " + listing.stdout.decode(errors="replace").strip()]
    work = tempfile.mkdtemp(prefix="vendor-release.")
    try:
        problems += release_commands(vendor_build, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for sub in ("release-x86", "release-linux"):
        if generated_description(os.path.join(vendor_build, sub)) != description:
            problems.append("%s/%s was not built with the vendor's settings" % (vendor_build, sub))
    for preset in ("windows-x86", "linux-x64"):
        run_command(["cmake", "--preset", preset])
        found = generated_description(os.path.join(ROOT, "build", preset))
        if found != DEFAULT_DESCRIPTION:
            problems.append("a plain configure of %s after it has the DSM description %r" % (preset, found))
    return problems


def vendor_description():
    """The DSM description the vendor build was made with, from its generated header."""
    description = generated_description(os.path.join(ROOT, "build", "vendor-host"))
    if not description:
        raise SuiteError("no DSM description in build/vendor-host/generated/vendor.h")
    return description


def machine(description, dsm_status="0x0000000A"):
    """A Windows Server 2003 with the MPIO bus device and one DSM device."""
    return {"os": {"major": 5, "minor": 2, "build": 3790, "csd": "Service Pack 2"},
            "devices": [
                {"class": "scsiadapter", "instance_id": "PCI\\VEN_1E37&DEV_0054\\4&2A6F1C3&0&00A8",
                 "hardware_ids": ["PCI\\VEN_1E37&DEV_0054"], "description": "Tessella SAS Adapter"},
                {"class": "scsiadapter", "instance_id": "ROOT\\MPIO\\0000", "hardware_ids": ["Detected\\MPIO"],
                 "description": "Multi-Path Support"},
                {"class": "system", "instance_id": "ROOT\\MPIO\\0001", "hardware_ids": ["Root\\TSODSM"],
                 "description": description, "status": dsm_status}]}


def scenario(name, description, dsm_status="0x0000000A"):
    return Scenario(name=name, title=name, machine=machine(description, dsm_status), steps=[Step(["-c"])],
                    allow=[lines(DEVNODE_STATUS, [STATUS_LINE], [STATUS_LINE.replace("[0-9A-F]{8}", "00000000")])])


def log_lines(log):
    return TIME_STAMP.sub(b"", log).decode("latin-1").split("\r\n")


def judge(result, description, finds, condition):
    """Problems of a -c run: whether it found the DSM of this description, and its condition."""
    found = log_lines(result.log)
    problems = []
    if result.exit_codes != [condition]:
        problems.append("exit %s, expected %d" % (result.exit_codes, condition))
    if "CheckInstallMPIO: install condition %d" % condition not in found:
        problems.append("no 'install condition %d' line" % condition)
    desc = "Device Desc: " + description
    if desc not in found:
        problems.append("the DSM device was not walked")
    elif finds:
        after = found[found.index(desc) + 1:]
        verdict = "DSM Good" if condition == 1 else "DSM Bad"
        if after[:1] != ["DSM Checked"] or verdict not in after[:3]:
            problems.append("'DSM Checked' and '%s' do not follow %r: %s" % (verdict, desc, after[:3]))
    elif "DSM Checked" in found:
        problems.append("a DSM was checked although this build looks for another description")
    return problems


def main():
    args = parse_args()
    args.default_host = os.path.abspath(args.default_host)
    args.default_windows = os.path.abspath(args.default_windows)
    jobs = str(max(2, os.cpu_count() or 2))
    results = []

    def record(name, problems, detail):
        results.append((name, problems))
        print("%s %-34s %s" % ("FAIL" if problems else "PASS", name, detail), flush=True)
        for problem in problems:
            print("    " + problem.replace("\n", "\n    "))

    try:
        if not args.no_build:
            build("vendor-host", jobs, ("installer", "pkgcheck"))
            if not args.no_wine:
                build("vendor-x64", jobs)
        description = vendor_description()
    except (SuiteError, OSError) as error:
        print("cannot build the vendor presets: %s" % error)
        return 2

    work = tempfile.mkdtemp(prefix="vendor-build.")
    try:
        vendor_host = os.path.join(ROOT, "build", "vendor-host", "install")
        good, pending = scenario("good", description), scenario("pending", description, "0x0004000A")
        for name, binary, case, finds, condition, detail in [
                ("host vendor build finds its DSM", vendor_host, good, True, 1, "DSM Checked, DSM Good, condition 1"),
                ("host vendor build judges its DSM", vendor_host, pending, True, 0,
                 "DSM marked for removal: DSM Bad, condition 0"),
                ("host default build passes it by", args.default_host, good, False, 1,
                 "no DSM Checked, condition 1")]:
            result = run_on_host(binary, case, os.path.join(work, "host-" + str(len(results))), [])
            record(name, judge(result, description, finds, condition), detail)

        make_vendor_package(description)
        check = subprocess.run([os.path.join(ROOT, "build", "vendor-host", "pkgcheck"), VENDOR_PACKAGE, VENDOR_INF,
                                VENDOR_HWID, "--generations", "5.2,10.0"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        record("host vendor pkgcheck passes its package", [] if check.returncode == 0 else
               ["pkgcheck exited %d:\n%s" % (check.returncode, check.stdout.decode(errors="replace"))],
               "%s %s, exit 0" % (VENDOR_INF, VENDOR_HWID))
        if args.no_wine:
            return summary(results)
        if not args.no_release:
            record("vendor release and shared builds", check_release(jobs, description),
                   "package/, README and guide of the vendor, each of their commands run; plain windows-x86, "
                   "linux-x64 configure to the defaults")

        # Under Wine: the vendor's install.exe beside the default build's helpers.
        binaries = os.path.join(work, "binaries")
        vendor_build = os.path.join(binaries, "vendor")
        default_build = os.path.join(binaries, "default")
        shutil.copytree(os.path.join(args.default_windows, "wine-helpers"), os.path.join(vendor_build, "wine-helpers"))
        shutil.copy2(os.path.join(ROOT, "build", "vendor-x64", "install.exe"), vendor_build)
        shutil.copytree(os.path.join(args.default_windows, "wine-helpers"), os.path.join(default_build, "wine-helpers"))
        shutil.copy2(os.path.join(args.default_windows, "install.exe"), default_build)
        for name, build_dir, finds, detail in [
                ("Wine vendor build finds its DSM", vendor_build, True, "DSM Checked, DSM Good, condition 1"),
                ("Wine default build passes it by", default_build, False, "no DSM Checked, condition 1")]:
            wine = Wine(build_dir, os.path.abspath(args.template), lambda text: None)
            wine.prepare_template()
            wine_dir = os.path.join(work, "wine-" + str(len(results)))
            os.makedirs(wine_dir)
            result = run_on_wine(wine, good, wine_dir)
            problems = judge(result, description, finds, 1)
            if finds:
                # The same run on the host, compared line by line with Wine's.
                host = run_on_host(vendor_host, good, os.path.join(wine_dir, "host"), wine.base_devices)
                differences, _ = compare(good, host, result)
                problems += ["host/Wine: " + p for p in differences]
                detail += "; the same log as the host build"
            shutil.rmtree(os.path.join(wine_dir, "prefix"), ignore_errors=True)
            record(name, problems, detail)
    except (SuiteError, OSError) as error:
        record("suite", ["suite error: %s" % error], "")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return summary(results)


def summary(results):
    failed = sum(1 for _, problems in results if problems)
    print("%d passed, %d failed" % (len(results) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
