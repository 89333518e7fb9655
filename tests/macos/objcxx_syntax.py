#!/usr/bin/env python3
"""Runs clang's syntax-only pass over every .mm file of the project against
GNUstep's headers, with -Wall -Wextra -Werror: clang is the compiler that
builds these files on macOS, and it warns where GCC does not.

The include folders and definitions come from the GCC build's
compile_commands.json; gcc's own include folder (with the Objective-C runtime
headers GNUstep's headers include) is searched after all the others. A file
X_mac.mm beside an X_gnustep.mm that includes a framework GNUstep does not
have (ApplicationServices, say) is left out: its GNUstep half is checked. The
X_mac.mm files, which only clang builds, are checked with blocks on.

The macOS-only C++ files (*_mac.cpp), which no Linux build compiles, get the
same pass as C++ with the flags of a file in their folder, unless they include
a system header this machine does not have (<mach-o/dyld.h>, say): so a change
to a header they use does not break the macOS build unseen.

  objcxx_syntax.py --compile-commands FILE --source DIR [--clang CLANG++]"""
import argparse
import glob
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile


BLOCKS_RUNTIME_STUB = """#pragma once
#ifdef __cplusplus
extern "C" {
#endif
void *_Block_copy(const void *);
void _Block_release(const void *);
#ifdef __cplusplus
}
#endif
#define Block_copy(x) ((__typeof(x))_Block_copy((const void *)(x)))
#define Block_release(x) _Block_release((const void *)(x))
"""


def flags_of(command):
    """The -I, -isystem, -D and -std flags of a compile line."""
    words = shlex.split(command)
    flags = []
    i = 0
    while i < len(words):
        word = words[i]
        if word in ("-I", "-isystem", "-D") and i + 1 < len(words):
            flags += [word, words[i + 1]]
            i += 1
        elif re.match(r"-(I|D|std=)", word):
            flags.append(word)
        i += 1
    return flags


def missing_frameworks(path, flags, gcc_include):
    """The <Framework/Header.h> includes of path that no include folder holds."""
    folders = [flags[i + 1] for i, f in enumerate(flags[:-1]) if f in ("-I", "-isystem")]
    folders += [f[2:] for f in flags if f.startswith("-I") and len(f) > 2]
    folders += ["/usr/include", "/usr/local/include", gcc_include] + glob.glob("/usr/include/*-linux-gnu")
    missing = []
    with open(path, errors="replace") as f:
        for line in f:
            match = re.match(r"\s*#\s*(?:include|import)\s*<([A-Za-z][A-Za-z0-9_-]*)/[^>]+>", line)
            if match and not any(os.path.isdir(os.path.join(d, match.group(1))) for d in folders):
                missing.append(match.group(1))
    return missing


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--compile-commands", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--clang", default=shutil.which("clang++"))
    parser.add_argument("--gcc", default=shutil.which("gcc"))
    args = parser.parse_args()
    with open(args.compile_commands) as f:
        entries = json.load(f)
    per_file, union = {}, []
    for entry in entries:
        if entry["file"].endswith(".mm"):
            flags = flags_of(entry["command"])
            per_file[os.path.realpath(os.path.join(entry["directory"], entry["file"]))] = flags
            union += [flag for flag in flags if flag not in union]
    if not per_file:
        print("objcxx_syntax: the build compiles no .mm file")
        return 1
    gcc_include = subprocess.run([args.gcc, "-print-file-name=include"], stdout=subprocess.PIPE,
                                 text=True, check=True).stdout.strip()
    files = sorted(glob.glob(os.path.join(args.source, "source", "**", "*.mm"), recursive=True) +
                   glob.glob(os.path.join(args.source, "tests", "**", "*.mm"), recursive=True))
    failed = 0
    stub_folder = tempfile.TemporaryDirectory(prefix="objcxx-syntax.")
    blocks_stub = stub_folder.name
    for header in ("objc/blocks_runtime.h", "ObjectiveC2/blocks_runtime.h"):
        os.makedirs(os.path.dirname(os.path.join(blocks_stub, header)), exist_ok=True)
        with open(os.path.join(blocks_stub, header), "w") as f:
            f.write(BLOCKS_RUNTIME_STUB)
    for path in files:
        if os.path.realpath(path) not in per_file and os.path.relpath(path, args.source).startswith("tests" + os.sep):
            # A test this preset does not build (the window tests under the
            # sanitizers) may need definitions only its own target gives.
            print("skipped %s: not built by this build" % os.path.relpath(path, args.source))
            continue
        flags = per_file.get(os.path.realpath(path), union)
        missing = missing_frameworks(path, flags, gcc_include)
        if missing and path.endswith("_mac.mm") and os.path.exists(path[:-len("_mac.mm")] + "_gnustep.mm"):
            print("skipped %s: needs %s, which GNUstep lacks; its GNUstep half is checked"
                  % (os.path.relpath(path, args.source), ", ".join(missing)))
            continue
        command = ([args.clang, "-fsyntax-only", "-x", "objective-c++", "-std=c++17", "-fobjc-runtime=gcc",
                    "-fobjc-exceptions", "-fexceptions", "-fconstant-string-class=NSConstantString",
                    "-Wall", "-Wextra", "-Werror"] + [f for f in flags if not f.startswith("-std=")] +
                   ["-idirafter", gcc_include, path])
        if path.endswith("_mac.mm"):
            # Only clang builds these, on macOS, where blocks are on. GNUstep's
            # headers then want the blocks runtime's header, which GCC's
            # Objective-C runtime lacks: a declaration-only one stands in.
            command[2:2] = ["-fblocks", "-idirafter", blocks_stub]
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        status = "ok" if result.returncode == 0 else "FAILED"
        print("%s %s" % (status, os.path.relpath(path, args.source)))
        if result.returncode != 0:
            print(result.stdout)
            failed += 1
    cxx_flags = {}
    for entry in entries:
        if re.search(r"\.(cpp|cc)$", entry["file"]):
            folder = os.path.dirname(os.path.realpath(os.path.join(entry["directory"], entry["file"])))
            cxx_flags.setdefault(folder, flags_of(entry["command"]))
    for path in sorted(glob.glob(os.path.join(args.source, "source", "**", "*_mac.cpp"), recursive=True)):
        flags = cxx_flags.get(os.path.dirname(os.path.realpath(path)))
        missing = missing_frameworks(path, flags or [], gcc_include)
        if flags is None or missing:
            print("skipped %s: needs %s" % (os.path.relpath(path, args.source),
                                            ", ".join(missing) or "flags of a file in its folder"))
            continue
        command = ([args.clang, "-fsyntax-only", "-x", "c++", "-std=c++17", "-Wall", "-Wextra", "-Werror"] +
                   [f for f in flags if not f.startswith("-std=")] + [path])
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        print("%s %s" % ("ok" if result.returncode == 0 else "FAILED", os.path.relpath(path, args.source)))
        if result.returncode != 0:
            print(result.stdout)
            failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
