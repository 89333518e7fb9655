"""Driving the installer window on a private X server: the server, the
installer process, its log, screenshots and the pointer.

Every wait polls for an event (a log line, a window, a file) with a generous
time-out; nothing is ordered by sleeping.
"""

import os
import re
import select
import shutil
import signal
import subprocess
import tempfile
import time

IMPORT = "/usr/bin/import"  # Debian's ImageMagick; another one on PATH may change pictures
COMPARE = "/usr/bin/compare"
CONVERT = "/usr/bin/convert"
SCREEN_W, SCREEN_H = 1280, 1024
FRAME_W, FRAME_H = 868, 592
TIMEOUT = 60.0


class TestFailure(Exception):
    pass


def wait_for(what, condition, timeout=TIMEOUT, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise TestFailure("timed out waiting for " + what)
        time.sleep(interval)


class XServer:
    """Xvfb on a display number it picks itself (-displayfd), so parallel runs never collide."""

    def __init__(self, width=SCREEN_W, height=SCREEN_H):
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % (width, height),
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + TIMEOUT
        while not number.endswith(b"\n"):
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([read_end], [], [], remaining)[0]:
                self.stop()
                raise TestFailure("Xvfb did not start")
            chunk = os.read(read_end, 16)
            if not chunk:
                self.stop()
                raise TestFailure("Xvfb exited")
            number += chunk
        os.close(read_end)
        self.display = ":" + number.decode().strip()

    def env(self):
        return dict(os.environ, DISPLAY=self.display)

    def stop(self):
        stop_process(self.proc)


def stop_process(proc):
    """Ends a process the test started, by its own pid: politely first."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Sandbox:
    """A temporary folder that stands in for the user's home and temporary folder."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="clv-gui-")
        for sub in ("tmp", "home", "config", "share"):
            os.makedirs(os.path.join(self.root, sub))

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def env(self, base):
        env = dict(base)
        env.update(TMPDIR=self.path("tmp"), HOME=self.path("home"), XDG_CONFIG_HOME=self.path("config"),
                   XDG_DATA_HOME=self.path("share"), GNUSTEP_USER_ROOT=self.path("home", "GNUstep"))
        # On the user's own display the X cookie would be looked up in the
        # sandbox's home; a private Xvfb needs none.
        if "XAUTHORITY" not in env and env.get("DISPLAY") and env.get("DISPLAY") == os.environ.get("DISPLAY"):
            cookie = os.path.join(os.path.expanduser("~"), ".Xauthority")
            if os.path.exists(cookie):
                env["XAUTHORITY"] = cookie
        return env

    def log_path(self):
        return self.path("tmp", "kwel_installer_log.txt")

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


class Installer:
    """One installer process on the X server."""

    def __init__(self, exe, xserver, sandbox, extra_env=None, name="installer"):
        self.xserver = xserver
        self.sandbox = sandbox
        env = sandbox.env(xserver.env())
        env.update(extra_env or {})
        self.console = open(sandbox.path(name + "-console.txt"), "wb")
        self.console_path = sandbox.path(name + "-console.txt")
        self.started = time.monotonic()
        # A group of its own, so that stop also ends whatever it started (setup,
        # the product, a browser) when a test fails halfway.
        self.proc = subprocess.Popen([exe], env=env, stdout=self.console, stderr=subprocess.STDOUT,
                                     cwd=sandbox.path("home"), start_new_session=True)

    def console_text(self):
        with open(self.console_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def log_lines(self):
        """The log file's lines without their time-stamp and thread prefix."""
        try:
            with open(self.sandbox.log_path(), "rb") as f:
                text = f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return []
        return [re.sub(r"^\S+ \S+ \[[0-9a-f]+\] ", "", line) for line in text.splitlines()]

    def wait_log(self, pattern, timeout=TIMEOUT, count=1):
        regex = re.compile(pattern)

        def found():
            hits = [line for line in self.log_lines() if regex.search(line)]
            if len(hits) >= count:
                return hits
            if self.proc.poll() is not None and len(hits) < count:
                raise TestFailure("installer exited (%s) before logging %r" % (self.proc.returncode, pattern))
            return None
        return wait_for("log line %r" % pattern, found, timeout)

    def wait_exit(self, timeout=TIMEOUT):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise TestFailure("installer did not exit")

    def stop(self):
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass  # the installer and everything it started have ended
        self.proc.wait()
        self.console.close()


def xdotool(xserver, *args):
    result = subprocess.run(["xdotool"] + [str(a) for a in args], env=xserver.env(), capture_output=True, text=True)
    return result.stdout


def windows(xserver):
    """Visible top-level windows as (id, name, x, y, w, h)."""
    found = []
    for wid in xdotool(xserver, "search", "--onlyvisible", "--name", "").split():
        geometry = xdotool(xserver, "getwindowgeometry", "--shell", wid)
        values = dict(line.split("=", 1) for line in geometry.splitlines() if "=" in line)
        if not values:
            continue
        name = xdotool(xserver, "getwindowname", wid).strip()
        found.append((wid, name, int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])))
    return found


