#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Every relative link of the documentation leads somewhere:
#   - in README.md and docs/**/*.md: Markdown links [text](target), pictures
#     ![alt](target), reference definitions [x]: target and the references
#     [text][x] to them, and the src, href and srcset of HTML tags. Links in
#     code (fenced or indented blocks, `spans`) and in HTML comments are no
#     links; absolute URLs (http:, https:, mailto:, //host ...) are not
#     followed. A path must name a file or folder, from the folder of the
#     file that links it (from the repository's top when it starts with
#     /), and stay inside the repository. A #anchor, alone or after a .md
#     file, must be a heading of that file as GitHub names it, or the id or
#     name of an HTML tag in it.
#     GitHub's name of a heading: its text (without Markdown and HTML) in
#     lower case, without every character but letters, marks, digits, "_",
#     "-" and blanks, each blank made a "-"; the second heading of a name
#     gets "-1", the third "-2", and so on.
#   - in man/*: every page name(section) of this project (the name of a
#     man/NAME.N page, or vorn...) is a page man/NAME.SECTION; other pages,
#     lighttpd(8) or gdbm_dump(1), are not the project's. A file
#     /usr/share/doc/vorncounter/PATH[.gz] and a path docs/... or README.md
#     must be a file of the repository.
# Each broken link is shown as FILE:LINE: target (why).
#
#   tests/docs_links_test.sh SOURCE_DIR
set -uo pipefail
src=$(cd "${1:?usage: docs_links_test.sh SOURCE_DIR}" && pwd)
exec timeout 15 python3 - "$src" <<'PYTHON'
import glob
import html
import os
import re
import sys
import unicodedata
import urllib.parse

SRC = sys.argv[1]
ABSOLUTE = re.compile(r"^(?:[A-Za-z][A-Za-z0-9+.-]*:|//)")
FENCE = re.compile(r"^\s*(`{3,}|~{3,})(.*)$")
LIST_ITEM = re.compile(r"^\s*(?:[-*+]|\d{1,9}[.)])\s+\S")
HEADING = re.compile(r"^ {0,3}(#{1,6})(?:[ \t]+(.*?))?(?:[ \t]+#+)?[ \t]*$")
TAG = re.compile(r"<([A-Za-z][\w-]*)((?:\s+[\w:-]+(?:\s*=\s*(?:\"[^\"]*\"|'[^']*'|[^\s\"'=<>`]+))?)*)\s*/?>", re.S)
ATTRIBUTE = re.compile(r"([\w:-]+)(?:\s*=\s*(?:\"([^\"]*)\"|'([^']*)'|([^\s\"'=<>`]+)))?")


def blank(text):
    """`text` with every character but the line ends made a blank."""
    return re.sub(r"[^\n]", " ", text)


def prose(lines):
    """The Markdown as its lines, with code blocks, code spans and HTML
    comments blanked out (so offsets and line numbers stay)."""
    out, fence, code, previous_blank, list_indent = [], None, False, True, None
    for line in lines:
        expanded = line.expandtabs(4)
        indent = len(expanded) - len(expanded.lstrip())
        if fence:
            out.append("")
            m = FENCE.match(line)
            if m and m.group(1)[0] == fence[0] and len(m.group(1)) >= len(fence) and not m.group(2).strip():
                fence = None
            continue
        m = FENCE.match(line)
        if m and not (m.group(1)[0] == "`" and "`" in m.group(2)):
            fence, code = m.group(1), False
            out.append("")
            continue
        if not expanded.strip():
            out.append(line)
            previous_blank = True
            continue
        base = list_indent if list_indent is not None else 0
        if indent >= base + 4 and (previous_blank or code):
            out.append("")  # an indented code block
            code = True
            continue
        code = False
        item = LIST_ITEM.match(expanded)
        if item:
            list_indent = item.end() - 1  # where the item's text starts
        elif indent == 0 and previous_blank:
            list_indent = None
        previous_blank = False
        out.append(line)
    text = "\n".join(out)
    text = re.sub(r"<!--.*?-->", lambda m: blank(m.group()), text, flags=re.S)
    # Code spans: a run of backticks up to the next run of the same length
    # within the paragraph.
    result, pos = [], 0
    for m in re.finditer(r"`+", text):
        if m.start() < pos:
            continue
        close = re.compile(r"(?<!`)" + m.group() + r"(?!`)")
        end = close.search(text, m.end())
        paragraph_end = re.search(r"\n[ \t]*\n", text[m.end():])
        if end and (not paragraph_end or end.start() < m.end() + paragraph_end.start()):
            result += [text[pos:m.start()], blank(text[m.start():end.end()])]
            pos = end.end()
    result.append(text[pos:])
    return "".join(result)


