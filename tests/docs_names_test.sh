#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Every name the programs know is named in the documentation (README.md,
# docs/**/*.md and man/*.8 together), so that no text can be moved or cut
# without its subject. The names are read from the source, not listed here:
#
#   keys        each row of the key tables of src/config/*.cpp (the arrays
#               k...Keys: the keys of conf/vc.conf and those a counter's own
#               conf/counters/NAME.conf may set); documented as a word of
#               its own (DIR_SAVE, not DIR_SAVE_X).
#   parameters  the literal names that src/vorncounter reads a request
#               parameter by: util_getvalue(LIST, "NAME") and each function
#               there that hands its own name argument on to a reader
#               (_vc_parameter, _vc_parsed: found by the test); documented
#               when shown as a literal: NAME=... anywhere, a Markdown code
#               span `NAME` or `NAME=...`, a bold NAME in a manual page.
#   metrics     the metric names of src/metrics (vorncounter_...), as words.
#   kinds       the kinds of vornctl check's findings, which scripts match:
#               found.push_back({"KIND", TEXT}), and the literal kind given
#               to a function along with the findings (`found`).
#   messages    what the counter program and vornctl answer with: the format
#               of every call of a [[noreturn]] printf-style function of
#               src/ (support_errormsg, cli_usage), the text given to the
#               MESSAGE_WRITERS below, the texts the RETURNED_MESSAGES
#               functions return, and the TEXT of every finding (also those
#               pushed to a list that is handed on with the findings).
#
# How a message is looked for. A message is fixed text and values (printf
# conversions, or what a literal is concatenated with). Its key text starts
# at its first word and ends before the first value or at the first ": ",
# "; " or ", " (where documentation shortens a message with "..."), once it
# holds two words; a bracket or quote that opens the value is left out:
#   "Unknown format ('%s')"                 -> Unknown format
#   "DB open error. %s (%s)"                -> DB open error.
#   "Invalid color ('%s'): use %s or ..."   -> Invalid color
#   "METRICS_ADDR is set but ...: ..."      -> METRICS_ADDR is set but METRICS is not
# Before its second word a value matches any short text ("counter '%s'
# already exists" -> counter '...' already exists). Values at the start are
# left out. Whitespace, Markdown backticks and escapes, the manual pages'
# fonts and escapes, and the case of the first letter do not count.
# Not looked for:
#   - a text made of nothing but the message of a caught error
#     (e.message(), perhaps after a name): looked for where it is raised;
#   - a system call's failure "cannot ...: CAUSE", where CAUSE is the
#     system's strerror() text: it says all there is to say;
#   - the EXCEPTIONS below, each with its reason.
# A message with less than two words of fixed text must be an exception.
#
#   tests/docs_names_test.sh SOURCE_DIR
set -uo pipefail
src=$(cd "${1:?usage: docs_names_test.sh SOURCE_DIR}" && pwd)
exec timeout 15 python3 - "$src" <<'PYTHON'
import glob
import html
import os
import re
import sys

SRC = sys.argv[1]

# Writers of a message that are not printf-style: function -> index of the
# argument that holds the text.
MESSAGE_WRITERS = {
    "commands_warn": 0,       # vornctl's warnings and errors on standard error
    "_watch_unavailable": 1,  # the 503 answer of mode=metrics and mode=health
}

# Functions whose returned texts are messages that their callers raise.
RETURNED_MESSAGES = {
    "_count_cells",  # a digit picture that cannot be had: raised by _count_requirecells
    "_csv_parse",    # a bad line of vornctl import: 'FILE:LINE: PROBLEM; nothing was imported'
}

# Messages not looked for: (file, the message as this test shows it, why).
EXCEPTIONS = [
    ("src/vorncounter/count.cpp", "%s", "passes on a message of _count_cells, looked for there"),
    ("src/store/rediscluster.cpp", "%s", "passes on the error of one cluster node, raised by the Redis client"),
    ("src/vornctl/health.cpp", "…", "passes on the texts of a list of findings, looked for where they are made"),
    ("src/vorncounter/vc.cpp", "%s-%s (%s)", "values only: the program's name, version and date"),
    ("src/vornctl/main.cpp", "out of memory", "std::bad_alloc: nothing for the documentation to add"),
]

