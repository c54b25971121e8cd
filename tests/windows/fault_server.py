"""A scripted HTTP/1.1 server on loopback for http_win_test.exe.

Paths:
  /ok/<n>                 200, Content-Length n, the bytes a..z repeated
  /chunked/<n>            200, the same bytes chunked, no Content-Length
  /notfound, /servererror 404 / 500 with an HTML error page
  /short/<declared>/<n>   Content-Length declared, n bytes, then the socket closes
  /stall/<declared>/<n>   Content-Length declared, n bytes, then silence
  /silent                 the request is read and never answered
  /redirect               302 to /ok/10
  /echo/<anything>        200, the request path exactly as received
  /connections            200, how many connections were accepted so far
"""

import socket
import socketserver
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
        elif kind == "chunked":
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
        else:
            self.send_body(404, b"unknown")


class FaultServer(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.lock = threading.Lock()
        self.connections = 0

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


def closed_port():
    """A loopback port on which nothing listens."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
