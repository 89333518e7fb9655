#!/usr/bin/python3
"""Runs a command with DISPLAY set to a private Xvfb server, and returns its exit code.

    with_xvfb.py COMMAND [ARGS...]
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "desktop"))
from installer_desktop import Sandbox, XServer  # noqa: E402


def main():
    xserver = XServer()
    sandbox = Sandbox()
    try:
        return subprocess.run(sys.argv[1:], env=sandbox.env(xserver.env())).returncode
    finally:
        xserver.stop()
        sandbox.remove()


if __name__ == "__main__":
    sys.exit(main())
