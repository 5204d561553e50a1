#!/usr/bin/env python3
"""Checks the relative links of README.md and docs/*.md.

Each link [text](path), [text](path#anchor) or [text](#anchor) outside a
code block must lead to a file that exists, relative to the linking file,
and one with an anchor into a Markdown file to a heading of that file, by
GitHub's slug of the heading. Links with a scheme (http:, https:, mailto:)
are not checked. Prints one line per broken link, and exits with 1 if any.

Usage: check_links.py <repository>
"""
import glob
import os
import re
import sys
from urllib.parse import unquote

LINK = re.compile(r"\]\(([^)\s]+)\)")


def prose(path):
    """The lines of a Markdown file outside its code blocks."""
    lines, code = [], False
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.lstrip().startswith("```"):
                code = not code
            elif not code:
                lines.append(line)
    return lines


def anchors(path):
    """GitHub's slugs of the headings of a Markdown file."""
    slugs = set()
    for line in prose(path):
        heading = re.match(r"#{1,6} (.+)", line)
        if heading:
            slug = re.sub(r"[^\w\- ]", "", heading.group(1).strip().lower()).replace(" ", "-")
            number, unique = 0, slug
            while unique in slugs:
                number += 1
                unique = f"{slug}-{number}"
            slugs.add(unique)
    return slugs


def main():
    root = sys.argv[1]
    broken = []
    for source in [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs", "*.md"))):
        for line in prose(source):
            for target in LINK.findall(line):
                if re.match(r"[a-z]+:", target):
                    continue
                path, _, anchor = unquote(target).partition("#")
                path = os.path.normpath(os.path.join(os.path.dirname(source), path)) if path else source
                where = f"{os.path.relpath(source, root)}: ({target})"
                if not os.path.exists(path):
                    broken.append(f"{where}: no file {os.path.relpath(path, root)}")
                elif anchor and path.endswith(".md") and anchor not in anchors(path):
                    broken.append(f"{where}: no heading #{anchor} in {os.path.relpath(path, root)}")
    print("\n".join(broken) or "every relative link leads somewhere")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
