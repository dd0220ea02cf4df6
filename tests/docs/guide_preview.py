#!/usr/bin/env python3
"""Runs the guide's previews on a twin (docs/usage.md) and checks what they print.

  guide_preview.py USAGE_MD INSTALL WINSIM

Each "sh preview" block runs with bash in a fresh directory laid out as the
release unpacked on a controller: mpio-installer-test-windows/examples/package
(the example package) beside mpio-installer-test-linux-x86_64, where the block
runs, which holds the host build's install and winsim, the built-in default
machine as server.json (the capture of the server), and customer.LOG, the log
the same install wrote on another copy of that machine (the log a customer
sends with a capture).  What the block prints must be the next fenced block,
a text block, byte for byte, and nothing on standard error.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLE = os.path.join(ROOT, "examples", "package")
INSTALL_ARGS = ["-i", "package", "qvxdsm.inf", "Root\\QVXDSM"]
FENCE = re.compile(r"^```([^\n]*)\n(.*?)^```", re.M | re.S)


def previews(doc):
    """(commands, shown output or None) of every sh preview block."""
    blocks = list(FENCE.finditer(doc))
    found = []
    for i, block in enumerate(blocks):
        if block.group(1).split() != ["sh", "preview"]:
            continue
        shown = blocks[i + 1] if i + 1 < len(blocks) and blocks[i + 1].group(1) == "text" else None
        found.append((block.group(2), shown.group(2) if shown else None))
    return found


def layout(scratch, install, winsim):
    """The unpacked release with the server's capture and the customer's log; the Linux folder."""
    shutil.copytree(EXAMPLE, os.path.join(scratch, "mpio-installer-test-windows", "examples", "package"))
    linux = os.path.join(scratch, "mpio-installer-test-linux-x86_64")
    os.makedirs(linux)
    os.symlink(install, os.path.join(linux, "install"))
    os.symlink(winsim, os.path.join(linux, "winsim"))
    subprocess.run([winsim, "default", "server.json"], cwd=linux, check=True, stdout=subprocess.DEVNULL)
    customer = os.path.join(scratch, "customer")
    shutil.copytree(EXAMPLE, os.path.join(customer, "package"))
    shutil.copy(os.path.join(linux, "server.json"), customer)
    subprocess.run([install] + INSTALL_ARGS, cwd=customer, env=dict(clean_env(), WINSIM_MACHINE="server.json"),
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=False)
    shutil.copy(os.path.join(customer, "MPIOInstall.LOG"), os.path.join(linux, "customer.LOG"))
    return linux


def clean_env():
    return {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C"}


def main(argv):
    if len(argv) != 4:
        print(__doc__)
        return 2
    usage_md, install, winsim = argv[1], os.path.abspath(argv[2]), os.path.abspath(argv[3])
    with open(usage_md, encoding="utf-8") as f:
        blocks = previews(f.read())
    problems = [] if blocks else ["%s has no sh preview block" % usage_md]
    for commands, shown in blocks:
        first = commands.splitlines()[0]
        if shown is None:
            problems.append("%s...: no text block shows what it prints" % first)
            continue
        with tempfile.TemporaryDirectory() as scratch:
            run = subprocess.run(["bash", "-c", commands], cwd=layout(scratch, install, winsim), env=clean_env(),
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        output, errors = run.stdout.decode("latin-1"), run.stderr.decode("latin-1")
        if output != shown or errors:
            problems.append("%s...: prints\n%s%s" % (first, output, "and on standard error\n" + errors if errors else ""))
    for problem in problems:
        print("FAIL", problem)
    print("%d problem(s)" % len(problems) if problems else "%d previews print what the guide shows" % len(blocks))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
