#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Adds the SPDX licence line to the project's source files that lack it, in each
file's own comment syntax and after a shebang line or a header that must stay first.

    scripts/spdx.py [--check] [--exclude PATH ...] [FILE ...]

Without FILE arguments: every file that git tracks or would track. --check changes
nothing and exits 1 when a file lacks the line."""

import argparse
import subprocess
import sys
from pathlib import Path

LICENSE = "GPL-2.0-or-later"
TAG = "SPDX-License-Identifier:"
REPO = Path(__file__).resolve().parents[1]

HASH = "# {}"
SLASHES = "// {}"
XML = "<!-- {} -->"
SCDOC = "; {}"

# Comment style by suffix or by whole name.
BY_SUFFIX = {".cpp": SLASHES, ".h": SLASHES, ".c": SLASHES, ".py": HASH, ".sh": HASH,
             ".bash": HASH, ".in": HASH, ".rules": HASH, ".service": HASH, ".ini": HASH,
             ".txt": HASH, ".xml": XML, ".conf": XML, ".scd": SCDOC}
BY_NAME = {"meson.build": HASH, "meson_options.txt": HASH, "run": HASH,
           ".clang-format": HASH, ".gitignore": HASH}


def style_of(path):
    return BY_NAME.get(path.name) or BY_SUFFIX.get(path.suffix)


def lines_to_keep_first(style, lines):
    """How many leading lines must stay above the SPDX line."""
    if lines and lines[0].startswith("#!"):
        return 1
    if style == XML and lines and lines[0].startswith("<?xml"):
        n = 1
    else:
        n = 0
    if style == XML and len(lines) > n and lines[n].startswith("<!DOCTYPE"):
        # The doctype may run over several lines.
        while n < len(lines) and ">" not in lines[n]:
            n += 1
        return n + 1
    if style == SCDOC:
        return 1  # scdoc wants the "name(section)" preamble on the first line
    return n


def source_files():
    out = subprocess.run(["git", "-C", str(REPO), "ls-files", "--cached", "--others",
                          "--exclude-standard"], capture_output=True, text=True, check=True)
    return [REPO / name for name in out.stdout.splitlines()]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--exclude", action="append", default=[],
                        help="a file or a directory to leave alone (repeatable)")
    parser.add_argument("files", nargs="*", type=Path)
    args = parser.parse_args()
    excluded = [(REPO / e).resolve() for e in args.exclude]
    files = [f.resolve() for f in args.files] if args.files else source_files()
    missing = []
    for path in files:
        style = style_of(path)
        if style is None or not path.is_file():
            continue
        if any(path == e or e in path.parents for e in excluded):
            continue
        text = path.read_text()
        if TAG in text:
            continue
        missing.append(path)
        if args.check:
            continue
        lines = text.splitlines(keepends=True)
        n = lines_to_keep_first(style, lines)
        if n and not lines[n - 1].endswith("\n"):
            lines[n - 1] += "\n"
        lines.insert(n, style.format(f"{TAG} {LICENSE}") + "\n")
        path.write_text("".join(lines))
    for path in missing:
        print(("missing: " if args.check else "added: ") + str(path.relative_to(REPO)))
    return 1 if args.check and missing else 0


if __name__ == "__main__":
    sys.exit(main())
