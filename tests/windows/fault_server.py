"""A scripted HTTP/1.1 server on loopback for http_win_test.exe.

Paths:
  /ok/<n>                 200, Content-Length n, the bytes a..z repeated
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
  /tohttp                 (over TLS) 302 to /ok/10 on the plain server

TlsFaultServer answers the same paths over TLS with the certificate it is given.
"""

import email.utils
import gzip
import socket
import socketserver
import ssl
import threading
import time
from http.server import BaseHTTPRequestHandler


def pattern(size):
    alphabet = bytes(range(ord("a"), ord("z") + 1))
    return (alphabet * (size // 26 + 1))[:size]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def setup(self):
        super().setup()
        with self.server.lock:
            self.server.connections += 1

    def send_raw(self, data):
        self.wfile.write(data)
        self.wfile.flush()
        self.close_connection = True
        self.connection.shutdown(socket.SHUT_RDWR)

    def send_body(self, status, body, headers=()):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        parts = self.path.split("/")
        kind = parts[1] if len(parts) > 1 else ""
        if kind == "ok":
            self.send_body(200, pattern(int(parts[2])))
        elif kind in ("chunked", "chunkcut") and self.past_range(pattern(int(parts[2]))):
            pass
        elif kind in ("chunked", "chunkednorange"):
            body = pattern(int(parts[2]))
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for start in range(0, len(body), 8192):
                piece = body[start:start + 8192]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\n\r\n")
        elif kind == "notfound":
            self.send_body(404, b"<html><body>404 Not Found</body></html>")
        elif kind == "servererror":
            self.send_body(500, b"<html><body>500 Internal Server Error</body></html>")
        elif kind in ("short", "stall"):
            declared, sent = int(parts[2]), int(parts[3])
            self.send_response(200)
            self.send_header("Content-Length", str(declared))
            self.end_headers()
            self.wfile.write(pattern(sent))
            self.wfile.flush()
            if kind == "stall":
                time.sleep(60)
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
        elif kind == "silent":
            time.sleep(60)
            self.close_connection = True
        elif kind == "redirect":
            self.send_body(302, b"moved", [("Location", "/ok/10")])
        elif kind == "echo":
            self.send_body(200, self.path.encode("latin-1"))
        elif kind == "connections":
            self.send_body(200, str(self.server.connections).encode())
        elif kind == "slow":
            with self.server.lock:
                self.server.active += 1
                self.server.most_active = max(self.server.most_active, self.server.active)
            time.sleep(0.3)
            with self.server.lock:
                self.server.active -= 1
            self.send_body(200, pattern(int(parts[2])))
        elif kind == "most":
            with self.server.lock:
                most, self.server.most_active = self.server.most_active, 0
            self.send_body(200, str(most).encode())
        elif kind == "range":
            self.send_range(pattern(int(parts[2])))
        elif kind == "weak":
            self.send_body(200, pattern(int(parts[2])),
                           [("ETag", 'W/"weak"'), ("Last-Modified", "Wed, 21 Oct 2015 07:28:00 GMT")])
        elif kind == "closeend":
            self.send_raw(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + pattern(int(parts[2])))
        elif kind == "chunkcut":
            body = pattern(int(parts[3]))
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for start in range(0, len(body), 4096):
                piece = body[start:start + 4096]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.send_raw(b"")
        elif kind == "nocontent":
            self.send_response(204)
            self.end_headers()
        elif kind == "busy":
            self.send_body(503, b"busy", [("Retry-After", parts[2])])
        elif kind == "busydate":
            when = email.utils.formatdate(time.time() + int(parts[2]), usegmt=True)
            self.send_body(503, b"busy", [("Retry-After", when)])
        elif kind == "gzip":
            self.send_body(200, gzip.compress(pattern(int(parts[2]))), [("Content-Encoding", "gzip")])
        elif kind == "loop":
            self.send_body(302, b"again", [("Location", "/loop")])
        elif kind == "toftp":
            self.send_body(302, b"elsewhere", [("Location", "ftp://127.0.0.1/file")])
        elif kind == "hop":
            if parts[2] == "start":
                self.send_body(302, b"next", [("Location", "next")])
            else:
                self.send_body(200, pattern(12))
        elif kind == "garbage":
            self.send_raw(b"THIS IS NOT HTTP\r\n\r\n")
        elif kind == "tohttp":
            self.send_body(302, b"plain", [("Location", "http://127.0.0.1:%d/ok/10" % self.server.plain_port)])
        elif kind == "bigheader":
            self.send_body(200, b"x", [("X-Filler-%d" % k, "f" * 120) for k in range(1000)])
        else:
            self.send_body(404, b"unknown")

    ETAG = '"v1"'
    LAST_MODIFIED = "Wed, 21 Oct 2015 07:28:00 GMT"

    def past_range(self, body):
        """Answers "Range: bytes=N-" for a chunked path: the rest (206), or
        416 with the total when nothing lies past N. False when no range was asked."""
        asked = self.headers.get("Range", "")
        if not (asked.startswith("bytes=") and asked.endswith("-")):
            return False
        start = int(asked[6:-1])
        if start >= len(body):
            self.send_body(416, b"", [("Content-Range", "bytes */%d" % len(body))])
        else:
            self.send_body(206, body[start:], [("Content-Range", "bytes %d-%d/%d" % (start, len(body) - 1, len(body)))])
        return True

    def send_range(self, body):
        validators = {"ETag": self.ETAG, "Last-Modified": self.LAST_MODIFIED}
        asked = self.headers.get("Range", "")
        condition = self.headers.get("If-Range")
        fresh = condition is None or condition in validators.values()
        if asked.startswith("bytes=") and asked.endswith("-") and fresh:
            start = int(asked[6:-1])
            self.send_body(206, body[start:], list(validators.items()) +
                           [("Content-Range", "bytes %d-%d/%d" % (start, len(body) - 1, len(body)))])
        else:
            self.send_body(200, body, list(validators.items()))


class FaultServer(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.lock = threading.Lock()
        self.connections = 0
        self.active = 0
        self.most_active = 0

    def handle_error(self, request, client_address):
        # Clients that give up (time-out and cancellation tests) reset their
        # connections; that is expected here.
        pass

    @property
    def port(self):
        return self.server_address[1]

    def start(self):
        threading.Thread(target=self.serve_forever, daemon=True).start()
        return self


class TlsFaultServer(FaultServer):
    """The same server over TLS. The handshake happens in the handler's own
    thread, so a client that gives up during it blocks nobody."""

    def __init__(self, certificate, key, plain_port):
        super().__init__()
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(certificate, key)
        self.plain_port = plain_port

    def get_request(self):
        connection, address = self.socket.accept()
        return self.context.wrap_socket(connection, server_side=True, do_handshake_on_connect=False), address


def closed_port():
    """A loopback port on which nothing listens."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
