"""The programs under test, run in their game folders: the headless build
(the update run with a window that prints its texts), natively or under
Wine."""

import os
import subprocess

from .config import BUILD_DIR


def run_headless(game, timeout=120, env=None, user=None, arguments=(), wine=None):
    """Runs the update without a display; returns what the window was told:
    the last text of each field, and under "trace" every text in the order it
    was set, as (field, text). The program always exits 0: anything else (a
    crash, a sanitizer's report) fails the test. env adds to the environment
    (UPDATER_TEST_URLS, UPDATER_TEST_PARALLEL, UPDATER_TEST_CA_FILE). With
    wine (a harness.wine.Wine), game.program is headless_updater.exe, run by
    Wine from its game folder."""
    command, cwd, base = [game.program, *arguments], "/", os.environ
    if wine:
        command, cwd, base = [wine.wine] + command, game.root, wine.env
    done = subprocess.run(command, cwd=cwd, capture_output=True, timeout=timeout, env=dict(base, **(env or {})),
                          user=user)
    if done.returncode != 0:
        # When it ends otherwise, what it (or Wine's loader and server) said is the one trace.
        raise AssertionError("headless updater exited with %d:\n%s\nlast output: %r"
                             % (done.returncode, done.stderr.decode(errors="replace"), done.stdout[-300:]))
    return parse_headless(done.stdout)


def parse_headless(stdout):
    result = {"messageboxes": [], "trace": []}
    for line in stdout.decode("utf-8").splitlines():
        key, _, value = line.partition("=")
        if key == "messagebox":
            result["messageboxes"].append(value)
        elif key == "set":
            field, _, text = value.partition("=")
            result["trace"].append((field, text))
        else:
            result[key] = value
    return result


def start_headless(game, env=None, stdout=subprocess.PIPE):
    """The headless updater started and left running, for tests that stop it.
    Its output goes to a pipe the test must read (or to stdout=DEVNULL)."""
    return subprocess.Popen([game.program], cwd="/", stdout=stdout, stderr=subprocess.DEVNULL,
                            env=dict(os.environ, **(env or {})))


def headless_program():
    return os.path.join(BUILD_DIR, "tests", "headless_updater")


def updater_program():
    return os.path.join(BUILD_DIR, "updater")