def slug(heading):
    """GitHub's anchor of a heading's Markdown text."""
    text = re.sub(r"!\[([^\]]*)\]\([^)]*\)", "", heading)
    text = re.sub(r"\[([^\]]*)\](?:\([^)]*\)|\[[^\]]*\])", r"\1", text)
    text = re.sub(r"<[^>]+>", "", text)
    text = re.sub(r"(?<!\w)_(.+?)_(?!\w)", r"\1", text)
    text = html.unescape(text.replace("`", "")).strip().lower()
    kept = "".join(c for c in text if c in " -" or unicodedata.category(c)[0] in "LMN" and
                   unicodedata.category(c) != "No" or unicodedata.category(c) == "Pc")
    return kept.replace(" ", "-")


class Markdown:
    def __init__(self, path):
        self.path = path
        with open(path, encoding="utf-8") as f:
            self.raw = f.read()
        self.text = prose(self.raw.split("\n"))
        self.anchors = set()
        counts = {}
        # Headings outside code blocks, read with their code spans.
        lines = [raw if line.strip() else "" for raw, line in zip(self.raw.split("\n"), self.text.split("\n"))]
        for k, line in enumerate(lines):
            m = HEADING.match(line)
            setext = k > 0 and re.match(r"^ {0,3}(=+|-+)[ \t]*$", line) and lines[k - 1].strip() and \
                not LIST_ITEM.match(lines[k - 1]) and not HEADING.match(lines[k - 1]) and "|" not in lines[k - 1]
            title = (m.group(2) or "") if m else lines[k - 1] if setext else None
            if title is None:
                continue
            name = slug(title)
            n = counts.get(name, 0)
            counts[name] = n + 1
            self.anchors.add(name if n == 0 else f"{name}-{n}")
        for tag in TAG.finditer(self.text):
            for a in ATTRIBUTE.finditer(tag.group(2)):
                value = next((v for v in a.groups()[1:] if v is not None), None)
                if a.group(1).lower() in ("id", "name") and value:
                    self.anchors.add(value)

    def line(self, offset):
        return self.text.count("\n", 0, offset) + 1

    def links(self):
        """(line, target) of every link; (line, (reference, why)) of a
        reference to no definition."""
        text = self.text
        for m in re.finditer(r"\]\(", text):
            if text[m.start() - 1:m.start()] == "\\":
                continue
            d = re.match(r"[ \t]*\n?[ \t]*(<[^<>\n]*>|(?:[^\s()\\]|\\.|\([^\s()]*\))+)?", text[m.end():])
            target = (d.group(1) or "") if d else ""
            yield self.line(m.start()), target[1:-1] if target.startswith("<") else target
        labels = set()
        for m in re.finditer(r"^ {0,3}\[([^\]]+)\]:[ \t]*\n?[ \t]*(<[^<>\n]*>|\S+)", text, re.M):
            labels.add(" ".join(m.group(1).lower().split()))
            target = m.group(2)
            yield self.line(m.start()), target[1:-1] if target.startswith("<") else target
        for m in re.finditer(r"\]\[([^\]]+)\]", text):
            if " ".join(m.group(1).lower().split()) not in labels:
                yield self.line(m.start()), ("[" + m.group(1) + "]", "no reference definition of that name")
        for tag in TAG.finditer(text):
            for a in ATTRIBUTE.finditer(tag.group(2)):
                name, value = a.group(1).lower(), next((v for v in a.groups()[1:] if v is not None), None)
                if value is None:
                    continue
                if name in ("src", "href"):
                    yield self.line(tag.start()), html.unescape(value)
                elif name == "srcset":
                    for candidate in value.split(","):
                        if candidate.strip():
                            yield self.line(tag.start()), html.unescape(candidate.split()[0])


def inside(path):
    return os.path.commonpath([SRC, os.path.abspath(path)]) == SRC


