#!/usr/bin/python3
"""The installer window as a user sees it, on a private X server.

    window_test.py --app EXE --render-frames EXE --tools DIR --ca-dir DIR \
        --https-port N --http-port N CASE

Each CASE is one ctest test. Reference pictures come from the UI core's own
renderer (render_frames), so a screenshot matches only if the AppKit layer
loaded, composed and presented the frame faithfully.
"""

import argparse
import ctypes
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "desktop"))
from installer_desktop import (CONVERT, FRAME_H, FRAME_W, SCREEN_H, SCREEN_W, Installer, Sandbox, TestFailure, XServer,  # noqa: E402
                     alert_window, is_alert_size, click, differing_pixels, hold_click, installer_window, is_tray_icon, move, no_alert_window,
                     screenshot, stop_process, tray_icon, wait_for, wait_for_picture, windows, xdotool)

# The installer's one name: the window's title, the boxes', the tray's and the notice's.
NAME = "Ostrel Clipvane Installer"
INSTALL_NOW = (430, 410)
CLOSE_BUTTON = (603, 64)
APP_BUTTON = (18, 12)
BACKGROUND = (100, 300)
# Frame areas (x, y, w, h) whose look changes under the pointer, with the rendered frame showing it.
INSTALL_NOW_AREA = ((365, 393, 139, 36), "02_welcome_install_hover.png")
CLOSE_AREA = ((596, 57, 15, 15), "13_downloading_50_close_hover.png")
APP_AREA = ((11, 5, 15, 15), "05_welcome_app_close_hover.png")


def answered_boxes(installer):
    return sum(1 for line in installer.log_lines() if line.startswith("UI: message box answered"))


def settled_alert_window(xserver):
    """The box where it stays: the same geometry seen twice in a row."""
    seen = []

    def settled():
        seen.append(alert_window(xserver))
        return len(seen) > 1 and seen[-1] == seen[-2]

    wait_for("the message box to settle", settled)
    return seen[-1]


def steady_screenshot(xserver, path, region):
    """A screenshot of the region once it has stopped changing (a box may still be drawing itself)."""
    previous = path + ".previous.png"

    def steady():
        if os.path.exists(path):
            os.replace(path, previous)
        screenshot(xserver, path, region)
        return os.path.exists(previous) and differing_pixels(previous, path) == 0

    wait_for("the screen to settle", steady, interval=0.2)


def press_box_key(installer, key):
    """A key pressed in the box, again only while no answer was logged (a box may take its first
    input as activation)."""
    xserver = installer.xserver
    answered = answered_boxes(installer)
    for _ in range(3):
        settled_alert_window(xserver)
        xdotool(xserver, "key", key)
        try:
            wait_for("the message box to be answered", lambda: answered_boxes(installer) > answered, timeout=10)
            break
        except TestFailure:
            continue
    else:
        raise TestFailure("the message box took no " + key)
    no_alert_window(xserver)


def press_box_button(installer, which):
    """GNUstep lays the default button at the right edge and the alternate one left of it.

    A box of an application that has never been active may take the first press
    only as activation, so the press is repeated, but only when the installer
    has not logged an answer long after it: a slow answer must not be taken
    for a lost press and answer the next box too."""
    xserver = installer.xserver
    answered = answered_boxes(installer)
    offset = 45 if which == "default" else 126
    for _ in range(3):
        # Looked up again each time: a window manager may still be placing
        # the box when it is first seen.
        box = settled_alert_window(xserver)
        xdotool(xserver, "mousemove", box[2] + box[4] - offset, box[3] + box[5] - 20)
        hold_click(xserver)
        try:
            wait_for("the message box to be answered", lambda: answered_boxes(installer) > answered, timeout=20)
            break
        except TestFailure:
            continue
    else:
        raise TestFailure("the message box was not answered")
    no_alert_window(xserver)


class Context:
    def __init__(self, args):
        self.args = args
        self.xserver = XServer()
        self.sandbox = Sandbox()
        self.installers = []
        self.helpers = []
        self.service_state = None
        self.service_pid = None
        self.own_daemons = []  # daemons the case runs itself (a session bus), with what they start

    def start_installer(self, name="installer", extra_env=None):
        installer = Installer(self.args.app, self.xserver, self.sandbox, extra_env, name)
        self.installers.append(installer)
        return installer

    def references(self, locale="en", scale=1):
        """The core's own frames for the locale and scale, rendered from the same pictures."""
        folder = self.sandbox.path("frames" if (locale, scale) == ("en", 1) else "frames-%s-%d" % (locale, scale))
        if not os.path.isdir(folder):
            subprocess.run([self.args.render_frames, self.args.assets, folder, locale, str(scale)], check=True,
                           capture_output=True)
        return folder

    def tool(self, relative):
        return os.path.join(self.args.tools, relative)

    def make_image(self, *options):
        result = subprocess.run([self.tool("sample-product/make-sample-image"), "--output", self.sandbox.path("image.dmg"),
                                 "--install-dir", self.sandbox.path("apps")] + list(options),
                                check=True, capture_output=True, text=True)
        return dict(line.split("=", 1) for line in result.stdout.splitlines() if "=" in line)

    def start_service(self, image, *options):
        self.service_state = self.sandbox.path("service")
        command = [self.tool("local-service/start-local-service"), "--state", self.service_state,
                   "--ca-dir", self.args.ca_dir, "--image", image["image"], "--launch-path", image["launch_path"],
                   "--https-port", str(self.args.https_port), "--http-port", str(self.args.http_port)]
        result = subprocess.run(command + list(options), capture_output=True, text=True)
        if result.returncode != 0:
            raise TestFailure("local service did not start: " + result.stderr)
        service = dict(line.split("=", 1) for line in result.stdout.splitlines() if "=" in line)
        self.service_pid = int(service["pid"])
        return service

    def pings(self):
        path = os.path.join(self.service_state, "logs", "pings.log")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [line.split("\t")[1] for line in f if "\t" in line]

    def start_helper(self, command, env=None, stdout=subprocess.DEVNULL):
        helper = Helper(command, env or self.xserver.env(), stdout)
        self.helpers.append(helper)
        return helper

    def close(self):
        for installer in self.installers:
            installer.stop()
        for helper in self.helpers:
            helper.stop()
        if self.service_state:
            subprocess.run([self.tool("local-service/stop-local-service"), "--state", self.service_state],
                           capture_output=True)
        self.xserver.stop()
        # An installer stopped with its process group killed never ends the toolkit's daemons it started
        # (they left the group); as this process is a subreaper they are its children now, and go with it.
        for pid in descendants(process_table(), [os.getpid()]) - {os.getpid()}:
            try:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            except (ProcessLookupError, ChildProcessError):
                pass  # ended meanwhile, or another's child whose parent reaps it
        if os.environ.get("CLIPVANE_KEEP_GUI_SANDBOX"):
            print("sandbox kept at", self.sandbox.root)
        else:
            self.sandbox.remove()


