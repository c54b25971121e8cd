"""A real nginx with the project's deploy/nginx.conf, serving a repository
folder on loopback."""

import http.client
import os
import re
import shutil
import ssl
import subprocess
import tempfile
import urllib.parse

from . import tls, waiting
from .config import HOST, PORT, SOURCE_DIR
from .game import Repository, make_readable, make_tree_readable

LOG_MARK = "/written-to-the-log"

# Before deploy/nginx.conf's own locations (regex locations match in order):
# files under "slow\" trickle out, so that a click can land during a transfer.
SLOW_LOCATION = r"""
        location ~ "^/game/update/files\\\\slow/(.*)$" {
            alias repository/files/slow/$1;
            limit_rate 16k;
        }
"""

_LOG_LINE = re.compile(r'(\d+) \d+ (\S+) "(.*)" (\d+)$')


class Nginx:
    """nginx with deploy/nginx.conf on port (by default the one compiled into
    the test build), serving a Repository; over https (and HTTP/2) when
    certificate names the server's (certificate, key) files. With
    slow_files, the files under "slow/" go out at 16 KiB/s. Started and
    stopped as a context manager, or by start() and stop()."""

    def __init__(self, repository=None, certificate=None, port=None, slow_files=False):
        self.certificate = certificate
        self.port = port or PORT
        self.prefix = tempfile.mkdtemp(prefix="nginx-")
        make_readable(self.prefix)
        os.makedirs(os.path.join(self.prefix, "logs"))
        # The repository it serves: the caller's, or a folder of its own for publish().
        self.repository = os.path.join(self.prefix, "repository")
        if repository:
            os.symlink(repository.root, self.repository)
        else:
            os.makedirs(self.repository)
        listen = tls.nginx_listen(self.port, *certificate) if certificate else "listen %s:%d;" % (HOST, self.port)
        with open(os.path.join(SOURCE_DIR, "deploy", "nginx.conf")) as f:
            conf = f.read()
        if "listen 127.0.0.1:8080;" not in conf or "access_log logs/access.log;" not in conf:
            raise RuntimeError("deploy/nginx.conf changed shape")
        conf = conf.replace("listen 127.0.0.1:8080;", listen).replace(
            "access_log logs/access.log;",
            "log_format e2e '$connection $connection_requests $server_protocol \"$request\" $status';\n"
            "    access_log logs/access.log e2e;")
        if slow_files:
            if "        server_name _;\n" not in conf:
                raise RuntimeError("deploy/nginx.conf changed shape")
            conf = conf.replace("        server_name _;\n", "        server_name _;\n" + SLOW_LOCATION, 1)
        self.conf = os.path.join(self.prefix, "nginx.conf")
        with open(self.conf, "w") as f:
            f.write(conf)
        self.access_log = os.path.join(self.prefix, "logs", "access.log")
        self.errors = os.path.join(self.prefix, "logs", "stderr.log")
        self.process = None

    def start(self):
        waiting.wait_for_port_free(self.port)
        with open(self.errors, "wb") as errors:
            self.process = subprocess.Popen(
                ["nginx", "-p", self.prefix, "-c", self.conf, "-g", "daemon off;"],
                stdout=subprocess.DEVNULL, stderr=errors)
        try:
            waiting.wait_for_port(self.port, process=self.process)
        except RuntimeError as error:
            said = self.said()
            self.stop()
            raise RuntimeError("%s; nginx said: %s" % (error, said)) from None
        return self

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=waiting.WAIT_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.prefix, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def said(self):
        with open(self.errors) as f:
            return f.read().strip()

    def publish(self, index, lists, files):
        """Serves a new repository from now on: index (bytes), lists
        ({version: bytes}), files ({entry: bytes}); the log starts anew."""
        Repository(index, lists, files, root=self.repository)
        self.readable()
        self.forget()

    def readable(self):
        """What was written into the repository since, readable by the workers."""
        make_tree_readable(self.prefix)

    def forget(self):
        """Empties the access log: the requests so far are forgotten."""
        open(self.access_log, "wb").close()

    def _log(self):
        # nginx logs a request after its last byte has gone out: the client
        # may be done before the line is written. The one worker of
        # deploy/nginx.conf handles events in order, so once it has answered
        # a request of ours, every earlier request is in the log.
        if self.certificate:
            connection = http.client.HTTPSConnection(HOST, self.port, timeout=waiting.WAIT_SECONDS,
                                                     context=ssl._create_unverified_context())
        else:
            connection = http.client.HTTPConnection(HOST, self.port, timeout=waiting.WAIT_SECONDS)
        try:
            connection.request("GET", LOG_MARK)
            connection.getresponse().read()
        finally:
            connection.close()
        with open(self.access_log, encoding="latin-1") as f:
            return [line for line in f.read().splitlines() if LOG_MARK not in line]

    def entries(self):
        """(connection number, request line, status) of every request so far, in order."""
        found = (_LOG_LINE.match(line) for line in self._log())
        return [(m.group(1), m.group(3), int(m.group(4))) for m in found if m]

    def connections(self):
        """(connection number, protocol) of every request so far, in order."""
        found = (_LOG_LINE.match(line) for line in self._log())
        return [(m.group(1), m.group(2)) for m in found if m]

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