def check_markdown(documents):
    problems = []
    for doc in documents.values():
        where = os.path.relpath(doc.path, SRC)
        for line, target in doc.links():
            if isinstance(target, tuple):
                problems.append(f"{where}:{line}: {target[0]} ({target[1]})")
                continue
            if not target:
                problems.append(f"{where}:{line}: (an empty link)")
                continue
            if ABSOLUTE.match(target):
                continue
            path, _, anchor = target.partition("#")
            path = urllib.parse.unquote(path.split("?")[0])
            if path:
                full = os.path.normpath(os.path.join(SRC, path.lstrip("/")) if path.startswith("/") else
                                        os.path.join(os.path.dirname(doc.path), path))
                if not inside(full):
                    problems.append(f"{where}:{line}: {target} (outside the repository)")
                    continue
                if not os.path.exists(full):
                    problems.append(f"{where}:{line}: {target} (no such file or folder)")
                    continue
            else:
                full = doc.path
            if "#" not in target or not full.endswith(".md") or not os.path.isfile(full):
                continue
            anchor = urllib.parse.unquote(anchor)
            linked = documents.get(full) or Markdown(full)
            if anchor not in linked.anchors and anchor.lower() != "top" and anchor:
                problems.append(f"{where}:{line}: {target} (no heading or anchor '{anchor}' in "
                                f"{os.path.relpath(full, SRC)})")
    return problems


def roff_text(line):
    if line.startswith(('.\\"', "'\\\"")):
        return ""
    line = re.sub(r'\\".*', "", line)
    if line[:1] in (".", "'"):
        macro, rest = re.match(r"[.'][ \t]*(\S*)[ \t]*(.*)", line).groups()
        args = [w or q.replace('""', '"') for q, w in re.findall(r'"((?:[^"]|"")*)"?|(\S+)', rest)]
        line = "".join(args) if re.fullmatch(r"[BIR]{2}", macro) else " ".join(args)
    line = re.sub(r"\\(?:f\[[^]]*\]|f\(..|f.|&|%|:)", "", line)
    return line.replace("\\-", "-").replace("\\(aq", "'").replace("\\e", "\\")


def check_manpages():
    problems = []
    pages = sorted(glob.glob(os.path.join(SRC, "man", "*.[1-9]*")))
    names = {os.path.basename(p).rsplit(".", 1)[0] for p in pages}
    for page in pages:
        where = os.path.relpath(page, SRC)
        with open(page, encoding="utf-8") as f:
            lines = [roff_text(x) for x in f.read().split("\n")]
        for number, text in enumerate(lines, 1):
            for m in re.finditer(r"(?<![\w.-])([A-Za-z0-9_][\w.+:-]*)\((\d\w*)\)", text):
                name, section = m.groups()
                if (name in names or name.startswith("vorn")) and \
                        not os.path.isfile(os.path.join(SRC, "man", f"{name}.{section}")):
                    problems.append(f"{where}:{number}: {name}({section}) (no page man/{name}.{section})")
            for m in re.finditer(r"/usr/share/doc/vorncounter/([^\s,;)]*[^\s,;).])", text):
                path = re.sub(r"\.gz$", "", m.group(1))
                if not os.path.isfile(os.path.join(SRC, path)):
                    problems.append(f"{where}:{number}: {m.group()} (no {path} in the repository)")
            for m in re.finditer(r"(?<![\w/.-])((?:docs/[\w./-]*[\w/]|README\.md))(?![\w/])", text):
                if not os.path.exists(os.path.join(SRC, m.group(1))):
                    problems.append(f"{where}:{number}: {m.group(1)} (no such file or folder)")
    return problems


def main():
    paths = [os.path.join(SRC, "README.md")] + glob.glob(os.path.join(SRC, "docs", "**", "*.md"), recursive=True)
    documents = {p: Markdown(p) for p in sorted(paths) if os.path.isfile(p)}
    problems = check_markdown(documents) + check_manpages()
    for p in sorted(problems, key=lambda p: (p.split(":")[0], int(p.split(":")[1]) if p.split(":")[1].isdigit() else 0)):
        print(p)
    if problems:
        print(f"docs_links: {len(problems)} broken links")
        return 1
    print(f"docs_links: every link of {len(documents)} Markdown files and the manual pages leads somewhere")
    return 0


sys.exit(main())
PYTHON
