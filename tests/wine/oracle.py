"""Wine as an oracle: whole machines compared through `winsim captured` and
`winsim diff`, each difference accounted for by a deviation of
docs/wine-deviations.md or not at all.

The deviations page holds, under a deviation's heading, blocks fenced as
```oracle (optionally followed by the scenario names the block is limited
to, each a glob) after the heading or list item that names the deviation
(`## W4 ...`, `- S1 ...`); each line of a block is "SECTION: LINE", a glob (only `*`
is special) for one line of `winsim diff` in that section.
"""

import os
import re
import subprocess
from dataclasses import dataclass, field

from winesuite import ROOT, SuiteError

DEVIATIONS_DOC = os.path.join(ROOT, "docs", "wine-deviations.md")
# A deviation starts at a heading or a list item that begins with its name.
HEADING = re.compile(r"^(?:#+|-) ((?:W|S)\d+)\b")
FENCE = re.compile(r"^\s*```oracle\b(.*)$")


@dataclass
class Pattern:
    deviation: str
    section: str
    line: re.Pattern
    scenarios: list      # globs; empty: every scenario
    text: str = ""       # the line as the page has it

    def applies(self, scenario):
        return not self.scenarios or any(glob(s).fullmatch(scenario) for s in self.scenarios)


def glob(text):
    return re.compile(".*".join(re.escape(part) for part in text.split("*")), re.S)


def load_deviations(path=DEVIATIONS_DOC):
    """The oracle's patterns of the deviations page, in its order."""
    patterns, deviation, block = [], None, None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if block is not None:
                if line.strip().startswith("```"):
                    block = None
                    continue
                section, sep, rest = line.strip().partition(": ")
                if not sep or deviation is None:
                    raise SuiteError("%s:%d: an oracle line needs a deviation heading and \"SECTION: LINE\""
                                     % (path, number))
                patterns.append(Pattern(deviation, section.strip(), glob(rest.strip()), block, line.strip()))
                continue
            found = HEADING.match(line)
            if found or line.startswith("#"):
                deviation = found.group(1) if found else None
                continue
            fence = FENCE.match(line)
            if fence:
                block = fence.group(1).split()
    return patterns


def diff_lines(text):
    """(section, line) of each change line of `winsim diff`'s text."""
    found, section = [], None
    for line in text.splitlines():
        if line.startswith("summary:"):
            continue
        if line.startswith("  "):
            kind, _, rest = line.strip().partition(" ")
            found.append((section, kind + " " + rest.strip()))
        elif line.strip():
            section = line.strip()
    return found


@dataclass
class Comparison:
    """One `winsim diff` of the host's machine (before) and Wine's (after),
    both as a capture records them."""
    what: str
    explained: list = field(default_factory=list)     # (section, line, deviation)
    unexplained: list = field(default_factory=list)   # (section, line)
    error: str = ""

    @property
    def passed(self):
        return not self.unexplained and not self.error


