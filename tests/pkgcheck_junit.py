#!/usr/bin/env python3
"""pkgcheck's --junit file read back by a JUnit XML parser (junitparser, as a
CI server reads it): its counts (tests, failures, skipped) and each case's
result agree with --json of the same run, on the example package and on a
broken copy whose DSM hardware ID holds XML markup and a control character.

usage: pkgcheck_junit.py PKGCHECK EXAMPLE_PACKAGE
Exit status 0 when every check holds, 1 when one does not, 77 (skipped) when
the parser is not installed.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile

SKIPPED = 77

# Debian's package installs it for the system's Python; an interpreter of
# another prefix (pyenv, a venv) finds it there too, being pure Python.
DEBIAN_PACKAGES = "/usr/lib/python3/dist-packages"
try:
    import junitparser
except ImportError:
    junitparser = None
if junitparser is None and os.path.isdir(os.path.join(DEBIAN_PACKAGES, "junitparser")):
    sys.path.append(DEBIAN_PACKAGES)
    import junitparser
if junitparser is None:
    print("SKIP: the JUnit XML parser junitparser is not installed "
          "(Debian 12: python3-junitparser, in scripts/bootstrap.sh's list)")
    sys.exit(SKIPPED)

# (name, [(file, from, to)], DSM_HWID, generations)
CASES = [
    ("example", [], "Root\\QVXDSM", "5.0,10.0"),
    ("broken, markup in the hardware ID",
     [("qvxdsm.inf", "QuorvexDsm, NTx86, NTamd64", "QuorvexDsm, NTx86"),
      ("mpdev.inf", "NTx86, NTamd64", "NTamd64")],
     "Root\\Q&<>\"'\x01", "5.2,10.0"),
]


def visible(text):
    """The text as pkgcheck writes it into XML: control characters as \\xNN."""
    return "".join("\\x%02X" % ord(c) if ord(c) < 0x20 and c not in "\t\n\r" else c for c in text)


def check(pkgcheck, package, work, name, edits, hwid, generations):
    problems = []
    copy = os.path.join(work, "pkg")
    shutil.rmtree(copy, ignore_errors=True)
    shutil.copytree(package, copy)
    for file, old, new in edits:
        path = os.path.join(copy, file)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        if old not in text:
            return ["%s: %r not in %s" % (name, old, file)]
        with open(path, "w", encoding="utf-8") as f:
            f.write(text.replace(old, new))
    junit_file = os.path.join(work, "report.xml")
    run = subprocess.run([pkgcheck, copy, "qvxdsm.inf", hwid, "--json", "--generations", generations,
                          "--junit", junit_file], stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=work)
    if run.returncode not in (0, 1):
        return ["%s: pkgcheck exited %d: %s" % (name, run.returncode, run.stderr.decode(errors="replace"))]
    document = json.loads(run.stdout)
    findings = {}
    for table in ("inf_checks", "lifecycle"):
        for finding in document[table]:
            findings[(table + "." + finding["check"], finding["column"] + ": " + finding["title"])] = finding
    verdicts = [f["verdict"] for f in findings.values()]
    expected = {"tests": len(verdicts), "failures": verdicts.count("error"),
                "skipped": verdicts.count("not-applicable"), "errors": 0}

    xml = junitparser.JUnitXml.fromfile(junit_file)
    declared = {key: getattr(xml, key) for key in expected}
    cases = [case for suite in xml for case in suite]
    counted = {"tests": len(cases), "failures": 0, "skipped": 0, "errors": 0}
    for case in cases:
        results = case.result
        counted["failures"] += any(isinstance(r, junitparser.Failure) for r in results)
        counted["skipped"] += any(isinstance(r, junitparser.Skipped) for r in results)
        counted["errors"] += any(isinstance(r, junitparser.Error) for r in results)
    suites = {key: sum(getattr(suite, key) for suite in xml) for key in expected}
    for label, counts in (("declared by <testsuites>", declared), ("summed over <testsuite>", suites),
                          ("counted", counted)):
        if counts != expected:
            problems.append("%s: %s %s, --json %s" % (name, label, counts, expected))

    warnings = 0
    for case in cases:
        finding = findings.pop((case.classname, case.name), None)
        if finding is None:
            problems.append("%s: a test case that --json does not have: %s / %s" % (name, case.classname, case.name))
            continue
        verdict, reason = finding["verdict"], visible(finding["reason"])
        results = case.result
        if verdict == "error":
            ok = len(results) == 1 and isinstance(results[0], junitparser.Failure) and results[0].message == reason
        elif verdict == "not-applicable":
            ok = len(results) == 1 and isinstance(results[0], junitparser.Skipped)
        else:
            ok = case.is_passed
            if verdict == "warning":
                warnings += 1
                ok = ok and (case.system_out or "").startswith("warning: " + reason)
        if not ok:
            problems.append("%s: %s / %s is %r, --json says %s: %r" % (name, case.classname, case.name,
                                                                   results, verdict, reason))
    if findings:
        problems.append("%s: no test case for %s" % (name, sorted(findings)))
    if warnings != document["warnings"]:
        problems.append("%s: %d warnings in <system-out>, --json %d" % (name, warnings, document["warnings"]))
    if run.returncode != (1 if expected["failures"] else 0):
        problems.append("%s: exit %d with %d failures" % (name, run.returncode, expected["failures"]))
    print("%s %-36s tests %d, failures %d, skipped %d, warnings %d" % (
        "FAIL" if problems else "PASS", name, counted["tests"], counted["failures"], counted["skipped"], warnings))
    return problems


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    pkgcheck, package = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    work = tempfile.mkdtemp(prefix="pkgcheck_junit.")
    failed = 0
    try:
        for case in CASES:
            problems = check(pkgcheck, package, work, *case)
            failed += bool(problems)
            for problem in problems:
                print("    " + problem)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (len(CASES) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
