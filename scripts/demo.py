"""The demo's driver; run it through scripts/demo."""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools", "desktop"))
from installer_desktop import (CONVERT, Installer, Sandbox, TestFailure, XServer, alert_window, hold_click,  # noqa: E402
                     installer_window, move, screenshot, stop_process, tray_icon, wait_for, wait_for_picture,
                     windows, xdotool)

HTTPS_PORT, HTTP_PORT = 47443, 47080  # the default preset's endpoints
STAGES = [("Handshake", "Handshaking ... ", "Handshake complete."),
          ("Download", "Downloading ... ", "Download complete. "),
          ("Attach", "Extracting ... ", "Extract complete."),
          ("Setup", "Installing ... ", "Install complete."),
          ("Launch", "Launching CLV ...", "Launching CLV complete.")]


def say(text):
    print("demo: " + text, flush=True)



def error_box_run(app, xserver, sandbox, out):
    """A short second run with the service stopped: the network error box."""
    say("second run with the local service stopped: the error box")
    installer = Installer(app, xserver, sandbox, name="error-run")
    try:
        installer.wait_log(r"^UI: first frame shown$")
        window = installer_window(xserver)
        move(xserver, window, 430, 410)
        hold_click(xserver)
        installer.wait_log(r"^Unable to connect to the network\.")
        box = alert_window(xserver)
        time.sleep(1.0)  # a demo's pause for the box to be drawn, not a test's ordering
        screenshot(xserver, os.path.join(out, "5-error-box.png"))
        say("answering Cancel")
        xdotool(xserver, "mousemove", box[2] + box[4] - 126, box[3] + box[5] - 20)
        hold_click(xserver)
        installer.wait_exit(60)
    finally:
        installer.stop()


def run(command):
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise TestFailure("%s failed: %s" % (os.path.basename(command[0]), result.stderr.strip()))
    return dict(line.split("=", 1) for line in result.stdout.splitlines() if "=" in line)