def press(ctx, window, point, area, locale="en"):
    """Moves onto a control, waits until the window shows it under the pointer (so the window
    has taken the motion), then clicks."""
    (x, y, w, h), reference = area
    cropped = ctx.sandbox.path("ref-%s-%s" % (locale, reference))
    if not os.path.exists(cropped):
        subprocess.run([CONVERT, os.path.join(ctx.references(locale), reference), "-crop", "%dx%d+%d+%d" % (w, h, x, y),
                        "+repage", cropped], check=True)
    move(ctx.xserver, window, *point)
    wait_for_picture(ctx.xserver, (window[2] + x, window[3] + y, w, h), cropped, ctx.sandbox.path("shot.png"),
                     tolerance=0.05)
    hold_click(ctx.xserver)


def frame_region(window):
    return (window[2], window[3], FRAME_W, FRAME_H)


PROGRESS_BAR = (285, 58, 301, 10)  # frame area of the progress bar and the busy animation
TOP_STRIP = (0, 0, FRAME_W, 180)   # a frame area no message box covers


def sub_region(window, area):
    x, y, w, h = area
    return (window[2] + x, window[3] + y, w, h)


def cropped_reference(ctx, reference, area):
    x, y, w, h = area
    path = ctx.sandbox.path("ref-%d-%d-%s" % (x, y, reference))
    if not os.path.exists(path):
        subprocess.run([CONVERT, os.path.join(ctx.references(), reference), "-crop", "%dx%d+%d+%d" % (w, h, x, y),
                        "+repage", path], check=True)
    return path


def shots_differ(ctx, region, name, seconds=0.5):
    """Two screenshots of the region, the given time apart: true when they differ."""
    first, second = ctx.sandbox.path(name + "-1.png"), ctx.sandbox.path(name + "-2.png")
    screenshot(ctx.xserver, first, region)
    time.sleep(seconds)  # the span whose change is looked for
    screenshot(ctx.xserver, second, region)
    return differing_pixels(first, second, fuzz="1%") > 0


PR_SET_CHILD_SUBREAPER = 36


def become_subreaper():
    """Whatever a descendant leaves running when it ends (a daemon that detached) becomes this process's child,
    so that the run's leftovers are found by their parent chain."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


class Helper:
    """A desktop program the test starts and stops by its own pid. What it starts in turn (a window manager's
    autostart programs) stays under it, so that it is never taken for the installer's."""

    def __init__(self, command, env, stdout=subprocess.DEVNULL):
        self.proc = subprocess.Popen(command, env=env, stdout=stdout, stderr=subprocess.DEVNULL,
                                     preexec_fn=become_subreaper)

    def stop(self):
        stop_process(self.proc)


def resident_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:")) / 1024.0


def check_memory(ctx, installer, limit_mib):
    """The installer's resident size above an empty application's on the same display (the toolkit's share)."""
    empty = subprocess.Popen([ctx.args.empty_window], env=ctx.sandbox.env(ctx.xserver.env()), stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL)
    try:
        if empty.stdout.readline().strip() != b"shown":
            raise TestFailure("the empty application did not show its window")
        ours = resident_mib(installer.proc.pid) - resident_mib(empty.pid)
    finally:
        stop_process(empty)
        empty.stdout.close()
    print("resident size above an empty application's: %.1f MiB" % ours)
    if ours > limit_mib:
        raise TestFailure("the welcome screen holds %.1f MiB above an empty application's (at most %d)" %
                          (ours, limit_mib))