# ---------------------------------------------------------------- C++ source

TOKEN = re.compile(r'''
    (?P<space>\s+) | (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<str>(?:u8|u|U|L)?"(?:\\.|[^"\\\n])*")
  | (?P<chr>(?:u8|u|U|L)?'(?:\\.|[^'\\\n])+')
  | (?P<id>[A-Za-z_]\w*) | (?P<num>\.?\d(?:[\w.']|[eEpP][+-])*)
  | (?P<punct>::|->|.)''', re.S | re.X)
ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "0": "\0", "a": "\a", "b": "\b", "f": "\f", "v": "\v"}


def unquote(literal):
    def one(m):
        e = m.group(1)
        if e[0] == "x":
            return chr(int(e[1:], 16))
        if e[0] in "01234567" and len(e) > 1:
            return chr(int(e, 8))
        return ESCAPES.get(e, e)
    return re.sub(r'\\(x[0-9a-fA-F]+|[0-7]{1,3}|.)', one, literal[literal.index('"') + 1:-1])


class Source:
    """A C++ file as tokens (kind, text, line), without comments."""

    def __init__(self, path):
        self.path = os.path.relpath(path, SRC)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        self.tokens, line = [], 1
        for m in TOKEN.finditer(text):
            if m.lastgroup not in ("space", "comment"):
                self.tokens.append((m.lastgroup, m.group(), line))
            line += m.group().count("\n")
        self.closing, opened = {}, []
        for i, (kind, t, _) in enumerate(self.tokens):
            if kind == "punct" and t in "([{":
                opened.append(i)
            elif kind == "punct" and t in ")]}" and opened:
                self.closing[opened.pop()] = i

    def close(self, i):
        """The index of the bracket that closes the one at i."""
        return self.closing.get(i, len(self.tokens) - 1)

    def arguments(self, i):
        """The arguments (token lists) inside the bracket at i."""
        args, j, end = [[]], i + 1, self.close(i)
        while j < end:
            if self.tokens[j][1] == ",":
                args.append([])
                j += 1
                continue
            k = self.close(j) + 1 if self.tokens[j][1] in "([{" and self.tokens[j][0] == "punct" else j + 1
            args[-1] += self.tokens[j:k]
            j = k
        return [] if args == [[]] else args

    def calls(self, names, member=False):
        """(index of the name, name, arguments) of each call of one of
        `names`: of member functions (x.name(...)) or, by default, of free
        functions (not their declarations)."""
        for i, (kind, text, _) in enumerate(self.tokens[:-1]):
            if i == 0 or kind != "id" or text not in names or self.tokens[i + 1][1] != "(":
                continue
            before = self.tokens[i - 1]
            if member != (before[1] in (".", "->")):
                continue
            if not member and before[0] == "id" and before[1] not in ("return", "else", "throw", "do"):
                continue  # a declaration or definition
            yield i, text, self.arguments(i + 1)

    def functions(self):
        """(name, index of the body's brace, parameter tokens) of each definition."""
        toks = self.tokens
        for i, (kind, text, _) in enumerate(toks[:-1]):
            if kind != "id" or toks[i + 1][1] != "(" or (i > 0 and toks[i - 1][1] in ("=", "(", ",", "return")):
                continue
            j = self.close(i + 1) + 1
            while j < len(toks) and toks[j][1] in ("const", "noexcept", "override", "final"):
                j += 1
            if j < len(toks) and toks[j][1] == "{":
                yield text, j, toks[i + 2:self.close(i + 1)]


def sources(pattern):
    return [Source(p) for p in sorted(glob.glob(os.path.join(SRC, pattern)))]


ALL = sources("src/*/*.cpp") + sources("src/*/*.h")


def literal(tokens):
    """The text of the adjacent string literals `tokens` start with (also as
    std::string("...")), or None."""
    toks = list(tokens)
    while toks and toks[0][1] in ("std", "::", "string", "("):
        toks = toks[1:]
    text = None
    for kind, t, _ in toks:
        if kind != "str":
            break
        text = (text or "") + unquote(t)
    return text