def installer_window(xserver, timeout=TIMEOUT):
    def find():
        for window in windows(xserver):
            if window[4] == FRAME_W and window[5] == FRAME_H:
                return window
        return None
    return wait_for("the installer window", find, timeout)


TRAY_NAME = "Ostrel Clipvane Installer"


def is_tray_icon(window, name=TRAY_NAME):
    """The installer's tray icon: a small window whose name starts with the installer's (the tooltip's
    first line, in the person's language; the stage and progress follow it)."""
    return window[1].startswith(name) and window[4] < 100


def tray_icon(xserver, timeout=30, name=TRAY_NAME):
    return wait_for("the tray icon",
                    lambda: next((w for w in windows(xserver) if is_tray_icon(w, name)), None), timeout)


def is_alert_size(w, h):
    return (w, h) != (FRAME_W, FRAME_H) and (w, h) != (SCREEN_W, SCREEN_H) and w >= 200 and h >= 80


def alert_window(xserver, timeout=TIMEOUT):
    """The message box: a visible window that is neither the installer window nor GNUstep's small ones."""
    def find():
        for window in windows(xserver):
            w, h = window[4], window[5]
            if is_alert_size(w, h):
                return window
        return None
    return wait_for("a message box", find, timeout)


def no_alert_window(xserver, timeout=TIMEOUT):
    def gone():
        return not any(is_alert_size(w[4], w[5]) for w in windows(xserver))
    wait_for("the message box to close", gone, timeout)


def screenshot(xserver, path, region=None):
    command = [IMPORT, "-silent", "-window", "root"]
    if region:
        x, y, w, h = region
        command += ["-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage"]
    subprocess.run(command + [path], env=xserver.env(), check=True, capture_output=True)


def differing_pixels(a, b, fuzz="4%"):
    result = subprocess.run([COMPARE, "-metric", "AE", "-fuzz", fuzz, a, b, "null:"], capture_output=True, text=True)
    try:
        return int(float(result.stderr.split()[0]))
    except (ValueError, IndexError):
        raise TestFailure("compare failed: " + result.stderr)


def wait_for_picture(xserver, region, reference, work_path, tolerance=0.002, timeout=TIMEOUT):
    """Polls screenshots of the region until it matches the reference picture."""
    limit = int(region[2] * region[3] * tolerance)
    last = [None]

    def matches():
        screenshot(xserver, work_path, region)
        last[0] = differing_pixels(work_path, reference)
        return last[0] <= limit
    try:
        wait_for("the screen to show " + os.path.basename(reference), matches, timeout, interval=0.2)
    except TestFailure:
        raise TestFailure("%s: %s pixels differ (at most %d allowed)" % (reference, last[0], limit))


def to_screen(window, fx, fy):
    """Frame coordinates to a screen point that the window maps back onto (fx, fy)."""
    return window[2] + fx + 1, window[3] + fy + 2


def move(xserver, window, fx, fy):
    x, y = to_screen(window, fx, fy)
    xdotool(xserver, "mousemove", x, y)


# GNUstep drops a release that follows its press too closely (xdotool click), so a
# press is held as a person would hold it. This paces input; it orders nothing.
HOLD_SECONDS = 0.2


def hold_click(xserver):
    xdotool(xserver, "mousedown", 1)
    time.sleep(HOLD_SECONDS)
    xdotool(xserver, "mouseup", 1)


def click(xserver, window, fx, fy):
    move(xserver, window, fx, fy)
    hold_click(xserver)
