#!/usr/bin/env python3
"""pkgcheck's --junit file read back by a JUnit XML parser (junitparser): its
counts and each case agree with --json of the same run, on a broken copy of
the example (errors, a warning, cells that do not apply) whose DSM hardware ID
holds XML markup and a control character.

usage: pkgcheck_junit.py PKGCHECK EXAMPLE_PACKAGE; exit 77 (skipped) without the parser.
"""
import json, os, shutil, subprocess, sys, tempfile

# Debian's package is pure Python: another interpreter (pyenv, a venv) finds it there too.
sys.path.append("/usr/lib/python3/dist-packages")
try:
    import junitparser
except ImportError:
    print("SKIP: no JUnit XML parser: install python3-junitparser (scripts/bootstrap.sh lists it)")
    sys.exit(77)

EDITS = [("qvxdsm.inf", "QuorvexDsm, NTx86, NTamd64", "QuorvexDsm, NTx86"), ("mpdev.inf", "NTx86, NTamd64", "NTamd64")]
HWID = "Root\\Q&<>\"'\x01"


def main(pkgcheck, example):
    work = tempfile.mkdtemp(prefix="pkgcheck_junit.")
    try:
        package, report = os.path.join(work, "pkg"), os.path.join(work, "report.xml")
        shutil.copytree(example, package)
        for name, old, new in EDITS:
            path = os.path.join(package, name)
            text = open(path, encoding="utf-8").read()
            assert old in text, (name, old)
            open(path, "w", encoding="utf-8").write(text.replace(old, new))
        run = subprocess.run([pkgcheck, package, "qvxdsm.inf", HWID, "--json", "--generations", "5.2,10.0",
                              "--junit", report], stdout=subprocess.PIPE, cwd=work, check=False)
        document = json.loads(run.stdout)
        xml = junitparser.JUnitXml.fromfile(report)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    findings = {(table + "." + f["check"], f["column"] + ": " + f["title"]): f
                for table in ("inf_checks", "lifecycle") for f in document[table]}
    verdicts = [f["verdict"] for f in findings.values()]
    expected = {"tests": len(verdicts), "failures": verdicts.count("error"),
                "skipped": verdicts.count("not-applicable"), "errors": 0}
    problems = ["exit %d" % run.returncode] if run.returncode != 1 else []
    declared = {key: getattr(xml, key) for key in expected}
    if declared != expected:
        problems.append("<testsuites> counts %s, --json %s" % (declared, expected))
    cases = [case for suite in xml for case in suite]
    counted = {"tests": len(cases), "errors": 0, **{key: sum(any(isinstance(r, kind) for r in c.result) for c in cases)
               for key, kind in (("failures", junitparser.Failure), ("skipped", junitparser.Skipped))}}
    if counted != expected:
        problems.append("cases counted %s, --json %s" % (counted, expected))
    for case in cases:
        finding = findings.pop((case.classname, case.name), None)
        if finding is None:
            problems.append("a case --json does not have: %s / %s" % (case.classname, case.name))
            continue
        # Control characters, which XML cannot carry, are written as \xNN.
        reason = "".join("\\x%02X" % ord(c) if ord(c) < 0x20 and c not in "\t\n\r" else c for c in finding["reason"])
        kinds = [type(result).__name__ for result in case.result]
        ok = {"error": kinds == ["Failure"] and case.result and case.result[0].message == reason,
              "not-applicable": kinds == ["Skipped"],
              "warning": not kinds and (case.system_out or "").startswith("warning: " + reason),
              "pass": not kinds}[finding["verdict"]]
        if not ok:
            problems.append("%s / %s: %s, --json %s %r" % (case.classname, case.name, kinds, finding["verdict"], reason))
    problems += ["no case for %s" % (key,) for key in findings]
    print("junitparser read tests %(tests)d, failures %(failures)d, skipped %(skipped)d" % counted,
          "(--json: %d errors, %d warnings)" % (document["errors"], document["warnings"]))
    for problem in problems:
        print("    " + problem)
    print("%d passed, %d failed" % (0 if problems else 1, 1 if problems else 0))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*map(os.path.abspath, sys.argv[1:3])))
