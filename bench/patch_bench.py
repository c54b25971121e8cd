#!/usr/bin/env python3
"""Updating an installed version to the next one: what each way of doing it
moves over the wire, and what it costs the client.

Four real version pairs, fetched from the package registries at the first
run and kept under build/patch-bench/ (never committed):
  esbuild   npm @esbuild/linux-x64 0.28.1 -> 0.28.2 (one 11 MB executable)
  three     npm three 0.186.1 -> 0.187.0 (1,263 files, 21 MB)
  openjdk   Debian openjdk-17-jre-headless 17.0.19+10-1~deb12u2 -> 17.0.21.1+2-1~deb12u1 (116 files, 193 MB)
  mui       npm @mui/material 9.5.0 -> 9.6.0 (2,738 files of 3.1 KB on average, 8.5 MB;
            496 changed, 18 new: a release that edits modules all over the tree,
            where each file's bytes are few and the requests and round trips weigh)
When a version is no longer to be had, the nearest consecutive pair that is
is taken, and the run says so. Each package is unpacked to an "old" and a
"new" tree of regular files (links are left out: a game folder has none).

Every tool updates a copy of the old tree to the new one, over the simulated
WAN (bench/delay_line between two network namespaces, 20 Mbit/s, 50 ms, as
for scripts/bench --wan) and over loopback (a namespace of its own whose lo
carries only the benchmark's traffic), and the result is compared with the
new tree byte for byte:
  rsync -c, rsync -cz   against an rsync daemon (-a --delete)
  zsync                 the new tree as one tarball, served by nginx (multi-range
                        requests); the client's seeds are the old tree's files
  casync                extracted over the old copy, which is its seed
  zstd per file         the ideal of per-file patches: for each changed or new
                        file the smaller of `zstd -19 --long=31 --patch-from=old
                        new` and `zstd -19 --long new`, fetched by curl (8 at
                        once) and applied by `zstd -d --patch-from`
  ours, whole files     the update run (bench/bench_updater) of a repository
                        published with update-repo: version 1 the old tree, 2 the new
  ours, patches         the same from a repository published with a key (publish
                        --key writes objects/ and deltas/), run with that key;
                        skipped when publish writes no objects/ (see updater_variants())
Bytes are counted where they cross: at the delay line for the WAN, by
nftables counters on the loopback namespace's lo; IP packets, headers
included, server to client ("down") and back ("up").

For the update run, nginx's access log ($msec, $request_time) tells how many
requests it made and how long it took to come to its first file request
(a game file, object, delta or pack part: anything of the repository but
the qoro_update_* index, lists and metadata): the requests before it, the
sequential waves before it (a request is a wave after another when it
reached the server at least half a round trip after the other's answer left)
and the time from the first request to it, in round trips of the link.
The table sets each row against the per-file ideal (bytes down) and, on the
WAN, against its own link bound: its bytes down at the link's rate plus 4
round trips. Its goals column says, for the update run, whether it met
  rsync -cz    no longer than rsync -cz on the same link (bytes shown beside)
  link bound   wall time at most 1.5 times the link bound (WAN only)
  ideal        bytes down at most 1.15 times the per-file ideal's

Run through scripts/bench --patch, which builds the programs and sets the paths."""

import argparse
import concurrent.futures
import filecmp
import functools
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

BUILD_DIR = os.environ["UPDATER_BUILD_DIR"]
SOURCE_DIR = os.environ["UPDATER_SOURCE_DIR"]
BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
from run_bench import Outputs  # noqa: E402
from wan_bench import SERVER_ADDRESS, Namespaces, sh  # noqa: E402

CACHE = os.environ.get("PATCH_BENCH_CACHE", os.path.join(SOURCE_DIR, "build", "patch-bench"))
HTTP_PORT = 18900  # compiled into the updater's build: http://10.201.0.1:18900/game/update/
RSYNC_PORT = 18901
BASE_URL = "http://%s:%d" % (SERVER_ADDRESS, HTTP_PORT)
# Bumped when what is prepared for the servers changes shape.
PREPARED_FORMAT = "1"
MB = 1000 * 1000
MIB = 1024 * 1024

TOOLS = ["rsync -c", "rsync -cz", "zsync", "casync", "zstd per file", "ours, whole files", "ours, patches"]
IDEAL = "zstd per file"
PEER = "rsync -cz"
# What the update run is held to: its wall time against the link bound, its
# bytes down against the per-file ideal's.
BOUND_GOAL, IDEAL_GOAL = 1.5, 1.15
# Round trips the link bound grants besides the bytes: the connection, the
# index, the version's list and metadata, the first file request.
BOUND_ROUND_TRIPS = 4


class Unavailable(Exception):
    """A pair whose versions cannot be had from the registries."""


# ---------------------------------------------------------------- the pairs


class Pair:
    def __init__(self, key, kind, package, old, new):
        self.key, self.kind, self.package = key, kind, package
        self.wanted = (old, new)
        self.used = None  # the versions actually fetched
        self.folder = os.path.join(CACHE, key)
        self.old = os.path.join(self.folder, "old")
        self.new = os.path.join(self.folder, "new")
        self.serve = os.path.join(self.folder, "serve")

    def title(self):
        return "%s %s → %s" % (self.key, *self.used)


PAIRS = [
    Pair("esbuild", "npm", "@esbuild/linux-x64", "0.28.1", "0.28.2"),
    Pair("three", "npm", "three", "0.186.1", "0.187.0"),
    Pair("openjdk", "deb", "openjdk-17-jre-headless", "17.0.19+10-1~deb12u2", "17.0.21.1+2-1~deb12u1"),
    Pair("mui", "npm", "@mui/material", "9.5.0", "9.6.0"),
]


def nearest_consecutive(versions, wanted, before):
    """The wanted pair when both are there; else the two consecutive versions
    whose newer one is the closest to the wanted new one. `versions` sorted,
    `before(a, b)` is a < b."""
    old, new = wanted
    if old in versions and new in versions:
        return old, new
    if len(versions) < 2:
        raise Unavailable("only %s to be had" % (versions or "nothing"))
    at = 0
    for i, version in enumerate(versions):
        if not before(new, version):
            at = i
    at = max(at, 1)
    return versions[at - 1], versions[at]


def npm_versions(package):
    done = subprocess.run(["npm", "view", package, "versions", "--json"], capture_output=True, text=True)
    if done.returncode != 0:
        raise Unavailable("npm view %s: %s" % (package, done.stderr.strip()[-300:]))
    versions = json.loads(done.stdout)
    versions = [versions] if isinstance(versions, str) else versions
    stable = [v for v in versions if re.fullmatch(r"\d+\.\d+\.\d+", v)]
    return sorted(stable, key=lambda v: tuple(int(p) for p in v.split(".")))


