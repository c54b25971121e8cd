"""Waiting for what the programs under test do in their own time: a
condition, a port that starts or stops listening."""

import socket
import time

from .config import HOST, PORT

# How long a wait for something that happens within a second on an idle
# machine may take before it counts as never: a loaded 2-core CI machine,
# with other suites beside, is many times slower. Wine is slower still: the
# Windows suites raise it (patience()).
WAIT_SECONDS = 30
# How often a wait looks again.
INTERVAL = 0.05


def patience(seconds, interval=INTERVAL):
    """Sets how long every wait of this process lasts by default, and how
    often it looks."""
    global WAIT_SECONDS, INTERVAL
    WAIT_SECONDS, INTERVAL = seconds, interval


def wait_until(predicate, timeout=None, what="condition", interval=None):
    """predicate's first true value; AssertionError when none came in time."""
    timeout = timeout or WAIT_SECONDS
    interval = interval or INTERVAL
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError("timed out after %ss waiting for %s" % (timeout, what))
        time.sleep(interval)


def listening(port=None, host=HOST):
    try:
        with socket.create_connection((host, port or PORT), timeout=0.5):
            return True
    except OSError:
        return False


def wait_for_port(port=None, timeout=None, process=None, host=HOST):
    """Returns once the server under `process` accepts connections on the port
    (by default the one compiled into the test build)."""
    port = port or PORT
    deadline = time.monotonic() + (timeout or WAIT_SECONDS)
    while not listening(port, host):
        if process is not None and process.poll() is not None:
            raise RuntimeError("the server stopped with status %d before listening on %s:%d"
                               % (process.returncode, host, port))
        if time.monotonic() >= deadline:
            raise RuntimeError("nothing listens on %s:%d" % (host, port))
        time.sleep(0.05)


def wait_for_port_free(port=None, timeout=None, host=HOST):
    """Returns once nothing listens on the port any more: the server of an
    earlier test may still be on its way out."""
    port = port or PORT
    deadline = time.monotonic() + (timeout or WAIT_SECONDS)
    while listening(port, host):
        if time.monotonic() >= deadline:
            raise RuntimeError("%s:%d is still taken: another program listens there (set UPDATER_TEST_PORT "
                               "to a free port)" % (host, port))
        time.sleep(0.05)


def free_port(host=HOST):
    """A loopback port nothing listens on now."""
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]