class Value:
    """A value in a message: what is filled in (VALUE), the message of a
    caught error passed on (FORWARD), or the system's text of an errno
    (SYSTEM)."""


VALUE, FORWARD, SYSTEM = Value(), Value(), Value()


def value_of(tokens):
    names = [t[1] for t in tokens]
    if any(names[k:k + 3] == ["message", "(", ")"] for k in range(len(names))):
        return FORWARD
    return SYSTEM if "strerror" in names else VALUE


def concatenation(tokens):
    """The parts of an expression A + B + ...: literals are fixed text."""
    parts, term, depth = [], [], 0
    for t in list(tokens) + [("punct", "+", 0)]:
        depth += (t[1] in "([{") - (t[1] in ")]}") if t[0] == "punct" else 0
        if t[1] != "+" or depth > 0:
            term += [t]
            continue
        text = literal(term)
        if text is not None and all(x[0] == "str" or x[1] in ("std", "::", "string", "(", ")") for x in term):
            parts.append(text)
        else:
            parts.append(value_of(term))
        term = []
    return parts


CONVERSION = re.compile(r"%[-+ #0]*(?:\d+|\*)?(?:\.(?:\d+|\*))?(?:hh|h|ll|l|j|z|t|L)?[diouxXeEfFgGaAcspn%]")


def printf_parts(fmt, args):
    """The parts of a printf format whose conversions take `args`."""
    parts, pos, n = [], 0, 0
    for m in CONVERSION.finditer(fmt):
        if m.group() != "%%":
            parts += [fmt[pos:m.start()].replace("%%", "%"), value_of(args[n]) if n < len(args) else VALUE]
            pos, n = m.end(), n + 1
    return parts + [fmt[pos:].replace("%%", "%")]


def shown(parts):
    return "".join("…" if isinstance(p, Value) else p for p in parts)


def keys():
    found = []
    for s in sources("src/config/*.cpp"):
        toks = s.tokens
        for i, (kind, text, _) in enumerate(toks[:-2]):
            if kind == "id" and re.fullmatch(r"k\w*Keys", text) and toks[i + 1][1] == "[":
                j = s.close(i + 1) + 1
                if toks[j][1] == "=" and toks[j + 1][1] == "{":
                    for element in s.arguments(j + 1):
                        first = next((t for t in element if t[0] == "str"), None)
                        if first:
                            found.append((unquote(first[1]), f"{s.path}:{first[2]}"))
    return found


def parameters():
    files = sources("src/vorncounter/*.cpp")
    readers = {"util_getvalue"}
    # A function that hands its own parameter on as the name a reader reads
    # is a reader too.
    while True:
        more = set()
        for s in files:
            for name, body, params in s.functions():
                own = {t[1] for t in params if t[0] == "id"}
                for i, _, args in s.calls(readers):
                    if body < i < s.close(body) and len(args) > 1 and len(args[1]) == 1 and args[1][0][1] in own:
                        more.add(name)
        if more <= readers:
            break
        readers |= more
    found = []
    for s in files:
        for i, _, args in s.calls(readers):
            if len(args) > 1 and literal(args[1]) is not None:
                found.append((literal(args[1]), f"{s.path}:{s.tokens[i][2]}"))
    return found


def metric_names():
    found = []
    for s in sources("src/metrics/*.cpp"):
        for kind, text, line in s.tokens:
            if kind == "str" and re.fullmatch(r"vorncounter_\w+", unquote(text)):
                found.append((unquote(text), f"{s.path}:{line}"))
    return found


def raising_functions():
    """The [[noreturn]] printf-style functions: name -> index of the format."""
    found = {}
    for s in ALL:
        toks = s.tokens
        for i, (_, text, _) in enumerate(toks):
            if text != "noreturn":
                continue
            j = i
            while j + 1 < len(toks) and not (toks[j][0] == "id" and toks[j + 1][1] == "("):
                j += 1
            end = s.close(j + 1)
            attribute = [t[1] for t in toks[end + 1:end + 12]]
            if "__attribute__" in attribute and "printf" in attribute:
                found[toks[j][1]] = int(attribute[attribute.index("printf") + 2]) - 1
    return found


