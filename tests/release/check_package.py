#!/usr/bin/env python3
"""Checks the release that the x64 build's "package" target makes.

  check_package.py BUILD_DIR        (the windows-x64 build directory)

mpio-installer-<version>-windows.zip, <version> being the build's project
version, must hold one folder of its own name, and in it exactly:
x64/install.exe, x86/install.exe, x64/capture.exe and x86/capture.exe, the
two builds' own programs (the x86 ones from the release's own x86 build,
BUILD_DIR/release-x86), x86-64 and i386 executables whose version resource
carries <version>; README.md as the
build generated it from docs/release/README-windows.md.in, and
THIRD-PARTY-NOTICES.txt from docs/release, docs/usage.md as the build
generated it (the checked-in guide itself for the example's release, a copy
naming the vendor's package for a vendor's) and CHANGELOG.md as checked in,
the changelog with an entry for <version>; the checked-in files of
deploy/ansible; and the package of the build's MPIO_PACKAGE_DIR: the
checked-in files of examples/package there by default, a vendor's files
under package/.

mpio-installer-<version>-linux-x86_64.tar.gz beside it must hold one folder
of its own name with pkgcheck, install, winsim and capture, x86-64 executables that
need no C++ runtime of their own (libstdc++, libgcc_s), and README.md as that build
generated it (naming the DSM description its pkgcheck looks for); SHA256SUMS
must hold the checksums of both archives, as sha256sum -c reads them.
"""
import hashlib
import os
import re
import struct
import subprocess
import sys
import tarfile
import tempfile
import zipfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PE_MACHINES = {"x64/install.exe": 0x8664, "x86/install.exe": 0x014C,
               "x64/capture.exe": 0x8664, "x86/capture.exe": 0x014C}
FIXED_FILE_INFO_SIGNATURE = struct.pack("<I", 0xFEEF04BD)
# In the ZIP: the name in the release, the checked-in file.
RELEASE_DOCS = {"THIRD-PARTY-NOTICES.txt": "docs/release/THIRD-PARTY-NOTICES.txt"}
LINUX_PROGRAMS = ("pkgcheck", "install", "winsim", "capture")
LINUX_FILES = {"%s/" + program for program in LINUX_PROGRAMS} | {"%s/README.md"}


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


def bundled_package(package_dir):
    """The package's files in the ZIP, each with the file it comes from."""
    example = os.path.join(ROOT, "examples", "package")
    if os.path.realpath(package_dir) == os.path.realpath(example):
        return {name: os.path.join(ROOT, name) for name in checked_in("examples/package")}
    files = {}
    for folder, _, names in os.walk(package_dir):
        for name in names:
            path = os.path.join(folder, name)
            files["package/" + os.path.relpath(path, package_dir).replace(os.sep, "/")] = path
    return files


