#!/usr/bin/env python3
"""Every relative link in the repository's Markdown files leads somewhere.

    check_links.py SOURCE_DIR

Looks at README.md and every *.md below docs/, bench/, python/ and examples/: each link
[text](target) or image ![alt](target) that is not a URL must name a file or folder that
exists (relative to the file the link is in), and a #fragment must be a heading of the
file it names (the anchor a Markdown renderer makes of it: lower case, punctuation but '-'
and '_' dropped, spaces to '-'). Exit 1, naming file, line and link, if one does not.
"""

import re
import sys
from pathlib import Path

LINK = re.compile(r"!?\[(?:[^\]`]|`[^`]*`)*\]\(([^)\s]+)\)")
HEADING = re.compile(r"^#{1,6}\s+(.*?)\s*#*\s*$")
FENCE = re.compile(r"^\s*(```|~~~)")


def prose_lines(path):
    """(line number, text) of the lines outside fenced code blocks, inline code removed."""
    fenced = False
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if FENCE.match(line):
            fenced = not fenced
            continue
        if not fenced:
            yield number, re.sub(r"`[^`]*`", "``", line)


def anchor(heading):
    text = heading.strip().lower().replace("`", "")
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors(path):
    seen, found = {}, set()
    fenced = False
    for line in path.read_text(encoding="utf-8").splitlines():
        if FENCE.match(line):
            fenced = not fenced
            continue
        match = None if fenced else HEADING.match(line)
        if match:
            base = anchor(match.group(1))
            count = seen.get(base, 0)
            seen[base] = count + 1
            found.add(base if count == 0 else f"{base}-{count}")
    return found


def broken_links(path):
    for number, line in prose_lines(path):
        for target in LINK.findall(line):
            if re.match(r"^[a-z][a-z0-9+.-]*:", target):
                continue  # a URL
            file_part, _, fragment = target.partition("#")
            linked = (path.parent / file_part).resolve() if file_part else path
            if not linked.exists():
                yield number, target, "no such file"
            elif fragment and (linked.is_dir() or linked.suffix != ".md"):
                yield number, target, "a fragment of a file that is not Markdown"
            elif fragment and fragment not in anchors(linked):
                yield number, target, f"{linked.name} has no heading '#{fragment}'"


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    root = Path(sys.argv[1])
    files = [root / "README.md"]
    for folder in ("docs", "bench", "python", "examples"):
        files += sorted((root / folder).rglob("*.md"))
    failures = 0
    for path in files:
        for number, target, why in broken_links(path):
            print(f"{path.relative_to(root)}:{number}: ({target}): {why}")
            failures += 1
    print(f"{len(files)} files, {failures} broken links")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
