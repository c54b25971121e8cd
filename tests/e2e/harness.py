"""Shared pieces of the end-to-end suites: repositories on disk, a real nginx
and a fault-injecting server on the compiled-in port, game folders, and the
programs under test run in them."""

import collections
import gzip
import http.client
import http.server
import os
import re
import shutil
import socket
import socketserver
import ssl
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
import zlib

import tls

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from virtual_display import DisplayError, VirtualDisplay  # noqa: E402,F401

BUILD_DIR = os.environ.get("UPDATER_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build"))
SOURCE_DIR = os.environ.get("UPDATER_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "../.."))
UPDATE_URL = os.environ.get("UPDATE_URL", "http://127.0.0.1:8080/game/update/")
TRANSFER_TIMEOUT = int(os.environ.get("TRANSFER_TIMEOUT_SECONDS", "60"))
_url = urllib.parse.urlsplit(UPDATE_URL)
HOST, PORT, BASE_PATH = _url.hostname, _url.port or 80, _url.path

INDEX = "qoro_update_infos.deploy"

# How long a wait for something that happens within a second on an idle
# machine may take before it counts as never: a loaded 2-core CI machine,
# with other suites beside, is many times slower.
WAIT_SECONDS = 30


def list_name(version):
    return "qoro_update_%d.deploy" % version


def crlf_list(*entries):
    """A file list as operators write it: one entry per line, CR LF ends."""
    return "".join(e + "\r\n" for e in entries).encode("cp1252")


def make_readable(path):
    """nginx's workers run as an unprivileged user: let them walk in."""
    os.chmod(path, os.stat(path).st_mode | stat.S_IRWXU | stat.S_IRGRP | stat.S_IXGRP | stat.S_IROTH | stat.S_IXOTH)


class Repository:
    """An update repository folder: the index, one list per version, and every
    game file under files/."""

    def __init__(self, index, lists, files):
        self.root = tempfile.mkdtemp(prefix="repo-")
        self.index = index if isinstance(index, bytes) else index.encode("cp1252")
        self.lists = lists
        self.files = files
        self._write(INDEX, self.index)
        for version, content in lists.items():
            self._write(list_name(version), content)
        for entry, content in files.items():
            self._write(os.path.join("files", entry), content)
        for folder, _, _ in os.walk(self.root):
            make_readable(folder)

    def _write(self, relative, content):
        path = os.path.join(self.root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
        os.chmod(path, 0o644)

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def free_port():
    """A loopback port nothing listens on now."""
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def read_or_empty(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def wait_for_port(timeout=None, process=None):
    """Returns once the server under `process` accepts connections on the port."""
    deadline = time.monotonic() + (timeout or WAIT_SECONDS)
    while True:
        if process is not None and process.poll() is not None:
            raise RuntimeError("the server stopped with status %d before listening on %s:%d"
                               % (process.returncode, HOST, PORT))
        try:
            with socket.create_connection((HOST, PORT), timeout=0.5):
                return
        except OSError:
            if time.monotonic() >= deadline:
                raise RuntimeError("nothing listens on %s:%d" % (HOST, PORT))
            time.sleep(0.05)


def wait_for_port_free(timeout=None, port=None):
    """Returns once nothing listens on the port any more: the server of an
    earlier test may still be on its way out."""
    port = port or PORT
    deadline = time.monotonic() + (timeout or WAIT_SECONDS)
    while True:
        try:
            with socket.create_connection((HOST, port), timeout=0.5):
                pass
        except OSError:
            return
        if time.monotonic() >= deadline:
            raise RuntimeError("%s:%d is still taken: another program listens there (set UPDATER_TEST_PORT "
                               "to a free port)" % (HOST, port))
        time.sleep(0.05)


LOG_MARK = "/written-to-the-log"


class Nginx:
    """nginx with the project's deploy/nginx.conf, serving a Repository on the
    compiled-in port; over https (and HTTP/2) when certificate names the
    server's (certificate, key) files."""

    def __init__(self, repository, certificate=None):
        self.certificate = certificate
        self.prefix = tempfile.mkdtemp(prefix="nginx-")
        make_readable(self.prefix)
        os.makedirs(os.path.join(self.prefix, "logs"))
        os.symlink(repository.root, os.path.join(self.prefix, "repository"))
        listen = tls.nginx_listen(PORT, *certificate) if certificate else "listen %s:%d;" % (HOST, PORT)
        with open(os.path.join(SOURCE_DIR, "deploy", "nginx.conf")) as f:
            conf = f.read()
        if "listen 127.0.0.1:8080;" not in conf or "access_log logs/access.log;" not in conf:
            raise RuntimeError("deploy/nginx.conf changed shape")
        conf = conf.replace("listen 127.0.0.1:8080;", listen).replace(
            "access_log logs/access.log;",
            "log_format e2e '$connection $server_protocol \"$request\" $status';\n"
            "    access_log logs/access.log e2e;")
        self.conf = os.path.join(self.prefix, "nginx.conf")
        with open(self.conf, "w") as f:
            f.write(conf)
        self.errors = os.path.join(self.prefix, "logs", "stderr.log")
        self.process = None

    def __enter__(self):
        wait_for_port_free()
        with open(self.errors, "wb") as errors:
            self.process = subprocess.Popen(
                ["nginx", "-p", self.prefix, "-c", self.conf, "-g", "daemon off;"],
                stdout=subprocess.DEVNULL, stderr=errors)
        try:
            wait_for_port(process=self.process)
        except RuntimeError as error:
            said = self.said()
            self.__exit__()
            raise RuntimeError("%s; nginx said: %s" % (error, said)) from None
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        try:
            self.process.wait(timeout=WAIT_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.prefix, ignore_errors=True)

    def said(self):
        with open(self.errors) as f:
            return f.read().strip()

    def _log(self):
        # nginx logs a request after its last byte has gone out: the client
        # may be done before the line is written. The one worker of
        # deploy/nginx.conf handles events in order, so once it has answered
        # a request of ours, every earlier request is in the log.
        if self.certificate:
            connection = http.client.HTTPSConnection(HOST, PORT, timeout=WAIT_SECONDS,
                                                     context=ssl._create_unverified_context())
        else:
            connection = http.client.HTTPConnection(HOST, PORT, timeout=WAIT_SECONDS)
        try:
            connection.request("GET", LOG_MARK)
            connection.getresponse().read()
        finally:
            connection.close()
        with open(os.path.join(self.prefix, "logs", "access.log"), encoding="latin-1") as f:
            return [line for line in f.read().splitlines() if LOG_MARK not in line]

    def connections(self):
        """(connection number, protocol) of every request so far, in order."""
        return [tuple(line.split(" ", 2)[:2]) for line in self._log()]

    def requests(self, method="GET"):
        """Paths requested so far with this method, decoded, in order."""
        lines = self._log()
        paths = []
        for line in lines:
            request = line.split('"')[1]  # GET /path HTTP/1.1
            # The log writes a backslash (and other unsafe bytes) as \xHH.
            path = re.sub(r"\\x([0-9A-F]{2})", lambda m: "%" + m.group(1), request.split(" ")[1])
            if request.split(" ")[0] == method and path != LOG_MARK:
                paths.append(urllib.parse.unquote(path, encoding="utf-8"))
        return paths


class FaultServer:
    """A small HTTP/1.1 server that serves a Repository and misbehaves on
    chosen remote names. faults maps a remote name (as appended to the base
    URL, e.g. "files\\data/a.dat") to a fault:
      "404", "500"            that status, with an error page as body
      ("500", n)              that status for the first n requests, then the file
      "short"                 declares the full length, sends half, closes
      "chunked"               no Content-Length, chunked encoding
      "stall"                 sends headers and part of the body, then goes silent
      ("pause", seconds)      sends half the body, pauses, then sends the rest
      "reset"                 sends headers and part of the body, then resets the connection
      "redirect"              302 to a second URL that serves the file
      ("slow", bytes_per_s)   the whole file, slowly
      "no-length"             200 without Content-Length, half the body, then closes
      "http10"                an HTTP/1.0 answer without Content-Length, half the body
      "204", "205"            that status, no body
      "206"                   an unrequested 206 with the first half
      "gzip"                  the body gzip-compressed, with Content-Encoding: gzip
      "portal"                a captive portal's HTML page instead of the file
      "empty"                 200 with an empty body
      "loop"                  a redirect to itself
      "file-redirect"         a redirect to file:///etc/passwd
      "huge-header"           a 200 whose headers run to 300 KB
      "two-lengths"           two Content-Length headers, twice the length then the length, the whole body
      "no-status"             the body alone, without a status line or headers (HTTP/0.9)
      "to-http"               302 to the same path over plain http on http_port (a TLS server's test)
      "cut"                   the first answer stops halfway and closes; later ones serve ranges
      "cut-whole"             the first answer stops halfway and closes; later ones ignore Range and
                              send the whole file, with the same ETag
      ("busy", n, after)      503 with "Retry-After: after" for the first n requests
      "endless"               declares 256 MiB and sends the file's bytes over and over until the client leaves
      "endless-chunked"       chunked, the file's bytes over and over without end
      "tampered"              the file with its first byte changed, same length
      ("splice", change)      the first answer is an older file's first half (ETag "e1") and closes;
                              later ones serve the file itself, ranges honoured whatever If-Range says,
                              with ETag "e2" (change "etag"), or with "e1" again but the file's own
                              total in Content-Range (change "total")
    Every file is served with an ETag, and a Range request (with a matching
    If-Range, when one is sent) is answered with 206 from the asked offset.
    sent counts the body bytes handed to the connection, per remote name.
    """

    def __init__(self, repository, faults, port=None, certificate=None, http_port=None):
        self.port = port or PORT
        self.certificate = certificate  # (certificate, key) files: the server speaks https
        self.http_port = http_port
        self.repository = repository
        self.faults = dict(faults)
        self.requests = []
        self.sent = collections.Counter()
        self.ranges = []  # the Range header of each plain request, None when absent
        self.stop_stalling = threading.Event()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                try:
                    server.handle(self)
                except (ConnectionError, BrokenPipeError):
                    self.close_connection = True  # the updater gave up on this transfer

        class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
            daemon_threads = True
            allow_reuse_address = True

            def handle_error(self, request, client_address):
                # A client that drops its connection is what several tests do.
                if not isinstance(sys.exc_info()[1], ConnectionError):
                    super().handle_error(request, client_address)

        self.server_class = Server
        self.handler_class = Handler
        self.httpd = None

    def __enter__(self):
        # The server of the test before may still be closing its socket.
        wait_for_port_free(port=self.port)
        self.httpd = self.server_class((HOST, self.port), self.handler_class)
        if self.certificate:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*self.certificate)
            self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True)
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *exc):
        self.stop_stalling.set()
        self.httpd.shutdown()
        self.httpd.server_close()

    def count(self, remote):
        return self.requests.count(remote)

    def _content(self, remote):
        if remote.startswith("files\\"):
            path = os.path.join(self.repository.root, "files", remote[len("files\\"):])
        else:
            path = os.path.join(self.repository.root, remote)
        try:
            with open(path, "rb") as f:
                return f.read()
        except OSError:
            return None

    @staticmethod
    def etag(body):
        return '"%d-%08x"' % (len(body), zlib.crc32(body))

    def _serve(self, h, body):
        """The file, or the range of it the request asks for."""
        wanted = h.headers.get("Range")
        if_range = h.headers.get("If-Range")
        if wanted and wanted.startswith("bytes=") and wanted.endswith("-") and (if_range in (None, self.etag(body))):
            start = int(wanted[len("bytes="):-1])
            if start < len(body):
                h.send_response(206)
                h.send_header("Content-Length", str(len(body) - start))
                h.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(body) - 1, len(body)))
                h.send_header("ETag", self.etag(body))
                h.end_headers()
                h.wfile.write(body[start:])
                return
        h.send_response(200)
        h.send_header("Content-Length", str(len(body)))
        h.send_header("ETag", self.etag(body))
        h.end_headers()
        h.wfile.write(body)

    def handle(self, h):
        raw = urllib.parse.unquote(h.path, encoding="utf-8")
        if raw.startswith("/redirected/"):
            remote = raw[len("/redirected/"):]
            self._send(h, 200, self._content(remote))
            return
        if not raw.startswith(BASE_PATH):
            self._send(h, 404, b"not here")
            return
        remote = raw[len(BASE_PATH):]
        self.requests.append(remote)
        self.ranges.append(h.headers.get("Range"))
        fault = self.faults.get(remote)
        body = self._content(remote)
        if isinstance(fault, tuple) and fault[0] == "500":
            fault = "500" if self.count(remote) <= fault[1] else None
        if isinstance(fault, tuple) and fault[0] == "busy":
            if self.count(remote) > fault[1]:
                fault = None
            else:
                h.send_response(503)
                h.send_header("Retry-After", str(fault[2]))
                h.send_header("Content-Length", "4")
                h.end_headers()
                h.wfile.write(b"busy")
                return
        if fault == "cut" and self.count(remote) > 1:
            fault = None
        if isinstance(fault, tuple) and fault[0] == "splice":
            self._splice(h, body, fault[1], first=self.count(remote) == 1)
            return
        if fault is None:
            if body is None:
                self._send(h, 404, b"missing")
            else:
                self._serve(h, body)
        elif fault == "no-length":
            h.send_response(200)
            h.send_header("Connection", "close")
            h.end_headers()
            h.wfile.write(body[: len(body) // 2])
            h.close_connection = True
        elif fault == "http10":
            h.wfile.write(b"HTTP/1.0 200 OK\r\n\r\n" + body[: len(body) // 2])
            h.close_connection = True
        elif fault in ("204", "205"):
            h.send_response(int(fault))
            h.send_header("Connection", "close")
            h.end_headers()
            h.close_connection = True
        elif fault == "206":
            half = len(body) // 2
            h.send_response(206)
            h.send_header("Content-Length", str(half))
            h.send_header("Content-Range", "bytes 0-%d/%d" % (half - 1, len(body)))
            h.end_headers()
            h.wfile.write(body[:half])
        elif fault == "gzip":
            packed = gzip.compress(body)
            h.send_response(200)
            h.send_header("Content-Length", str(len(packed)))
            h.send_header("Content-Encoding", "gzip")
            h.end_headers()
            h.wfile.write(packed)
        elif fault == "portal":
            self._send(h, 200, b"<html><head><title>Wi-Fi</title></head><body>Connectez-vous</body></html>")
        elif fault == "empty":
            self._send(h, 200, b"")
        elif fault == "loop":
            h.send_response(302)
            h.send_header("Location", h.path)
            h.send_header("Content-Length", "0")
            h.end_headers()
        elif fault == "file-redirect":
            h.send_response(302)
            h.send_header("Location", "file:///etc/passwd")
            h.send_header("Content-Length", "0")
            h.end_headers()
        elif fault == "huge-header":
            h.send_response(200)
            h.send_header("X-Filler", "x" * 300_000)
            h.send_header("Content-Length", str(len(body)))
            h.end_headers()
            h.wfile.write(body)
        elif fault == "two-lengths":
            h.send_response(200)
            h.send_header("Content-Length", str(2 * len(body)))
            h.send_header("Content-Length", str(len(body)))
            h.end_headers()
            h.wfile.write(body)
        elif fault == "no-status":
            h.wfile.write(body)
            h.close_connection = True
        elif fault == "to-http":
            h.send_response(302)
            h.send_header("Location", "http://%s:%d%s" % (HOST, self.http_port, h.path))
            h.send_header("Content-Length", "0")
            h.end_headers()
        elif fault == "cut":
            self._send_half(h, body)
            h.close_connection = True
        elif fault == "cut-whole":
            if self.count(remote) == 1:
                self._send_half(h, body)
                h.close_connection = True
            else:
                h.send_response(200)
                h.send_header("Content-Length", str(len(body)))
                h.send_header("ETag", self.etag(body))
                h.end_headers()
                h.wfile.write(body)
        elif fault in ("404", "500"):
            self._send(h, int(fault), b"<html>error page</html>")
        elif fault == "short":
            self._headers(h, 200, len(body))
            h.wfile.write(body[: len(body) // 2])
            h.wfile.flush()
            h.close_connection = True
        elif fault == "chunked":
            h.send_response(200)
            h.send_header("Transfer-Encoding", "chunked")
            h.end_headers()
            for i in range(0, len(body), 1000):
                piece = body[i:i + 1000]
                h.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            h.wfile.write(b"0\r\n\r\n")
        elif fault in ("endless", "endless-chunked"):
            self._endless(h, remote, body, chunked=fault == "endless-chunked")
        elif fault == "tampered":
            self._send(h, 200, bytes([body[0] ^ 0xFF]) + body[1:])
        elif fault == "stall":
            self._send_half(h, body)
            self.stop_stalling.wait(TRANSFER_TIMEOUT * 4)
            h.close_connection = True
        elif isinstance(fault, tuple) and fault[0] == "pause":
            self._headers(h, 200, len(body))
            h.wfile.write(body[: len(body) // 2])
            h.wfile.flush()
            self.stop_stalling.wait(fault[1])
            h.wfile.write(body[len(body) // 2:])
        elif fault == "reset":
            self._headers(h, 200, len(body))
            h.wfile.write(body[: len(body) // 2])
            h.wfile.flush()
            # SO_LINGER 0: close() sends RST instead of FIN.
            h.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            h.close_connection = True
        elif fault == "redirect":
            h.send_response(302)
            h.send_header("Location", "/redirected/" + urllib.parse.quote(remote))
            h.send_header("Content-Length", "0")
            h.end_headers()
        elif isinstance(fault, tuple) and fault[0] == "slow":
            self._headers(h, 200, len(body))
            rate = fault[1]
            for i in range(0, len(body), max(1, rate // 10)):
                if self.stop_stalling.is_set():
                    break
                h.wfile.write(body[i:i + max(1, rate // 10)])
                h.wfile.flush()
                time.sleep(0.1)
        else:
            raise ValueError(fault)

    @staticmethod
    def _headers(h, status, length):
        h.send_response(status)
        h.send_header("Content-Length", str(length))
        h.end_headers()

    def _endless(self, h, remote, body, chunked):
        declared = 256 * 1024 * 1024
        h.send_response(200)
        if chunked:
            h.send_header("Transfer-Encoding", "chunked")
        else:
            h.send_header("Content-Length", str(declared))
        h.end_headers()
        piece = (body * (65536 // len(body) + 1))[:65536]
        sent = 0
        while (chunked or sent < declared) and not self.stop_stalling.is_set():
            h.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece) if chunked else piece)
            h.wfile.flush()
            sent += len(piece)
            self.sent[remote] += len(piece)
        h.close_connection = True

    def _splice(self, h, body, change, first):
        """The file changed on the server between the two answers; a server
        that ignores If-Range sends a piece of the new one."""
        if first:
            older = bytes(reversed(body)) + b"older"
            h.send_response(200)
            h.send_header("Content-Length", str(len(older)))
            h.send_header("ETag", '"e1"')
            h.end_headers()
            h.wfile.write(older[: len(older) // 2])
            h.wfile.flush()
            h.close_connection = True
            return
        tag = '"e2"' if change == "etag" else '"e1"'
        wanted = h.headers.get("Range")
        start = int(wanted[len("bytes="):-1]) if wanted else 0
        h.send_response(206 if wanted else 200)
        h.send_header("Content-Length", str(len(body) - start))
        if wanted:
            h.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(body) - 1, len(body)))
        h.send_header("ETag", tag)
        h.end_headers()
        h.wfile.write(body[start:])

    def _send_half(self, h, body):
        """A 200 announcing the whole body (with its ETag), and its first half."""
        h.send_response(200)
        h.send_header("Content-Length", str(len(body)))
        h.send_header("ETag", self.etag(body))
        h.end_headers()
        h.wfile.write(body[: len(body) // 2])
        h.wfile.flush()

    def _send(self, h, status, body):
        self._headers(h, status, len(body))
        h.wfile.write(body)


class GameFolder:
    """A game folder with a program under test copied in, the stand-in game,
    and an optional settings file."""

    def __init__(self, program, settings=b"[VERSION]\r\nGame= 5\r\n", config_folder=True, game=True,
                 files=None):
        self.root = tempfile.mkdtemp(prefix="game-")
        self.program = os.path.join(self.root, os.path.basename(program))
        shutil.copy2(program, self.program)
        if game:
            self.write("kestralon.exe", b'#!/bin/sh\ntouch "$(dirname "$0")/game-started"\n')
            os.chmod(self.path("kestralon.exe"), 0o755)
        if config_folder:
            os.makedirs(self.path("Config"))
            if settings is not None:
                self.write("Config/Client.ini", settings)
        for entry, content in (files or {}).items():
            self.write(entry, content)

    def path(self, relative):
        return os.path.join(self.root, relative)

    def write(self, relative, content):
        os.makedirs(os.path.dirname(self.path(relative)), exist_ok=True)
        with open(self.path(relative), "wb") as f:
            f.write(content)

    def read(self, relative):
        with open(self.path(relative), "rb") as f:
            return f.read()

    def snapshot(self):
        """Every file below the folder except the program itself: name -> bytes."""
        files = {}
        for folder, _, names in os.walk(self.root):
            for name in names:
                full = os.path.join(folder, name)
                if full != self.program:
                    with open(full, "rb") as f:
                        files[os.path.relpath(full, self.root)] = f.read()
        return files

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


class FolderCase(unittest.TestCase):
    """A test that makes game folders for `program()` and repositories, all
    removed when it ends."""

    def program(self):
        raise NotImplementedError

    def game(self, **kwargs):
        game = GameFolder(self.program(), **kwargs)
        self.addCleanup(game.remove)
        return game

    def repository(self, index, lists, files):
        repo = Repository(index, lists, files)
        self.addCleanup(repo.remove)
        return repo


def run_headless(game, timeout=120, env=None, user=None):
    """Runs the update without a display; returns what the window was told:
    the last text of each field, and under "trace" every text in the order it
    was set, as (field, text). The program always exits 0: anything else (a
    crash, a sanitizer's report) fails the test. env adds to the environment
    (UPDATER_TEST_URLS, UPDATER_TEST_PARALLEL, UPDATER_TEST_CA_FILE)."""
    done = subprocess.run([game.program], cwd="/", capture_output=True, timeout=timeout,
                          env=dict(os.environ, **(env or {})), user=user)
    if done.returncode != 0:
        raise AssertionError("headless updater exited with %d:\n%s" % (done.returncode,
                                                                      done.stderr.decode(errors="replace")))
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


# --- The real window under a virtual display --------------------------------

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
    done = subprocess.run(["xdotool", *map(str, args)], capture_output=True, text=True, timeout=WAIT_SECONDS)
    return done.stdout.strip()


def wait_until(predicate, timeout=WAIT_SECONDS, what="condition", interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError("timed out after %ds waiting for %s" % (timeout, what))
        time.sleep(interval)


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
    subprocess.run(["import", "-window", window, path], check=True, timeout=WAIT_SECONDS)
