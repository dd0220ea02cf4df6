#!/usr/bin/env python3
"""Keeps the administrator's guide (docs/usage.md) true to the program.

  check_usage.py glossary SOURCE_DIR USAGE_MD
      Every text the program can write (the formats and text values it hands
      to LogMessage, LogFailure and wprintf, the message box texts) is a row
      of the guide's glossary, and every glossary row is such a text.
  check_usage.py commands USAGE_MD INSTALL_BINARY [PACKAGE_DIR]
      Every fenced block is of a kind that CI runs or checks; the install.exe
      command lines of the cmd and PowerShell blocks are run, block by block,
      on the host build against the built-in machine with the package
      (examples/package unless given) at C:\\MPIO\\package, and must be
      accepted (no usage text).
  check_usage.py shell USAGE_MD KIND
      Prints the guide's "sh KIND" blocks (source, release or preview) for CI
      to run; guide_preview.py runs and checks the preview blocks.

Texts compare after C escapes are decoded, "%ls" is read as "%s" and runs of
white space are folded, so line breaks and padding do not matter.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

LOGGING_CALLS = ("LogMessage", "LogFailure", "wprintf")
MESSAGE_BOX = "MessageBoxW"
LITERAL = re.compile(r'\bTEXT\s*\(\s*"((?:[^"\\]|\\.)*)"\s*\)|\bL"((?:[^"\\]|\\.)*)"')
TEXT_MACRO = re.compile(r'^\s*#\s*define\s+(\w+)\s+TEXT\s*\(\s*"((?:[^"\\]|\\.)*)"\s*\)', re.M)
TOKEN = re.compile(r'"(?:[^"\\]|\\.)*"|\'(?:[^\'\\]|\\.)*\'|.', re.S)
BRACE_INITIALIZER = re.compile(r"=\s*\{(.*?)\}\s*;", re.S)
ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"', "'": "'", "0": ""}
CHECKED_BLOCKS = {"cmd", "powershell"}
SHELL_KINDS = {"source", "release", "preview"}
PLAIN_BLOCKS = {"text", "yaml", "ini", "ps1"}
SHELL_BUILTINS = {"echo", "cd", "if", "exit", "rem", "set", "$lastexitcode"}


def normalize(text):
    text = re.sub(r"\\(.)", lambda m: ESCAPES.get(m.group(1), m.group(1)), text)
    return " ".join(text.replace("%ls", "%s").split())


def strip_comments(source):
    """Blanks out comments, keeping string literals and line numbers."""
    pattern = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:[^"\\\n]|\\.)*"|\'(?:[^\'\\\n]|\\.)*\'', re.S)
    return pattern.sub(lambda m: m.group(0) if m.group(0)[0] in "\"'" else
                       re.sub(r"[^\n]", " ", m.group(0)), source)


def call_arguments(source, open_paren):
    """The top-level arguments of the call whose '(' is at open_paren."""
    depth, start, args = 0, open_paren + 1, []
    for token in TOKEN.finditer(source, open_paren):
        c = token.group(0)
        if c in ("(", "[", "{"):
            depth += 1
        elif c in (")", "]", "}"):
            depth -= 1
            if depth == 0:
                return args + [source[start:token.start()]]
        elif c == "," and depth == 1:
            args.append(source[start:token.start()])
            start = token.end()
    raise ValueError("unbalanced call at offset %d" % open_paren)


def literals_in(argument, macros):
    found = [a if a is not None else b for a, b in LITERAL.findall(argument)]
    found += [macros[name] for name in re.findall(r"\b[A-Z_][A-Z0-9_]*\b", argument) if name in macros]
    return found


def program_texts(source_dir):
    """{normalized text: [where]} and the problems found on the way."""
    files = {}
    for folder, _, names in os.walk(source_dir):
        for name in sorted(names):
            if name.endswith((".cpp", ".h")):
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8") as f:
                    files[os.path.relpath(path, source_dir)] = strip_comments(f.read())
    macros = {}
    for source in files.values():
        macros.update(TEXT_MACRO.findall(source))

    texts, problems = {}, []
    names = "|".join(LOGGING_CALLS + (MESSAGE_BOX,))
    for path, source in sorted(files.items()):
        for match in re.finditer(r"(\w+)?\s*\b(%s)\s*\(" % names, source):
            # "void LogMessage(" declares; "return LogMessage(" and "else wprintf(" call.
            if match.group(1) and match.group(1) not in ("return", "else", "do"):
                continue
            where = "%s:%d" % (path, source.count("\n", 0, match.start(2)) + 1)
            args = call_arguments(source, match.end() - 1)
            if match.group(2) == MESSAGE_BOX:
                found = [t for arg in args[1:3] for t in literals_in(arg, macros)]
            else:
                found = [t for arg in args for t in literals_in(arg, macros)]
                if not literals_in(args[0], macros):
                    # The format comes from a variable: take the texts of the
                    # file's initialised records.
                    tables = [t for body in BRACE_INITIALIZER.findall(source) for t in literals_in(body, macros)]
                    if not tables:
                        problems.append("%s: %s(%s) logs a text this check cannot find"
                                        % (where, match.group(2), args[0].strip()))
                    found += tables
            for text in found:
                if normalize(text):
                    texts.setdefault(normalize(text), []).append(where)
    return texts, problems


def markdown_blocks(markdown):
    """(info words, lines) of every fenced block."""
    return [(m.group(1).split(), m.group(2).splitlines())
            for m in re.finditer(r"^```([^\n]*)\n(.*?)^```", markdown, re.M | re.S)]


def glossary_entries(markdown):
    """The code spans of the first column of the tables under the heading that names the glossary."""
    entries, level = set(), None
    for line in re.sub(r"^```.*?^```", "", markdown, flags=re.M | re.S).splitlines():
        heading = re.match(r"(#+)\s+(.*)", line)
        if heading:
            if level is not None and len(heading.group(1)) <= level:
                break
            if level is None and "glossary" in heading.group(2).lower():
                level = len(heading.group(1))
            continue
        if level is not None and line.startswith("|"):
            first_cell = re.split(r"(?<!\\)\|", line)[1]
            entries.update(normalize(span) for span in re.findall(r"`([^`]+)`", first_cell))
    entries.discard("")
    return entries


def check_glossary(source_dir, usage_md):
    texts, problems = program_texts(source_dir)
    with open(usage_md, encoding="utf-8") as f:
        entries = glossary_entries(f.read())
    if not entries:
        problems.append("%s has no glossary table" % usage_md)
    for text in sorted(set(texts) - entries):
        problems.append("not in the glossary: %r (%s)" % (text, ", ".join(texts[text])))
    for entry in sorted(entries - set(texts)):
        problems.append("in the glossary but never written by the program: %r" % entry)
    return problems, len(texts)


def split_command_line(line):
    return [a.replace('"', "") for a in re.findall(r'(?:[^\s"]|"[^"]*")+', line)]


def check_commands(usage_md, binary, package):
    with open(usage_md, encoding="utf-8") as f:
        blocks = markdown_blocks(f.read())
    problems, runs = [], 0
    for info, lines in blocks:
        kind = info[0] if info else ""
        if kind == "sh" and len(info) > 1 and info[1] in SHELL_KINDS or kind in PLAIN_BLOCKS:
            continue
        if kind not in CHECKED_BLOCKS:
            problems.append("block '%s' is of no kind CI runs or checks: %s" % (" ".join(info), lines[:1]))
            continue
        with tempfile.TemporaryDirectory() as scratch:
            # Windows paths name host directories: C:\MPIO\package is ./C:/MPIO/package.
            shutil.copytree(package, os.path.join(scratch, "C:", "MPIO", "package"))
            for line in lines:
                words = split_command_line(line.strip())
                if not words or words[0].lower() in SHELL_BUILTINS or words[0].startswith(("#", "::")):
                    continue
                if not words[0].lower().endswith("install.exe"):
                    problems.append("%s line is neither install.exe nor a shell builtin: %s" % (kind, line))
                    continue
                run = subprocess.run([binary] + words[1:], cwd=scratch, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
                runs += 1
                output = run.stdout.decode("latin-1")
                if "Usage: install switch" in output or run.returncode not in (0, 1, 254, 255):
                    problems.append("%s: exit %d\n%s" % (line, run.returncode, output))
    return problems, runs


def main(argv):
    if len(argv) == 4 and argv[1] == "glossary":
        problems, count = check_glossary(argv[2], argv[3])
        done = "%d program texts, all in the glossary" % count
    elif len(argv) in (4, 5) and argv[1] == "commands":
        example = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "package")
        problems, count = check_commands(argv[2], os.path.abspath(argv[3]), argv[4] if len(argv) == 5 else example)
        done = "%d install.exe command lines run and accepted" % count
    elif len(argv) == 4 and argv[1] == "shell" and argv[3] in SHELL_KINDS:
        with open(argv[2], encoding="utf-8") as f:
            for info, lines in markdown_blocks(f.read()):
                if info[:2] == ["sh", argv[3]]:
                    print("\n".join(lines))
        return 0
    else:
        print(__doc__)
        return 2
    for problem in problems:
        print("FAIL", problem)
    print("%d problem(s)" % len(problems) if problems else done)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
