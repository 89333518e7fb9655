#!/usr/bin/env python3
"""Fails when the Objective-C++ sources use an AppKit or Foundation symbol
that Apple's SDK marks deprecated, outside a run-time availability check.

GNUstep's headers mark none of these, so the Linux build never warns; Apple's
clang does, and the release build treats warnings as errors. The table
(apple_deprecated.txt) gives each symbol's replacement and the macOS version
that deprecated it; symbols deprecated after NEWEST_SDK are not enforced yet.
A use is fine

  inside the braces (or the single statement) of an `if`, or of the `else`
  that follows it, whose condition asks the running system:
  respondsToSelector:, instancesRespondToSelector:, @available,
  __builtin_available or NSClassFromString.

A method's own definition (overriding a deprecated method), @selector(...)
and string literals are not uses. Files for other AppKits (_gnustep, _linux,
_x11) are skipped. Comments do not count.

  lint_deprecated.py --source DIR [--list]   (lint every .mm/.m/.h under DIR)
  lint_deprecated.py --files FILE...         (lint exactly these)
  lint_deprecated.py --check-marks FILE      (the lint's own test: it must report
                                              exactly the lines marked "// reported")"""
import argparse
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "curl_floor"))
from lint_linux_only import check_marks, strip_comments  # noqa: E402
from lint_curl_floor import closing, files_to_lint, version_key  # noqa: E402

# The newest macOS SDK the release is built with.
NEWEST_SDK = "26.0"
CHECK = re.compile(r"respondsToSelector:|instancesRespondToSelector:|@available|__builtin_available|NSClassFromString")
IF = re.compile(r"(?<![A-Za-z0-9_])if\s*\(")
ELSE = re.compile(r"\s*else\b")
SOURCE_SUFFIXES = (".mm", ".m", ".h")
OTHER_APPKITS = ("_gnustep.", "_linux.", "_x11.")
NS_SYMBOL = re.compile(r"(?<![A-Za-z0-9_@\"])NS[A-Z][A-Za-z0-9_]*")


def read_table(path):
    """{symbol: (version, replacement)}; a selector keeps its ':' or '()'."""
    table = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                symbol, version, replacement = line.split(None, 2)
                if version_key(version) <= version_key(NEWEST_SDK):
                    table[symbol] = (version, replacement)
    return table


def blank_strings_and_selectors(text):
    """String literals and @selector(...) as spaces, so their names are no use."""
    text = re.sub(r'@?"(?:\\.|[^"\\\n])*"', lambda m: " " * len(m.group(0)), text)
    return re.sub(r"@selector\s*\([^)]*\)", lambda m: " " * len(m.group(0)), text)


def statement_end(text, body):
    while body < len(text) and text[body].isspace():
        body += 1
    if body < len(text) and text[body] == "{":
        return body, closing(text, body, "{", "}")
    end = text.find(";", body)
    return body, len(text) if end < 0 else end + 1


def guarded_spans(text):
    """(start, end) of every branch of an if that asks the running system."""
    spans = []
    for match in IF.finditer(text):
        open_paren = match.end() - 1
        after_condition = closing(text, open_paren, "(", ")")
        if not CHECK.search(text[open_paren:after_condition]):
            continue
        start, end = statement_end(text, after_condition)
        spans.append((start, end))
        other = ELSE.match(text, end)
        if other:
            spans.append(statement_end(text, other.end()))
    return spans


def pattern_for(symbol):
    if symbol.endswith("()"):
        # A message without arguments: [receiver name]
        return re.compile(r"(?<=[\w\]\)])\s+(%s)\s*\]" % re.escape(symbol[:-2]))
    if symbol.endswith(":"):
        # A message part: [receiver name:...]; a definition has ')' right before it.
        return re.compile(r"(?<=\s)(%s)" % re.escape(symbol))
    return re.compile(r"(?<![A-Za-z0-9_])(%s)(?![A-Za-z0-9_])" % re.escape(symbol))


def uses(text, table):
    """(line, symbol, guarded) for every use of a symbol in the table."""
    stripped = blank_strings_and_selectors(strip_comments(text))
    spans = guarded_spans(stripped)
    found = []
    for symbol in table:
        for match in pattern_for(symbol).finditer(stripped):
            position = match.start(1)
            line_start = stripped.rfind("\n", 0, position) + 1
            if re.match(r"\s*[-+]\s*\(", stripped[line_start:position]):
                continue  # a method definition or declaration
            line = stripped.count("\n", 0, position) + 1
            guarded = any(start <= position < end for start, end in spans)
            found.append((line, symbol, guarded))
    return sorted(found)


def lint_text(path, text, table):
    faults = []
    for line, symbol, guarded in uses(text, table):
        if not guarded:
            version, replacement = table[symbol]
            faults.append("%s:%d: %s is deprecated since macOS %s: use %s, or keep it behind a run-time "
                          "check (respondsToSelector:, @available)" % (path, line, symbol, version, replacement))
    return faults


def source_files(folder):
    for root, _, names in os.walk(folder):
        for name in sorted(names):
            if name.endswith(SOURCE_SUFFIXES) and not any(tag in name for tag in OTHER_APPKITS):
                yield os.path.join(root, name)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source")
    parser.add_argument("--files", nargs="*")
    parser.add_argument("--check-marks")
    parser.add_argument("--list", action="store_true", help="print every AppKit and Foundation name used")
    parser.add_argument("--table", default=os.path.join(HERE, "apple_deprecated.txt"))
    args = parser.parse_args()
    table = read_table(args.table)
    if args.check_marks:
        return check_marks(args.check_marks, lambda text: lint_text(args.check_marks, text, table),
                           "guarded, a definition or not deprecated")
    files = files_to_lint(parser, args, source_files)
    faults, used = [], {}
    for path in files:
        with open(path, errors="replace") as f:
            text = f.read()
        relative = os.path.relpath(path)
        faults.extend(lint_text(relative, text, table))
        if path.endswith((".mm", ".m")):
            for name in NS_SYMBOL.findall(blank_strings_and_selectors(strip_comments(text))):
                used.setdefault(name, set()).add(relative)
    if args.list:
        for name in sorted(used):
            state = "deprecated " + table[name][0] if name in table else ""
            print("%-45s %-16s %s" % (name, state, ", ".join(sorted(used[name]))))
    for fault in faults:
        print(fault)
    print("lint: %d file(s) read, %d AppKit/Foundation name(s) used, %d deprecated use(s) unguarded"
          % (len(files), len(used), len(faults)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