def deb_versions(package):
    done = subprocess.run(["apt-cache", "madison", package], capture_output=True, text=True)
    return sorted({line.split("|")[1].strip() for line in done.stdout.splitlines() if "|" in line},
                  key=functools.cmp_to_key(deb_compare))


def deb_compare(a, b):
    if a == b:
        return 0
    return -1 if subprocess.run(["dpkg", "--compare-versions", a, "lt", b]).returncode == 0 else 1


def regular_files_only(tree):
    """Leaves regular files and the folders that hold them; returns how many links went."""
    links = 0
    for folder, dirs, names in os.walk(tree, topdown=False):
        for name in names + dirs:
            path = os.path.join(folder, name)
            if os.path.islink(path):
                os.unlink(path)
                links += 1
            elif os.path.isdir(path) and not os.listdir(path):
                os.rmdir(path)
    return links


def fetch_tree(pair, version, tree, downloads):
    """Downloads one version with the registry's own client and unpacks it to `tree`."""
    os.makedirs(downloads, exist_ok=True)
    unpack = tempfile.mkdtemp(prefix="unpack-", dir=pair.folder)
    try:
        if pair.kind == "npm":
            done = subprocess.run(["npm", "pack", "--silent", "--pack-destination", downloads,
                                   "%s@%s" % (pair.package, version)], capture_output=True, text=True)
            if done.returncode != 0:
                raise Unavailable("npm pack %s@%s: %s" % (pair.package, version, done.stderr.strip()[-300:]))
            archive = os.path.join(downloads, done.stdout.strip().splitlines()[-1])
            subprocess.run(["tar", "-xzf", archive, "-C", unpack], check=True)
            tops = os.listdir(unpack)
            top = os.path.join(unpack, tops[0]) if len(tops) == 1 else unpack  # "package/" in every npm tarball
        else:
            before = set(os.listdir(downloads))
            done = subprocess.run(["apt-get", "download", "-q", "%s=%s" % (pair.package, version)], cwd=downloads,
                                  capture_output=True, text=True)
            if done.returncode != 0:
                raise Unavailable("apt-get download %s=%s: %s" % (pair.package, version,
                                                                   done.stderr.strip()[-300:]))
            debs = [n for n in set(os.listdir(downloads)) - before if n.endswith(".deb")]
            if not debs:  # downloaded by an earlier, interrupted run
                debs = [n for n in os.listdir(downloads) if n.endswith(".deb") and
                        version.replace(":", "%3a") in n]
            subprocess.run(["dpkg-deb", "-x", os.path.join(downloads, debs[0]), unpack], check=True)
            top = unpack
        links = regular_files_only(top)
        shutil.rmtree(tree, ignore_errors=True)
        os.rename(top, tree)
        os.chmod(tree, 0o755)  # nginx's workers read it as an unprivileged user
        return links
    finally:
        shutil.rmtree(unpack, ignore_errors=True)


def ensure_trees(pair):
    """The old and new trees, from the cache or the registries. The cache is
    keyed by the versions asked for; the versions used are recorded beside."""
    stamp = os.path.join(pair.folder, "versions.json")
    if os.path.exists(stamp):
        with open(stamp) as f:
            recorded = json.load(f)
        if tuple(recorded["wanted"]) == pair.wanted and os.path.isdir(pair.old) and os.path.isdir(pair.new):
            pair.used = tuple(recorded["used"])
            pair.links = recorded["links"]
            return
    os.makedirs(pair.folder, exist_ok=True)
    if pair.kind == "npm":
        versions = npm_versions(pair.package)
        before = lambda a, b: tuple(map(int, a.split("."))) < tuple(map(int, b.split(".")))  # noqa: E731
    else:
        versions = deb_versions(pair.package)
        if not (pair.wanted[0] in versions and pair.wanted[1] in versions):
            # The package lists may be older than the archive: read them again once.
            subprocess.run(["apt-get", "update", "-q"], capture_output=True)
            versions = deb_versions(pair.package)
        before = lambda a, b: deb_compare(a, b) < 0  # noqa: E731
    pair.used = nearest_consecutive(versions, pair.wanted, before)
    downloads = os.path.join(pair.folder, "downloads")
    pair.links = [fetch_tree(pair, pair.used[0], pair.old, downloads),
                  fetch_tree(pair, pair.used[1], pair.new, downloads)]
    shutil.rmtree(pair.serve, ignore_errors=True)  # prepared from other trees
    with open(stamp, "w") as f:
        json.dump({"wanted": pair.wanted, "used": pair.used, "links": pair.links}, f)


def files_of(tree):
    """Relative path -> size of every regular file below `tree`."""
    out = {}
    for folder, _, names in os.walk(tree):
        for name in names:
            path = os.path.join(folder, name)
            if os.path.isfile(path) and not os.path.islink(path):
                out[os.path.relpath(path, tree)] = os.path.getsize(path)
    return out


class Changes:
    def __init__(self, pair):
        self.old, self.new = files_of(pair.old), files_of(pair.new)
        self.changed = sorted(p for p in self.new if p in self.old and not filecmp.cmp(
            os.path.join(pair.old, p), os.path.join(pair.new, p), shallow=False))
        self.added = sorted(p for p in self.new if p not in self.old)
        self.deleted = sorted(p for p in self.old if p not in self.new)
        self.whole_bytes = sum(self.new[p] for p in self.changed + self.added)

    def summary(self):
        return ("old %d files, %.1f MB; new %d files, %.1f MB; %d changed, %d new, %d deleted; "
                "the changed and new files weigh %.1f MB" % (
                    len(self.old), sum(self.old.values()) / MB, len(self.new), sum(self.new.values()) / MB,
                    len(self.changed), len(self.added), len(self.deleted), self.whole_bytes / MB))


# ------------------------------------------------ what the servers offer


