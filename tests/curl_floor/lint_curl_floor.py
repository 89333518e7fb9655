#!/usr/bin/env python3
"""Fails when the sources use a libcurl symbol newer than the floor unguarded.

The floor is CLIPVANE_LIBCURL_FLOOR in the top CMakeLists.txt: the oldest
libcurl the app must start with (on a Mac, the system's own). Every curl_*
function and CURL*_ macro the sources name is looked up in
curl_symbol_versions.txt (made by make_symbol_table.py); one that arrived
after the floor must be behind a run-time check:

  inside the braces (or the single statement) of an `if` whose condition
  calls KWCurlFloor::Has(...) (or Has(...) within KWCurlFloor itself).

A compile-time #if on LIBCURL_VERSION_NUM does not count: it says what the
headers have, not what the running library has. A newer function is never
fine behind a check either: macOS refuses to load an app that links a
function its libcurl lacks, so it is reported wherever it appears.
Comments do not count.

  lint_curl_floor.py --source DIR [--list]   (lint every source file under DIR)
  lint_curl_floor.py --files FILE...         (lint exactly these)
  lint_curl_floor.py --check-marks FILE      (the lint's own test: it must report
                                              exactly the lines marked "// reported")"""
import argparse
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "macos"))
from lint_linux_only import check_marks, strip_comments  # noqa: E402

SYMBOL = re.compile(r"(?<![A-Za-z0-9_])(curl_[a-z0-9_]+|CURL[A-Z]*_[A-Z0-9_]+)(?![A-Za-z0-9_])")
CHECK = re.compile(r"(?<![A-Za-z0-9_])(?:KWCurlFloor::)?Has\s*\(")
IF = re.compile(r"(?<![A-Za-z0-9_])if\s*\(")
SOURCE_SUFFIXES = (".c", ".cc", ".cpp", ".h", ".hpp", ".m", ".mm")


def version_key(text):
    return tuple(int(part) for part in text.split("."))


def read_floor(cmake_lists):
    with open(cmake_lists) as f:
        match = re.search(r'set\(CLIPVANE_LIBCURL_FLOOR\s+"(\d+\.\d+\.\d+)"', f.read())
    if not match:
        raise SystemExit("lint: no CLIPVANE_LIBCURL_FLOOR in %s" % cmake_lists)
    return match.group(1)


def read_table(path):
    table = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                name, version = line.split()
                table[name] = version
    return table


def closing(text, start, opening, close):
    """Index just past the bracket that closes the one at start."""
    depth = 0
    for i in range(start, len(text)):
        if text[i] == opening:
            depth += 1
        elif text[i] == close:
            depth -= 1
            if depth == 0:
                return i + 1
    return len(text)


def guarded_spans(text):
    """(start, end) of every block or statement run only when a check passed."""
    spans = []
    for match in IF.finditer(text):
        open_paren = match.end() - 1
        after_condition = closing(text, open_paren, "(", ")")
        if not CHECK.search(text[open_paren:after_condition]):
            continue
        body = after_condition
        while body < len(text) and text[body].isspace():
            body += 1
        if body < len(text) and text[body] == "{":
            spans.append((body, closing(text, body, "{", "}")))
        else:
            end = text.find(";", body)
            spans.append((body, len(text) if end < 0 else end + 1))
    return spans


def uses(text):
    """(line, symbol, guarded) for every libcurl symbol in the text."""
    stripped = strip_comments(text)
    spans = guarded_spans(stripped)
    found = []
    for match in SYMBOL.finditer(stripped):
        line = stripped.count("\n", 0, match.start()) + 1
        guarded = any(start <= match.start() < end for start, end in spans)
        found.append((line, match.group(1), guarded))
    return found


def lint_text(path, text, table, floor):
    faults = []
    for line, symbol, guarded in uses(text):
        version = table.get(symbol)
        if version is None or version_key(version) <= version_key(floor):
            continue
        if symbol.startswith("curl_"):
            faults.append("%s:%d: %s arrived in libcurl %s, after the floor %s: a Mac with the floor's libcurl "
                          "cannot load the app; do without it" % (path, line, symbol, version, floor))
        elif not guarded:
            faults.append("%s:%d: %s arrived in libcurl %s, after the floor %s: use it only inside "
                          "if (KWCurlFloor::Has(...)) with a fallback" % (path, line, symbol, version, floor))
    return faults


def source_files(folder):
    for root, _, names in os.walk(folder):
        for name in sorted(names):
            if name.endswith(SOURCE_SUFFIXES):
                yield os.path.join(root, name)


def files_to_lint(parser, args, source_files):
    """The files named by --files, or those source_files finds under --source."""
    if args.files is not None:
        return args.files
    if not args.source:
        parser.error("give --source or --files")
    return list(source_files(args.source))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source")
    parser.add_argument("--files", nargs="*")
    parser.add_argument("--check-marks")
    parser.add_argument("--list", action="store_true", help="print every libcurl symbol used, with its version")
    parser.add_argument("--cmake-lists", default=os.path.join(HERE, "..", "..", "CMakeLists.txt"))
    parser.add_argument("--table", default=os.path.join(HERE, "curl_symbol_versions.txt"))
    args = parser.parse_args()
    floor = read_floor(args.cmake_lists)
    table = read_table(args.table)
    if args.check_marks:
        return check_marks(args.check_marks, lambda text: lint_text(args.check_marks, text, table, floor),
                           "guarded or not newer than the floor")
    files = files_to_lint(parser, args, source_files)
    faults, used = [], {}
    for path in files:
        with open(path, errors="replace") as f:
            text = f.read()
        relative = os.path.relpath(path)
        faults.extend(lint_text(relative, text, table, floor))
        for _, symbol, _ in uses(text):
            used.setdefault(symbol, set()).add(relative)
    if args.list:
        for symbol in sorted(used):
            print("%-40s %-8s %s" % (symbol, table.get(symbol, "<=" + floor), ", ".join(sorted(used[symbol]))))
    for fault in faults:
        print(fault)
    print("lint: %d file(s) read, %d libcurl symbol(s) used, %d newer than %s unguarded"
          % (len(files), len(used), len(faults), floor))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