def stage_times(log_path):
    stamps = {}
    with open(log_path, "rb") as f:
        for raw in f.read().decode("utf-8", "replace").splitlines():
            m = re.match(r"^\S+ (\d+):(\d+):([\d.]+) \[[0-9a-f]+\] (.*)$", raw)
            if m:
                seconds = int(m.group(1)) * 3600 + int(m.group(2)) * 60 + float(m.group(3))
                stamps.setdefault(m.group(4), seconds)
    lines = []
    for name, begin, end in STAGES:
        if begin in stamps and end in stamps:
            lines.append("  %-10s %6.2f s" % (name, stamps[end] - stamps[begin]))
        else:
            lines.append("  %-10s not reached" % name)
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    app = os.path.join(build, "Clipvane Installer.app", "Contents", "MacOS", "Clipvane Installer")
    out = os.path.join(build, "demo")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    sandbox = Sandbox()
    headless = not os.environ.get("DISPLAY") or os.environ.get("CLIPVANE_DEMO_HEADLESS") == "1"
    xserver = XServer() if headless else None
    state = os.path.join(sandbox.root, "service")
    installer = None
    tray = None
    try:
        say("making the sample product image")
        image = run([os.path.join(ROOT, "tools/sample-product/make-sample-image"), "--output",
                     sandbox.path("OstrelClipvane11.dmg"), "--install-dir", os.path.join(out, "Applications"),
                     "--payload-mib", "4"])
        say("starting the local service (handshake on %d, image and pings on %d)" % (HTTPS_PORT, HTTP_PORT))
        # Served slowly enough that the download can be seen on the tray icon.
        run([os.path.join(ROOT, "tools/local-service/start-local-service"), "--state", state,
             "--ca-dir", os.path.join(build, "local-ca"), "--image", image["image"],
             "--launch-path", image["launch_path"], "--https-port", str(HTTPS_PORT), "--http-port", str(HTTP_PORT),
             "--rate-limit", "400000"])
        if headless:
            say("starting a system tray (trayer) on a private X server")
            tray = subprocess.Popen(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                     "--height", "32", "--SetDockType", "true"], env=xserver.env(),
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            say("starting the installer")
            installer = Installer(app, xserver, sandbox)
            installer.wait_log(r"^UI: first frame shown$")
            window = installer_window(xserver)
            frames = sandbox.path("frames")
            subprocess.run([os.path.join(build, "tools", "render_frames"), os.path.join(ROOT, "assets", "installer"),
                            frames], check=True, capture_output=True)
            region = (window[2], window[3], window[4], window[5])
            shot = sandbox.path("shot.png")
            wait_for_picture(xserver, region, os.path.join(frames, "01_welcome.png"), shot)
            screenshot(xserver, os.path.join(out, "1-welcome.png"))
            move(xserver, window, 430, 410)
            wait_for_picture(xserver, region, os.path.join(frames, "02_welcome_install_hover.png"), shot)
            screenshot(xserver, os.path.join(out, "2-install-now-hover.png"))
            say("pressing Install now: the window goes to the system tray")
            hold_click(xserver)
            icon = tray_icon(xserver)
            installer.wait_log(r"^Download progress: [1-9]\d$")
            say("downloading; the tray icon shows the progress")
            screenshot(xserver, os.path.join(out, "3-downloading-in-the-tray.png"))
            subprocess.run([CONVERT, os.path.join(out, "3-downloading-in-the-tray.png"), "-crop",
                            "%dx%d+%d+%d" % (icon[4], icon[5], icon[2], icon[3]), "+repage", "-scale", "800%",
                            os.path.join(out, "4-tray-icon-enlarged.png")], check=True)
            say("attaching the image, running the product's setup and launching it")
            code = installer.wait_exit(600)
            installer.stop()
            installer = None
            subprocess.run([os.path.join(ROOT, "tools/local-service/stop-local-service"), "--state", state],
                           capture_output=True)
            error_box_run(app, xserver, sandbox, out)
        else:
            env = sandbox.env(os.environ)
            print("The installer window is open: click \"Install now\".")
            code = subprocess.run([app], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        launched = os.path.join(image["install_dir"], "clipvane-launched.txt")
        with open(sandbox.log_path(), "rb") as f:
            log_text = f.read().decode("utf-8", "replace")
        verified = re.search(r"Download: image verified, SHA-256 ([0-9a-f]{64})", log_text)
        signer = re.search(r"DoHandshake, release signed by key ([0-9a-f]{16})", log_text)
        ok = code == 0 and os.path.exists(launched) and verified is not None and signer is not None
        shutil.copy(sandbox.log_path(), os.path.join(out, "kwel_installer_log.txt"))
        with open(os.path.join(state, "logs", "pings.log")) as f:
            pings = [line.split("\t")[1] for line in f if "\t" in line]
        print("Stages (from the installer's log):")
        print("\n".join(stage_times(sandbox.log_path())))
        print("Pings received by the local service (%d): %s" % (len(pings), " ".join(pings)))
        print("Release: %s" % ("signed by key " + signer.group(1) if signer else "NOT signed"))
        print("Image: %s" % ("verified, SHA-256 " + verified.group(1) if verified else "NOT verified"))
        print("Product installed in: %s" % os.path.dirname(image["launch_path"].split("/Contents/")[0]))
        if os.path.exists(launched):
            with open(launched) as f:
                print("Product launched, with arguments: %s" % " ".join(f.read().split()))
        else:
            print("Product NOT launched")
        print("Installer exit code: %d" % code)
        print("Log and screenshots: %s" % out)
        print("DEMO PASSED" if ok else "DEMO FAILED")
        return 0 if ok else 1
    except TestFailure as failure:
        print("DEMO FAILED:", failure)
        return 1
    finally:
        if installer:
            installer.stop()
        if tray:
            stop_process(tray)
        subprocess.run([os.path.join(ROOT, "tools/local-service/stop-local-service"), "--state", state],
                       capture_output=True)
        if xserver:
            xserver.stop()
        sandbox.remove()


if __name__ == "__main__":
    sys.exit(main())
