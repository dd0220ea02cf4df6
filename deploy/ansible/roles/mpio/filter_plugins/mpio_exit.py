"""What install.exe's exit code asks the role to do.

install.exe exits with a signed 32-bit code: 0 done, 1 done but a reboot is
needed, -1 failed, -2 (install only) a service of the package is still marked
for deletion: reboot, then run the same command again.  Windows keeps the
code as 32 bits and each reader chooses a sign: win_command reads it
unsigned (4294967295 for -1, 4294967294 for -2), PowerShell's $LASTEXITCODE
signed.  Both forms are accepted here.
"""

from ansible.errors import AnsibleFilterError

SWITCHES = {"install": "-i", "uninstall": "-u"}

# code -> (outcome, changed, reboot, retry, meaning); a code missing here fails.
OUTCOMES = {
    "install": {
        0: ("installed", True, False, False, "installed"),
        1: ("installed", True, True, False, "installed; a reboot completes it"),
        -2: ("retry", False, True, True,
             "a service of the package is marked for deletion: reboot, then install again"),
    },
    "uninstall": {
        0: ("uninstalled", True, False, False, "uninstalled"),
        1: ("uninstalled", True, True, False, "uninstalled; a reboot completes it"),
    },
}

FAILED = "install.exe failed; its log (MPIOInstall.LOG) says at which step"


def mpio_switch(action):
    """The install.exe switch of a role action."""
    if action not in SWITCHES:
        raise AnsibleFilterError(
            "mpio_action must be one of %s, not %r" % (", ".join(sorted(SWITCHES)), action))
    return SWITCHES[action]


def signed_exit_code(rc):
    """The exit code as install.exe returned it, from either 32-bit reading."""
    code = int(rc)
    if 2 ** 31 <= code < 2 ** 32:
        code -= 2 ** 32
    return code


def _decision(code, outcome, failed, changed, reboot, retry, meaning):
    return {"code": code, "outcome": outcome, "failed": failed, "changed": changed,
            "reboot": reboot, "retry": retry, "meaning": meaning}


def mpio_exit_decision(result, action, last_attempt=False):
    """Decide on a registered win_command result of install.exe -i or -u.

    last_attempt: the run after the reboot that -2 asked for; a second -2
    fails instead of asking for another round.
    """
    mpio_switch(action)
    if not isinstance(result, dict):
        return _decision(None, "failed", True, False, False, False, "no result of install.exe")
    if result.get("skipped"):
        return _decision(None, "skipped", False, False, False, False, "not run (check mode)")
    # win_command sets stdout only when the process ran; a process that could
    # not start carries the start error as rc instead.
    rc = result.get("rc")
    if "stdout" not in result or isinstance(rc, bool) or rc is None:
        return _decision(None, "failed", True, False, False, False,
                         "install.exe did not run: %s" % result.get("msg", "no exit code"))
    try:
        code = signed_exit_code(rc)
    except (TypeError, ValueError):
        return _decision(None, "failed", True, False, False, False, "exit code %r is not a number" % (rc,))

    known = OUTCOMES[action].get(code)
    if known is not None and known[3] and last_attempt:
        return _decision(code, "failed", True, False, False, False,
                         "a service of the package is still marked for deletion after the reboot")
    if known is None:
        meaning = FAILED if code == -1 else "exit code %d is not one that install.exe %s returns" % (
            code, SWITCHES[action])
        return _decision(code, "failed", True, False, False, False, meaning)
    outcome, changed, reboot, retry, meaning = known
    return _decision(code, outcome, False, changed, reboot, retry, meaning)


def mpio_twin_exit_code(rc):
    """install.exe's exit code from the host build's run on a twin: a Linux
    process keeps the low 8 bits, so -1 is 255 and -2 is 254.  A run that
    could not start (no rc) counts as -1."""
    if isinstance(rc, bool) or rc is None:
        return -1
    code = int(rc)
    return code - 256 if code >= 128 else code


class FilterModule(object):
    def filters(self):
        return {"mpio_exit_decision": mpio_exit_decision, "mpio_switch": mpio_switch,
                "mpio_twin_exit_code": mpio_twin_exit_code}
