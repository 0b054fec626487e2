#!/usr/bin/env python3
"""Writes one man page per l3 command (l3-info.1, l3-check.1, ...) from the built l3.

The pages are made from what `l3 --help` and `l3 help COMMAND` print (the command table and
the usage strings in tools/l3/), so the help text is written once and the pages follow it:

    tools/l3/make_man_pages.py --l3 build/release/bin/l3 --out docs/man
    tools/l3/make_man_pages.py --l3 build/release/bin/l3 --check docs/man

--check writes nothing: it makes the pages in memory and exits 1, with a diff, when a
committed page differs, when docs/man holds a page for a command l3 no longer has, or when
l3.1 does not name every command with its summary and page. Exit 2: l3 could not be run or
its help text is not of the form below.

The usage text's form: "usage: l3 NAME ..." and indented further synopsis lines; paragraphs
of text; option lines indented by two spaces ("  --opt ARG   what it does", continued on
deeper-indented lines), optionally after a line "options:"; and last "exit codes: ..." or
"Exit status: ...", continued on the lines after it.
"""

import argparse
import difflib
import re
import subprocess
import sys
from pathlib import Path

OPTION_LINE = re.compile(r"^  (-\S.*?)(?:\s{2,}(\S.*))?$")
EXIT_LINE = re.compile(r"^(?:exit codes|Exit status):\s*(.*)$")
COMMAND_LINE = re.compile(r"^  (\S+)\s+(\S.*)$")


class UsageError(Exception):
    pass


def run_l3(l3, *args):
    result = subprocess.run([l3, *args], capture_output=True, text=True)
    if result.returncode != 0:
        raise UsageError(f"{l3} {' '.join(args)}: exit {result.returncode}: {result.stderr}")
    return result.stdout


def commands(l3):
    """(name, summary) for every command `l3 --help` lists."""
    text = run_l3(l3, "--help")
    if "\ncommands:\n" not in text:
        raise UsageError("l3 --help has no 'commands:' list")
    found = []
    for line in text.split("\ncommands:\n", 1)[1].splitlines():
        match = COMMAND_LINE.match(line)
        if not match:
            raise UsageError(f"l3 --help: not a command line: {line!r}")
        found.append((match.group(1), match.group(2)))
    if not found:
        raise UsageError("l3 --help lists no command")
    return found


def escape(text):
    """Roff text: backslashes and dashes literal, no line read as a request."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text.startswith((".", "'")) else text


def parse_usage(name, usage):
    """Splits a command's usage text into synopsis lines, description paragraphs, options
    ([tag, text lines]) and exit-status lines."""
    lines = usage.rstrip("\n").split("\n")
    prefix = f"usage: l3 {name}"
    if not lines[0].startswith(prefix):
        raise UsageError(f"l3 help {name}: the first line does not start with '{prefix}'")
    indent = len("usage: ")
    synopsis = [lines[0][indent:]]
    i = 1
    while i < len(lines) and lines[i].startswith(" ") and not OPTION_LINE.match(lines[i]):
        synopsis.append(lines[i][indent:] if lines[i][:indent].isspace() else lines[i].strip())
        i += 1
    description, options, exit_status = [], [], []
    paragraph = None  # the description paragraph being filled
    option = None     # the option whose text is being filled
    for line in lines[i:]:
        if exit_status:  # the exit status is last: every line after it continues it
            exit_status.append(line.strip())
            continue
        match = EXIT_LINE.match(line)
        if match:
            exit_status.append(match.group(1))
            continue
        if not line.strip():
            paragraph = option = None
        elif line == "options:":
            paragraph = option = None
        elif OPTION_LINE.match(line):
            tag, text = OPTION_LINE.match(line).groups()
            option = [tag, [text] if text else []]
            options.append(option)
            paragraph = None
        elif line.startswith("   ") and option is not None:
            option[1].append(line.strip())
        elif not line.startswith(" "):
            option = None
            if paragraph is None:
                paragraph = []
                description.append(paragraph)
            paragraph.append(line)
        else:
            raise UsageError(f"l3 help {name}: cannot place the line {line!r}")
    if not exit_status:
        raise UsageError(f"l3 help {name}: no 'exit codes:' or 'Exit status:' line")
    return synopsis, description, options, exit_status


def man_page(name, summary, version, usage):
    synopsis, description, options, exit_status = parse_usage(name, usage)
    title = f"L3-{name.upper()}"
    out = [
        f".\\\" Made by tools/l3/make_man_pages.py from 'l3 help {name}'; do not edit.",
        f'.TH {escape(title)} 1 "" "{escape(version)}" "User Commands"',
        ".SH NAME",
        f"l3\\-{escape(name)} \\- {escape(summary)}",
        ".SH SYNOPSIS",
        ".nf",
        *(escape(line) for line in synopsis),
        ".fi",
        ".SH DESCRIPTION",
    ]
    for k, paragraph in enumerate(description):
        if k:
            out.append(".PP")
        out.extend(escape(line) for line in paragraph)
    if options:
        out.append(".SH OPTIONS")
        for tag, text in options:
            out.append(".TP")
            out.append(f".B \"{escape(tag)}\"")
            out.extend(escape(line) for line in text)
    out.append(".SH EXIT STATUS")
    out.extend(escape(line) for line in exit_status if line)
    out += [".SH SEE ALSO", ".BR l3 (1);",
            "the full reference, with examples and the reasons: docs/l3.md in the source.", ""]
    return "\n".join(out)


def pages(l3, summaries):
    version = run_l3(l3, "--version").strip()
    return {f"l3-{name}.1": man_page(name, summary, version, run_l3(l3, "help", name))
            for name, summary in summaries}


def check(made, summaries, folder):
    differ = []
    for file_name, text in made.items():
        path = folder / file_name
        old = path.read_text() if path.exists() else ""
        if old != text:
            differ.append(file_name)
            sys.stdout.writelines(difflib.unified_diff(
                old.splitlines(True), text.splitlines(True), str(path), f"{file_name} (made)"))
    for path in sorted(folder.glob("l3-*.1")):
        if path.name not in made:
            differ.append(path.name)
            print(f"{path}: l3 has no such command")
    main_page = (folder / "l3.1").read_text() if (folder / "l3.1").exists() else ""
    for name, summary in summaries:
        for needed in (f".BR l3\\-{escape(name)} (1)", escape(summary)):
            if needed not in main_page:
                differ.append("l3.1")
                print(f"{folder / 'l3.1'}: has no line '{needed}' for the command {name}")
    if differ:
        print(f"out of step with l3's help: {', '.join(sorted(set(differ)))}; run "
              f"tools/l3/make_man_pages.py --l3 BUILD/bin/l3 --out {folder}", file=sys.stderr)
        return 1
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--l3", required=True, help="the built l3 program")
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--out", type=Path, help="write the pages into this folder")
    where.add_argument("--check", type=Path, help="compare the pages in this folder")
    args = parser.parse_args()
    try:
        summaries = commands(args.l3)
        made = pages(args.l3, summaries)
    except (UsageError, OSError) as error:
        print(f"make_man_pages: {error}", file=sys.stderr)
        return 2
    if args.check:
        return check(made, summaries, args.check)
    for file_name, text in made.items():
        (args.out / file_name).write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
