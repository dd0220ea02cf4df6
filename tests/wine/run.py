#!/usr/bin/env python3
"""Runs the Windows build of the installer under Wine, scenario by scenario,
and compares each run with the host build on the equivalent simulated machine.
--arch x86 runs the x86 build's scenarios in a 32-bit prefix.

Wine is also an oracle: the prefix is captured (capture.exe) as made from its
description and after each installer run, and each capture compared, through
`winsim captured` and `winsim diff`, with the host build's machine at the same
point; a difference that no deviation of docs/wine-deviations.md accounts for
fails the scenario.  A twin (the host build on a copy of the first capture)
must give the exit codes and logs of the Wine run.

One line per scenario, a report (build/wine-oracle-ARCH.md), the counts of the
round trip, the twin and the oracle ("round trip: N passed, N failed" ...),
then "N passed, N failed"; the exit status is non-zero when a scenario failed
or the suite could not run.
"""

import argparse
import dataclasses
import json
import concurrent.futures
import os
import re
import shutil
import sys
import time
import traceback
from dataclasses import dataclass, field

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from winesuite import (ROOT, SuiteError, Wine, WineSetupError, compare, run_on_host, run_on_wine,  # noqa: E402
                       twin_machine)
import oracle  # noqa: E402
from scenario import Check, runs  # noqa: E402
import scenarios  # noqa: E402
import capture_scenarios  # noqa: E402


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--arch", choices=("x64", "x86"), default="x64",
                        help="the build to run: x64 in a 64-bit prefix, x86 in a 32-bit one (its scenarios only)")
    parser.add_argument("--build", help="the Windows build directory (install.exe and wine-helpers/);"
                        " default build/windows-ARCH")
    parser.add_argument("--host", default=os.path.join(ROOT, "build", "wine-host", "install"),
                        help="the host binary to compare with")
    parser.add_argument("--no-host", action="store_true", help="run the Wine side only")
    parser.add_argument("--work", help="scratch directory (emptied first); default build/wine-suite[-x86]")
    parser.add_argument("--template", help="the template Wine prefix (made once, reused while Wine stays the"
                        " same); default build/wine-template[-x86]")
    parser.add_argument("--only", help="run the scenarios whose name matches this regular expression")
    parser.add_argument("--jobs", type=int, default=2, help="scenarios run at the same time")
    parser.add_argument("--keep", action="store_true", help="keep each scenario's prefix and files")
    parser.add_argument("--verbose", action="store_true", help="show the deviations each comparison met")
    parser.add_argument("--list", action="store_true", help="list the scenarios and exit")
    parser.add_argument("--report", help="the oracle's report; default build/wine-oracle-ARCH.md")
    args = parser.parse_args()
    suffix = "-x86" if args.arch == "x86" else ""
    args.build = args.build or os.path.join(ROOT, "build", "windows-" + args.arch)
    args.work = args.work or os.path.join(ROOT, "build", "wine-suite" + suffix)
    args.template = args.template or os.path.join(ROOT, "build", "wine-template" + suffix)
    args.report = args.report or os.path.join(ROOT, "build", "wine-oracle-%s.md" % args.arch)
    return args


RETRIED = "prefix setup failed on the first try, ran again"


@dataclass
class Outcome:
    comparisons: list = field(default_factory=list)   # oracle.Comparison: the round trip, then one a run
    twin: tuple = None                                 # (problems, deviations met) of the twin's comparison