def messages_and_kinds():
    """The messages, as (parts, file, line, text shown), and the kinds of
    findings, as (kind, "file:line")."""
    messages, kinds = [], []
    raising = raising_functions()

    def message(parts, s, i, text=None):
        messages.append((parts, s.path, s.tokens[i][2], text if text is not None else shown(parts)))

    for s in ALL:
        toks = s.tokens
        for i, name, args in s.calls(set(raising) | set(MESSAGE_WRITERS)):
            n = raising.get(name, MESSAGE_WRITERS.get(name))
            if len(args) <= n:
                continue
            if name not in raising:
                message(concatenation(args[n]), s, i)
            elif literal(args[n]) is not None:  # not a format in a variable
                message(printf_parts(literal(args[n]), args[n + 1:]), s, i, literal(args[n]))
        # found.push_back({"KIND", TEXT}): a finding of vornctl check.
        for i, _, args in s.calls({"push_back"}, member=True):
            if toks[i - 2][1] == "found" and len(args) == 1 and args[0][0][1] == "{":
                pair = s.arguments(s.tokens.index(args[0][0], i))
                if len(pair) == 2:
                    if literal(pair[0]) is not None:
                        kinds.append((literal(pair[0]), f"{s.path}:{toks[i][2]}"))
                    message(concatenation(pair[1]), s, i)
        # NAME(LIST, "KIND", found): the texts of LIST are findings of KIND.
        lists = set()
        for i, _, args in s.calls({t[1] for t in toks if t[0] == "id"}):
            if len(args) > 1 and [t[1] for t in args[-1]] == ["found"]:
                for a in args[:-1]:
                    if len(a) == 1 and a[0][0] == "str" and re.fullmatch(r"[a-z]+(-[a-z]+)*", unquote(a[0][1])):
                        kinds.append((unquote(a[0][1]), f"{s.path}:{toks[i][2]}"))
                    elif len(a) == 1 and a[0][0] == "id":
                        lists.add(a[0][1])
        for i, _, args in s.calls({"push_back"}, member=True):
            if toks[i - 2][1] in lists and len(args) == 1:
                message(concatenation(args[0]), s, i)
        # return "..." + ...; in a function that makes messages.
        for name, body, _ in s.functions():
            if name in RETURNED_MESSAGES:
                for j in range(body, s.close(body)):
                    if toks[j][1] == "return" and toks[j + 1][0] == "str":
                        end = next(k for k in range(j, len(toks)) if toks[k][1] == ";")
                        parts = concatenation(toks[j + 1:end])
                        if shown(parts):
                            message(parts, s, j)
    return messages, kinds


# ------------------------------------------------------------ documentation

ROFF_ESCAPES = {"-": "-", "e": "\\", "&": "", "%": "", ":": "", "c": "", " ": " ", "~": " ", "0": " ",
                "|": "", "^": "", "/": "", ",": ""}
ROFF_NAMED = {"aq": "'", "dq": '"', "lq": '"', "rq": '"', "oq": "'", "cq": "'", "bu": "•", "em": "—",
              "en": "–", "mu": "×", "ti": "~", "ha": "^", "rs": "\\", "co": "©", "at": "@", "sh": "#",
              "Do": "$", "sl": "/", "ba": "|", "hy": "-"}


def roff_inline(text):
    """`text` without the escapes of roff, as the reader sees it."""
    text = re.sub(r'\\".*', "", text)

    def one(m):
        e = m.group(1)
        if e[0] in "f*":
            return ""
        if e.startswith("[u"):
            return chr(int(e[2:-1], 16))
        if e[0] in "([":
            return ROFF_NAMED.get(e[1:3] if e[0] == "(" else e[1:-1], "")
        return ROFF_ESCAPES.get(e, e)
    return re.sub(r"\\(f\[[^]]*\]|f\(..|f.|\(..|\[[^]]*\]|\*\(..|\*\[[^]]*\]|\*.|.)", one, text)


