#!/usr/bin/env python3
"""Writes the release zip's README.txt from docs/guide.md and docs/deploying.md.

README.txt is the technician's guide followed by the deployment sections:
the whole of the first file given (docs/guide.md), then the whole of each
further one (docs/deploying.md), in the order given, turned into plain ASCII
text with CRLF line ends for Notepad: headings underlined, code blocks
indented, tables as lists, inline marks and HTML comments dropped, a link
reduced to its text when it leads to a section (of the same file or another
source) or to a file of the repository, which the zip names as it lies
there. The first file's "# " title, with the version, is README.txt's title;
each further file's headings go one level down, so that its "# " title heads
one section of README.txt and its "## " headings the subsections.

Each source file given with --texts holds texts the program prints, as C++
string literals. Every piece of them (a literal split at its line feeds,
without the spaces around it, with any printf conversion standing for a
value) must appear in README.txt, or nothing is written and the exit status
is 1: README.txt shows every line the program can print. The title carries
the version the program prints ("Version 1.00") when the texts hold one,
else the one given.

README.txt is read in a terminal or Notepad 80 columns wide: nothing is
written either when a line of its prose is longer than that (a code block's
lines, commands and the program's own lines, stand as they are), or when a
line ends in "(see", a reference cut from what it refers to.

Usage: make_guide.py --version <version> [--texts <file.cpp>]...
                     <guide.md> [<deploying.md>]... <README.txt>
"""
import argparse
import re
import sys
import textwrap

WIDTH = 78
COLUMNS = 80
ASCII_FOR = {"\u2014": "-", "\u2013": "-", "\u2018": "'", "\u2019": "'",
             "\u201c": '"', "\u201d": '"', "\u2026": "...", "\u00a0": " "}


class GuideError(Exception):
    pass


def to_ascii(text, where):
    text = "".join(ASCII_FOR.get(c, c) for c in text)
    for c in text:
        if ord(c) > 126 or (ord(c) < 32 and c != "\n"):
            raise GuideError(f"{where}: no plain-text form for {c!r}")
    return text


def inline(text):
    """Markdown inline marks to plain text. Code spans keep their text, in
    double quotes where bare it would read as prose: a command with its
    argument, a single character. A table cell that is all code is bare."""
    whole = re.fullmatch(r"`([^`]*)`", text)
    if whole:
        return whole.group(1)
    parts = re.split(r"(`[^`]*`)", text)
    out = []
    for part in parts:
        if part.startswith("`") and part.endswith("`") and len(part) >= 2:
            code = part[1:-1]
            out.append(f'"{code}"' if " " in code or len(code) == 1 else code)
            continue
        part = re.sub(r"\[([^\]]*)\]\(#[^)]*\)", r"\1", part)  # a link within the text
        # A link to a section of another source, or to a file of the
        # repository: its text alone, which names the section or the file
        # as it lies in the release zip; README.txt has no repository.
        part = re.sub(r"\[([^\]]*)\]\((?![a-z]+:)[^)]*\)", r"\1", part)
        part = re.sub(r"\[([^\]]*)\]\(([^)]*)\)", r"\1 (\2)", part)
        part = re.sub(r"(\*\*|__)(.+?)\1", r"\2", part)
        part = re.sub(r"(?<![\w*])[*_](\S(?:.*?\S)?)[*_](?![\w*])", r"\1", part)
        part = re.sub(r"\\([\\`*_{}\[\]()#+\-.!|>])", r"\1", part)
        out.append(part)
    return "".join(out)


def table_cells(line):
    # Split at the pipes that are neither escaped nor inside a code span.
    cells, cell, code = [], "", False
    body = line.strip()[1:-1] if line.strip().endswith("|") else line.strip()[1:]
    i = 0
    while i < len(body):
        c = body[i]
        if c == "\\" and i + 1 < len(body) and body[i + 1] == "|":
            cell += "|"
            i += 2
            continue
        if c == "`":
            code = not code
        if c == "|" and not code:
            cells.append(cell.strip())
            cell = ""
        else:
            cell += c
        i += 1
    cells.append(cell.strip())
    return cells