def case_welcome(ctx):
    """The window appears at the centre of the screen with the welcome frame, holding little memory."""
    installer = ctx.start_installer()
    installer.wait_log(r"^UI: first frame shown$")
    window = installer_window(ctx.xserver)
    expected = ((SCREEN_W - FRAME_W) // 2, (SCREEN_H - FRAME_H) // 2)
    if (window[2], window[3]) != expected:
        raise TestFailure("window at %s, expected the centre %s" % ((window[2], window[3]), expected))
    wait_for_picture(ctx.xserver, frame_region(window), os.path.join(ctx.references(), "01_welcome.png"),
                     ctx.sandbox.path("shot.png"))
    check_memory(ctx, installer, 2 * 24)


def case_welcome_ja_2x(ctx):
    """With LANG=ja_JP.UTF-8 the welcome screen shows the Japanese pictures as the core renders them; with
    CLIPVANE_SCALE=2 the frame is drawn at 1736 x 1184 from the 2x pictures and shown at 868 x 592 points, in
    little memory."""
    installer = ctx.start_installer(extra_env={"LANG": "ja_JP.UTF-8"})
    installer.wait_log(r"^UI: locale ja$")
    installer.wait_log(r"^UI: first frame shown$")
    window = installer_window(ctx.xserver)
    wait_for_picture(ctx.xserver, frame_region(window), os.path.join(ctx.references("ja"), "01_welcome.png"),
                     ctx.sandbox.path("shot.png"))
    installer.stop()

    # The 2x frame, shown at half its size (GNUstep takes every second pixel of every second row), against
    # the core's 2x frame sampled so: the 1x frame differs from it in 1.7 % of the pixels.
    halved = ctx.sandbox.path("welcome-ja-2x-halved.png")
    subprocess.run([CONVERT, os.path.join(ctx.references("ja", 2), "01_welcome.png"), "-sample", "50%", halved],
                   check=True)
    installer = ctx.start_installer("installer-2x", extra_env={"LANG": "ja_JP.UTF-8", "CLIPVANE_SCALE": "2"})
    installer.wait_log(r"^UI: frame drawn at 2x$")
    installer.wait_log(r"^UI: first frame shown$")
    window = installer_window(ctx.xserver)
    wait_for_picture(ctx.xserver, frame_region(window), halved, ctx.sandbox.path("shot-2x.png"))
    check_memory(ctx, installer, 2 * 64)


def case_button_looks(ctx):
    """Hover and pressed looks of the install-now button, and back to normal when the press is cancelled."""
    installer = ctx.start_installer()
    installer.wait_log(r"^UI: first frame shown$")
    window = installer_window(ctx.xserver)
    frames = ctx.references()
    shot = ctx.sandbox.path("shot.png")
    move(ctx.xserver, window, *INSTALL_NOW)
    wait_for_picture(ctx.xserver, frame_region(window), os.path.join(frames, "02_welcome_install_hover.png"), shot)
    xdotool(ctx.xserver, "mousedown", 1)
    wait_for_picture(ctx.xserver, frame_region(window), os.path.join(frames, "03_welcome_install_pressed.png"), shot)
    # Released off the button: no click, and the normal look again.
    move(ctx.xserver, window, *BACKGROUND)
    xdotool(ctx.xserver, "mouseup", 1)
    wait_for_picture(ctx.xserver, frame_region(window), os.path.join(frames, "01_welcome.png"), shot)
    if any("Starting installer service" in line for line in installer.log_lines()):
        raise TestFailure("a cancelled press started the installation")
    # Behind the quit question the window shows the core's frame with the
    # disabled mask, and the control that asked is drawn released.
    press(ctx, window, APP_BUTTON, APP_AREA)
    alert_window(ctx.xserver)
    wait_for_picture(ctx.xserver, sub_region(window, TOP_STRIP),
                     cropped_reference(ctx, "06_welcome_disabled.png", TOP_STRIP), shot)
    press_box_button(installer, "alternate")  # No
    move(ctx.xserver, window, *BACKGROUND)
    wait_for_picture(ctx.xserver, frame_region(window), os.path.join(frames, "01_welcome.png"), shot)


def licence_area(ctx, locale="en"):
    """The licence link's place, laid out for the locale's words: the ink of its hover picture,
    from which the core takes its click area."""
    box = subprocess.run([CONVERT, os.path.join(ctx.args.assets, locale, "eula_hover.png"), "-format", "%@", "info:"],
                         check=True, capture_output=True, text=True).stdout
    w, h, x, y = map(int, re.match(r"(\d+)x(\d+)\+(\d+)\+(\d+)$", box).groups())
    return (x, y, w, h), "04_welcome_licence_hover.png"


def case_licence_link(ctx):
    """The licence link opens the licence page in the user's browser."""
    record = ctx.sandbox.path("browser.txt")
    browser = ctx.sandbox.path("browser")
    with open(browser, "w") as f:
        f.write("#!/bin/sh\nprintf '%%s\\n' \"$@\" > %s && mv %s %s\n"
                % (shlex.quote(record + ".new"), shlex.quote(record + ".new"), shlex.quote(record)))
    os.chmod(browser, 0o755)
    installer = ctx.start_installer(extra_env={"BROWSER": browser})
    installer.wait_log(r"^UI: first frame shown$")
    window = installer_window(ctx.xserver)
    area = licence_area(ctx)
    (x, y, w, h), _ = area
    press(ctx, window, (x + w // 2, y + h // 2), area)
    wait_for("the browser to be started", lambda: os.path.exists(record))
    with open(record) as f:
        opened = f.read().split()
    expected = "http://127.0.0.1:%d/go/CLV11LicTerms" % ctx.args.http_port
    if opened != [expected]:
        raise TestFailure("browser opened %s, expected %s" % (opened, expected))
    installer.wait_log(r"^TTO EULAClicked")


def net_wm_icon(xserver, wid):
    """The window's _NET_WM_ICON as {size: [0xAARRGGBB, ...]}."""
    text = subprocess.run(["xprop", "-id", str(wid), "-notype", "32c", "_NET_WM_ICON"], env=xserver.env(),
                          capture_output=True, text=True).stdout
    values = [int(v) for v in re.findall(r"\d+", text.partition("=")[2])]
    icons = {}
    while len(values) >= 2 and len(values) >= 2 + values[0] * values[1]:
        w, h = values[0], values[1]
        icons[w] = values[2:2 + w * h] if w == h else None
        values = values[2 + w * h:]
    return icons


def application_icon(ctx, size):
    """The pixels of the application icon asset at the size, as _NET_WM_ICON holds them."""
    folder = ctx.sandbox.path("icns")
    if not os.path.isdir(folder):
        os.makedirs(folder)
        subprocess.run(["icns2png", "-x", "-d", "32", "-o", folder, os.path.join(ctx.args.assets, "clipvane.icns")],
                       check=True, capture_output=True)
    png = next(os.path.join(folder, f) for f in os.listdir(folder) if f.endswith("_%dx%dx32.png" % (size, size)))
    raw = subprocess.run([CONVERT, png, "-depth", "8", "rgba:-"], check=True, capture_output=True).stdout
    return [raw[i + 3] << 24 | raw[i] << 16 | raw[i + 1] << 8 | raw[i + 2] for i in range(0, len(raw), 4)]


def assert_application_icon(ctx, wid, what):
    """The window manager is given the application icon for the window, at each of its sizes up to 128."""
    icons = net_wm_icon(ctx.xserver, wid)
    if sorted(icons) != [16, 32, 48, 128]:
        raise TestFailure("%s's icon comes at the sizes %s, not the application icon's 16, 32, 48 and 128" %
                          (what, sorted(icons)))
    for size in (16, 128):
        for got, want in zip(icons[size], application_icon(ctx, size)):
            # Colours of all but transparent pixels, within rounding.
            if abs((got >> 24) - (want >> 24)) > 2 or (want >> 24 > 16 and any(
                    abs((got >> s & 255) - (want >> s & 255)) > 3 for s in (0, 8, 16))):
                raise TestFailure("%s's %d px icon is not the application icon (%08x for %08x)" %
                                  (what, size, got, want))


def client_window(xserver, name, size=None):
    """The id of the visible client window of the name (not a window manager's frame around it): of the size, or
    without one the box, whose size is not the installer window's."""
    return wait_for("the window " + name, lambda: next(
        (int(w[0]) for w in windows(xserver) if w[1] == name and
         ((w[4], w[5]) == size if size else is_alert_size(w[4], w[5]))), None))


def stacking(xserver):
    text = subprocess.run(["xprop", "-root", "_NET_CLIENT_LIST_STACKING"], env=xserver.env(), capture_output=True,
                          text=True).stdout
    return [int(v, 16) for v in re.findall(r"0x[0-9a-f]+", text)]


def case_second_instance(ctx):
    """Under a window manager, a second installer shows the 9006 box with the product's icon and ends at once on
    SIGTERM; once its box is gone the running one comes forward and keeps running. The window and the box carry
    the application icon."""
    start_window_manager(ctx)
    first = ctx.start_installer("first")
    first.wait_log(r"^UI: first frame shown$")
    ours = client_window(ctx.xserver, NAME, (FRAME_W, FRAME_H))
    assert_application_icon(ctx, ours, "the installer window")

    def above(a, b):
        ids = stacking(ctx.xserver)
        return a in ids and b in ids and ids.index(a) > ids.index(b)
    ctx.start_helper([ctx.args.empty_window], env=ctx.sandbox.env(ctx.xserver.env()))
    covers = wait_for("a window over the installer's",
                      lambda: [w for w in stacking(ctx.xserver) if above(w, ours)])

    second = ctx.start_installer("second")
    second.wait_log(r"^Caught exception: 9006$")
    box = settled_alert_window(ctx.xserver)
    assert_application_icon(ctx, client_window(ctx.xserver, NAME), "the box")
    body = ctx.sandbox.path("second-box.png")
    steady_screenshot(ctx.xserver, body, (box[2], box[3] + 30, box[4], box[5] - 30))
    if orange_pixels(body, "rgb(255,122,77)") < 30:
        raise TestFailure("the second installer's box does not show the product's icon")

    started = time.monotonic()
    second.proc.send_signal(signal.SIGTERM)
    code = second.wait_exit(10)
    ended = time.monotonic() - started
    print("the second installer ended %.2f s after SIGTERM" % ended)
    if code != 0 or ended > 3:
        raise TestFailure("the second installer ended %.1f s after SIGTERM with %s" % (ended, code))
    # Its box gone, the running installer comes forward.
    first.wait_log(r"^UI: another installer was started; this one comes forward$")
    wait_for("the running installer's window over the other one", lambda: all(above(ours, w) for w in covers))
    if first.proc.poll() is not None:
        raise TestFailure("the first installer ended")
    installer_window(ctx.xserver)


def ink_cells(path, threshold=50):
    """The shapes of the dark marks in a picture, line by line: each a run of columns with ink between blank
    ones, as the tuple of its rows' ink. Text in a font that has its glyphs gives many different shapes; text
    turned into "?" gives one."""
    text = subprocess.run([CONVERT, path, "-colorspace", "gray", "-threshold", "%d%%" % threshold, "-compress",
                           "none", "pbm:-"], capture_output=True, text=True, check=True).stdout.split()
    width, height = int(text[1]), int(text[2])
    bits = [int(v) for v in text[3:3 + width * height]]
    rows = [bits[r * width:(r + 1) * width] for r in range(height)]
    cells, r = [], 0
    while r < height:
        if not any(rows[r]):
            r += 1
            continue
        top = r
        while r < height and any(rows[r]):
            r += 1
        line = rows[top:r]
        c = 0
        while c < width:
            if not any(row[c] for row in line):
                c += 1
                continue
            left = c
            while c < width and any(row[c] for row in line):
                c += 1
            cells.append(tuple(tuple(row[left:c]) for row in line))
    return cells


def case_box_ja(ctx):
    """In Japanese the quit question's text is drawn in Japanese glyphs, not turned into "?": its text holds many
    different shapes, and no single one makes up most of it."""
    installer = ctx.start_installer(extra_env={"LANG": "ja_JP.UTF-8"})
    installer.wait_log(r"^UI: locale ja$")
    installer.wait_log(r"^UI: first frame shown$")
    window = installer_window(ctx.xserver)
    press(ctx, window, APP_BUTTON, APP_AREA, "ja")
    box = settled_alert_window(ctx.xserver)
    shot = ctx.sandbox.path("box-ja.png")
    steady_screenshot(ctx.xserver, shot, box[2:])
    shots = os.environ.get("CLIPVANE_SHOTS_DIR")
    if shots:
        shutil.copy(shot, os.path.join(shots, "ja-box.png"))
    # The question lies between the title (the product's name, beside the icon) and the buttons.
    text = ctx.sandbox.path("box-ja-text.png")
    subprocess.run([CONVERT, shot, "-crop", "%dx%d+0+70" % (box[4], box[5] - 110), "+repage", text], check=True)
    cells = ink_cells(text)
    shapes = {}
    for cell in cells:
        shapes[cell] = shapes.get(cell, 0) + 1
    print("box text: %d marks, %d shapes" % (len(cells), len(shapes)))
    if len(shapes) < 10 or max(shapes.values()) * 3 > len(cells):
        raise TestFailure("the Japanese box's text is not drawn in its glyphs: %d marks of %d shapes" %
                          (len(cells), len(shapes)))
    press_box_key(installer, "Return")  # No: the installer goes on
    if installer.proc.poll() is not None:
        raise TestFailure("the installer ended after No")


def assert_installed(ctx, installer, image):
    if installer.wait_exit(120) != 0:
        raise TestFailure("installer exited with %s" % installer.proc.returncode)
    launched = os.path.join(image["install_dir"], "clipvane-launched.txt")
    wait_for("the product's launch record", lambda: os.path.exists(launched))
    lines = installer.log_lines()
    if not any(line.startswith("TTO InstallSuccess") for line in lines):
        raise TestFailure("no InstallSuccess ping in the log")
    assert_no_leftovers(ctx)


def assert_no_leftovers(ctx):
    tmp = ctx.sandbox.path("tmp")
    # The single-instance lock file (named for the user) stays for the next run.
    kept = ("kwel_installer_log.txt", "clipvane_installer-%d.lock" % os.geteuid())
    left = [name for name in os.listdir(tmp) if name not in kept]
    if left:
        raise TestFailure("left behind in the temporary folder: %s" % left)
    running = processes_of_the_run(ctx)
    if running:
        raise TestFailure("processes left running: %s" % running)


def process_table():
    """pid: (parent pid, state, command line) of every process."""
    table = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % pid) as f:
                stat = f.read()
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                command = f.read().replace(b"\0", b" ").decode("utf-8", "replace").strip()
        except OSError:
            continue  # ended meanwhile
        fields = stat[stat.rindex(")") + 2:].split()  # after "pid (name) "
        table[int(pid)] = (int(fields[1]), fields[0], command)
    return table


def descendants(table, roots):
    found, todo = set(), list(roots)
    while todo:
        pid = todo.pop()
        if pid in found:
            continue
        found.add(pid)
        todo.extend(child for child, (parent, _, _) in table.items() if parent == pid)
    return found


def processes_of_the_run(ctx):
    """Every live process this test started, directly or not, but the X server, the desktop helpers, the
    installers still running, the case's own daemons and the local service (nginx, which keeps running until
    the test ends). The test
    is a child subreaper (main): a daemon that detached from the installer is its child now, whatever its name
    or path."""
    table = process_table()
    ours = descendants(table, [os.getpid()]) - {os.getpid()}
    expected = set()
    for proc in [ctx.xserver.proc] + [helper.proc for helper in ctx.helpers] + [i.proc for i in ctx.installers]:
        if proc.poll() is None:
            expected |= descendants(table, [proc.pid])
    expected |= descendants(table, ctx.own_daemons + ([ctx.service_pid] if ctx.service_pid else []))
    return ["%d %s" % (pid, table[pid][2]) for pid in sorted(ours - expected)
            if pid in table and table[pid][1] != "Z"]


PERCENT_FIGURE = (285, 44, 40, 13)  # frame area of the download's percentage, above the bar


def download_frame(ctx, percent):
    """The UI core's own frame of the download at percent."""
    folder = ctx.sandbox.path("frames-downloading")
    path = os.path.join(folder, "downloading_%d.png" % percent)
    if not os.path.exists(path):
        subprocess.run([ctx.args.render_frames, ctx.args.assets, folder, "--downloading", str(percent)], check=True,
                       capture_output=True)
    return path


def shows_logged_percentage(ctx, installer, window):
    """The percentage over the bar is the core's render of the log's last progress line."""
    percent = download_progress(installer)
    x, y, w, h = PERCENT_FIGURE
    reference = ctx.sandbox.path("ref-percent-%d.png" % percent)
    subprocess.run([CONVERT, download_frame(ctx, percent), "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage",
                    reference], check=True)
    shot = ctx.sandbox.path("percent.png")
    screenshot(ctx.xserver, shot, sub_region(window, PERCENT_FIGURE))
    return download_progress(installer) == percent and differing_pixels(shot, reference) == 0


def case_install(ctx):
    """Install now runs a whole installation against the local service; the product is launched.

    Without a status item or a system tray the window stays up, its progress bar moves and the
    percentage over it is the one the log's last progress line says."""
    image = ctx.make_image("--payload-mib", "12")
    ctx.start_service(image, "--rate-limit", "1500000")
    installer = ctx.start_installer()
    installer.wait_log(r"^UI: first frame shown$")
    window = installer_window(ctx.xserver)
    press(ctx, window, INSTALL_NOW, INSTALL_NOW_AREA)
    installer.wait_log(r"^UI: no status item and no system tray; the window stays up")
    installer.wait_log(r"^Download progress: \d+$")
    at = download_progress(installer)
    bar = sub_region(window, PROGRESS_BAR)
    screenshot(ctx.xserver, ctx.sandbox.path("bar-1.png"), bar)
    wait_for("the download to move on", lambda: download_progress(installer) >= at + 10)
    if installer_window(ctx.xserver, timeout=1) != window:
        raise TestFailure("the window did not stay where it was")
    wait_for("the progress bar to move", lambda: screenshot(ctx.xserver, ctx.sandbox.path("bar-2.png"), bar) or
             differing_pixels(ctx.sandbox.path("bar-1.png"), ctx.sandbox.path("bar-2.png")) > 0)
    wait_for("the window to show the logged percentage", lambda: shows_logged_percentage(ctx, installer, window))
    assert_installed(ctx, installer, image)
    if "InstallSuccess" not in ctx.pings():
        raise TestFailure("the service received no InstallSuccess ping: %s" % ctx.pings())


CONNECTION_CHECK_TEXT = (284, 386, 300, 28)  # frame area of the connection check's words, above its busy bar


def case_error_retry(ctx):
    """With the service stopped the network error box shows; Retry after it is back shows the connection
    check in the window, resumes and installs."""
    image = ctx.make_image("--payload-mib", "4")
    installer = ctx.start_installer()
    installer.wait_log(r"^UI: first frame shown$")
    window = installer_window(ctx.xserver)
    press(ctx, window, INSTALL_NOW, INSTALL_NOW_AREA)
    installer.wait_log(r"^Unable to connect to the network\.")
    alert_window(ctx.xserver)
    ctx.start_service(image)
    press_box_button(installer, "default")  # Retry
    wait_for_picture(ctx.xserver, sub_region(window, CONNECTION_CHECK_TEXT),
                     cropped_reference(ctx, "07_welcome_checking_connection.png", CONNECTION_CHECK_TEXT),
                     ctx.sandbox.path("shot.png"))
    assert_installed(ctx, installer, image)


def case_error_cancel(ctx):
    """With the service stopped, Cancel in the error box ends the installer with InstallError."""
    installer = ctx.start_installer()
    installer.wait_log(r"^UI: first frame shown$")
    window = installer_window(ctx.xserver)
    press(ctx, window, INSTALL_NOW, INSTALL_NOW_AREA)
    installer.wait_log(r"^Unable to connect to the network\.")
    press_box_button(installer, "alternate")  # Cancel
    if installer.wait_exit() != 0:
        raise TestFailure("installer exited with %s" % installer.proc.returncode)
    installer.wait_log(r"^TTO InstallError")
    assert_no_leftovers(ctx)


def download_progress(installer):
    values = [int(m.group(1)) for m in (re.match(r"^Download progress: (\d+)$", line)
                                        for line in installer.log_lines()) if m]
    return max(values) if values else -1


def case_close_during_install(ctx):
    """The close button during an installation asks; No keeps it running, Yes stops it with InstallExit."""
    # The first handshakes fail, so the error box brings the window back from
    # the menu bar. The image (one part) takes about 100 s at this rate, far
    # longer than the steps below even on a loaded machine; Yes ends it early.
    image = ctx.make_image("--payload-mib", "6")
    service = ctx.start_service(image, "--handshake-result", "failure", "--rate-limit", "65536")
    installer = ctx.start_installer()
    installer.wait_log(r"^UI: first frame shown$")
    window = installer_window(ctx.xserver)
    press(ctx, window, INSTALL_NOW, INSTALL_NOW_AREA)
    installer.wait_log(r"^Unable to connect to the Ostrel server\.")
    alert_window(ctx.xserver)
    # The window is live behind the box: the busy animation of the handshake runs.
    if not shots_differ(ctx, sub_region(window, PROGRESS_BAR), "busy"):
        raise TestFailure("the busy animation stood still behind the error box")
    with open(service["handshake_file"]) as f:
        reply = f.read()
    with open(service["handshake_file"] + ".new", "w") as f:
        f.write(reply.replace('"failure"', '"success"'))
    os.rename(service["handshake_file"] + ".new", service["handshake_file"])
    press_box_button(installer, "default")  # Retry
    installer.wait_log(r"^Download progress: \d+$")

    press(ctx, window, CLOSE_BUTTON, CLOSE_AREA)
    alert_window(ctx.xserver)
    # The focus is on the default button, No: Space answers as Return does.
    press_box_key(installer, "space")
    at_no = download_progress(installer)
    wait_for("the download to go on after No", lambda: download_progress(installer) > at_no)
    if installer.proc.poll() is not None:
        raise TestFailure("the installer ended after No")

    # Ctrl-Q, the Quit menu item's role on Linux, asks the same question.
    xdotool(ctx.xserver, "key", "ctrl+q")
    alert_window(ctx.xserver)
    press_box_button(installer, "default")  # Yes
    if installer.wait_exit() != 0:
        raise TestFailure("installer exited with %s" % installer.proc.returncode)
    lines = installer.log_lines()
    if not any(line.startswith("TTO InstallExit") for line in lines):
        raise TestFailure("no InstallExit ping in the log")
    if any(re.match(r"^Launching CLV", line) for line in lines):
        raise TestFailure("the installation went on after Yes")
    assert_no_leftovers(ctx)
    if os.path.exists(os.path.join(ctx.sandbox.path("apps"), "Clipvane.app")):
        raise TestFailure("the product was installed after Yes")


def orange_pixels(path, colour="rgb(240,106,60)"):
    """Pixels of the colour: by default the progress colour drawn over the tray icon. Everything else goes
    black first, so that white already in the picture is not counted."""
    result = subprocess.run([CONVERT, path, "-fuzz", "12%", "-fill", "black", "+opaque", colour,
                             "-fill", "white", "-opaque", colour, "-format", "%[fx:mean*w*h]", "info:"],
                            capture_output=True, text=True, check=True)
    return int(float(result.stdout.strip() or 0))


DARK_PANEL = (0x1e, 0x1e, 0x1e)
LIGHT_PANEL = (0xf0, 0xf0, 0xf0)


def pixels(path):
    """(r, g, b) of every pixel of a picture."""
    text = subprocess.run([CONVERT, path, "-depth", "8", "txt:-"], capture_output=True, text=True, check=True).stdout
    return [tuple(int(v) for v in m.groups()) for m in re.finditer(r"^\d+,\d+: \((\d+),(\d+),(\d+)", text, re.M)]


def luminance(rgb):
    """WCAG relative luminance."""
    def linear(c):
        c /= 255.0
        return c / 12.92 if c <= 0.03928 else ((c + 0.055) / 1.055) ** 2.4
    r, g, b = (linear(c) for c in rgb)
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def contrast(a, b):
    la, lb = sorted((luminance(a), luminance(b)), reverse=True)
    return (la + 0.05) / (lb + 0.05)


def tooltip_percent(xserver, wid):
    found = re.search(r"Downloading Ostrel Clipvane\u2026 (\d+) %", xdotool(xserver, "getwindowname", wid))
    return int(found.group(1)) if found else None


def case_tray(ctx):
    """With a system tray (a dark panel) and a notification server: Install now hides the window behind a
    tray icon that stands out from the panel, shows the download's progress and says it in its tooltip;
    one notification says so; the icon's menu asks the quit question, a click brings the window back, and
    when the tray goes away while the window is hidden the window comes back."""
    bus = subprocess.run(["dbus-launch", "--sh-syntax"], env=ctx.xserver.env(), capture_output=True, text=True,
                         check=True).stdout
    values = dict(re.findall(r"^(DBUS_SESSION_BUS_ADDRESS|DBUS_SESSION_BUS_PID)='?([^';]*)'?;", bus, re.M))
    bus_pid = int(values["DBUS_SESSION_BUS_PID"])
    ctx.own_daemons.append(bus_pid)
    env = dict(ctx.xserver.env(), DBUS_SESSION_BUS_ADDRESS=values["DBUS_SESSION_BUS_ADDRESS"])
    try:
        record = ctx.sandbox.path("notify.txt")
        with open(record, "w") as out:
            ctx.start_helper(["dbus-monitor", "--session", "interface='org.freedesktop.Notifications',member='Notify'"],
                             env, out)
        ctx.start_helper(["dunst"], env)
        trayer = ctx.start_helper(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                   "--height", "32", "--SetDockType", "true", "--transparent", "true", "--alpha", "0",
                                   "--tint", "0x%02x%02x%02x" % DARK_PANEL])
        wait_for("the system tray", lambda: any(w[1] == "panel" for w in windows(ctx.xserver)))
        image = ctx.make_image("--payload-mib", "8")
        ctx.start_service(image, "--rate-limit", "150000")
        installer = ctx.start_installer(extra_env={"DBUS_SESSION_BUS_ADDRESS": env["DBUS_SESSION_BUS_ADDRESS"]})
        installer.wait_log(r"^UI: first frame shown$")
        window = installer_window(ctx.xserver)
        press(ctx, window, INSTALL_NOW, INSTALL_NOW_AREA)
        icon = tray_icon(ctx.xserver)
        wait_for("the window to hide", lambda: not any(w[4] == FRAME_W and w[5] == FRAME_H
                                                       for w in windows(ctx.xserver)))

        # Readable on the dark panel: the icon's light outline against the panel's colour, as WCAG
        # measures contrast (3:1 is its floor for graphics), on the icon above its progress bar.
        region = icon[2:6]
        whole = ctx.sandbox.path("icon-0.png")
        screenshot(ctx.xserver, whole, region)
        panel = pixels(whole)[0]  # a corner, where the panel shows through
        if luminance(panel) > 0.05:
            raise TestFailure("the panel is not dark: %s" % (panel,))
        upper = ctx.sandbox.path("icon-upper.png")
        screenshot(ctx.xserver, upper, (region[0], region[1], region[2], region[3] * 3 // 4))
        ratios = sorted(contrast(p, panel) for p in pixels(upper))
        standing_out = sum(1 for r in ratios if r >= 3.0) / len(ratios)
        print("tray icon on panel %s: %.0f %% of its pixels at >= 3:1, best %.1f:1"
              % (panel, 100 * standing_out, ratios[-1]))
        if standing_out < 0.15:
            raise TestFailure("the icon hardly stands out from the dark panel: %.0f %% at >= 3:1"
                              % (100 * standing_out))

        installer.wait_log(r"^Download progress: \d+$")
        at = download_progress(installer)
        first, later = ctx.sandbox.path("icon-1.png"), ctx.sandbox.path("icon-2.png")
        screenshot(ctx.xserver, first, region)
        wait_for("the download to move on", lambda: download_progress(installer) >= at + 10)
        wait_for("the icon to show more progress", lambda: screenshot(ctx.xserver, later, region) or
                 orange_pixels(later) > orange_pixels(first))
        # The tooltip's text is the icon window's name.
        wait_for("the tooltip to say the logged percentage",
                 lambda: tooltip_percent(ctx.xserver, icon[0]) == download_progress(installer))

        wait_for("one notification", lambda: open(record).read().count("member=Notify") >= 1)
        text = open(record).read()
        for expected in ('string "Ostrel Clipvane Installer"', 'string "The installation will continue in the background. The installer is in the system tray."'):
            if expected not in text:
                raise TestFailure("the notification lacks %s: %s" % (expected, text))

        # Escape closes the icon's menu; its Quit asks the quit question; No keeps the installation going, in the
        # tray.
        before = {w[0] for w in windows(ctx.xserver)}

        def open_menu():
            xdotool(ctx.xserver, "mousemove", icon[2] + icon[4] // 2, icon[3] + icon[5] // 2)
            xdotool(ctx.xserver, "click", 3)
            return wait_for("the tray menu", lambda: next((w for w in windows(ctx.xserver)
                                                           if w[0] not in before and w[4] < 300 and w[5] < 120), None))
        menu = open_menu()
        xdotool(ctx.xserver, "key", "Escape")
        wait_for("Escape to close the tray menu", lambda: menu[0] not in {w[0] for w in windows(ctx.xserver)})
        menu = open_menu()
        xdotool(ctx.xserver, "mousemove", menu[2] + menu[4] // 2, menu[3] + menu[5] * 3 // 4)
        hold_click(ctx.xserver)
        alert_window(ctx.xserver)
        press_box_button(installer, "alternate")  # No
        if installer.proc.poll() is not None:
            raise TestFailure("the installer ended after No")

        xdotool(ctx.xserver, "mousemove", icon[2] + icon[4] // 2, icon[3] + icon[5] // 2)
        hold_click(ctx.xserver)
        back = installer_window(ctx.xserver)
        if back[2:4] != window[2:4]:
            raise TestFailure("the window came back at %s, not at %s" % (back[2:4], window[2:4]))
        installer.wait_log(r"^TTO AppMaximizeClick")
        wait_for("the tray icon to go", lambda: not any(is_tray_icon(w) for w in windows(ctx.xserver)))
        # The window shows the current frame: the bar keeps moving in it.
        bar = sub_region(back, PROGRESS_BAR)
        screenshot(ctx.xserver, ctx.sandbox.path("bar-1.png"), bar)
        wait_for("the progress bar to move", lambda: screenshot(ctx.xserver, ctx.sandbox.path("bar-2.png"), bar) or
                 differing_pixels(ctx.sandbox.path("bar-1.png"), ctx.sandbox.path("bar-2.png")) > 0)

        # Hidden again, then the tray goes away: the window comes back.
        click(ctx.xserver, back, *APP_BUTTON)
        tray_icon(ctx.xserver)
        wait_for("the window to hide", lambda: not any(w[4] == FRAME_W and w[5] == FRAME_H
                                                       for w in windows(ctx.xserver)))
        trayer.stop()
        installer_window(ctx.xserver, timeout=10)
        installer.wait_log(r"^UI: no system tray any more; the window is shown again$")

        assert_installed(ctx, installer, image)
        if open(record).read().count("member=Notify") != 2:
            raise TestFailure("not one notification for each time the window went to the tray")
    finally:
        for helper in reversed(ctx.helpers):
            helper.stop()
        ctx.helpers = []
        try:
            os.kill(bus_pid, 15)
        except ProcessLookupError:
            pass


def case_tray_de(ctx):
    """With LANG=de_DE.UTF-8 the tray icon's tooltip (its window's name, which trays show) is German, the
    download's figures in it included."""
    ctx.start_helper(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "32",
                      "--SetDockType", "true"])
    wait_for("the system tray", lambda: any(w[1] == "panel" for w in windows(ctx.xserver)))
    image = ctx.make_image("--payload-mib", "4")
    ctx.start_service(image, "--rate-limit", "250000")
    installer = ctx.start_installer(extra_env={"LANG": "de_DE.UTF-8"})
    installer.wait_log(r"^UI: locale de$")
    installer.wait_log(r"^UI: first frame shown$")
    window = installer_window(ctx.xserver)
    press(ctx, window, INSTALL_NOW, INSTALL_NOW_AREA, "de")
    # The stage and the download's figures follow, German too (decimal comma).
    figures = re.compile(r"Ostrel Clipvane – Installationsprogramm: Ostrel Clipvane wird heruntergeladen… "
                         r"\d+ %  ·  \d+,\d von \d+,\d MB")
    tray_icon(ctx.xserver, name="Ostrel Clipvane – Installationsprogramm")
    wait_for("the German figures in the tooltip",
             lambda: any(w[4] < 100 and figures.match(w[1]) for w in windows(ctx.xserver)))


def case_tray_panels(ctx):
    """The tray icon is drawn (anti-aliased, over the panel as it shows through) for the size the tray gives it and
    stands out on a dark and on a light panel, small and tall: a good share of its pixels above its progress bar at
    3:1 or more against the panel."""
    image = ctx.make_image("--payload-mib", "4")
    ctx.start_service(image, "--rate-limit", "60000")
    trayer = None
    installer = None
    for height, tint in ((24, DARK_PANEL), (50, DARK_PANEL), (50, LIGHT_PANEL), (24, LIGHT_PANEL)):
        if trayer:
            # Without its tray the installer shows its window again; minimised, it docks in the new one.
            trayer.stop()
            window = installer_window(ctx.xserver)
        trayer = ctx.start_helper(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                   "--height", str(height), "--SetDockType", "true", "--transparent", "true",
                                   "--alpha", "0", "--tint", "0x%02x%02x%02x" % tint])
        wait_for("the system tray", lambda: any(w[1] == "panel" for w in windows(ctx.xserver)))
        if not installer:
            installer = ctx.start_installer()
            installer.wait_log(r"^UI: first frame shown$")
            press(ctx, installer_window(ctx.xserver), INSTALL_NOW, INSTALL_NOW_AREA)
        else:
            press(ctx, window, APP_BUTTON, ((11, 5, 15, 15), "14_downloading_100_minimize_hover.png"))
        icon = tray_icon(ctx.xserver)
        print("tray of %d px: icon %dx%d" % (height, icon[4], icon[5]))
        shot = ctx.sandbox.path("tray-%d-%s.png" % (height, "dark" if tint == DARK_PANEL else "light"))
        region = (icon[2], icon[3], icon[4], icon[5] * 3 // 4)

        def stands_out():
            screenshot(ctx.xserver, shot, region)
            ratios = [contrast(p, tint) for p in pixels(shot)]
            return sum(1 for r in ratios if r >= 3.0) / len(ratios) >= 0.15
        wait_for("the icon to stand out on a %d px panel of %s" % (height, tint), stands_out, timeout=10)
        shots = os.environ.get("CLIPVANE_SHOTS_DIR")
        if shots:
            screenshot(ctx.xserver, os.path.join(shots, os.path.basename(shot)), icon[2:6])
    if installer.proc.poll() is not None:
        raise TestFailure("the installer ended while the tray was replaced")


def case_sigterm_after_a_crash(ctx):
    """A killed run's session folder is removed at the next start; SIGTERM mid-download quits with InstallExit."""
    dead = subprocess.Popen(["true"])
    dead.wait()
    stale = ctx.sandbox.path("tmp", "kwsession.%d.AbC123" % dead.pid)
    os.makedirs(os.path.join(stale, "parts"))
    with open(os.path.join(stale, "parts", "clv_build.part0"), "w") as f:
        f.write("left by a killed run")
    image = ctx.make_image("--payload-mib", "6")
    ctx.start_service(image, "--rate-limit", "65536")
    installer = ctx.start_installer()
    installer.wait_log(r"^UI: first frame shown$")
    if os.path.exists(stale):
        raise TestFailure("the stale session folder is still there")
    window = installer_window(ctx.xserver)
    press(ctx, window, INSTALL_NOW, INSTALL_NOW_AREA)
    installer.wait_log(r"^Download progress: \d+$")
    installer.proc.send_signal(signal.SIGTERM)
    if installer.wait_exit() != 0:
        raise TestFailure("installer exited with %s" % installer.proc.returncode)
    if not any(line.startswith("TTO InstallExit") for line in installer.log_lines()):
        raise TestFailure("no InstallExit ping in the log")
    assert_no_leftovers(ctx)


def start_window_manager(ctx):
    ctx.start_helper(["openbox", "--sm-disable"])
    wait_for("the window manager", lambda: subprocess.run(["wmctrl", "-m"], env=ctx.xserver.env(),
                                                          capture_output=True).returncode == 0)


def close_request(ctx, title, wid=None):
    """The window manager's close, as a taskbar sends it (WM_DELETE_WINDOW through _NET_CLOSE_WINDOW), to the
    window of the title or, where a box bears the same, of the id."""
    target = ["-i", "-c", hex(wid)] if wid else ["-F", "-c", title]
    subprocess.run(["wmctrl"] + target, env=ctx.xserver.env(), check=True)


def mapped_windows(xserver):
    """Names and sizes of every mapped top-level client window of the installer."""
    tree = subprocess.run(["xwininfo", "-root", "-tree"], env=xserver.env(), capture_output=True, text=True).stdout
    found = []
    for wid, size in re.findall(r"^\s+(0x[0-9a-f]+) .*\(\"Clipvane Installer\" \"GNUstep\"\)\s+(\d+x\d+)", tree, re.M):
        state = subprocess.run(["xwininfo", "-id", wid], env=xserver.env(), capture_output=True, text=True).stdout
        if "IsViewable" in state:
            found.append(size)
    return found


def case_desktop_keyboard_and_close(ctx):
    """Under a window manager: only the installer window is mapped and it appears with the core's first frame;
    the keyboard alone starts the installation; the window manager's close asks the quit question, whose default
    (Return) keeps the installation going; a box's own close gives its neutral answer; a click on the window
    leaves the box on top; Yes to a close request ends the installer with nothing left."""
    start_window_manager(ctx)
    image = ctx.make_image("--payload-mib", "6")
    ctx.start_service(image, "--rate-limit", "65536")
    installer = ctx.start_installer()
    window = installer_window(ctx.xserver)
    frames = ctx.references()
    first = ctx.sandbox.path("first.png")
    screenshot(ctx.xserver, first, frame_region(window))
    limit = FRAME_W * FRAME_H // 500
    if differing_pixels(first, os.path.join(frames, "01_welcome.png")) > limit:
        raise TestFailure("the first screenshot of the window is not the welcome frame")
    installer.wait_log(r"^UI: first frame shown$")
    if mapped_windows(ctx.xserver) != ["%dx%d" % (FRAME_W, FRAME_H)]:
        raise TestFailure("mapped windows besides the installer window: %s" % mapped_windows(ctx.xserver))

    # Tab puts the focus ring on Install now, and Return presses it.
    ring = sub_region(window, (361, 389, 147, 44))
    before = ctx.sandbox.path("ring-0.png")
    screenshot(ctx.xserver, before, ring)
    xdotool(ctx.xserver, "key", "Tab")
    wait_for("the focus ring", lambda: screenshot(ctx.xserver, ctx.sandbox.path("ring-1.png"), ring) or
             differing_pixels(before, ctx.sandbox.path("ring-1.png")) > 100)
    xdotool(ctx.xserver, "key", "Return")
    installer.wait_log(r"^Download progress: \d+$")

    close_request(ctx, NAME)
    alert_window(ctx.xserver)
    answered = answered_boxes(installer)
    xdotool(ctx.xserver, "key", "Return")  # the default: No
    wait_for("the quit question to be answered", lambda: answered_boxes(installer) > answered)
    no_alert_window(ctx.xserver)
    at_no = download_progress(installer)
    wait_for("the download to go on after Return", lambda: download_progress(installer) > at_no)

    close_request(ctx, NAME)
    box = settled_alert_window(ctx.xserver)
    # Below the title bar, whose colour follows the focus.
    box_area = (box[2], box[3] + 30, box[4], box[5] - 30)
    steady_screenshot(ctx.xserver, ctx.sandbox.path("box-1.png"), box_area)
    # The box carries the product's icon, the logo in its colours (its coral vane), not the menu-bar glyph.
    if orange_pixels(ctx.sandbox.path("box-1.png"), "rgb(255,122,77)") < 30:
        raise TestFailure("the box does not show the product's icon")
    click(ctx.xserver, window, *BACKGROUND)
    time.sleep(0.5)  # lets the window manager restack, if it would
    screenshot(ctx.xserver, ctx.sandbox.path("box-2.png"), box_area)
    if differing_pixels(ctx.sandbox.path("box-1.png"), ctx.sandbox.path("box-2.png")) > box[4] * box[5] // 20:
        raise TestFailure("a click on the installer window hid the box")
    answered = answered_boxes(installer)
    close_request(ctx, NAME, client_window(ctx.xserver, NAME))
    wait_for("the box's close to answer it", lambda: answered_boxes(installer) > answered)
    no_alert_window(ctx.xserver)
    if installer.proc.poll() is not None:
        raise TestFailure("the installer ended after the box's close")

    close_request(ctx, NAME)
    press_box_button(installer, "default")  # Yes
    if installer.wait_exit() != 0:
        raise TestFailure("installer exited with %s" % installer.proc.returncode)
    if not any(line.startswith("TTO InstallExit") for line in installer.log_lines()):
        raise TestFailure("no InstallExit ping in the log")
    assert_no_leftovers(ctx)


def kill_display(ctx, installer):
    """Kills the X server; the installer must be gone within 5 s, with exit status 0."""
    ctx.xserver.proc.kill()
    ctx.xserver.proc.wait()
    try:
        installer.proc.wait(5)
    except subprocess.TimeoutExpired:
        raise TestFailure("the installer outlived its display by more than 5 s")
    if installer.proc.returncode != 0:
        raise TestFailure("installer exited with %s" % installer.proc.returncode)


def launch_on_a_new_display(ctx):
    """The next launch, on a new X server, starts normally."""
    ctx.xserver = XServer()
    again = ctx.start_installer("again")
    again.wait_log(r"^UI: first frame shown$")
    installer_window(ctx.xserver)


def case_display_lost(ctx):
    """The X server goes away mid-download: the installer is gone within 5 s with nothing left, and the next
    launch on a new server starts normally."""
    image = ctx.make_image("--payload-mib", "6")
    ctx.start_service(image, "--rate-limit", "65536")
    installer = ctx.start_installer()
    window = installer_window(ctx.xserver)
    installer.wait_log(r"^UI: first frame shown$")
    press(ctx, window, INSTALL_NOW, INSTALL_NOW_AREA)
    installer.wait_log(r"^Download progress: \d+$")
    kill_display(ctx, installer)
    assert_no_leftovers(ctx)
    launch_on_a_new_display(ctx)


def case_display_lost_quitting_from_tray(ctx):
    """Quit chosen from the tray while the setup program runs, and the X server killed at once, while the
    quit brings the window out of the tray: the installer is gone within 5 s with exit status 0, its image
    detached and nothing left, and the next launch starts normally."""
    ctx.start_helper(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "32",
                      "--SetDockType", "true"])
    wait_for("the system tray", lambda: any(w[1] == "panel" for w in windows(ctx.xserver)))
    image = ctx.make_image("--payload-mib", "2")
    os.makedirs(ctx.sandbox.path("apps"), exist_ok=True)
    with open(ctx.sandbox.path("apps/.clipvane-setup-exit-codes"), "w") as f:
        f.write("hang-ignoring-term\n")  # the quit then waits a while for the setup program to end
    ctx.start_service(image)
    installer = ctx.start_installer()
    installer.wait_log(r"^UI: first frame shown$")
    press(ctx, installer_window(ctx.xserver), INSTALL_NOW, INSTALL_NOW_AREA)
    icon = tray_icon(ctx.xserver)
    wait_for("the setup program", lambda: os.path.exists(ctx.sandbox.path("apps/.clipvane-setup-hang.pid")))
    before = {w[0] for w in windows(ctx.xserver)}
    xdotool(ctx.xserver, "mousemove", icon[2] + icon[4] // 2, icon[3] + icon[5] // 2)
    xdotool(ctx.xserver, "click", 3)
    menu = wait_for("the tray menu", lambda: next((w for w in windows(ctx.xserver)
                                                   if w[0] not in before and w[4] < 300 and w[5] < 120), None))
    xdotool(ctx.xserver, "mousemove", menu[2] + menu[4] // 2, menu[3] + menu[5] * 3 // 4)
    hold_click(ctx.xserver)
    alert_window(ctx.xserver)
    press_box_button(installer, "default")  # Yes
    kill_display(ctx, installer)
    lines = installer.log_lines()
    for expected in ("UI: the connection to the display is gone; quitting without it", "Detaching device /dev/disk"):
        if not any(line.startswith(expected) for line in lines):
            raise TestFailure("the log lacks %r" % expected)
    for helper in ctx.helpers:
        helper.stop()
    ctx.helpers = []
    assert_no_leftovers(ctx)
    launch_on_a_new_display(ctx)


CASES = {name[len("case_"):]: fn for name, fn in globals().items() if name.startswith("case_")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--render-frames", required=True)
    parser.add_argument("--assets", required=True)
    parser.add_argument("--tools", required=True)
    parser.add_argument("--empty-window", required=True)
    parser.add_argument("--ca-dir", required=True)
    parser.add_argument("--https-port", type=int, required=True)
    parser.add_argument("--http-port", type=int, required=True)
    parser.add_argument("case", choices=sorted(CASES))
    args = parser.parse_args()
    become_subreaper()
    # The cases expect English unless they ask for a language: the machine's own preference is not theirs.
    for name in ("LANGUAGE", "LC_ALL", "LC_MESSAGES"):
        os.environ.pop(name, None)
    os.environ["LANG"] = "C.UTF-8"
    ctx = Context(args)
    try:
        CASES[args.case](ctx)
    except TestFailure as failure:
        for installer in ctx.installers:
            print("--- log of", installer.console_path)
            print("\n".join(installer.log_lines()[-40:]))
        print("FAILED:", failure)
        return 1
    finally:
        ctx.close()
    print("passed:", args.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