def roff_lines(path):
    """The text of a manual page, line by line, and its words in bold."""
    text, bold = [], []
    with open(path, encoding="utf-8") as f:
        for raw in f.read().splitlines():
            bold += re.findall(r"\\fB(.*?)\\f[RPI]", raw)
            line = raw
            if raw[:1] in (".", "'"):
                macro, rest = re.match(r"[.'][ \t]*(\S*)[ \t]*(.*)", raw).groups()
                args = [w or q.replace('""', '"') for q, w in re.findall(r'"((?:[^"]|"")*)"?|(\S+)', rest)]
                if macro in ("B", "I", "SM", "SB", "SH", "SS", "SY", "TP"):
                    line = " ".join(args)
                    bold += args if macro in ("B", "SB") else []
                elif re.fullmatch(r"[BIR]{2}", macro):  # alternating fonts, no blank between
                    line = "".join(args)
                    bold += args[0 if macro[0] == "B" else 1::2] if "B" in macro else []
                elif macro in ("IP", "OP"):
                    line = " ".join(args[:1] if macro == "IP" else ["["] + args + ["]"])
                else:
                    line = ""
            text.append(roff_inline(line))
    return text, [roff_inline(b).strip() for b in bold]


def documentation():
    """(path, text with its whitespace collapsed, literal words) of each document."""
    docs = []
    markdown = [os.path.join(SRC, "README.md")] + glob.glob(os.path.join(SRC, "docs", "**", "*.md"), recursive=True)
    for path in sorted(p for p in markdown if os.path.isfile(p)):
        with open(path, encoding="utf-8") as f:
            raw = f.read()
        literals = [" ".join(code.split()) for _, code in re.findall(r"(`+)(.+?)\1", raw, re.S)]
        text = re.sub(r"\\([!-/:-@\[-`{-~])", r"\1", html.unescape(raw.replace("`", "")))
        docs.append((path, " ".join(text.split()), literals))
    for path in sorted(glob.glob(os.path.join(SRC, "man", "*.[1-9]"))):
        text, bold = roff_lines(path)
        docs.append((path, " ".join(" ".join(text).split()), bold))
    return docs


# ------------------------------------------------------------------ the test

WORD = re.compile(r"[A-Za-z]{2,}")
# Words too common to tell one message from another.
COMMON = {"an", "the", "of", "in", "on", "to", "is", "are", "be", "and", "or", "not", "no", "it", "its", "as",
          "at", "by", "for", "with", "than"}


def words(text):
    return len([w for w in WORD.findall(text) if w.lower() not in COMMON])


ANY = r".{1,120}?"


def key_pattern(parts):
    """The regular expression of a message's key text, or None when it has
    less than two words of fixed text."""
    merged = []  # fixed texts and values, alternating
    for p in parts:
        if isinstance(p, str) and merged and isinstance(merged[-1], str):
            merged[-1] += p
        else:
            merged.append(p)
    merged = [re.sub(r"\s+", " ", p) if isinstance(p, str) else p for p in merged]
    while merged and not (isinstance(merged[0], str) and WORD.search(merged[0])):
        merged.pop(0)
    if not merged:
        return None
    merged[0] = re.sub(r"^[\W_]+", "", merged[0])
    pieces, found = [], 0  # escaped texts and ANY; words found
    for k, p in enumerate(merged):
        if isinstance(p, Value):
            continue
        # Where the key text may end in `p`: a clause (": ", "; ", ", ")
        # and, before a value, the end, less a bracket or quote opening it.
        ends = [m.start() for m in re.finditer(r"[:;,] ", p)]
        if k + 1 < len(merged):
            opener = re.search(r"""\s*[('"\[]+[^\s('"\[]*$""", p)
            ends.append(opener.start() if opener else len(p))
        else:
            ends.append(len(p))
        for end in ends:
            if found + words(p[:end]) >= 2:
                pieces.append(re.escape(p[:end].rstrip()))
                found = 2
                break
        if found >= 2:
            break
        found += words(p)
        pieces += [re.escape(p), ANY]
    if found < 2:
        return None
    pattern = "".join(pieces)
    return f"[{pattern[0].lower()}{pattern[0].upper()}]{pattern[1:]}" if pattern[0].isalpha() else pattern