def render_table(rows):
    header, body = rows[0], rows[2:]
    plain = [[inline(cell) for cell in row] for row in [header] + body]
    widths = [max(len(row[i]) for row in plain if i < len(row)) for i in range(len(header))]
    if sum(widths) + 2 * (len(widths) - 1) <= WIDTH:
        lines = []
        for number, row in enumerate(plain):
            lines.append("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip())
            if number == 0:
                lines.append("  ".join("-" * w for w in widths))
        return lines
    # Too wide: the last column wrapped beside the others, when they leave
    # it room enough to read.
    lead = sum(widths[:-1]) + 2 * (len(widths) - 1)
    if len(widths) > 1 and WIDTH - lead >= 36:
        lines = []
        for number, row in enumerate(plain):
            start = "  ".join(cell.ljust(w) for cell, w in zip(row[:-1], widths))
            text = textwrap.wrap(row[-1], WIDTH - lead, break_long_words=False,
                                 break_on_hyphens=False) or [""]
            lines.append((start + "  " + text[0]).rstrip())
            lines += [" " * lead + more for more in text[1:]]
            if number == 0:
                lines.append("  ".join("-" * w for w in widths[:-1]) + "  " +
                             "-" * min(WIDTH - lead, max(len(r[-1]) for r in plain)))
        return lines
    # Too wide for columns: one entry per row, the other cells below it.
    lines = []
    for row in plain[1:]:
        lines.append(row[0])
        for name, cell in zip(plain[0][1:], row[1:]):
            label = f"{name}: " if len(header) > 2 else ""
            lines += textwrap.wrap(label + cell, WIDTH, initial_indent="    ",
                                   subsequent_indent="    ", break_long_words=False,
                                   break_on_hyphens=False)
        lines.append("")
    return lines[:-1]


def convert(markdown, title, verbatim):
    """The guide's text; the lines of its code blocks are added to verbatim."""
    lines = [title, "=" * len(title)]
    source = markdown.split("\n")
    i = 0
    while i < len(source):
        line = source[i]
        if line.lstrip().startswith("```"):
            # A code block, also one indented under a list item.
            indent = line[: len(line) - len(line.lstrip())]
            i += 1
            while i < len(source) and not source[i].lstrip().startswith("```"):
                code = source[i][len(indent):] if source[i].startswith(indent) else source[i]
                lines.append(indent + "    " + code if code.strip() else "")
                verbatim.add(to_ascii(lines[-1], "code"))
                i += 1
        elif re.match(r"#{2,6} ", line):
            heading = inline(line.lstrip("#").strip())
            lines += [heading, ("=" if line.startswith("## ") else "-") * len(heading)]
        elif line.startswith("|"):
            rows = []
            while i < len(source) and source[i].startswith("|"):
                rows.append(table_cells(source[i]))
                i += 1
            lines += render_table(rows)
            continue
        elif line.strip().startswith("<!--"):
            while i < len(source) and "-->" not in source[i]:
                i += 1
        else:
            lines.append(inline(line).rstrip())
        i += 1
    # Blank lines: one between blocks, none at either end.
    text = "\n".join(lines)
    text = re.sub(r"\n{3,}", "\n\n", text).strip("\n") + "\n"
    # A heading stands apart from the text before it.
    return re.sub(r"([^\n])\n([^\n]+\n[=-]+\n)", r"\1\n\n\2", text)


def string_literals(code):
    """The string literals of C++ code, adjacent ones joined, escapes read."""
    texts, current = [], None
    token = re.compile(r'(?m:^[ \t]*#[^\n]*)|//[^\n]*|/\*.*?\*/|\'(?:\\.|[^\'\\])*\'|"((?:\\.|[^"\\])*)"|(\s+)|.',
                       re.S)
    escapes = {"n": "\n", "t": "\t", "\\": "\\", '"': '"', "'": "'", "0": "\0"}
    for match in token.finditer(code):
        if match.group(1) is not None:
            value = re.sub(r"\\(.)", lambda m: escapes.get(m.group(1), m.group(1)),
                           match.group(1))
            current = value if current is None else current + value
        elif match.group(2) is not None or match.group(0).lstrip().startswith(("//", "/*", "#")):
            continue
        elif current is not None:
            texts.append(current)
            current = None
    if current is not None:
        texts.append(current)
    return texts


# A printf conversion in a text stands for a value, which the guide shows
# by example: "Exit status %d: %s" is shown by "Exit status 0: installed.".
CONVERSION = re.compile(r"%[-+ #0]*[0-9]*(?:\.[0-9]+)?(?:hh|h|ll|l|z)?[diouxXs]")


def shown(piece, guide):
    parts = CONVERSION.split(piece)
    return re.search(".+?".join(re.escape(part) for part in parts), guide) is not None


def layout_faults(guide, verbatim):
    faults = []
    for number, line in enumerate(guide.split("\n"), 1):
        if len(line) > COLUMNS and line not in verbatim:
            faults.append(f"line {number} has {len(line)} columns, more than {COLUMNS}: {line!r}")
        if line.rstrip().endswith("(see"):
            faults.append(f"line {number} ends in a dangling \"(see\": {line!r}")
    return faults


def printed_version(sources):
    for source in sources:
        with open(source, encoding="utf-8") as f:
            for text in string_literals(f.read()):
                match = re.search(r"^Version (\S+)$", text, re.M)
                if match:
                    return match.group(1)
    return None


def missing_texts(guide, sources):
    missing = []
    for source in sources:
        with open(source, encoding="utf-8") as f:
            for text in string_literals(f.read()):
                for piece in text.split("\n"):
                    piece = piece.strip()
                    if piece and not shown(piece, guide) and piece not in missing:
                        missing.append(piece)
    return missing


def demoted(markdown):
    """Every heading outside a code block one level down."""
    lines, code = [], False
    for line in markdown.split("\n"):
        if line.lstrip().startswith("```"):
            code = not code
        elif not code and re.match(r"#{1,5} ", line):
            line = "#" + line
        lines.append(line)
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--version", required=True)
    parser.add_argument("--texts", action="append", default=[])
    parser.add_argument("sources", nargs="+")
    parser.add_argument("output")
    args = parser.parse_args()

    parts = []
    for path in args.sources:
        with open(path, encoding="utf-8") as f:
            parts.append(f.read())
    heading = re.match(r"# (.+)\n", parts[0])
    if not heading:
        raise GuideError(f"{args.sources[0]}: does not begin with a title")
    markdown = "\n".join([parts[0][heading.end():]] + [demoted(part) for part in parts[1:]])
    names = " + ".join(args.sources)
    version = printed_version(args.texts) or args.version
    title = f"{inline(heading.group(1))}, version {version}"
    verbatim = set()
    guide = to_ascii(convert(markdown, title, verbatim), names)

    missing = missing_texts(guide, args.texts)
    if missing:
        raise GuideError(
            f"README.txt from {names} does not show these texts of "
            f"{', '.join(args.texts)}:\n" + "\n".join(f"  {m!r}" for m in missing))

    faults = layout_faults(guide, verbatim)
    if faults:
        raise GuideError(f"README.txt from {names} would not read well:\n" +
                         "\n".join(f"  {fault}" for fault in faults))

    with open(args.output, "w", encoding="ascii", newline="\r\n") as f:
        f.write(guide)


if __name__ == "__main__":
    try:
        main()
    except GuideError as error:
        print(f"make_guide.py: {error}", file=sys.stderr)
        sys.exit(1)