def check(build_dir):
    with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as f:
        cache = f.read()
    version = re.search(r"^CMAKE_PROJECT_VERSION:\w+=(.*)$", cache, re.M).group(1)
    # Relative to the source, as the build reads it.
    package = bundled_package(os.path.join(ROOT, re.search(r"^MPIO_PACKAGE_DIR:\w+=(.*)$", cache, re.M).group(1)))
    generated = os.path.join(build_dir, "generated")
    sources = dict(package, **{"README.md": os.path.join(generated, "README-windows.md"),
                               "docs/usage.md": os.path.join(generated, "usage.md")})
    path = os.path.join(build_dir, "mpio-installer-%s-windows.zip" % version)
    if not os.path.isfile(path):
        return ["%s is missing" % path], 0
    problems = []
    if any(name.startswith("examples/package/") for name in package):
        with open(os.path.join(generated, "usage.md"), "rb") as f, open(os.path.join(ROOT, "docs", "usage.md"), "rb") as g:
            if f.read() != g.read():
                problems.append("the example's release does not ship docs/usage.md as checked in")
    top = "mpio-installer-%s-windows/" % version
    with zipfile.ZipFile(path) as archive:
        names = [n for n in archive.namelist() if not n.endswith("/")]
        problems += ["outside %s: %s" % (top, n) for n in names if not n.startswith(top)]
        contents = {n[len(top):]: archive.read(n) for n in names if n.startswith(top)}

    expected = set(PE_MACHINES) | {"docs/usage.md", "CHANGELOG.md", "README.md"} | set(RELEASE_DOCS)
    expected |= set(package) | checked_in("deploy/ansible")
    problems += ["missing: %s" % n for n in sorted(expected - set(contents))]
    problems += ["not expected: %s" % n for n in sorted(set(contents) - expected)]

    builds = {"x64": build_dir, "x86": os.path.join(build_dir, "release-x86")}
    for name, machine in PE_MACHINES.items():
        data = contents.get(name, b"")
        if pe_machine(data) != machine:
            problems.append("%s is not a PE executable for machine 0x%04x" % (name, machine))
        if file_version(data) != version + ".0":
            problems.append("%s carries version %s, not %s.0" % (name, file_version(data), version))
        folder, program = name.split("/")
        with open(os.path.join(builds[folder], program), "rb") as f:
            if f.read() != data:
                problems.append("%s is not the program of %s" % (name, builds[folder]))
    for name in expected - set(PE_MACHINES):
        with open(sources.get(name) or os.path.join(ROOT, RELEASE_DOCS.get(name, name)), "rb") as f:
            if name in contents and f.read() != contents[name]:
                problems.append("%s differs from its source" % name)
    if not re.search(r"^## \[%s\]" % re.escape(version), contents.get("CHANGELOG.md", b"").decode(), re.M):
        problems.append("CHANGELOG.md has no entry '## [%s]'" % version)
    problems += check_tarball(build_dir, version)
    problems += check_sums(build_dir, version)
    return problems, len(contents)


def needed_libraries(data):
    """The NEEDED entries of an ELF executable, as readelf reads them."""
    with tempfile.NamedTemporaryFile() as f:
        f.write(data)
        f.flush()
        dynamic = subprocess.run(["readelf", "-d", f.name], stdout=subprocess.PIPE, universal_newlines=True).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)


def check_tarball(build_dir, version):
    name = "mpio-installer-%s-linux-x86_64" % version
    path = os.path.join(build_dir, name + ".tar.gz")
    if not os.path.isfile(path):
        return ["%s is missing" % path]
    with tarfile.open(path) as tarball:
        members = {m.name: m for m in tarball.getmembers() if m.isfile()}
        expected = {f % name for f in LINUX_FILES}
        problems = [] if set(members) == expected else [
            "%s holds %s, not %s" % (os.path.basename(path), sorted(members), sorted(expected))]
        for program in LINUX_PROGRAMS:
            member = members.get("%s/%s" % (name, program))
            if member is None:
                continue
            data = tarball.extractfile(member).read()
            # ELF, 64-bit, little-endian, machine x86-64 (62).
            if data[:5] != b"\x7fELF\x02" or struct.unpack_from("<H", data, 18)[0] != 62:
                problems.append("%s is not an x86-64 ELF executable" % member.name)
            if not member.mode & 0o111:
                problems.append("%s is not executable" % member.name)
            runtime = [lib for lib in needed_libraries(data) if lib.startswith(("libstdc++", "libgcc_s"))]
            if runtime:
                problems.append("%s needs %s" % (member.name, ", ".join(runtime)))
        readme = members.get(name + "/README.md")
        if readme is not None:
            # As the release's Linux build generated it from docs/release/README-linux.md.in.
            generated = os.path.join(build_dir, "release-linux", "generated", "README-linux.md")
            with open(generated, "rb") as f:
                if tarball.extractfile(readme).read() != f.read():
                    problems.append("README.md differs from " + generated)
    return problems


def check_sums(build_dir, version):
    path = os.path.join(build_dir, "SHA256SUMS")
    if not os.path.isfile(path):
        return ["%s is missing" % path]
    archives = ["mpio-installer-%s-windows.zip" % version, "mpio-installer-%s-linux-x86_64.tar.gz" % version]
    expected = ""
    for archive in archives:
        with open(os.path.join(build_dir, archive), "rb") as f:
            expected += "%s  %s\n" % (hashlib.sha256(f.read()).hexdigest(), archive)
    with open(path) as f:
        written = f.read()
    return [] if written == expected else ["SHA256SUMS holds\n%s, not\n%s" % (written, expected)]


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
