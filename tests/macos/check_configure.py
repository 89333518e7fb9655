#!/usr/bin/env python3
"""Configures the macOS build with the Darwin check toolchain and checks what
CMake generated: the bundle's Info.plist, the compile lines (deployment target,
both architectures), the link lines (Foundation wherever lcinstaller goes, no
dylib linked by path into the app) and the certificate bundle as a build product.

  check_configure.py --source DIR --build DIR --preset default|release [--cmake CMAKE]

Prints one line per fault and exits 1 when there is any."""
import argparse
import glob
import json
import os
import plistlib
import re
import shutil
import subprocess
import sys

APP = "Clipvane Installer"
DEPLOYMENT_TARGET = "10.13"
PLIST_KEYS = {
    "CFBundleIdentifier": "com.ostrel.clipvane.installer",
    "CFBundleVersion": "1.0.0",
    "LSMinimumSystemVersion": DEPLOYMENT_TARGET,
    "NSHighResolutionCapable": True,
    "NSPrincipalClass": "NSApplication",
    "CFBundleIconFile": "clipvane",
    "CFBundleExecutable": APP,
    "CFBundleName": "Ostrel Clipvane Installer",
    "CFBundleDisplayName": "Ostrel Clipvane Installer",
    "CFBundlePackageType": "APPL",
}


def make_dependency_prefix(folder):
    """What scripts/package-macos --deps provides on a Mac: a static jsoncpp.
    An empty archive will do, as nothing is linked here."""
    os.makedirs(os.path.join(folder, "lib"), exist_ok=True)
    os.makedirs(os.path.join(folder, "include"), exist_ok=True)
    open(os.path.join(folder, "lib", "libjsoncpp.a"), "wb").close()
    headers = next((d for d in ("/usr/include/jsoncpp/json", "/usr/include/json") if os.path.isdir(d)), None)
    if headers is None:
        sys.exit("check_configure: jsoncpp's headers are not installed")
    link = os.path.join(folder, "include", "json")
    if not os.path.islink(link):
        os.symlink(headers, link)