class Oracle:
    def __init__(self, winsim, patterns):
        self.winsim = winsim
        self.patterns = patterns
        self.met = set()     # indices of the patterns that accounted for a line

    def tool(self, *args):
        return subprocess.run([self.winsim] + list(args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=60)

    def captured(self, source, target):
        """What a capture records of the machine file 'source'; an error text or ''."""
        out = self.tool("captured", source, target)
        if out.returncode != 0:
            return "winsim captured %s: %s" % (os.path.basename(source), out.stderr.decode(errors="replace").strip())
        return ""

    def compare(self, scenario, what, host_file, wine_file, work):
        result = Comparison(what)
        stem = os.path.join(work, what.replace(" ", "-"))
        host_view, wine_view = stem + ".host.json", stem + ".wine.json"
        result.error = self.captured(host_file, host_view) or self.captured(wine_file, wine_view)
        if result.error:
            return result
        out = self.tool("diff", host_view, wine_view)
        if out.returncode not in (0, 1):
            result.error = "winsim diff: " + out.stderr.decode(errors="replace").strip()
            return result
        for section, line in diff_lines(out.stdout.decode("utf-8", errors="replace")):
            deviation = self.explain(scenario, section, line)
            if deviation:
                result.explained.append((section, line, deviation))
            else:
                result.unexplained.append((section, line))
        return result

    def explain(self, scenario, section, line):
        # The deviations of every scenario first: a block limited to a few
        # scenarios is for what only they meet.
        for index, p in sorted(enumerate(self.patterns), key=lambda i: bool(i[1].scenarios)):
            if p.section == section and p.applies(scenario) and p.line.fullmatch(line):
                self.met.add(index)
                return p.deviation
        return None

    def unmet(self):
        """The oracle lines of the page that accounted for nothing."""
        return [p for i, p in enumerate(self.patterns) if i not in self.met]


def summary(comparison):
    """'what: N differences, by W4 x3, W5 x3' or the unexplained lines."""
    if comparison.error:
        return "%s: %s" % (comparison.what, comparison.error)
    counts = {}
    for _, _, deviation in comparison.explained:
        counts[deviation] = counts.get(deviation, 0) + 1
    by = ", ".join("%s x%d" % (d, n) for d, n in sorted(counts.items(), key=lambda i: deviation_key(i[0])))
    text = "%s: %d differences%s" % (comparison.what, len(comparison.explained) + len(comparison.unexplained),
                                     (" (" + by + ")") if by else "")
    if comparison.unexplained:
        text += "; not explained:\n" + "\n".join("  %s: %s" % u for u in comparison.unexplained)
    return text


def deviation_key(name):
    return (name[0], int(name[1:]))


def write_report(path, arch, rows, counts, unmet=()):
    """The per-scenario report (Markdown): what was compared, what differed
    and which deviation accounted for it; then the counts lines."""
    lines = ["# Wine oracle, %s" % arch, "",
             "Each row: the host build's machine against the Wine prefix's, both as `winsim captured` gives them:",
             "`round trip` the prefix as made from its description, `twin` the host install on that capture,",
             "`after step N` the machines after the Nth installer run.", "",
             "| scenario | compared | differences | accounted for by |", "|---|---|---|---|"]
    for name, comparisons, twin in rows:
        for c in comparisons:
            counts_by = {}
            for _, _, d in c.explained:
                counts_by[d] = counts_by.get(d, 0) + 1
            by = ", ".join("%s (%d)" % (d, n) for d, n in sorted(counts_by.items(), key=lambda i: deviation_key(i[0])))
            if c.unexplained or c.error:
                by += (", " if by else "") + "**not explained: %d**" % (len(c.unexplained) or 1)
            lines.append("| %s | %s | %d | %s |" % (name, c.what, len(c.explained) + len(c.unexplained), by or "-"))
        if twin is not None:
            lines.append("| %s | twin: exit codes, log, consoles | %s | %s |" % (
                name, "-" if not twin[0] and not twin[1] else len(twin[0]) + len(twin[1]),
                ", ".join(sorted(twin[1])) + (" **not explained: %d**" % len(twin[0]) if twin[0] else "") or "-"))
    lines += ["", "Differences by deviation, every line:", ""]
    for name, comparisons, _ in rows:
        for c in comparisons:
            for section, line, d in c.explained:
                lines.append("- %s, %s: %s `%s: %s`" % (name, c.what, d, section, line))
            for section, line in c.unexplained:
                lines.append("- %s, %s: NOT EXPLAINED `%s: %s`" % (name, c.what, section, line))
    if unmet:
        lines += ["", "Oracle lines of docs/wine-deviations.md that accounted for nothing in this run:", ""]
        lines += ["- %s `%s`%s" % (p.deviation, p.text, " (%s)" % " ".join(p.scenarios) if p.scenarios else "")
                  for p in unmet]
    lines += [""] + counts + [""]
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
