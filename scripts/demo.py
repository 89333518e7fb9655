"""The demo's driver; run it through scripts/demo."""

import argparse
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "gui"))
from guitest import (Installer, Sandbox, TestFailure, XServer, hold_click,  # noqa: E402
                     installer_window, move, screenshot, wait_for_picture)

HTTPS_PORT, HTTP_PORT = 47443, 47080  # the default preset's endpoints
STAGES = [("Handshake", "Handshaking ... ", "Handshake complete."),
          ("Download", "Downloading ... ", "Download complete. "),
          ("Attach", "Extracting ... ", "Extract complete."),
          ("Setup", "Installing ... ", "Install complete."),
          ("Launch", "Launching CLV ...", "Launching CLV complete.")]


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
    try:
        image = run([os.path.join(ROOT, "tools/sample-product/make-sample-image"), "--output",
                     sandbox.path("OstrelClipvane11.dmg"), "--install-dir", os.path.join(out, "Applications")])
        run([os.path.join(ROOT, "tools/local-service/start-local-service"), "--state", state,
             "--ca-dir", os.path.join(build, "local-ca"), "--image", image["image"],
             "--launch-path", image["launch_path"], "--https-port", str(HTTPS_PORT), "--http-port", str(HTTP_PORT)])
        if headless:
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
            hold_click(xserver)
            installer.wait_log(r"^Downloading")
            screenshot(xserver, os.path.join(out, "3-installing-in-the-menu-bar.png"))
            code = installer.wait_exit(600)
        else:
            env = sandbox.env(os.environ)
            print("The installer window is open: click \"Install now\".")
            code = subprocess.run([app], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        launched = os.path.join(image["install_dir"], "clipvane-launched.txt")
        ok = code == 0 and os.path.exists(launched)
        shutil.copy(sandbox.log_path(), os.path.join(out, "kwel_installer_log.txt"))
        with open(os.path.join(state, "logs", "pings.log")) as f:
            pings = [line.split("\t")[1] for line in f if "\t" in line]
        print("Stages (from the installer's log):")
        print("\n".join(stage_times(sandbox.log_path())))
        print("Pings received by the local service (%d): %s" % (len(pings), " ".join(pings)))
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
        subprocess.run([os.path.join(ROOT, "tools/local-service/stop-local-service"), "--state", state],
                       capture_output=True)
        if xserver:
            xserver.stop()
        sandbox.remove()


if __name__ == "__main__":
    sys.exit(main())