def system_failure(parts):
    """A "cannot ...: CAUSE" whose CAUSE is the system's text of an errno."""
    p = [x for x in parts if x != ""]
    return len(p) >= 2 and isinstance(p[0], str) and p[0].startswith("cannot ") and p[-1] is SYSTEM and \
        isinstance(p[-2], str) and p[-2].endswith(": ")


def first_places(found):
    """Each name once, where the source names it first."""
    first = {}
    for name, where in found:
        first.setdefault(name, where)
    return sorted(first.items(), key=lambda x: x[1])


def main():
    problems = []
    docs = documentation()
    text = "\n".join(t for _, t, _ in docs)
    literals = {x for _, _, words in docs for x in words}

    def named(name, word=r"\w"):
        return re.search(rf"(?<!{word}){re.escape(name)}(?!{word})", text)

    found_keys, found_parameters, found_metrics = keys(), parameters(), metric_names()
    found_messages, found_kinds = messages_and_kinds()
    for what, items, least in (("keys", found_keys, 10), ("request parameters", found_parameters, 10),
                               ("metrics", found_metrics, 5), ("finding kinds", found_kinds, 10),
                               ("messages", found_messages, 50)):
        if len(items) < least:
            problems.append(f"docs_names: fewer than {least} {what} found in the source: mend this test")

    for name, where in first_places(found_keys):
        if not re.fullmatch(r"[A-Z][A-Z0-9_]*", name):
            problems.append(f"{where}: '{name}' stands in a key table but is no key")
        elif not named(name):
            problems.append(f"{where}: the configuration key {name} is not documented")
    for name, where in first_places(found_parameters):
        if not named(name + "=") and name not in literals and not any(x.startswith(name + "=") for x in literals):
            problems.append(f"{where}: the request parameter {name} is not documented")
    for name, where in first_places(found_metrics):
        if not named(name):
            problems.append(f"{where}: the metric {name} is not documented")
    for name, where in first_places(found_kinds):
        if not named(name, r"[\w-]"):
            problems.append(f"{where}: the kind {name} of vornctl check's findings is not documented")

    excepted = {(f, m): False for f, m, _ in EXCEPTIONS}
    looked = set()
    for parts, path, line, shown_as in found_messages:
        if (path, shown_as) in excepted:
            excepted[(path, shown_as)] = True
            continue
        if FORWARD in parts and not any(isinstance(p, str) and WORD.search(p) for p in parts):
            continue
        if system_failure(parts):
            continue
        pattern = key_pattern(parts)
        if pattern is None:
            problems.append(f"{path}:{line}: the message \"{shown_as}\" has too little fixed text to look for: "
                            "give it more, or make it one of the EXCEPTIONS with the reason")
        elif pattern not in looked:
            looked.add(pattern)
            if not re.search(pattern, text):
                problems.append(f"{path}:{line}: the message \"{shown_as}\" is not documented")
    for (f, m), used in excepted.items():
        if not used:
            problems.append(f"docs_names: the exception {f} \"{m}\" is no message any more: remove it")

    for p in sorted(problems, key=lambda p: (p.split(":")[0], int(p.split(":")[1]) if p.split(":")[1].isdigit() else 0)):
        print(p)
    counts = (f"{len({n for n, _ in found_keys})} keys, {len({n for n, _ in found_parameters})} parameters, "
              f"{len({n for n, _ in found_metrics})} metrics, {len({n for n, _ in found_kinds})} kinds of "
              f"findings, {len(found_messages)} messages; {len(docs)} documents")
    if problems:
        print(f"docs_names: {len(problems)} names undocumented or not understood ({counts})")
        return 1
    print(f"docs_names: every name is documented ({counts})")
    return 0


sys.exit(main())
PYTHON
