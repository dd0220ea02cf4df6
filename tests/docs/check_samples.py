#!/usr/bin/env python3
"""Keeps the sample output in pkgcheck's manual (docs/pkgcheck.md) what pkgcheck prints.

  check_samples.py check DOC PKGCHECK     compare every sample block with a run
  check_samples.py write DOC PKGCHECK     rewrite the whole-output blocks from a run

A sample is the fenced block after a line "<!-- sample: NAME -->"; NAME is a
row of SAMPLES below: a copy of the example package with a few edits, and the
arguments pkgcheck gets there (run from the top of the source tree). A block
whose first line starts with "$ " shows the command; it is not compared. A
block without "..." lines must be the whole output, byte for byte; one with
them is fragments, each of which must appear whole and in order. The line
naming the installer is compared as the manual gives it (build/host/install),
since the build directory may be another.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLE = os.path.join(ROOT, "examples", "package")
PACKAGE = ["qvxdsm.inf", "Root\\QVXDSM"]
NO_NTAMD64 = [("qvxdsm.inf", "QuorvexDsm, NTx86, NTamd64", "QuorvexDsm, NTx86")]
DELETE_STRING = ("HKLM, SYSTEM\\CurrentControlSet\\Control\\MPDEV, MPIOSupportedDeviceList, 0x00018002, "
                 "\"QUORVEX LUMENSTRIDE     \"")
WHOLE_LIST = [("qvxdsm.inf", DELETE_STRING,
               DELETE_STRING + "\nHKLM, SYSTEM\\CurrentControlSet\\Control\\MPDEV, MPIOSupportedDeviceList")]
OLDER = [("qvxdsm.inf", "DriverVer   = 12/08/2026,2.4.1.0", "DriverVer   = 06/01/2026,2.3.0.0")]

# name: (edits of the package, edits of an old copy for --upgrade-from (None: none), arguments, output)
SAMPLES = {
    "example": ([], None, [], "stdout"),
    "no-ntamd64": (NO_NTAMD64, None, ["--generations", "10.0"], "stdout"),
    "whole-list": (WHOLE_LIST, None, ["--generations", "10.0"], "stdout"),
    "upgrade": ([], OLDER, [], "stdout"),
    "junit": ([], None, [], "junit"),
    "markdown": ([], None, [], "markdown"),
    "junit-no-ntamd64": (NO_NTAMD64, None, ["--generations", "10.0"], "junit"),
}
INSTALLER_LINE = re.compile(r"^installer  .*$", re.M)


def edited_copy(scratch, name, edits):
    copy = os.path.join(scratch, name)
    shutil.copytree(EXAMPLE, copy)
    for file, before, after in edits:
        path = os.path.join(copy, file)
        with open(path, encoding="latin-1", newline="") as f:
            text = f.read()
        if before not in text:
            raise SystemExit("%s: no %r to edit" % (file, before))
        with open(path, "w", encoding="latin-1", newline="") as f:
            f.write(text.replace(before, after))
    return copy


def output_of(pkgcheck, name):
    edits, old_edits, args, output = SAMPLES[name]
    with tempfile.TemporaryDirectory() as scratch:
        package = os.path.relpath(EXAMPLE, ROOT) if not edits else edited_copy(scratch, "package", edits)
        command = [pkgcheck, package] + PACKAGE + args
        if old_edits is not None:
            command += ["--upgrade-from", edited_copy(scratch, "old", old_edits)]
        report = os.path.join(scratch, "report")
        if output != "stdout":
            command += ["--" + output, report]
        run = subprocess.run(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if run.returncode not in (0, 1):
            raise SystemExit("%s: exit %d\n%s" % (" ".join(command), run.returncode, run.stderr.decode()))
        if output == "stdout":
            text = run.stdout.decode("utf-8")
        else:
            with open(report, encoding="utf-8") as f:
                text = f.read()
    return INSTALLER_LINE.sub("installer  build/host/install", text)


def samples(doc):
    """(name, start, end) of each sample block's body in the manual's text."""
    found = []
    for marker in re.finditer(r"^<!-- sample: ([\w-]+) -->\n```[^\n]*\n", doc, re.M):
        end = doc.index("\n```", marker.end() - 1) + 1
        found.append((marker.group(1), marker.end(), end))
    return found


def split(body):
    lines = body.split("\n")
    command = lines.pop(0) + "\n" if lines and lines[0].startswith("$ ") else ""
    return command, "\n".join(lines)


def problems_of(name, body, output):
    _, shown = split(body)
    if "\n...\n" not in "\n" + shown:
        return [] if shown == output else ["%s: the block is not the output:\n%s" % (name, output)]
    at = 0
    for fragment in re.split(r"(?:^|\n)\.\.\.\n", shown):
        if not fragment:
            continue
        found = output.find(fragment, at)
        if found < 0:
            return ["%s: no longer printed (or not in this order):\n%s\nthe output:\n%s" % (name, fragment, output)]
        at = found + len(fragment)
    return []


def main(argv):
    if len(argv) != 4 or argv[1] not in ("check", "write"):
        print(__doc__)
        return 2
    mode, path, pkgcheck = argv[1], argv[2], os.path.abspath(argv[3])
    with open(path, encoding="utf-8") as f:
        doc = f.read()
    problems, names = [], []
    for name, start, end in reversed(samples(doc)):
        if name not in SAMPLES:
            problems.append("%s: no such sample" % name)
            continue
        names.append(name)
        output = output_of(pkgcheck, name)
        body = doc[start:end]
        if mode == "write" and "\n...\n" not in "\n" + split(body)[1]:
            doc = doc[:start] + split(body)[0] + output + doc[end:]
        else:
            problems += problems_of(name, body, output)
    if mode == "write":
        with open(path, "w", encoding="utf-8") as f:
            f.write(doc)
    for problem in problems:
        print("FAIL", problem)
    missing = sorted(set(SAMPLES) - set(names))
    problems += ["%s: not in %s" % (name, path) for name in missing]
    print("%d problem(s)" % len(problems) if problems else "%d samples as pkgcheck prints them" % len(names))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