def prepare(pair, changes):
    """What the servers need, made once per pair and kept: the tarball and
    its .zsync, casync's index and chunk store, the per-file objects and
    their manifest. Returns a line telling what it cost."""
    stamp = os.path.join(pair.serve, "prepared")
    if os.path.exists(stamp):
        with open(stamp) as f:
            lines = f.read().splitlines()
        if lines and lines[0] == PREPARED_FORMAT:
            return lines[1]
    shutil.rmtree(pair.serve, ignore_errors=True)
    os.makedirs(pair.serve)
    notes = []

    started = time.monotonic()
    folder = os.path.join(pair.serve, "zsync")
    os.makedirs(folder)
    subprocess.run(["tar", "--sort=name", "--owner=0", "--group=0", "--numeric-owner", "--format=gnu", "-cf",
                    os.path.join(folder, "new.tar"), "-C", pair.new, "."], check=True)
    subprocess.run(["zsyncmake", "-u", "new.tar", "-o", "new.tar.zsync", "new.tar"], cwd=folder, check=True,
                   stdout=subprocess.DEVNULL)
    notes.append("zsync %.1f s" % (time.monotonic() - started))

    started = time.monotonic()
    folder = os.path.join(pair.serve, "casync")
    os.makedirs(folder)
    subprocess.run(["casync", "make", "--store=" + os.path.join(folder, "default.castr"),
                    os.path.join(folder, "new.caidx"), pair.new], check=True, stdout=subprocess.DEVNULL)
    notes.append("casync %.1f s" % (time.monotonic() - started))

    started = time.monotonic()
    folder = os.path.join(pair.serve, "zstd")
    objects = os.path.join(folder, "o")
    os.makedirs(objects)
    work = tempfile.mkdtemp(prefix="zstd-", dir=pair.folder)

    def make(job):
        number, path = job
        target = os.path.join(pair.new, path)
        whole = os.path.join(work, "%s.z" % number)
        # stderr: at -19 zstd prints advice on its patch sizes, whatever -q says.
        subprocess.run(["zstd", "-q", "-19", "--long", target, "-o", whole], check=True, stderr=subprocess.DEVNULL)
        best = (os.path.getsize(whole), "Z", whole)
        if path in changes.old:
            patch = os.path.join(work, "%s.p" % number)
            subprocess.run(["zstd", "-q", "-19", "--long=31", "--patch-from=" + os.path.join(pair.old, path),
                            target, "-o", patch], check=True, stderr=subprocess.DEVNULL)
            best = min(best, (os.path.getsize(patch), "P", patch))
        os.rename(best[2], os.path.join(objects, number))
        return number, best[1], path, best[0]

    jobs = [("%05d" % i, p) for i, p in enumerate(changes.changed + changes.added)]
    for _, path in jobs:
        if "\t" in path or "\n" in path:
            raise RuntimeError("%s: a tab or a line end in a name does not fit the manifest" % path)
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        made = list(pool.map(make, jobs))
    shutil.rmtree(work, ignore_errors=True)
    with open(os.path.join(folder, "manifest.txt"), "w", encoding="utf-8") as f:
        for number, kind, path, _ in made:
            f.write("%s\t%s\t%s\n" % (number, kind, path))
        for path in changes.deleted:
            f.write("-\tD\t%s\n" % path)
    patches = sum(1 for m in made if m[1] == "P")
    notes.append("zstd %.1f s (%d patches, %d whole files, %.2f MB)" % (
        time.monotonic() - started, patches, len(made) - patches, sum(m[3] for m in made) / MB))
    line = "prepared: " + ", ".join(notes)
    with open(stamp, "w") as f:
        f.write("%s\n%s\n" % (PREPARED_FORMAT, line))
    return line