def configure(args, build):
    deps = os.path.join(args.build, "deps-" + args.preset)
    make_dependency_prefix(deps)
    # The host's libraries stand in for Homebrew's (tests only); CMake does not
    # search the multiarch folders for a Darwin target.
    library_path = ";".join(glob.glob("/usr/lib/*-linux-gnu"))
    command = [args.cmake, "--fresh", "--preset", args.preset, "-B", build,
               "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(args.source, "cmake", "toolchains", "darwin-check.cmake"),
               "-DCMAKE_PREFIX_PATH=" + deps, "-DCMAKE_LIBRARY_PATH=" + library_path, "-DCLIPVANE_WERROR=ON"]
    if args.preset == "release":
        # A release build needs its release keys (or an explicit unsigned
        # build): a key pair made here stands in for the real public key.
        keys = os.path.join(args.build, "release-key")
        subprocess.run([os.path.join(args.source, "tools", "publish-release"), "--make-key", keys],
                       stdout=subprocess.DEVNULL, check=True)
        command.append("-DCLIPVANE_RELEASE_KEYS=" + os.path.join(keys, "release-pub.pem"))
        # Keys without a minimum build would take any older signed release.
        result = subprocess.run(command, cwd=args.source, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if result.returncode == 0 or "No minimum build" not in result.stdout:
            print("release: configure without CLIPVANE_MIN_BUILD did not stop")
            return False
        command.append("-DCLIPVANE_MIN_BUILD=11.0.0.1300")
    result = subprocess.run(command, cwd=args.source, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        print(result.stdout)
        return False
    return True


def check_plist(build, faults):
    path = os.path.join(build, APP + ".app", "Contents", "Info.plist")
    try:
        with open(path, "rb") as f:
            plist = plistlib.load(f)
    except (OSError, plistlib.InvalidFileException) as error:
        faults.append("Info.plist: %s" % error)
        return
    for key, value in PLIST_KEYS.items():
        if plist.get(key) != value:
            faults.append("Info.plist: %s is %r, not %r" % (key, plist.get(key), value))
    # Apple documents one to three period-separated integers.
    if not re.fullmatch(r"[0-9]+(\.[0-9]+){0,2}", str(plist.get("CFBundleVersion"))):
        faults.append("Info.plist: CFBundleVersion %r is not at most three numbers" % plist.get("CFBundleVersion"))


def check_localized_names(build, faults):
    """The bundle's name in each language goes into Resources/<locale>.lproj."""
    strings = os.path.join(build, "source", "application", "lproj", "ja.lproj", "InfoPlist.strings")
    try:
        with open(strings, encoding="utf-8") as f:
            text = f.read()
    except OSError as error:
        faults.append("InfoPlist.strings: %s" % error)
        return
    if text != '"CFBundleDisplayName" = "Ostrel Clipvane \u30a4\u30f3\u30b9\u30c8\u30fc\u30e9\u30fc";\n':
        faults.append("ja.lproj/InfoPlist.strings does not name the installer in Japanese: %r" % text)
    with open(os.path.join(build, "build.ninja")) as f:
        rules = f.read()
    for locale in ("en", "de", "fr", "ja"):
        if "Contents/Resources/%s.lproj/InfoPlist.strings" % locale not in rules:
            faults.append("the bundle gets no %s.lproj/InfoPlist.strings" % locale)


def check_release_libraries(build, faults):
    """A release does not look for libpng or libjpeg: found on a Mac with a
    package manager's copies, they would be linked single-architecture."""
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        for line in f:
            if re.match(r"(PNG|JPEG)_LIBRARY", line):
                faults.append("release configure looked for %s" % line.split(":")[0])


def check_compile_lines(build, faults):
    with open(os.path.join(build, "compile_commands.json")) as f:
        commands = json.load(f)
    if not commands:
        faults.append("compile_commands.json: no compile lines")
    for entry in commands:
        line = entry["command"]
        for flag in ("-mmacosx-version-min=" + DEPLOYMENT_TARGET, "-arch arm64", "-arch x86_64"):
            if flag not in line:
                faults.append("%s: compiled without %s" % (entry["file"], flag))


def ninja_statements(build):
    """(outputs, rule, variables) of each build statement of build.ninja."""
    statements = []
    with open(os.path.join(build, "build.ninja")) as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("build "):
                head = line[len("build "):].replace("$ ", "\0").replace("$:", "\1")
                outputs, _, rest = head.partition(":")
                outputs = [o.replace("\0", " ").replace("\1", ":") for o in outputs.split()]
                statements.append((outputs, rest.split()[0] if rest.split() else "", {}))
            elif line.startswith("  ") and statements and "=" in line:
                name, _, value = line.strip().partition(" = ")
                statements[-1][2][name] = value
    return statements


def check_links(build, sysroot, faults):
    statements = ninja_statements(build)
    links = [(outputs, variables) for outputs, rule, variables in statements
             if "_EXECUTABLE_LINKER_" in rule]
    with_installer = [outputs for outputs, variables in links
                      if "liblcinstaller.a" in variables.get("LINK_LIBRARIES", "")]
    if not with_installer:
        faults.append("build.ninja: no executable links lcinstaller")
    for outputs, variables in links:
        libraries = variables.get("LINK_LIBRARIES", "")
        if "liblcinstaller.a" in libraries and "-framework Foundation" not in libraries:
            faults.append("%s links lcinstaller without Foundation" % outputs[0])
    app = [variables for outputs, variables in links
           if any(o.endswith("%s.app/Contents/MacOS/%s" % (APP, APP)) for o in outputs)]
    if not app:
        faults.append("build.ninja: the application is not linked as a bundle")
    for variables in app:
        libraries = variables.get("LINK_LIBRARIES", "").replace("$ ", " ")
        for token in libraries.split():
            if re.search(r"\.(dylib|so|tbd)(\.[0-9.]+)?$", token) and not token.startswith(sysroot):
                faults.append("the application links %s, which is not in the bundle or the SDK" % token)
    if not any(o.endswith("%s.app/Contents/Resources/installer/cacert.pem" % APP)
               for outputs, _, _ in statements for o in outputs):
        faults.append("build.ninja: cacert.pem is not copied into Contents/Resources/installer at build time")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--preset", required=True)
    parser.add_argument("--cmake", default=shutil.which("cmake"))
    args = parser.parse_args()
    build = os.path.join(args.build, args.preset)
    if not configure(args, build):
        print("the macOS configure of the %s preset failed" % args.preset)
        return 1
    faults = []
    check_plist(build, faults)
    check_localized_names(build, faults)
    if args.preset == "release":
        check_release_libraries(build, faults)
    check_compile_lines(build, faults)
    check_links(build, os.path.join(build, "darwin-check", "sdk"), faults)
    for fault in faults:
        print(fault)
    if not faults:
        print("the macOS configure of the %s preset is as it should be" % args.preset)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
