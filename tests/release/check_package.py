#!/usr/bin/env python3
"""Checks the release package that the x64 build's "package" target makes.

  check_package.py BUILD_DIR        (the windows-x64 build directory)

mpio-installer-<version>-windows.zip, <version> being the build's project
version, must hold exactly: x64/install.exe and x86/install.exe, the two
builds' own programs, an x86-64 and an i386 executable whose version resource
carries <version>; docs/usage.md and CHANGELOG.md as checked in, the
changelog with an entry for <version>; and the checked-in files of
examples/package and deploy/ansible.
"""
import os
import re
import struct
import subprocess
import sys
import zipfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PE_MACHINES = {"x64/install.exe": 0x8664, "x86/install.exe": 0x014C}
FIXED_FILE_INFO_SIGNATURE = struct.pack("<I", 0xFEEF04BD)


def checked_in(folder):
    listing = subprocess.run(["git", "-C", ROOT, "ls-files", folder], stdout=subprocess.PIPE,
                             universal_newlines=True, check=True).stdout
    return set(listing.split())


def pe_machine(data):
    offset = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[offset:offset + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", data, offset + 4)[0]


def file_version(data):
    """major.minor.patch.build of the version resource's fixed part."""
    at = data.find(FIXED_FILE_INFO_SIGNATURE)
    if at < 0:
        return None
    most, least = struct.unpack_from("<II", data, at + 8)
    return "%d.%d.%d.%d" % (most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF)


def check(build_dir):
    with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as f:
        version = re.search(r"^CMAKE_PROJECT_VERSION:\w+=(.*)$", f.read(), re.M).group(1)
    path = os.path.join(build_dir, "mpio-installer-%s-windows.zip" % version)
    if not os.path.isfile(path):
        return ["%s is missing" % path], 0
    with zipfile.ZipFile(path) as package:
        contents = {n: package.read(n) for n in package.namelist() if not n.endswith("/")}

    problems = []
    expected = set(PE_MACHINES) | {"docs/usage.md", "CHANGELOG.md"}
    expected |= checked_in("examples/package") | checked_in("deploy/ansible")
    problems += ["missing: %s" % n for n in sorted(expected - set(contents))]
    problems += ["not expected: %s" % n for n in sorted(set(contents) - expected)]

    builds = {"x64/install.exe": build_dir, "x86/install.exe": os.path.join(ROOT, "build", "windows-x86")}
    for name, machine in PE_MACHINES.items():
        data = contents.get(name, b"")
        if pe_machine(data) != machine:
            problems.append("%s is not a PE executable for machine 0x%04x" % (name, machine))
        if file_version(data) != version + ".0":
            problems.append("%s carries version %s, not %s.0" % (name, file_version(data), version))
        with open(os.path.join(builds[name], "install.exe"), "rb") as f:
            if f.read() != data:
                problems.append("%s is not the program of %s" % (name, builds[name]))
    for name in expected - set(PE_MACHINES):
        with open(os.path.join(ROOT, name), "rb") as f:
            if name in contents and f.read() != contents[name]:
                problems.append("%s differs from the checked-in file" % name)
    if not re.search(r"^## \[%s\]" % re.escape(version), contents.get("CHANGELOG.md", b"").decode(), re.M):
        problems.append("CHANGELOG.md has no entry '## [%s]'" % version)
    return problems, len(contents)


def main(argv):
    if len(argv) != 2:
        print(__doc__)
        return 2
    problems, count = check(argv[1])
    for problem in problems:
        print("FAIL", problem)
    print("%d problem(s)" % len(problems) if problems else "release package: %d files as expected" % count)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
