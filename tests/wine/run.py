#!/usr/bin/env python3
"""Runs the Windows build of the installer under Wine, scenario by scenario,
and compares each run with the host build on the equivalent simulated machine.
--arch x86 runs the x86 build's scenarios in a 32-bit prefix.

One line per scenario, then "N passed, N failed"; the exit status is non-zero
when a scenario failed or the suite could not run.
"""

import argparse
import concurrent.futures
import os
import re
import shutil
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from winesuite import ROOT, SuiteError, Wine, WineSetupError, compare, run_on_host, run_on_wine  # noqa: E402
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
    args = parser.parse_args()
    suffix = "-x86" if args.arch == "x86" else ""
    args.build = args.build or os.path.join(ROOT, "build", "windows-" + args.arch)
    args.work = args.work or os.path.join(ROOT, "build", "wine-suite" + suffix)
    args.template = args.template or os.path.join(ROOT, "build", "wine-template" + suffix)
    return args


RETRIED = "prefix setup failed on the first try, ran again"


def run_scenario(scenario, wine, host_binary, work, keep):
    started = time.time()
    wine_dir = os.path.join(work, scenario.name, "wine")
    host_dir = os.path.join(work, scenario.name, "host")
    os.makedirs(wine_dir)
    notes = []
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
        if scenario.host and host_binary:
            host = run_on_host(host_binary, scenario, host_dir, wine.base_devices)
            problems, explained = compare(scenario, host, result)
            failures += ["host/Wine: " + p for p in problems]
            if explained:
                notes.append("Wine deviations met: " + ", ".join(sorted(explained)))
        elif scenario.host:
            notes.append("host comparison skipped")
        if failures and result.stderr.strip():
            failures.append("Wine stderr:\n" + result.stderr.strip()[-1500:])
    except SuiteError as error:
        failures = ["suite error: %s" % error]
    except Exception:
        failures = ["suite error:\n" + traceback.format_exc()]
    finally:
        if not keep:
            shutil.rmtree(os.path.join(wine_dir, "prefix"), ignore_errors=True)
    return scenario, failures, notes, time.time() - started


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
    host_binary = None
    if not args.no_host:
        if os.path.exists(args.host):
            host_binary = os.path.join(work, "binaries", "host-install")
            shutil.copy2(args.host, host_binary)
        else:
            print("host binary %s not found: no host comparison (use --no-host to silence)" % args.host)

    passed = failed = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        futures = [pool.submit(run_scenario, s, wine, host_binary, work, args.keep) for s in chosen]
        for future in futures:
            scenario, failures, notes, seconds = future.result()
            status = "FAIL" if failures else "PASS"
            shown = notes if args.verbose or failures else [n for n in notes if n.startswith(RETRIED)]
            extra = ("  [" + "; ".join(shown) + "]") if shown else ""
            print("%s %-36s %5.1fs  %s%s" % (status, scenario.name, seconds, scenario.title, extra), flush=True)
            for failure in failures:
                print("    " + failure.replace("\n", "\n    "))
            if failures:
                failed += 1
            else:
                passed += 1

    changed = wine.template_changes()
    if changed:
        print("the template prefix was changed through a hard link: %s" % ", ".join(changed[:10]))
        failed += 1
    print("suite time %.1f s" % (time.time() - started))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
