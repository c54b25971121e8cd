"""The real window of the Linux build on the suites' private virtual display
(harness.virtual_display), driven with xdotool."""

import os
import subprocess

from . import waiting
from .virtual_display import VirtualDisplay

TITLE_PATTERN = "jours automatique"  # xdotool matches names as regexes; the accent is left out
WINDOW_SIZE = (280, 83)
FERMER = (244, 73)  # middle of the drawn close button, in window coordinates

_display = None
_outer_environment = {}


def ensure_display():
    """Starts the suite's private virtual display and points DISPLAY and
    XAUTHORITY at it. Raises DisplayError, with what Xvfb said, when it does
    not come up: the suite then stops at once instead of timing out test
    after test."""
    global _display
    if _display:
        return
    _display = VirtualDisplay()
    for name, value in _display.environment().items():
        _outer_environment[name] = os.environ.get(name)
        os.environ[name] = value


def check_display():
    """Raises DisplayError if the virtual display has stopped."""
    if _display:
        _display.check()


def stop_display():
    global _display
    if _display:
        _display.stop()
        _display = None
        for name, value in _outer_environment.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        _outer_environment.clear()


def xdotool(*args):
    check_display()
    done = subprocess.run(["xdotool", *map(str, args)], capture_output=True, text=True,
                          timeout=waiting.WAIT_SECONDS)
    return done.stdout.strip()


def geometry(window):
    values = dict(line.split("=") for line in xdotool("getwindowgeometry", "--shell", window).splitlines())
    return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])


def visible_windows():
    """The updater's visible windows: id -> (x, y, width, height)."""
    ids = xdotool("search", "--onlyvisible", "--name", TITLE_PATTERN).split()
    found = {}
    for window in ids:
        try:
            found[window] = geometry(window)
        except (KeyError, ValueError):
            pass  # gone meanwhile
    return found


def main_window():
    return next((w for w, g in visible_windows().items() if g[2:] == WINDOW_SIZE), None)


def message_boxes():
    return [w for w, g in visible_windows().items() if g[2:] != WINDOW_SIZE]


def click(window, x, y):
    xdotool("mousemove", "--window", window, x, y, "click", "1")


def press(window, key):
    xdotool("key", "--window", window, key)


def screenshot(window, path):
    check_display()
    subprocess.run(["import", "-window", window, path], check=True, timeout=waiting.WAIT_SECONDS)