def run_oracle(scenario, wine, result, host, host_binary, judge, work, outcome):
    """The round trip, the twin and the oracle of one scenario; their failures."""
    failures = []
    compared = os.path.join(work, "compared")
    os.makedirs(compared)
    for index, (host_file, wine_file) in enumerate(zip(host.machines, result.captures)):
        what = "round trip" if index == 0 else "after step %d" % index
        if not os.path.isabs(wine_file):
            comparison = oracle.Comparison(what, error=wine_file)
        else:
            comparison = judge.compare(scenario.name, what, host_file, wine_file, compared)
        outcome.comparisons.append(comparison)
        if not comparison.passed:
            failures.append("oracle, " + oracle.summary(comparison))
    if len(host.machines) != len(result.captures):
        failures.append("oracle: %d host machines, %d captures" % (len(host.machines), len(result.captures)))
    if scenario.host and result.captures and os.path.isabs(result.captures[0]):
        with open(host.machines[0], encoding="utf-8") as f:
            described = json.load(f)
        twin = run_on_host(host_binary, scenario, os.path.join(work, "twin"), wine.base_devices,
                           machine=twin_machine(result.captures[0], described))
        problems, explained = compare(dataclasses.replace(scenario, allow=scenario.allow + scenario.twin_allow),
                                      twin, result)
        outcome.twin = (problems, explained)
        failures += ["twin/Wine: " + p for p in problems]
    return failures


def run_scenario(scenario, wine, host_binary, judge, work, keep):
    started = time.time()
    wine_dir = os.path.join(work, scenario.name, "wine")
    host_dir = os.path.join(work, scenario.name, "host")
    os.makedirs(wine_dir)
    notes = []
    outcome = Outcome()
    try:
        try:
            result = run_on_wine(wine, scenario, wine_dir)
        except WineSetupError as error:
            # Seen once on a loaded CI machine: the helper that creates the
            # scenario's devices ended without a word.  One more try on a
            # fresh prefix, and the line says so whatever the outcome.
            notes.append(RETRIED + " (%s)" % error)
            shutil.rmtree(wine_dir, ignore_errors=True)
            os.makedirs(wine_dir)
            result = run_on_wine(wine, scenario, wine_dir)
        result.steps = scenario.steps
        result.host_binary = host_binary
        check = Check(result)
        if scenario.check:
            scenario.check(result, check)
        failures = list(check.failures)
        host = None
        if host_binary and (scenario.host or judge):
            host = run_on_host(host_binary, scenario, host_dir, wine.base_devices, wine.base_capture)
        if scenario.host and host:
            problems, explained = compare(scenario, host, result)
            failures += ["host/Wine: " + p for p in problems]
            if explained:
                notes.append("Wine deviations met: " + ", ".join(sorted(explained)))
        elif scenario.host:
            notes.append("host comparison skipped")
        if judge and host:
            failures += run_oracle(scenario, wine, result, host, host_binary, judge,
                                   os.path.join(work, scenario.name), outcome)
        if failures and result.stderr.strip():
            failures.append("Wine stderr:\n" + result.stderr.strip()[-1500:])
    except SuiteError as error:
        failures = ["suite error: %s" % error]
    except Exception:
        failures = ["suite error:\n" + traceback.format_exc()]
    finally:
        if not keep:
            shutil.rmtree(os.path.join(wine_dir, "prefix"), ignore_errors=True)
    return scenario, failures, notes, time.time() - started, outcome


def tally(tallies, outcome):
    """A scenario passes the round trip when its first comparison passes, the
    oracle when every comparison after a run does (scenarios without an
    installer run are not counted there), the twin when it agrees.  One that
    ended before its prefix was compared fails the round trip."""
    tallies["round trip"][0 if outcome.comparisons and outcome.comparisons[0].passed else 1] += 1
    if len(outcome.comparisons) > 1:
        tallies["oracle"][0 if all(c.passed for c in outcome.comparisons[1:]) else 1] += 1
    if outcome.twin is not None:
        tallies["twin"][0 if not outcome.twin[0] else 1] += 1


