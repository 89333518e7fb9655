#!/usr/bin/env python3
"""Fails when a file built on macOS uses a Linux-only symbol outside a guard.

The files built on macOS are the sources of a macOS configure (its
compile_commands.json) and the project headers they include. Files named
*_linux.* are Linux's own and are not read. A use counts as guarded inside an
#if/#ifdef whose condition names the symbol itself (#ifdef SOCK_CLOEXEC,
HAVE_ACCEPT4) or __linux__, on the branch where that condition holds.
Comments do not count; string literals do ("/proc/self/exe").

  lint_linux_only.py --compile-commands FILE --source DIR
  lint_linux_only.py --files FILE...   (lint exactly these)
  lint_linux_only.py --check-marks FILE (the lint's own test: it must report
                                         exactly the lines marked "// reported")"""
import argparse
import json
import os
import re
import sys

# Symbol, and what macOS has instead (for the message).
LINUX_ONLY = {
    "SOCK_CLOEXEC": "socket() then fcntl(F_SETFD, FD_CLOEXEC)",
    "SOCK_NONBLOCK": "fcntl(F_SETFL, O_NONBLOCK)",
    "accept4": "accept() then fcntl",
    "pipe2": "pipe() then fcntl",
    "dup3": "dup2() then fcntl",
    "MSG_NOSIGNAL": "the SO_NOSIGPIPE socket option",
    "copy_file_range": "copyfile() or read/write",
    "sendfile": "a different sendfile() signature; read/write",
    "/proc": "sysctl, libproc or ps",
    "O_PATH": "open() without it",
    "O_TMPFILE": "mkstemp()",
    "epoll_create": "kqueue or poll",
    "epoll_ctl": "kqueue or poll",
    "epoll_wait": "kqueue or poll",
    "eventfd": "a pipe",
    "signalfd": "kqueue EVFILT_SIGNAL or a self-pipe",
    "inotify_init": "FSEvents or kqueue",
    "prctl": "nothing (no parent-death signal on macOS)",
    "memfd_create": "shm_open() or a temporary file",
    "getrandom": "getentropy() or arc4random_buf()",
    "close_range": "a loop over the descriptors",
    "closefrom": "a loop over the descriptors",
    "posix_spawn_file_actions_addclosefrom_np": "POSIX_SPAWN_CLOEXEC_DEFAULT",
    "ppoll": "poll() or pselect()",
    "sched_getaffinity": "sysctl hw.ncpu",
}
PATTERN = re.compile(r"(?<![A-Za-z0-9_])(" + "|".join(re.escape(s) for s in LINUX_ONLY) + r")(?![A-Za-z0-9_])")
INCLUDE = re.compile(r'^\s*#\s*(?:include|import)\s*"([^"]+)"')
DIRECTIVE = re.compile(r"^\s*#\s*(if|ifdef|ifndef|elif|else|endif)\b(.*)$")


def strip_comments(text):
    """Blanks out comments, keeps string and character literals and line breaks."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            end = text.find("\n", i)
            i = n if end < 0 else end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append("\n" * text.count("\n", i, end))
            i = end
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(text[i:j + 1])
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def guards(condition, symbol):
    lowered = condition.lower()
    return symbol.lower().lstrip("/") in lowered or "__linux__" in lowered


def lint_text(path, text):
    faults = []
    # One frame per open #if: (condition, holds) where holds says whether this
    # branch is the one on which the condition is true.
    stack = []
    for number, line in enumerate(strip_comments(text).split("\n"), 1):
        directive = DIRECTIVE.match(line)
        if directive:
            kind, rest = directive.group(1), directive.group(2).strip()
            if kind in ("if", "ifdef"):
                stack.append((rest, not rest.startswith("!")))
            elif kind == "ifndef":
                stack.append((rest, False))
            elif kind == "elif" and stack:
                stack[-1] = (rest, not rest.startswith("!"))
            elif kind == "else" and stack:
                stack[-1] = (stack[-1][0], not stack[-1][1])
            elif kind == "endif" and stack:
                stack.pop()
            continue
        for match in PATTERN.finditer(line):
            symbol = match.group(1)
            if any(holds and guards(condition, symbol) for condition, holds in stack):
                continue
            faults.append("%s:%d: %s is Linux-only (macOS: %s); guard it or move it to a *_linux.* file"
                          % (path, number, symbol, LINUX_ONLY[symbol]))
    return faults


def is_linux_only_file(path):
    return re.search(r"_linux\.[A-Za-z]+$", os.path.basename(path)) is not None


def files_built_on_macos(compile_commands, source):
    with open(compile_commands) as f:
        entries = json.load(f)
    source = os.path.realpath(source)
    pending, seen = [], set()
    include_dirs = set()
    for entry in entries:
        path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
        pending.append(path)
        for flag in re.findall(r"(?:-I|-isystem )\s*(\S+)", entry["command"]):
            folder = os.path.realpath(os.path.join(entry["directory"], flag))
            if folder.startswith(source + os.sep):
                include_dirs.add(folder)
    while pending:
        path = pending.pop()
        if path in seen or not path.startswith(source + os.sep):
            continue
        seen.add(path)
        try:
            with open(path, errors="replace") as f:
                lines = f.readlines()
        except OSError:
            continue
        for line in lines:
            match = INCLUDE.match(line)
            if not match:
                continue
            for folder in [os.path.dirname(path)] + sorted(include_dirs):
                candidate = os.path.realpath(os.path.join(folder, match.group(1)))
                if os.path.isfile(candidate):
                    pending.append(candidate)
                    break
    return sorted(seen)


def check_marks(path, lint, not_a_fault):
    """A lint's self-test: the lines of path that end in "// reported" are
    exactly those that lint(text) reports (as "file:line: ..."); 0 when so."""
    with open(path) as f:
        text = f.read()
    marked = {n for n, line in enumerate(text.split("\n"), 1) if line.rstrip().endswith("// reported")}
    reported = {int(fault.split(":")[1]) for fault in lint(text)}
    for number in sorted(marked - reported):
        print("%s:%d: not reported" % (path, number))
    for number in sorted(reported - marked):
        print("%s:%d: reported, but it is %s" % (path, number, not_a_fault))
    return 0 if marked == reported and marked else 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--compile-commands")
    parser.add_argument("--source")
    parser.add_argument("--files", nargs="*")
    parser.add_argument("--check-marks")
    args = parser.parse_args()
    if args.check_marks:
        return check_marks(args.check_marks, lambda text: lint_text(args.check_marks, text), "guarded or not a use")
    if args.files is not None:
        files = args.files
    elif args.compile_commands and args.source:
        files = files_built_on_macos(args.compile_commands, args.source)
        if not files:
            print("lint: no files from %s" % args.compile_commands)
            return 1
    else:
        parser.error("give --compile-commands and --source, or --files")
    faults = []
    for path in files:
        if is_linux_only_file(path):
            continue
        with open(path, errors="replace") as f:
            faults.extend(lint_text(os.path.relpath(path), f.read()))
    for fault in faults:
        print(fault)
    print("lint: %d file(s) read, %d Linux-only use(s) unguarded" % (len(files), len(faults)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
