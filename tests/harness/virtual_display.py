"""A private Xvfb server for the window suites (tests/e2e and tests/windows):
tests neither need nor disturb a desktop, and no other window gets in their
way. Standard library only."""

import os
import select
import shutil
import socket
import struct
import subprocess
import tempfile
import time

COOKIE_NAME = b"MIT-MAGIC-COOKIE-1"


class DisplayError(RuntimeError):
    """The virtual display did not start, or stopped while tests used it."""


def _authority_entry(cookie):
    """An Xauthority file entry that gives the cookie for every display of
    every host (family FamilyWild, no address, no display number)."""
    def field(data):
        return struct.pack(">H", len(data)) + data
    return struct.pack(">H", 0xFFFF) + field(b"") + field(b"") + field(COOKIE_NAME) + field(cookie)


def _padded(data):
    return data + b"\0" * (-len(data) % 4)


class VirtualDisplay:
    """Starts Xvfb on a free display number and returns once the server has
    answered an X connection. `environment()` gives DISPLAY (":N") and
    XAUTHORITY for its clients.

    The server admits only clients that show its cookie: display numbers are
    reused, and a program left over from another suite on this machine that
    still points at the number must not put its windows on ours."""

    def __init__(self, screen="1024x768x24", timeout=60.0):
        self.name = None
        self._folder = tempfile.mkdtemp(prefix="xvfb-")
        self._cookie = os.urandom(16)
        self.authority = os.path.join(self._folder, "Xauthority")
        with open(self.authority, "wb") as f:
            f.write(_authority_entry(self._cookie))
        self._errors = tempfile.TemporaryFile()
        read_end, write_end = os.pipe()
        try:
            self.process = subprocess.Popen(
                # -noreset: by default the server resets whenever its last
                # client leaves, as between two tests, and refuses the
                # clients that connect meanwhile.
                ["Xvfb", "-displayfd", str(write_end), "-auth", self.authority, "-noreset", "-screen", "0",
                 screen, "-nolisten", "tcp"],
                pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self._errors)
        except OSError as error:
            os.close(read_end)
            os.close(write_end)
            self._errors.close()
            shutil.rmtree(self._folder, ignore_errors=True)
            raise DisplayError("cannot run Xvfb (%s); scripts/install-deps test installs it" % error)
        os.close(write_end)
        deadline = time.monotonic() + timeout
        try:
            number = self._read_number(read_end, deadline)
        except DisplayError:
            self.stop()
            raise
        finally:
            os.close(read_end)
        self.name = ":%d" % number
        try:
            self._handshake(number, deadline)
        except DisplayError:
            self.stop()
            raise

    def _read_number(self, read_end, deadline):
        # Xvfb writes the number and its newline in two writes and stops with
        # "Cannot write display number to fd N" if the second one finds the
        # pipe closed: read up to the newline before letting go of the pipe.
        received = b""
        while not received.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([read_end], [], [], left)[0]:
                raise self._failure("Xvfb gave no display number within the time-out")
            chunk = os.read(read_end, 64)
            if not chunk:
                try:
                    self.process.wait(5)  # for its exit status and last words
                except subprocess.TimeoutExpired:
                    pass
                raise self._failure("Xvfb closed its display-number pipe without a number")
            received += chunk
        try:
            return int(received.strip())
        except ValueError:
            raise self._failure("Xvfb wrote %r as its display number" % received)

    def _handshake(self, number, deadline):
        """Opens an X connection, on the socket file or on its abstract
        twin, and checks that the server accepts it."""
        # The X11 connection setup: little-endian, protocol 11.0, the cookie.
        setup = (struct.pack("<cxHHHHxx", b"l", 11, 0, len(COOKIE_NAME), len(self._cookie))
                 + _padded(COOKIE_NAME) + _padded(self._cookie))
        addresses = ["/tmp/.X11-unix/X%d" % number, "\0/tmp/.X11-unix/X%d" % number]
        last = "no answer"
        while True:
            if not self.alive():
                raise self._failure("Xvfb %s exited before it accepted a connection" % self.name)
            for address in addresses:
                try:
                    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as connection:
                        connection.settimeout(max(0.5, deadline - time.monotonic()))
                        connection.connect(address)
                        connection.sendall(setup)
                        answer = connection.recv(8)
                    if answer[:1] == b"\x01":
                        return
                    last = "the connection setup was answered with %r" % answer
                except OSError as error:
                    last = "%s: %s" % (address.replace("\0", "@"), error)
            if time.monotonic() >= deadline:
                raise self._failure("Xvfb %s accepted no X connection (%s)" % (self.name, last))
            time.sleep(0.1)

    def environment(self):
        return {"DISPLAY": self.name, "XAUTHORITY": self.authority}

    def alive(self):
        return self.process.poll() is None

    def check(self):
        """Raises DisplayError if the server has stopped."""
        if not self.alive():
            raise self._failure("Xvfb %s stopped while the tests were using it" % self.name)

    def _failure(self, what):
        status = self.process.poll()
        if status is not None:
            what += " (exit status %d)" % status
        if not self._errors.closed:
            self._errors.seek(0)
            said = self._errors.read().decode("utf-8", "replace").strip().splitlines()[-12:]
            if said:
                what += "; Xvfb said:\n    " + "\n    ".join(said)
        return DisplayError(what)

    def stop(self):
        if self.alive():
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._errors.close()
        shutil.rmtree(self._folder, ignore_errors=True)
