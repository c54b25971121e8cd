"""The fault-injecting server of the end-to-end suites and of the HTTP
seam's contract (tests/http_contract.cpp): a small HTTP/1.1 server on
loopback, plain or over TLS, that serves a repository and misbehaves on
chosen names, and answers scripted paths whatever it serves."""

import collections
import email.utils
import gzip
import http.server
import os
import socket
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse
import zlib

from . import waiting
from .config import BASE_PATH, HOST, PORT, TRANSFER_TIMEOUT


def pattern(size):
    """The bytes of the scripted /ok/<n>: the alphabet over and over."""
    alphabet = bytes(range(ord("a"), ord("z") + 1))
    return (alphabet * (size // 26 + 1))[:size]


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
      ("slow", bytes_per_s, n) the same, padded with line ends to n bytes
      ("held", event)         the file (or the range asked) in small pieces, fast enough never to
                              stall, until event is set: then the rest at once
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

    Outside the base path, the paths of the HTTP seam's contract:
      /ok/<n>                 200, Content-Length n, pattern(n)
      /chunked/<n>            200, the same bytes chunked, no Content-Length; "Range: bytes=N-"
                              is answered 206 with the rest, or 416 "bytes */n" past the end
      /chunkednorange/<n>     /chunked/<n> from a server that ignores Range
      /notfound, /servererror 404 / 500 with an HTML error page
      /short/<declared>/<n>   Content-Length declared, n bytes, then the socket closes
      /stall/<declared>/<n>   Content-Length declared, n bytes, then silence
      /silent                 the request is read and never answered
      /redirect               302 to /ok/10
      /echo/<anything>        200, the request path exactly as received
      /connections            200, how many connections were accepted so far
      /slow/<n>               /ok/<n> after 0.3 s; counts the requests answered at once
      /most                   200, the most /slow requests seen at once (then forgotten)
      /range/<n>              /ok/<n> with an ETag; honours "Range: bytes=N-" (206) as
                              long as If-Range, when sent, matches the ETag or Last-Modified
      /weak/<n>               /ok/<n> with a weak ETag and a Last-Modified
      /closeend/<n>           200 without Content-Length nor chunks: the body ends at close
      /chunkcut/<n>/<cut>     chunked, cut bytes of n, then the socket closes (no last chunk);
                              ranges as /chunked/<n>
      /nocontent              204
      /busy/<s>               503 with Retry-After: s
      /busydate/<s>           503 with Retry-After: the HTTP date s seconds from now
      /gzip/<n>               200, /ok/<n> gzip-compressed, Content-Encoding: gzip
      /loop                   302 to itself
      /toftp                  302 to an ftp:// URL
      /hop/start              302 to the relative "next": /hop/next, 200 with 12 bytes
      /garbage                a line that is no HTTP status, then close
      /bigheader              200 with 128 KiB of headers
      /tohttp                 302 to /ok/10 over plain http on http_port (a TLS server's test)
    connections counts the connections accepted.

    port None is the port compiled into the test build, 0 any free port
    (self.port once started). Over TLS (certificate: the server's
    (certificate, key) files), each connection's handshake happens in its
    own thread, so a client that gives up during it blocks nobody.
    """

    def __init__(self, repository=None, faults=None, port=None, certificate=None, http_port=None):
        self.port = PORT if port is None else port
        self.certificate = certificate
        self.http_port = http_port
        self.repository = repository
        self.faults = dict(faults or {})
        self.requests = []
        self.sent = collections.Counter()
        self.ranges = []  # the Range header of each plain request, None when absent
        self.stop_stalling = threading.Event()
        self.lock = threading.Lock()
        self.connections = 0
        self.active = 0
        self.most_active = 0
        self.httpd = None

    def _handler_class(self):
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def setup(self):
                super().setup()
                with server.lock:
                    server.connections += 1

            def do_GET(self):
                try:
                    server.handle(self)
                except (ConnectionError, BrokenPipeError):
                    self.close_connection = True  # the client gave up on this transfer

        return Handler

    def _server_class(self):
        context = None
        if self.certificate:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*self.certificate)

        class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
            daemon_threads = True
            allow_reuse_address = True

            def get_request(self):
                connection, address = self.socket.accept()
                if context:
                    connection = context.wrap_socket(connection, server_side=True, do_handshake_on_connect=False)
                return connection, address

            def handle_error(self, request, client_address):
                # A client that drops its connection, or refuses the
                # certificate, is what several tests do.
                if not isinstance(sys.exc_info()[1], (ConnectionError, ssl.SSLError, socket.timeout)):
                    super().handle_error(request, client_address)

        return Server

    def __enter__(self):
        if self.port:
            # The server of the test before may still be closing its socket.
            waiting.wait_for_port_free(self.port)
        self.httpd = self._server_class()((HOST, self.port), self._handler_class())
        self.port = self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *exc):
        self.stop_stalling.set()
        self.httpd.shutdown()
        self.httpd.server_close()

    def count(self, remote):
        return self.requests.count(remote)

    def _content(self, remote):
        if self.repository is None:
            return None
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
            if not self._scripted(h):
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
        elif isinstance(fault, tuple) and fault[0] == "held":
            self._held(h, remote, body, fault[1])
        elif isinstance(fault, tuple) and fault[0] == "slow":
            body = body.ljust(fault[2], b"\n") if len(fault) > 2 else body
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

    # A held body keeps well within the stall rule (a KiB every few seconds)
    # on a loaded machine, and lasts minutes when nobody lets it go.
    HELD_PIECE = 2048
    HELD_PAUSE = 0.2

    def _held(self, h, remote, body, release):
        wanted = h.headers.get("Range")
        start = int(wanted[len("bytes="):-1]) if wanted else 0
        h.send_response(206 if wanted else 200)
        h.send_header("Content-Length", str(len(body) - start))
        if wanted:
            h.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(body) - 1, len(body)))
        h.send_header("ETag", self.etag(body))
        h.end_headers()
        at = start
        while at < len(body) and not release.wait(self.HELD_PAUSE):
            piece = body[at:at + self.HELD_PIECE]
            h.wfile.write(piece)
            h.wfile.flush()
            at += len(piece)
            self.sent[remote] += len(piece)
        h.wfile.write(body[at:])
        self.sent[remote] += len(body) - at

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

    @staticmethod
    def _send(h, status, body, headers=()):
        h.send_response(status)
        h.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            h.send_header(name, value)
        h.end_headers()
        h.wfile.write(body)

    # --- the paths of the HTTP seam's contract ------------------------------

    def _scripted(self, h):
        """Answers a scripted path; False when the path is none of them."""
        parts = h.path.split("/")
        kind = parts[1] if len(parts) > 1 else ""
        answer = getattr(self, "_path_" + kind, None)
        if answer is None:
            return False
        answer(h, parts[2:])
        return True

    def _path_ok(self, h, parts):
        self._send(h, 200, pattern(int(parts[0])))

    def _path_chunked(self, h, parts, ranges=True):
        body = pattern(int(parts[0]))
        if ranges and self._past_range(h, body):
            return
        h.send_response(200)
        h.send_header("Transfer-Encoding", "chunked")
        h.end_headers()
        for start in range(0, len(body), 8192):
            piece = body[start:start + 8192]
            h.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
        h.wfile.write(b"0\r\n\r\n")

    def _path_chunkednorange(self, h, parts):
        self._path_chunked(h, parts, ranges=False)

    def _path_notfound(self, h, parts):
        self._send(h, 404, b"<html><body>404 Not Found</body></html>")

    def _path_servererror(self, h, parts):
        self._send(h, 500, b"<html><body>500 Internal Server Error</body></html>")

    def _path_short(self, h, parts, stall=False):
        declared, sent = int(parts[0]), int(parts[1])
        self._headers(h, 200, declared)
        h.wfile.write(pattern(sent))
        h.wfile.flush()
        if stall:
            self.stop_stalling.wait(60)
        self._close(h)

    def _path_stall(self, h, parts):
        self._path_short(h, parts, stall=True)

    def _path_silent(self, h, parts):
        self.stop_stalling.wait(60)
        h.close_connection = True

    def _path_redirect(self, h, parts):
        self._send(h, 302, b"moved", [("Location", "/ok/10")])

    def _path_echo(self, h, parts):
        self._send(h, 200, h.path.encode("latin-1"))

    def _path_connections(self, h, parts):
        self._send(h, 200, str(self.connections).encode())

    def _path_slow(self, h, parts):
        with self.lock:
            self.active += 1
            self.most_active = max(self.most_active, self.active)
        time.sleep(0.3)
        with self.lock:
            self.active -= 1
        self._send(h, 200, pattern(int(parts[0])))

    def _path_most(self, h, parts):
        with self.lock:
            most, self.most_active = self.most_active, 0
        self._send(h, 200, str(most).encode())

    ETAG = '"v1"'
    LAST_MODIFIED = "Wed, 21 Oct 2015 07:28:00 GMT"

    def _path_range(self, h, parts):
        body = pattern(int(parts[0]))
        validators = [("ETag", self.ETAG), ("Last-Modified", self.LAST_MODIFIED)]
        asked = h.headers.get("Range", "")
        condition = h.headers.get("If-Range")
        fresh = condition is None or condition in (self.ETAG, self.LAST_MODIFIED)
        if asked.startswith("bytes=") and asked.endswith("-") and fresh:
            start = int(asked[6:-1])
            self._send(h, 206, body[start:], validators +
                       [("Content-Range", "bytes %d-%d/%d" % (start, len(body) - 1, len(body)))])
        else:
            self._send(h, 200, body, validators)

    def _path_weak(self, h, parts):
        self._send(h, 200, pattern(int(parts[0])), [("ETag", 'W/"weak"'), ("Last-Modified", self.LAST_MODIFIED)])

    def _path_closeend(self, h, parts):
        h.wfile.write(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + pattern(int(parts[0])))
        self._close(h)

    def _path_chunkcut(self, h, parts):
        body = pattern(int(parts[0]))
        if self._past_range(h, body):
            return
        body = pattern(int(parts[1]))
        h.send_response(200)
        h.send_header("Transfer-Encoding", "chunked")
        h.end_headers()
        for start in range(0, len(body), 4096):
            piece = body[start:start + 4096]
            h.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
        self._close(h)

    def _path_nocontent(self, h, parts):
        h.send_response(204)
        h.end_headers()

    def _path_busy(self, h, parts):
        self._send(h, 503, b"busy", [("Retry-After", parts[0])])

    def _path_busydate(self, h, parts):
        when = email.utils.formatdate(time.time() + int(parts[0]), usegmt=True)
        self._send(h, 503, b"busy", [("Retry-After", when)])

    def _path_gzip(self, h, parts):
        self._send(h, 200, gzip.compress(pattern(int(parts[0]))), [("Content-Encoding", "gzip")])

    def _path_loop(self, h, parts):
        self._send(h, 302, b"again", [("Location", "/loop")])

    def _path_toftp(self, h, parts):
        self._send(h, 302, b"elsewhere", [("Location", "ftp://127.0.0.1/file")])

    def _path_hop(self, h, parts):
        if parts[0] == "start":
            self._send(h, 302, b"next", [("Location", "next")])
        else:
            self._send(h, 200, pattern(12))

    def _path_garbage(self, h, parts):
        h.wfile.write(b"THIS IS NOT HTTP\r\n\r\n")
        self._close(h)

    def _path_bigheader(self, h, parts):
        self._send(h, 200, b"x", [("X-Filler-%d" % k, "f" * 120) for k in range(1000)])

    def _path_tohttp(self, h, parts):
        self._send(h, 302, b"plain", [("Location", "http://%s:%d/ok/10" % (HOST, self.http_port))])

    def _past_range(self, h, body):
        """Answers "Range: bytes=N-" for a chunked path: the rest (206), or
        416 with the total when nothing lies past N. False when no range was asked."""
        asked = h.headers.get("Range", "")
        if not (asked.startswith("bytes=") and asked.endswith("-")):
            return False
        start = int(asked[6:-1])
        if start >= len(body):
            self._send(h, 416, b"", [("Content-Range", "bytes */%d" % len(body))])
        else:
            self._send(h, 206, body[start:], [("Content-Range", "bytes %d-%d/%d" % (start, len(body) - 1, len(body)))])
        return True

    @staticmethod
    def _close(h):
        """Ends the connection after what was written: its end is the body's end."""
        h.wfile.flush()
        h.close_connection = True
        h.connection.shutdown(socket.SHUT_RDWR)