def main():
    args = parse_args()
    every = [run for s in scenarios.ALL + capture_scenarios.ALL for run in runs(s, args.arch)]
    chosen = [s for s in every if not args.only or re.search(args.only, s.name)]
    if args.list:
        for s in chosen:
            print("%-36s %s" % (s.name, s.title))
        return 0
    names = [s.name for s in every]
    duplicates = {n for n in names if names.count(n) > 1}
    if duplicates:
        print("duplicate scenario names: %s" % ", ".join(sorted(duplicates)))
        return 2
    started = time.time()
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    # The suite runs on its own copies of the binaries, so that a rebuild
    # while it runs cannot mix two builds.
    build = os.path.join(work, "binaries", "windows")
    try:
        shutil.copytree(os.path.join(os.path.abspath(args.build), "wine-helpers"), os.path.join(build, "wine-helpers"))
        shutil.copy2(os.path.join(os.path.abspath(args.build), "install.exe"), build)
        # capture.exe, for the scenarios that run it (they fail when it is missing).
        if os.path.exists(os.path.join(os.path.abspath(args.build), "capture.exe")):
            shutil.copy2(os.path.join(os.path.abspath(args.build), "capture.exe"), build)
    except OSError as error:
        print("cannot run the Wine suite: %s (build the windows-%s preset first)" % (error, args.arch))
        return 2
    try:
        wine = Wine(build, os.path.abspath(args.template), print, args.arch)
        wine.prepare_template()
    except SuiteError as error:
        print("cannot run the Wine suite: %s" % error)
        return 2
    host_binary = judge = None
    if os.path.exists(args.report):
        os.unlink(args.report)
    if not args.no_host:
        if os.path.exists(args.host):
            host_binary = os.path.join(work, "binaries", "host-install")
            shutil.copy2(args.host, host_binary)
        else:
            print("host binary %s not found: no host comparison (use --no-host to silence)" % args.host)
        winsim = os.path.join(os.path.dirname(os.path.abspath(args.host)), "winsim")
        if host_binary and wine.capture and os.path.exists(winsim):
            shutil.copy2(winsim, os.path.join(work, "binaries", "winsim"))
            try:
                judge = oracle.Oracle(os.path.join(work, "binaries", "winsim"), oracle.load_deviations())
            except SuiteError as error:
                print("cannot run the Wine suite: %s" % error)
                return 2
        elif host_binary:
            print("no oracle: %s" % ("capture.exe not built" if not wine.capture else winsim + " not built"))

    passed = failed = 0
    tallies = {"round trip": [0, 0], "twin": [0, 0], "oracle": [0, 0]}
    rows = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        futures = [pool.submit(run_scenario, s, wine, host_binary, judge, work, args.keep) for s in chosen]
        for future in futures:
            scenario, failures, notes, seconds, outcome = future.result()
            status = "FAIL" if failures else "PASS"
            shown = notes if args.verbose or failures else [n for n in notes if n.startswith(RETRIED)]
            extra = ("  [" + "; ".join(shown) + "]") if shown else ""
            print("%s %-36s %5.1fs  %s%s" % (status, scenario.name, seconds, scenario.title, extra), flush=True)
            if args.verbose and outcome.comparisons:
                print("    oracle: " + "; ".join(oracle.summary(c).split(";")[0] for c in outcome.comparisons))
            for failure in failures:
                print("    " + failure.replace("\n", "\n    "))
            if failures:
                failed += 1
            else:
                passed += 1
            if judge:
                tally(tallies, outcome)
                rows.append((scenario.name, outcome.comparisons, outcome.twin))

    counts = ["%s: %d passed, %d failed" % (name, good, bad) for name, (good, bad) in tallies.items()]
    if judge:
        # Lines no comparison needed: stale, or met only by scenarios not run.
        oracle.write_report(args.report, args.arch, rows, counts, judge.unmet())
        print("oracle report: %s" % os.path.relpath(args.report))
        for line in counts:
            print(line)

    changed = wine.template_changes()
    if changed:
        print("the template prefix was changed through a hard link: %s" % ", ".join(changed[:10]))
        failed += 1
    print("suite time %.1f s" % (time.time() - started))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
