#!/usr/bin/env python3
"""Keeps the folders' ladder (docs/architecture.md): a folder under src/ includes only itself
and the folders before it in LADDER; loudness and deinterleave only themselves; the public
headers include only public headers; the programs in tools/ and python/ only public headers
and their own. Prints each include that breaks it; exits 1 if any does."""

import pathlib
import re
import sys

LADDER = ["io", "format", "bits", "tables", "maindata", "framewriter", "assemble",
          "disassemble", "playback", "inspect", "edit"]
ALONE = {"loudness"}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def includes(path):
    return INCLUDE.findall(path.read_text(encoding="utf-8"))


def main(root):
    root = pathlib.Path(root)
    broken = []
    sources = lambda d: sorted(p for p in d.rglob("*") if p.suffix in (".h", ".cpp"))
    for path in sources(root / "src"):
        folder = path.relative_to(root / "src").parts[0]
        if folder not in LADDER and folder not in ALONE:
            broken.append(f"{path.relative_to(root)}: src/{folder}/ has no place in the ladder")
            continue
        allowed = {folder} if folder in ALONE else set(LADDER[: LADDER.index(folder) + 1])
        for name in includes(path):
            top = name.split("/")[0]
            if top != "l3" and top not in allowed:
                broken.append(f"{path.relative_to(root)}: {name}")
    for path in sources(root / "include"):
        broken += [f"{path.relative_to(root)}: {n}" for n in includes(path) if not n.startswith("l3/")]
    for folder in ("tools", "python"):
        for path in sources(root / folder):
            for name in includes(path):
                own = (path.parent / name).exists() or (root / folder / name).exists()
                if not name.startswith("l3/") and not own:
                    broken.append(f"{path.relative_to(root)}: {name}")
    for line in broken:
        print("outside its layer:", line)
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