def publish(repo, version, tree, key=None):
    done = subprocess.run([os.path.join(BUILD_DIR, "update-repo"), "publish", "--repo", repo, "--version",
                           str(version), "--from", tree] + (["--key", key] if key else [])
                          + (["--first-signing"] if key and version == 1 else []),
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError("update-repo publish version %d: %s" % (version, (done.stdout + done.stderr)[-600:]))
    # nginx's workers read the repository as an unprivileged user.
    for folder, _, names in os.walk(repo):
        os.chmod(folder, 0o755)
        for name in names:
            os.chmod(os.path.join(folder, name), 0o644)


def signing_key(work):
    """A key made for the run: its file, and the public key the updater checks with."""
    key = os.path.join(work, "bench.pem")
    public = subprocess.run([os.path.join(BUILD_DIR, "update-repo"), "keygen", "--out", key], capture_output=True,
                            text=True, check=True).stdout.split()[0]
    return key, public


# ------------------------------------------------------------- the links


class Loopback:
    """A namespace of its own whose lo carries the server's address (the one
    compiled into the updater) and only the benchmark's traffic, counted by
    nftables per direction. lo is left as it is: it hands TCP segments of up
    to 64 KB from one side to the other with one header each (segmenting
    them to 1500 bytes overflows the kernel's backlog and loses packets), so
    its byte counts run a few per cent below the WAN link's for the same data."""

    name = "loopback"
    rtt_ms = 0
    rate_mbit = None

    def __init__(self, prefix):
        self.ns = prefix + "-lo"
        self.server = self.client = self.ns

    def __enter__(self):
        sh("ip", "netns", "add", self.ns)
        sh("ip", "-n", self.ns, "link", "set", "lo", "up")
        sh("ip", "-n", self.ns, "addr", "add", SERVER_ADDRESS + "/32", "dev", "lo")
        sh("ip", "netns", "exec", self.ns, "sysctl", "-qw", "net.ipv4.tcp_no_metrics_save=1")
        rules = ("table inet patchbench {\n"
                 "  counter down {}\n  counter up {}\n"
                 "  chain out {\n    type filter hook output priority 0; policy accept;\n"
                 "    tcp sport %d-%d counter name down\n    tcp dport %d-%d counter name up\n  }\n}\n"
                 % (HTTP_PORT, RSYNC_PORT, HTTP_PORT, RSYNC_PORT))
        subprocess.run(["ip", "netns", "exec", self.ns, "nft", "-f", "-"], input=rules, text=True, check=True)
        return self

    def __exit__(self, *exc):
        for pid in sh("ip", "netns", "pids", self.ns, check=False).split():
            try:
                os.kill(int(pid), signal.SIGKILL)
            except (ProcessLookupError, ValueError):
                pass
        sh("ip", "netns", "del", self.ns, check=False)

    def set_up(self):
        pass

    def counters(self):
        listed = json.loads(sh("ip", "netns", "exec", self.ns, "nft", "-j", "list", "counters"))
        counts = {item["counter"]["name"]: item["counter"]["bytes"] for item in listed["nftables"]
                  if "counter" in item}
        return counts["down"], counts["up"]

    def in_client(self, *args):
        return ["ip", "netns", "exec", self.ns, *args]

    def in_server(self, *args):
        return ["ip", "netns", "exec", self.ns, *args]


class Wan:
    """The WAN benchmark's two namespaces and delay line, at a given rate and
    round trip; the bottleneck's queue holds one round trip of data."""

    def __init__(self, prefix, rate_mbit, rtt_ms):
        self.net = Namespaces(prefix, max_seconds=3 * 3600)
        self.rate_mbit, self.rtt_ms = rate_mbit, rtt_ms
        self.name = "%g Mbit/s, %d ms" % (rate_mbit, rtt_ms)
        self.server, self.client = self.net.server, self.net.client

    def __enter__(self):
        self.net.__enter__()
        return self

    def __exit__(self, *exc):
        self.net.__exit__(*exc)

    def set_up(self):
        self.net.command("set %d %d %d" % (self.rtt_ms * 1000, self.rate_mbit * 1e6,
                                           self.rate_mbit * 1e6 / 8 * self.rtt_ms / 1000))

    def counters(self):
        fields = self.net.command("stats")
        return int(fields[0]), int(fields[1])

    def in_client(self, *args):
        return self.net.in_client(*args)

    def in_server(self, *args):
        return ["ip", "netns", "exec", self.server, *args]


# ----------------------------------------------------------- the servers

# When each request came and went: $msec is when nginx logged it (the answer
# handed to the kernel), $request_time how long before that the request's
# first bytes were read, both to the millisecond.
ACCESS_LOG = ("    log_format timed '$msec $request_time $status $body_bytes_sent \"$request\"';\n"
              "    access_log logs/access.log timed;")
LOG_LINE = re.compile(r'^(\d+\.\d+) (\d+\.\d+) (\d{3}) (\d+) "\S+ (\S+)', re.MULTILINE)
REPOSITORY_PATH = "/game/update/"
# The index, the lists and the signed metadata: everything else the update
# run asks of the repository is a file (game file, object, delta, pack part).
METADATA_NAME = re.compile(r"qoro_update_[^/\\]*$")


class Request:
    def __init__(self, start, end, status, size, path):
        self.start, self.end, self.status, self.size, self.path = start, end, status, size, path

    def is_file(self):
        name = self.path.split("?", 1)[0][len(REPOSITORY_PATH):]
        return not METADATA_NAME.match(name)


def parse_access_log(text):
    """The repository's requests in the order they came."""
    requests = []
    for m in LOG_LINE.finditer(text):
        if m.group(5).startswith(REPOSITORY_PATH):
            end = float(m.group(1))
            requests.append(Request(end - float(m.group(2)), end, int(m.group(3)), int(m.group(4)), m.group(5)))
    return sorted(requests, key=lambda r: r.start)


def first_file_request(requests, rtt_s):
    """How the update run came to its first file request: the requests in
    all, those before it, the waves before it and the seconds from the first
    request to it. A request comes in a later wave than another when it
    arrived after the other's answer left, by at least half a round trip
    over a link that has one (requests sent together reach the server a
    little apart, one behind the other on the line), else by the log's
    millisecond."""
    slack = max(rtt_s / 2, 0.001)
    waves = []
    first = None
    for i, request in enumerate(requests):
        waves.append(1 + max((w for w, earlier in zip(waves, requests[:i]) if earlier.end + slack <= request.start),
                             default=0))
        if request.is_file():
            first = i
            break
    if first is None:
        return {"requests": len(requests), "before": float("nan"), "waves": float("nan"), "to_first": float("nan"),
                "path": []}
    path = ["%s @%.0f ms (wave %d)" % (r.path[len(REPOSITORY_PATH):], 1000 * (r.start - requests[0].start), w)
            for r, w in zip(requests[:first + 1], waves)]
    return {"requests": len(requests), "before": first, "waves": waves[first] - 1,
            "to_first": requests[first].start - requests[0].start, "path": path}


class Servers:
    """nginx (deploy/nginx.conf, plus /patch/ for the other tools' files) and
    an rsync daemon serving the new tree, in the link's server namespace."""

    def __init__(self, link, pair, repository):
        self.link, self.pair = link, pair
        self.prefix = tempfile.mkdtemp(prefix="patch-servers-")
        os.chmod(self.prefix, 0o755)
        os.makedirs(os.path.join(self.prefix, "logs"))
        self.empty = os.path.join(self.prefix, "empty")  # what /game/update/ serves without a repository
        os.makedirs(self.empty)
        self.repository_link = os.path.join(self.prefix, "repository")
        self.serve(repository)
        os.symlink(pair.serve, os.path.join(self.prefix, "patch"))
        with open(os.path.join(SOURCE_DIR, "deploy", "nginx.conf")) as f:
            conf = f.read()
        if any(line not in conf for line in ("listen 127.0.0.1:8080;", "        location / {",
                                             "    access_log logs/access.log;")):
            raise RuntimeError("deploy/nginx.conf changed shape")
        conf = conf.replace("listen 127.0.0.1:8080;", "listen %s:%d;" % (SERVER_ADDRESS, HTTP_PORT)).replace(
            "        location / {", "        location /patch/ {\n            alias patch/;\n        }\n"
            "        location / {", 1).replace("    access_log logs/access.log;", ACCESS_LOG, 1)
        self.conf = os.path.join(self.prefix, "nginx.conf")
        with open(self.conf, "w") as f:
            f.write(conf)
        self.rsyncd_conf = os.path.join(self.prefix, "rsyncd.conf")
        with open(self.rsyncd_conf, "w") as f:
            f.write("use chroot = no\nuid = root\ngid = root\npid file = %s/rsyncd.pid\n"
                    "[new]\n    path = %s\n    read only = yes\n" % (self.prefix, pair.new))
        self.log = os.path.join(self.prefix, "logs", "access.log")
        self.processes = []

    def log_size(self):
        return os.path.getsize(self.log) if os.path.exists(self.log) else 0

    def requests_since(self, offset):
        """The requests logged after `offset` (nginx writes each line as the answer is sent)."""
        with open(self.log, "rb") as f:
            f.seek(offset)
            return parse_access_log(f.read().decode("latin-1"))

    def serve(self, repository):
        """Points nginx's /game/update/ at another repository (nginx follows the link per request)."""
        staged = self.repository_link + ".new"
        if os.path.lexists(staged):
            os.unlink(staged)
        os.symlink(repository or self.empty, staged)
        os.replace(staged, self.repository_link)

    def __enter__(self):
        self.processes.append(subprocess.Popen(
            self.link.in_server("nginx", "-p", self.prefix, "-c", self.conf, "-g", "daemon off;"),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        self.processes.append(subprocess.Popen(
            self.link.in_server("rsync", "--daemon", "--no-detach", "--config", self.rsyncd_conf, "--address",
                                SERVER_ADDRESS, "--port", str(RSYNC_PORT), "--log-file",
                                os.path.join(self.prefix, "logs", "rsyncd.log")),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        deadline = time.monotonic() + 10
        while True:
            probe = subprocess.run(self.link.in_client(
                "bash", "-c", "exec 3<>/dev/tcp/%s/%d && exec 4<>/dev/tcp/%s/%d" % (
                    SERVER_ADDRESS, HTTP_PORT, SERVER_ADDRESS, RSYNC_PORT)), capture_output=True)
            if probe.returncode == 0:
                return self
            if time.monotonic() > deadline:
                self.__exit__()
                raise RuntimeError("nginx or rsync does not answer in %s" % self.link.server)
            time.sleep(0.1)

    def __exit__(self, *exc):
        for process in self.processes:
            process.terminate()
        for process in self.processes:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        shutil.rmtree(self.prefix, ignore_errors=True)

    def connect_ms(self):
        done = subprocess.run(self.link.in_client(
            "curl", "-s", "-o", "/dev/null", "-w", "%{time_connect}", BASE_URL + "/patch/prepared"),
            capture_output=True, text=True)
        return 1000 * float(done.stdout or "nan")


# ------------------------------------------------------------ the updater


def installed_template(pair, loopback, work, key=None, env=None):
    """Publishes version 1 (the old tree), installs it with the update run
    over loopback into a game folder every run of the updater starts from a
    copy of, then publishes version 2 (the new tree); signed with `key` when
    given, the updater then run with `env`. Returns the template, the
    repository and the files of the template that are no game file."""
    program = os.path.join(BUILD_DIR, "bench", "bench_updater")
    os.makedirs(work, mode=0o755)
    repo = os.path.join(work, "repository")
    os.makedirs(repo)
    publish(repo, 1, pair.old, key)
    template = os.path.join(work, "template")
    os.makedirs(os.path.join(template, "Config"))
    shutil.copy2(program, template)
    with open(os.path.join(template, "kestralon.exe"), "wb") as f:
        f.write(b'#!/bin/sh\ntouch "$(dirname "$0")/game-started"\n')
    os.chmod(os.path.join(template, "kestralon.exe"), 0o755)
    with open(os.path.join(template, "Config", "Client.ini"), "wb") as f:
        f.write(b"[VERSION]\r\nGame= 0\r\n")
    own = set(files_of(template)) | {"Config/Client.ini"}
    with Servers(loopback, pair, repo):
        done = subprocess.run(loopback.in_client(os.path.join(template, "bench_updater")), cwd=template,
                              capture_output=True, text=True, env=dict(os.environ, **(env or {})))
    if done.returncode != 0:
        raise RuntimeError("installing the old version failed: %s" % done.stdout.strip())
    problem = compare(template, pair.old, ignore=None)
    if problem:
        raise RuntimeError("the installed old version differs from the old tree: %s" % problem)
    own |= set(files_of(template)) - set(files_of(pair.old))
    publish(repo, 2, pair.new, key)
    return template, repo, own


def updater_variants(pair, loopback, work, tools):
    """HOOK: "this updater with patches" and "this updater without".

    Both rows run bench_updater exactly as for the other benchmarks, on a
    copy of the old version as the update run installed it, from a
    repository that update-repo publish wrote (version 1 the old tree,
    version 2 the new):

    - "ours, whole files": today's whole files, an unsigned repository (the
      updater without a key never asks for objects or deltas);
    - "ours, patches": the repository published with a key made for the
      run (publish --key writes objects/ and deltas/), the updater run with
      that key (UPDATER_BENCH_PUBLIC_KEY), so that it fetches the cheapest
      way from its installed copy. Skipped when publish wrote no objects/.

    Returns {tool: (template, repository, own files, environment)} and
    {tool: why it is skipped}."""
    variants, skipped = {}, {}
    if "ours, whole files" in tools:
        try:
            variants["ours, whole files"] = installed_template(pair, loopback, os.path.join(work, "whole")) + ({},)
        except RuntimeError as error:
            skipped["ours, whole files"] = "failed: %s" % str(error)[:200]
    if "ours, patches" in tools:
        try:
            key, public = signing_key(work)
            env = {"UPDATER_BENCH_PUBLIC_KEY": public}
            started = time.monotonic()
            template, repo, own = installed_template(pair, loopback, os.path.join(work, "patches"), key, env)
            if os.path.isdir(os.path.join(repo, "objects")):
                variants["ours, patches"] = (template, repo, own, env)
                print("  published with objects and deltas in %.1f s" % (time.monotonic() - started), flush=True)
            else:
                skipped["ours, patches"] = "skipped: update-repo publish wrote no objects/ (no patches to fetch)"
        except (RuntimeError, subprocess.CalledProcessError) as error:
            skipped["ours, patches"] = "failed: %s" % str(error)[:200]
    for tool, note in skipped.items():
        print("  %s: %s" % (tool, note), flush=True)
    return variants, skipped


# -------------------------------------------------------------- the runs


def compare(result, new_tree, ignore=(), allowed_leftovers=()):
    """'' when `result` holds exactly the files of `new_tree`, byte for byte
    (besides `ignore`, and `allowed_leftovers` the run may leave); else what
    differs. With ignore=None, files beyond the tree's are not looked at."""
    wanted, got = files_of(new_tree), files_of(result)
    problems = []
    missing = [p for p in wanted if p not in got]
    differ = [p for p in wanted if p in got and (wanted[p] != got[p] or not filecmp.cmp(
        os.path.join(new_tree, p), os.path.join(result, p), shallow=False))]
    extra = [] if ignore is None else [p for p in got if p not in wanted and p not in ignore
                                       and p not in allowed_leftovers]
    for what, paths in (("missing", missing), ("different", differ), ("unexpected", extra)):
        if paths:
            problems.append("%d %s (%s)" % (len(paths), what, ", ".join(sorted(paths)[:3])))
    return "; ".join(problems)


class Sample:
    def __init__(self, wall, cpu, rss, down, up, note=""):
        self.wall, self.cpu, self.rss, self.down, self.up, self.note = wall, cpu, rss, down, up, note
        self.requests = None  # the update run's, from the access log (first_file_request)


class Runner:
    """Runs the tools of one pair over one link, each on a fresh copy of the old tree."""

    def __init__(self, link, pair, changes, servers, variants, cap, out_root):
        self.link, self.pair, self.changes, self.servers = link, pair, changes, servers
        self.variants, self.cap, self.out_root = variants, cap, out_root

    def fresh_copy(self, source, tool):
        folder = tempfile.mkdtemp(prefix="patch-%s-" % tool.split()[0].strip(","), dir=self.out_root)
        tree = os.path.join(folder, "tree")
        subprocess.run(["cp", "-a", source, tree], check=True)
        # The copy is the bench's own writing: on disk before the tool starts,
        # so that a tool that flushes what it writes does not wait for it.
        subprocess.run(["sync"], check=True)
        return folder, tree

    def command(self, tool, folder, tree):
        """(command, working folder, the folder that holds the result)."""
        if tool.startswith("rsync"):
            args = ["rsync", "-a", "-c", "--delete", "rsync://%s:%d/new/" % (SERVER_ADDRESS, RSYNC_PORT), tree + "/"]
            if tool == "rsync -cz":
                args.insert(1, "-z")
            return args, folder, tree
        if tool == "zsync":
            out = os.path.join(folder, "new")
            return (["bash", os.path.join(BENCH_DIR, "zsync_client.sh"), BASE_URL + "/patch/zsync/new.tar.zsync",
                     tree, out, folder], folder, out)
        if tool == "casync":
            return (["casync", "extract", "--store=%s/patch/casync/default.castr" % BASE_URL,
                     "%s/patch/casync/new.caidx" % BASE_URL, tree], folder, tree)
        if tool == IDEAL:
            return ["bash", os.path.join(BENCH_DIR, "zstd_client.sh"), BASE_URL + "/patch/zstd", tree, folder], \
                folder, tree
        return [os.path.join(tree, "bench_updater")], tree, tree

    def run(self, tool):
        ours = tool.startswith("ours")
        template, repo, own, env = self.variants[tool] if ours else (self.pair.old, None, None, {})
        if ours:
            self.servers.serve(repo)
        folder, tree = self.fresh_copy(template, tool)
        try:
            args, cwd, result = self.command(tool, folder, tree)
            logged = self.servers.log_size()
            sample = self.measure(args, cwd, env)
            if ours:
                sample.requests = first_file_request(self.servers.requests_since(logged), self.link.rtt_ms / 1000)
                problem = compare(result, self.pair.new, ignore=own, allowed_leftovers=self.changes.deleted)
                left = [p for p in self.changes.deleted if os.path.exists(os.path.join(result, p))]
                if left:
                    sample.note = "left %d deleted file(s) in place" % len(left)
            else:
                problem = compare(result, self.pair.new)
            if problem:
                sample.note = "RESULT DIFFERS: " + problem
            elif not sample.note.startswith("stopped"):
                sample.note = ("identical; " + sample.note).rstrip("; ")
            return sample
        finally:
            Outputs.dispose(folder)

    def measure(self, args, cwd, env):
        os.sync()
        down, up = self.link.counters()
        start = time.perf_counter()
        process = subprocess.Popen(self.link.in_client(os.path.join(BUILD_DIR, "bench", "measure"), *args),
                                   cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                   start_new_session=True, env=dict(os.environ, **env))
        note = ""
        try:
            out, err = process.communicate(timeout=self.cap)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            out, err = process.communicate()
            note = "stopped at the cap (%d s)" % self.cap
        wall = time.perf_counter() - start
        # The last packets (acknowledgements, the connections' ends) are
        # still on their way: half a second covers several round trips.
        time.sleep(0.5)
        after_down, after_up = self.link.counters()
        fields = out.split()
        if not note and process.returncode != 0:
            raise RuntimeError("%s failed (%d): %s %s" % (args[0], process.returncode, out.strip()[-300:],
                                                          err.strip()[-500:]))
        cpu, rss = (float(fields[0]), int(fields[1]) / 1024) if len(fields) == 2 else (float("nan"), float("nan"))
        return Sample(wall, cpu, rss, after_down - down, after_up - up, note)


REQUEST_FIELDS = ("requests", "before", "waves", "to_first")


def median_of(values):
    values = [v for v in values if v == v]
    return statistics.median(values) if values else float("nan")


def median_row(pair, link, tool, samples):
    notes = sorted({s.note for s in samples if s.note})
    row = empty_row(pair, link, tool, "; ".join(notes))
    row.update({"runs": len(samples), "down": statistics.median(s.down for s in samples) / MB,
                "up": statistics.median(s.up for s in samples) / MB,
                "wall": statistics.median(s.wall for s in samples), "cpu": statistics.median(s.cpu for s in samples),
                "rss": statistics.median(s.rss for s in samples)})
    for field in REQUEST_FIELDS:
        row[field] = median_of(s.requests[field] for s in samples if s.requests)
    return row


def empty_row(pair, link, tool, note):
    nan = float("nan")
    row = {"pair": pair, "link": link, "tool": tool, "runs": 0, "down": nan, "up": nan, "wall": nan, "cpu": nan,
           "rss": nan, "ratio": nan, "bound": nan, "rtt": nan, "goals": "", "note": note}
    row.update((field, nan) for field in REQUEST_FIELDS)
    return row


def link_bound(down_mb, link):
    """The least time the link needs to move what a tool moved: its bytes at
    the link's rate, plus the round trips no update run avoids."""
    if not link.rate_mbit:
        return float("nan")
    return down_mb * MB * 8 / (link.rate_mbit * 1e6) + BOUND_ROUND_TRIPS * link.rtt_ms / 1000


def goals(row, peer):
    """Whether an update run's row met its goals, with the ratios that decide."""
    def verdict(met):
        return "met" if met else "not met"
    parts = []
    if peer and peer["runs"] and row["runs"]:
        wall, down = row["wall"] / peer["wall"], row["down"] / peer["down"]
        parts.append("%s %s (wall %.2fx; down %.2fx)" % (PEER, verdict(wall <= 1.0), wall, down))
    else:
        parts.append("%s n/a" % PEER)
    if row["bound"] == row["bound"]:
        parts.append("link bound %s" % verdict(row["bound"] <= BOUND_GOAL))
    else:
        parts.append("link bound n/a")
    parts.append("ideal %s" % verdict(row["ratio"] <= IDEAL_GOAL) if row["ratio"] == row["ratio"] else "ideal n/a")
    return " · ".join(parts)


def judge(rows, links):
    """Sets each row against the ideal and the link bound of its link, and
    the update run's rows against their goals."""
    for link in links:
        mine = [r for r in rows if r["link"] == link.name]
        ideal = next((r for r in mine if r["tool"] == IDEAL and r["runs"]), None)
        peer = next((r for r in mine if r["tool"] == PEER and r["runs"]), None)
        for row in mine:
            bound = link_bound(row["down"], link)
            row["ratio"] = row["down"] / ideal["down"] if ideal else float("nan")
            row["bound"] = row["wall"] / bound if bound == bound else float("nan")
            row["rtt"] = row["to_first"] / (link.rtt_ms / 1000) if link.rtt_ms else float("nan")
            if row["tool"].startswith("ours"):
                row["goals"] = goals(row, peer)


def bench_pair(pair, links, loopback, tools, runs, cap):
    changes = Changes(pair)
    print("\n%s: %s" % (pair.title(), changes.summary()), flush=True)
    if any(pair.links):
        print("  links left out of the trees (a game folder has none): %d old, %d new" % tuple(pair.links))
    print("  " + prepare(pair, changes), flush=True)
    # nginx's workers read what it serves as an unprivileged user.
    for folder, _, names in os.walk(pair.serve):
        os.chmod(folder, 0o755)
        for name in names:
            os.chmod(os.path.join(folder, name), 0o644)
    work = tempfile.mkdtemp(prefix="patch-work-", dir=os.environ.get("BENCH_TMP"))
    os.chmod(work, 0o755)
    out_root = tempfile.mkdtemp(prefix="patch-out-", dir=os.environ.get("BENCH_TMP"))
    rows = []
    Outputs.workload(len(changes.old))
    try:
        variants, skipped = updater_variants(pair, loopback, work, tools)
        for link in links:
            link.set_up()
            with Servers(link, pair, None) as servers:
                # The server's files come from the page cache for every tool alike.
                subprocess.run(["cat"] + [os.path.join(d, n) for d, _, ns in os.walk(pair.serve) for n in ns],
                               stdout=subprocess.DEVNULL)
                print("  %s: connect time seen by the client %.1f ms" % (link.name, servers.connect_ms()),
                      flush=True)
                runner = Runner(link, pair, changes, servers, variants, cap, out_root)
                active = [t for t in tools if t not in skipped]
                samples = {tool: [] for tool in active}
                failures = {}
                for _ in range(runs):  # the tools alternate run after run
                    for tool in active:
                        try:
                            sample = runner.run(tool)
                        except RuntimeError as error:
                            failures[tool] = str(error)
                            print("    %-18s failed: %s" % (tool, error), flush=True)
                            continue
                        samples[tool].append(sample)
                        print("    %-18s %8.3f s  CPU %7.3f s  %6.1f MiB  down %9.3f MB  up %7.3f MB  %s" % (
                            tool, sample.wall, sample.cpu, sample.rss, sample.down / MB, sample.up / MB,
                            sample.note), flush=True)
                        if sample.requests:
                            print("    %-18s %s" % ("", requests_line(sample.requests)), flush=True)
                            print("    %-18s %s" % ("", ", ".join(sample.requests["path"])), flush=True)
                for tool in tools:
                    if tool in skipped:
                        rows.append(empty_row(pair.title(), link.name, tool, skipped[tool]))
                    elif samples[tool]:
                        rows.append(median_row(pair.title(), link.name, tool, samples[tool]))
                    else:
                        rows.append(empty_row(pair.title(), link.name, tool,
                                              "failed: %s" % failures.get(tool, "")[:200]))
    finally:
        Outputs.workload_over()
        shutil.rmtree(out_root, ignore_errors=True)
        shutil.rmtree(work, ignore_errors=True)
        Outputs.settle(len(changes.old))
    judge(rows, links)
    return rows


# ---------------------------------------------------------------- output


def requests_line(counts):
    return "%d requests; the first file request after %s, %s waves, %s ms" % (
        counts["requests"], fmt(counts["before"], "%d"), fmt(counts["waves"], "%d"),
        fmt(counts["to_first"] * 1000, "%.0f"))


def fmt(value, pattern):
    return "" if value != value else pattern % value


# (heading, row key, format; None for text)
COLUMNS = [("pair", "pair", None), ("link", "link", None), ("tool", "tool", None), ("runs", "runs", "%d"),
           ("down MB", "down", "%.3f"), ("up MB", "up", "%.3f"), ("wall s", "wall", "%.3f"), ("CPU s", "cpu", "%.3f"),
           ("peak RSS MiB", "rss", "%.1f"), ("down / zstd per file", "ratio", "%.2f"),
           ("wall / link bound", "bound", "%.2f"), ("requests", "requests", "%d"),
           ("requests before 1st file", "before", "%d"), ("waves before 1st file", "waves", "%d"),
           ("ms to 1st file", "to_first", "%.0f"), ("round trips to 1st file", "rtt", "%.1f"),
           ("goals", "goals", None), ("note", "note", None)]
SCALE = {"to_first": 1000}  # seconds kept, milliseconds shown
LEGEND = ("Link bound: the row's own bytes down at the link's rate plus %d round trips. Goals of the update "
          "run: %s (wall time at most 1.0x), link bound (wall at most %.1fx), ideal (down at most "
          "%.2fx). Requests: the update run's, from nginx's access log; a file request is one for a game file, object, "
          "delta or pack part; a wave comes after an answer left the server, by half a round trip or more." % (
              BOUND_ROUND_TRIPS, PEER, BOUND_GOAL, IDEAL_GOAL))


def table(rows):
    lines = ["| %s |" % " | ".join(c[0] for c in COLUMNS), "|%s" % ("---|" * len(COLUMNS))]
    for r in rows:
        cells = []
        for _, key, pattern in COLUMNS:
            value = r.get(key, "" if pattern is None else float("nan"))
            cells.append(str(value) if pattern is None else fmt(value * SCALE.get(key, 1), pattern))
        lines.append("| %s |" % " | ".join(cells))
    return "\n".join(lines) + "\n\n" + LEGEND


def rows_from_markdown(path):
    """The rows of a table written before, by its headings (older tables have fewer columns)."""
    keys = {heading: (key, pattern) for heading, key, pattern in COLUMNS}
    rows, headings = [], None
    with open(path, encoding="utf-8") as f:
        for line in f:
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            if cells[:3] == ["pair", "link", "tool"]:
                headings = cells
            elif headings and len(cells) == len(headings) and cells[2] in TOOLS:
                row = empty_row(cells[0], cells[1], cells[2], "")
                for heading, text in zip(headings, cells):
                    if heading in keys:
                        key, pattern = keys[heading]
                        row[key] = text if pattern is None else (
                            float(text) / SCALE.get(key, 1) if text else float("nan"))
                row["runs"] = int(row["runs"])
                rows.append(row)
    return rows


def chart(rows, path):
    """Three panels of grouped bars, one group per pair: the bytes each tool
    moved down, its wall time over the WAN link, its wall time on loopback."""
    if not shutil.which("gnuplot"):
        print("gnuplot is missing: no chart")
        return
    pairs = []
    for r in rows:
        if r["pair"] not in pairs:
            pairs.append(r["pair"])
    links = []
    for r in rows:
        if r["link"] not in links:
            links.append(r["link"])
    wan = next((name for name in links if name != "loopback"), None)
    tools = [t for t in TOOLS if any(r["tool"] == t and r["runs"] for r in rows)]
    panels = [("down", None, "MB moved, server to client", "Bytes over the wire (IP packets, server to client)")]
    if wan:
        panels.append(("wall", wan, "wall time, s", "Wall time over the WAN link (%s)" % wan))
    if "loopback" in links:
        panels.append(("wall", "loopback", "wall time, s", "Wall time on loopback"))
    files = []
    plots = []
    for key, link, ylabel, title in panels:
        data = tempfile.NamedTemporaryFile("w", suffix=".dat", delete=False)
        with data:
            data.write("pair\t%s\n" % "\t".join('"%s"' % t for t in tools))
            for pair in pairs:
                values = []
                for tool in tools:
                    candidates = [r for r in rows if r["pair"] == pair and r["tool"] == tool and r["runs"]
                                  and (link is None or r["link"] == link)]
                    if link is None:  # bytes: the WAN's when there, else loopback's
                        candidates.sort(key=lambda r: r["link"] == "loopback")
                    values.append("%.4f" % candidates[0][key] if candidates else "NaN")
                data.write('"%s"\t%s\n' % (pair.replace(" → ", "\\n→ "), "\t".join(values)))
        files.append(data.name)
        plots.append("""
set title "%s"
set ylabel "%s"
plot for [i=2:%d] '%s' using i:xtic(1) title columnheader(i)
""" % (title, ylabel, len(tools) + 1, data.name))
    script = """
set terminal pngcairo noenhanced size 1400,%d font "DejaVu Sans,11"
set output '%s'
set multiplot layout %d,1 title "Updating to the next version: each tool from the old tree (median, log scale; lower is better)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set logscale y
set grid ytics
set key outside right top
set xtics font ",9"
set bmargin 4
%s
unset multiplot
""" % (360 * len(panels) + 40, path, len(panels), "".join(plots))
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    for name in files:
        os.unlink(name)
    print("Chart: %s" % path)


def tools_named(text):
    """The tools of a comma-separated list, whose names may hold a comma themselves ("ours, patches")."""
    parts = [t.strip() for t in text.split(",")]
    tools = []
    while parts:
        joined = ", ".join(parts[:2])
        tools.append(joined if len(parts) > 1 and joined in TOOLS else parts[0])
        del parts[:2 if tools[-1] == joined and len(parts) > 1 else 1]
    return tools


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="the smallest pair, one run each")
    parser.add_argument("--pairs", default="esbuild,three,openjdk,mui", help="pairs to run, e.g. 'three,mui'")
    parser.add_argument("--links", default="wan,loopback", help="'wan', 'loopback' or both")
    parser.add_argument("--tools", help="a subset of the tools, comma-separated (default all): " + ", ".join(TOOLS))
    parser.add_argument("--rate", type=float, default=20, help="the WAN link's rate, Mbit/s")
    parser.add_argument("--rtt", type=int, default=50, help="the WAN link's round trip, ms")
    parser.add_argument("--cap", type=int, default=900, help="seconds after which a run is stopped")
    parser.add_argument("--chart", help="write the chart to this PNG")
    parser.add_argument("--markdown", help="write the table to this file too")
    parser.add_argument("--replot", metavar="MARKDOWN", help="only draw --chart from a table written before")
    args = parser.parse_args()
    if args.replot:
        chart(rows_from_markdown(args.replot), args.chart or "patch-bench.png")
        return
    if args.quick:
        args.pairs, args.runs = "esbuild", 1
    tools = TOOLS if not args.tools else tools_named(args.tools)
    unknown = [t for t in tools if t not in TOOLS]
    if unknown:
        sys.exit("unknown tools: %s (known: %s)" % (", ".join(unknown), ", ".join(TOOLS)))
    wanted = [p.strip() for p in args.pairs.split(",") if p.strip()]
    pairs = [p for p in PAIRS if p.key in wanted]
    if len(pairs) != len(wanted):
        sys.exit("unknown pairs in %s (known: %s)" % (args.pairs, ", ".join(p.key for p in PAIRS)))
    for tool in ("rsync", "zsync", "zsyncmake", "casync", "zstd", "curl", "nginx", "nft", "ip", "npm", "dpkg-deb"):
        if not shutil.which(tool):
            sys.exit("%s is missing (scripts/install-deps bench)" % tool)
    prefix = os.environ.get("WAN_NETNS_PREFIX", "kpatch-%d" % os.getpid())
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    started = time.monotonic()
    rows = []
    failed = []
    with Loopback(prefix) as loopback, Wan(prefix, args.rate, args.rtt) as wan:
        links = [link for key, link in (("wan", wan), ("loopback", loopback)) if key in args.links.split(",")]
        for pair in pairs:
            try:
                ensure_trees(pair)
            except Unavailable as error:
                print("\n%s: not to be had: %s" % (pair.key, error), flush=True)
                continue
            if pair.used != pair.wanted:
                print("\n%s: %s → %s is not to be had; the nearest consecutive versions are used: %s → %s" % (
                    pair.key, *pair.wanted, *pair.used), flush=True)
            try:
                rows += bench_pair(pair, links, loopback, tools, args.runs, args.cap)
            except (RuntimeError, OSError, subprocess.CalledProcessError) as error:
                print("\n%s: stopped: %s" % (pair.key, error), flush=True)
                failed.append(pair.key)
    print("\nPatch set: %.1f minutes\n" % ((time.monotonic() - started) / 60))
    text = table(rows)
    print(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text + "\n")
    if args.chart and rows:
        chart(rows, args.chart)
    if any(r["note"].startswith("RESULT DIFFERS") for r in rows):
        sys.exit("some results differ from the new tree")
    if failed:
        sys.exit("stopped pairs: %s" % ", ".join(failed))


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit("interrupted; the namespaces are removed")
