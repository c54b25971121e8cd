#!/usr/bin/env python3
"""The updater against curl, curl --parallel and aria2c over a wide-area link.

Two network namespaces made for the run (a server one where nginx serves the
repository, a client one where the tools run) are joined by bench/delay_line,
a user-space link with a fixed round trip and an optional bottleneck: the
kernels' TCP sees a true round trip, slow start included. Every tool goes
through the same link in the same run, the tools alternate run after run, and
the table shows medians. The namespaces are removed at the end, whatever
happens.

Workloads:
  (e) 2,000 files of 4 KiB at 0, 50 and 150 ms
  (f) 50 files of 2 MiB at 0, 50 and 150 ms
  (g) one 256 MiB file through a 100 Mbit/s, 50 ms link
  (h) one 256 MiB file cut at 90% then resumed (50 ms): what the second run moves

Run through scripts/bench --wan, which builds the programs and sets the paths."""

import argparse
import filecmp
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
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run_bench import MIB, Folder, Outputs, harness  # noqa: E402

SERVER_ADDRESS = "10.201.0.1"  # inside the server namespace only
CLIENT_ADDRESS = "10.201.0.2"  # inside the client namespace only
PORT = int(os.environ.get("WAN_PORT", "18300"))
URL = "http://%s:%d/game/update/" % (SERVER_ADDRESS, PORT)
# A TCP segment of 1448 bytes of payload (timestamps on) travels in a
# 1500-byte packet: what the link counts.
WIRE_PER_PAYLOAD = 1500 / 1448

TOOLS = ["curl", "curl --parallel", "aria2c -j 8", "ours"]
PEERS = ["curl --parallel", "aria2c -j 8"]


def sh(*args, check=True):
    return subprocess.run(args, check=check, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          timeout=30).stdout


class Namespaces:
    """The server and client namespaces and the delay line between them."""

    def __init__(self, prefix, max_seconds):
        self.server, self.client = prefix + "-srv", prefix + "-cli"
        self.max_seconds = max_seconds
        self.line = None

    def __enter__(self):
        for ns in (self.server, self.client):
            sh("ip", "netns", "add", ns)
        for ns in (self.server, self.client):
            sh("ip", "-n", ns, "link", "set", "lo", "up")
            # Every run starts as a first visit: no slow-start threshold
            # remembered from the previous tool's connections.
            sh("ip", "netns", "exec", ns, "sysctl", "-qw", "net.ipv4.tcp_no_metrics_save=1")
        self.line = subprocess.Popen(
            [os.path.join(BUILD_DIR, "bench", "delay_line"), "--netns-a", self.server, "--dev-a", "wans",
             "--netns-b", self.client, "--dev-b", "wanc", "--max-seconds", str(self.max_seconds)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        if self.line.stdout.readline().strip() != "ready":
            raise RuntimeError("delay_line did not start")
        for ns, dev, local, peer in ((self.server, "wans", SERVER_ADDRESS, CLIENT_ADDRESS),
                                     (self.client, "wanc", CLIENT_ADDRESS, SERVER_ADDRESS)):
            sh("ip", "-n", ns, "addr", "add", local, "peer", peer, "dev", dev)
            sh("ip", "-n", ns, "link", "set", dev, "mtu", "1500", "txqueuelen", "1000", "up")
        return self

    def __exit__(self, *exc):
        if self.line:
            self.line.stdin.close()
            try:
                self.line.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.line.kill()
                self.line.wait()
        for ns in (self.server, self.client):
            # Our own processes left inside (a tool stopped mid-run), by id.
            for pid in sh("ip", "netns", "pids", ns, check=False).split():
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (ProcessLookupError, ValueError):
                    pass
            sh("ip", "netns", "del", ns, check=False)

    def command(self, line):
        self.line.stdin.write(line + "\n")
        self.line.stdin.flush()
        return self.line.stdout.readline().split()

    def set_link(self, rtt_ms, rate_mbit=0, queue_bytes=1 << 20):
        self.command("set %d %d %d" % (rtt_ms * 1000, rate_mbit * 1000000, queue_bytes))

    def server_to_client_bytes(self):
        return int(self.command("stats")[0])

    def drops(self):
        return int(self.command("stats")[2])

    def in_client(self, *args):
        return ["ip", "netns", "exec", self.client, *args]


class WanNginx:
    """deploy/nginx.conf, listening on the server namespace's address."""

    LOG_LINE = re.compile(r'"GET (\S+) [^"]*" (\d{3}) (\d+)')

    def __init__(self, net, repo):
        self.net = net
        self.prefix = tempfile.mkdtemp(prefix="nginx-wan-")
        harness.make_readable(self.prefix)
        os.makedirs(os.path.join(self.prefix, "logs"))
        os.symlink(repo.root, os.path.join(self.prefix, "repository"))
        with open(os.path.join(SOURCE_DIR, "deploy", "nginx.conf")) as f:
            conf = f.read().replace("listen 127.0.0.1:8080;", "listen %s:%d;" % (SERVER_ADDRESS, PORT))
        self.conf = os.path.join(self.prefix, "nginx.conf")
        with open(self.conf, "w") as f:
            f.write(conf)
        self.log = os.path.join(self.prefix, "logs", "access.log")
        self.process = None

    def __enter__(self):
        self.process = subprocess.Popen(
            ["ip", "netns", "exec", self.net.server, "nginx", "-p", self.prefix, "-c", self.conf, "-g", "daemon off;"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if connect_time(self.net) is not None:
                return self
            time.sleep(0.1)
        raise RuntimeError("nginx does not answer in the server namespace")

    def __exit__(self, *exc):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.prefix, ignore_errors=True)

    def log_size(self):
        return os.path.getsize(self.log) if os.path.exists(self.log) else 0

    def entries(self, since):
        """(path, status, body bytes) of the requests logged after offset `since`."""
        with open(self.log, "rb") as f:
            f.seek(since)
            text = f.read().decode("latin-1")
        return [(m.group(1), int(m.group(2)), int(m.group(3))) for m in self.LOG_LINE.finditer(text)]


def connect_time(net):
    """The client's TCP connect time to nginx, in seconds (None while nothing answers)."""
    done = subprocess.run(net.in_client("curl", "-s", "-o", "/dev/null", "--max-time", "3", "-w",
                                        "%{http_code} %{time_connect}", URL + harness.INDEX),
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, timeout=10)
    code, _, seconds = done.stdout.partition(" ")
    return float(seconds) if code == "200" else None


class Sample:
    def __init__(self, wall, cpu, rss, note=""):
        self.wall, self.cpu, self.rss, self.note = wall, cpu, rss, note


class Workload:
    """A repository served over the link as it is set, and the four tools on it."""

    def __init__(self, net, nginx, repo, names, out_root, cap):
        self.net, self.nginx, self.repo, self.names = net, nginx, repo, names
        self.out_root, self.cap = out_root, cap
        self.expected_bytes = sum(repo.files.values())

    def measure(self, args, cwd=None, timeout=None, resumed=False):
        """Runs one tool in the client namespace through `measure`. A run still
        going at the cap is stopped and its time projected from the requests
        it completed (sequential tools progress evenly)."""
        os.sync()
        since = self.nginx.log_size()
        start = time.perf_counter()
        process = subprocess.Popen(self.net.in_client(os.path.join(BUILD_DIR, "bench", "measure"), *args), cwd=cwd,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        capped = False
        try:
            out, err = process.communicate(timeout=timeout or self.cap)
            wall = time.perf_counter() - start
        except subprocess.TimeoutExpired:
            wall = time.perf_counter() - start
            capped = True
            process.send_signal(signal.SIGTERM)  # measure hands it on to the tool
            try:
                out, err = process.communicate(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                out, err = process.communicate()
        fields = out.split()
        cpu, rss = (float(fields[0]), int(fields[1]) / 1024) if len(fields) == 2 else (float("nan"), float("nan"))
        served = [e for e in self.nginx.entries(since) if e[1] in (200, 206)]
        if capped:
            if timeout is not None or not served:
                raise RuntimeError("%s did not finish within %ds" % (args[0], timeout or self.cap))
            share = len(served) / len(self.names)
            sample = Sample(wall / share, cpu / share, rss, "projected from %d%% done at %ds" % (100 * share, self.cap))
            sample.share = share
            return sample
        if process.returncode != 0:
            raise RuntimeError("%s failed (%d): %s" % (args[0], process.returncode, err.strip()[-500:]))
        if not resumed and sum(e[2] for e in served) < self.expected_bytes:
            raise RuntimeError("%s ended without fetching every byte" % args[0])
        return Sample(wall, cpu, rss)

    def urls(self):
        return [URL + name for name in self.names]

    def fresh_folder(self, tool):
        return tempfile.mkdtemp(prefix="wan-%s-" % tool.split()[0], dir=self.out_root)

    def curl_args(self, out, parallel, resume=False):
        config = os.path.join(out, "urls.txt")
        with open(config, "w") as f:
            for i, url in enumerate(self.urls()):
                # curl's config files treat a backslash inside quotes as an escape.
                f.write('url = "%s"\noutput = "%s/%d"\n' % (url.replace("\\", "\\\\"), out, i))
        args = ["curl", "--silent", "--show-error", "--fail", "--config", config]
        if parallel:
            args += ["--parallel", "--parallel-max", "8"]
        if resume:
            args += ["--continue-at", "-"]
        return args

    def aria2_args(self, out, resume=False):
        listing = os.path.join(out, "urls.txt")
        with open(listing, "w") as f:
            for i, url in enumerate(self.urls()):
                f.write("%s\n  out=%d\n" % (url, i))
        args = ["aria2c", "-j", "8", "--quiet", "--dir", out, "--input-file", listing]
        if resume:
            args += ["-c"]
        return args

    def command(self, tool, folder, resume=False):
        """The command line of a tool writing into `folder`, and its working folder."""
        if tool == "ours":
            return [folder.program], folder.root
        if tool == "aria2c -j 8":
            return self.aria2_args(folder, resume), folder
        return self.curl_args(folder, tool == "curl --parallel", resume), folder

    def folder_for(self, tool, program):
        if tool == "ours":
            game = harness.GameFolder(program, settings=b"[VERSION]\r\nGame= 0\r\n")
            return game
        return self.fresh_folder(tool)

    @staticmethod
    def remove(folder):
        Outputs.dispose(folder.root if isinstance(folder, harness.GameFolder) else folder)

    def run(self, tool, program):
        folder = self.folder_for(tool, program)
        try:
            args, cwd = self.command(tool, folder)
            return self.measure(args, cwd=cwd)
        finally:
            self.remove(folder)

    def run_resumed(self, tool, program, big_name, cut_share, timeout):
        """Stops a first transfer when `cut_share` of the file has crossed the
        link, then measures the rerun and what it moved."""
        folder = self.folder_for(tool, program)
        try:
            args, cwd = self.command(tool, folder)
            before = self.net.server_to_client_bytes()
            limit = cut_share * self.expected_bytes * WIRE_PER_PAYLOAD
            process = subprocess.Popen(self.net.in_client(*args), cwd=cwd, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + timeout
            while self.net.server_to_client_bytes() - before < limit:
                if process.poll() is not None:
                    raise RuntimeError("%s ended before the cut" % tool)
                if time.monotonic() > deadline:
                    process.kill()
                    raise RuntimeError("%s: no cut within %ds" % (tool, timeout))
                time.sleep(0.002)
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            time.sleep(0.5)  # nginx logs the cut request once it sees the connection gone
            since = self.nginx.log_size()
            args, cwd = self.command(tool, folder, resume=True)
            sample = self.measure(args, cwd=cwd, timeout=timeout, resumed=True)
            moved = sum(e[2] for e in self.nginx.entries(since))
            sample.moved = moved / self.expected_bytes
            sample.note = "rerun moved %.1f%% of the file" % (100 * sample.moved)
            local = folder.path(big_name) if tool == "ours" else os.path.join(folder, str(self.names.index(
                "files\\" + big_name)))
            if not filecmp.cmp(local, os.path.join(self.repo.root, "files", big_name), shallow=False):
                raise RuntimeError("%s: the resumed file differs from the repository's" % tool)
            return sample
        finally:
            self.remove(folder)


def median_row(workload, tool, samples, link_seconds=None):
    row = {"workload": workload, "tool": tool, "runs": len(samples),
           "wall": statistics.median(s.wall for s in samples), "cpu": statistics.median(s.cpu for s in samples),
           "rss": statistics.median(s.rss for s in samples),
           "note": "; ".join(sorted({s.note for s in samples if s.note}))}
    shares = [s.share for s in samples if hasattr(s, "share")]
    if shares:
        row["note"] = "%d of %d runs stopped at the cap, time projected from the share done (%d-%d%%)" % (
            len(shares), len(samples), 100 * min(shares), 100 * max(shares))
        row["note"] = row["note"].replace("(%d-%d%%)" % ((100 * min(shares),) * 2), "(%d%%)" % (100 * min(shares)))
    if any(s.note.endswith("own time") for s in samples):
        row["note"] = "%.3fx the link's own time" % (row["wall"] / link_seconds)
    if all(hasattr(s, "moved") for s in samples):
        row["moved"] = statistics.median(s.moved for s in samples)
        row["note"] = "rerun moved %.1f%% of the file (median)" % (100 * row["moved"])
    return row


def bench(net, name, files, rtt_ms, runs, cap, program, rate_mbit=0, queue_bytes=1 << 20, resume=None,
          timeout=None, link_seconds=None):
    """One workload: every tool `runs` times, alternating; returns its rows."""
    repo = Folder(files)
    out_root = tempfile.mkdtemp(prefix="wan-out-", dir=os.environ.get("BENCH_TMP"))
    rows = []
    Outputs.workload(len(files))
    try:
        net.set_link(rtt_ms, rate_mbit, queue_bytes)
        drops = net.drops()
        with WanNginx(net, repo) as nginx:
            seen = statistics.median(connect_time(net) for _ in range(3))
            print("  %s: link %d ms%s, connect time seen by the client %.1f ms" % (
                name, rtt_ms, ", %d Mbit/s" % rate_mbit if rate_mbit else "", 1000 * seen), flush=True)
            names = repo.remote_names() if resume is None else ["files\\" + resume[0]]
            work = Workload(net, nginx, repo, names, out_root, cap)
            samples = {tool: [] for tool in TOOLS}
            for _ in range(runs):  # the tools alternate run after run
                for tool in TOOLS:
                    try:
                        if resume is None:
                            sample = work.run(tool, program)
                        else:
                            sample = work.run_resumed(tool, program, resume[0], resume[1], timeout)
                    except RuntimeError as error:
                        print("    %s: %s" % (tool, error), flush=True)
                        continue
                    if link_seconds:
                        sample.note = "%.3fx the link's own time" % (sample.wall / link_seconds)
                    samples[tool].append(sample)
                    print("    %-16s %8.3f s  CPU %7.3f s  %5.1f MiB  %s" % (
                        tool, sample.wall, sample.cpu, sample.rss, sample.note), flush=True)
            for tool in TOOLS:
                if samples[tool]:
                    rows.append(median_row(name, tool, samples[tool], link_seconds))
                else:
                    rows.append({"workload": name, "tool": tool, "runs": 0, "wall": float("nan"),
                                 "cpu": float("nan"), "rss": float("nan"), "note": "failed"})
            print("  packets the link dropped: %d" % (net.drops() - drops), flush=True)
    finally:
        Outputs.workload_over()
        repo.remove()
        Outputs.settle(len(files))
        shutil.rmtree(out_root, ignore_errors=True)
    best_peer = min((r["wall"] for r in rows if r["tool"] in PEERS and r["runs"]), default=float("nan"))
    for row in rows:
        row["ratio"] = row["wall"] / best_peer
        row["rtt"] = rtt_ms
    return rows


def fmt(value, pattern):
    return "" if value != value else pattern % value


def table(rows):
    lines = ["| workload | tool | runs | wall s | CPU s | peak RSS MiB | wall / faster of curl --parallel, aria2c "
             "| note |", "|---|---|---|---|---|---|---|---|"]
    for r in rows:
        lines.append("| %s | %s | %d | %s | %s | %s | %s | %s |" % (
            r["workload"], r["tool"], r["runs"], fmt(r["wall"], "%.3f"), fmt(r["cpu"], "%.3f"),
            fmt(r["rss"], "%.1f"), fmt(r["ratio"], "%.2f"), r["note"]))
    return "\n".join(lines)


def goals(rows, link_seconds):
    """The updater's goals, each a ratio measured in this run."""
    def row(letter, tool, rtt=None):
        return next((r for r in rows if r["workload"].startswith("(%s)" % letter) and r["tool"] == tool
                     and rtt in (None, r["rtt"])), None)

    lines = ["| goal | measured | target | met |", "|---|---|---|---|"]

    def add(goal, value, target, ok):
        if value == value:
            lines.append("| %s | %s | %s | %s |" % (goal, value_text(value), target, "yes" if ok(value) else "NO"))

    def value_text(value):
        return "%.2fx" % value if isinstance(value, float) else value

    for rtt in (50, 150):
        ours = row("e", "ours", rtt)
        if ours:
            add("small files at %d ms: ours / faster of curl --parallel, aria2c" % rtt, ours["ratio"], "≤ 1.00x",
                lambda v: v <= 1.0)
    ours = row("f", "ours", 50)
    if ours:
        peers = [r["wall"] for r in rows if r["workload"] == ours["workload"] and r["tool"] != "ours" and r["runs"]]
        add("2 MiB files at 50 ms: ours / fastest peer", ours["wall"] / min(peers), "≤ 1.00x", lambda v: v <= 1.0)
    ours = row("g", "ours")
    if ours:
        add("big file at 100 Mbit/s: ours / the link's own time (%.2f s)" % link_seconds,
            ours["wall"] / link_seconds, "≤ 1.05x", lambda v: v <= 1.05)
    ours = row("h", "ours")
    if ours and "moved" in ours:
        lines.append("| resumed big file: bytes the rerun moved | %.1f%% | ≤ 12%% | %s |" % (
            100 * ours["moved"], "yes" if ours["moved"] <= 0.12 else "NO"))
    ours_rows = [r for r in rows if r["tool"] == "ours" and r["runs"] and not r["workload"].startswith("(h)")]
    if ours_rows:
        worst = max(ours_rows, key=lambda r: r["rss"])
        lines.append("| peak RSS, largest over the WAN workloads | %.1f MiB (%s) | ≤ 24 MiB | %s |" % (
            worst["rss"], worst["workload"], "yes" if worst["rss"] <= 24 else "NO"))
        ratios = []
        for r in ours_rows:
            curls = [c["cpu"] for c in rows if c["workload"] == r["workload"] and c["tool"].startswith("curl")
                     and c["runs"]]
            if curls:
                ratios.append((r["cpu"] / min(curls), r["workload"]))
        if ratios:
            worst_cpu = max(ratios)
            lines.append("| CPU per byte: ours / the lower of the two curls, worst workload | %.2fx (%s) | ≤ 1.00x "
                         "| %s |" % (worst_cpu[0], worst_cpu[1], "yes" if worst_cpu[0] <= 1.0 else "NO"))
    return "\n".join(lines)


def chart(rows, path):
    """The table as grouped bars, one group per workload, wall time on a log scale."""
    if not shutil.which("gnuplot"):
        print("gnuplot is missing: no chart")
        return
    names = []
    for r in rows:
        if r["workload"] not in names:
            names.append(r["workload"])
    projected = sorted({"%s (%s)" % (re.sub(r"^\(\w\) ", "", r["workload"]), r["tool"]) for r in rows
                        if "projected" in r["note"]})
    footnote = ("Stopped at the cap, time projected from the share done: " + ", ".join(projected)) if projected else ""
    data = tempfile.NamedTemporaryFile("w", suffix=".dat", delete=False)
    with data:
        data.write("workload\t%s\n" % "\t".join('"%s"' % t for t in TOOLS))
        for name in names:
            values = []
            for tool in TOOLS:
                r = next((r for r in rows if r["workload"] == name and r["tool"] == tool), None)
                values.append("%.4f" % r["wall"] if r and r["wall"] == r["wall"] else "NaN")
            label = re.sub(r"^\(\w\) ", "", name).replace(", ", "\\n")
            data.write('"%s"\t%s\n' % (label, "\t".join(values)))
    script = """
set terminal pngcairo size 1400,640 font "DejaVu Sans,11"
set output '%s'
set title "Kestralon updater over a WAN link: wall time per tool (median, log scale; lower is better)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set logscale y
set ylabel "wall time, s"
set bmargin 6
set grid ytics
set key top left
set xtics font ",9"
set label 1 "%s" at screen 0.01, screen 0.02 font ",8"
plot for [i=2:%d] '%s' using i:xtic(1) title columnheader(i)
""" % (path, footnote.replace('"', "'"), len(TOOLS) + 1, data.name)
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    os.unlink(data.name)
    print("Chart: %s" % path)


def rows_from_markdown(path):
    """The rows of a table this benchmark wrote (--markdown, or the copy in docs/performance.md)."""
    rows = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            if len(cells) == 8 and re.match(r"\(\w\) ", cells[0]):
                number = lambda text: float(text) if text else float("nan")  # noqa: E731
                rows.append({"workload": cells[0], "tool": cells[1], "runs": int(cells[2]), "wall": number(cells[3]),
                             "cpu": number(cells[4]), "rss": number(cells[5]), "ratio": number(cells[6]),
                             "note": cells[7]})
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="small sizes and one run, to try the benchmark out")
    parser.add_argument("--only", default="efgh", help="WAN workloads to run, e.g. 'eg'")
    parser.add_argument("--rtt", default="0,50,150", help="round trips in ms for (e) and (f)")
    parser.add_argument("--cap", type=int, default=50,
                        help="seconds after which a run of (e) or (f) is stopped and its time projected")
    parser.add_argument("--updater-build", default=BUILD_DIR,
                        help="the build folder of the updater under test (its bench/bench_updater must be built "
                             "with UPDATE_URL=%s)" % URL)
    parser.add_argument("--chart", help="write the chart to this PNG")
    parser.add_argument("--markdown", help="write the tables to this file too")
    parser.add_argument("--replot", metavar="MARKDOWN",
                        help="only draw --chart from a table written before (--markdown, or docs/performance.md)")
    args = parser.parse_args()
    if args.replot:
        chart(rows_from_markdown(args.replot), args.chart or "wan-bench.png")
        return
    program = os.path.join(args.updater_build, "bench", "bench_updater")
    with open(program, "rb") as f:
        if URL.encode() not in f.read():
            sys.exit("%s was not built with UPDATE_URL=%s" % (program, URL))
    for tool in ("curl", "aria2c", "nginx", "ip"):
        if not shutil.which(tool):
            sys.exit("%s is missing (scripts/install-deps bench)" % tool)
    scale = 8 if args.quick else 1
    runs = 1 if args.quick else args.runs
    cap = 15 if args.quick else args.cap
    rtts = [int(v) for v in args.rtt.split(",") if v]
    big = 256 * MIB // scale
    link_rate = 100
    # The link's own time: the file's bytes in full-sized packets, headers
    # included, at the link's rate.
    link_seconds = big * WIRE_PER_PAYLOAD * 8 / (link_rate * 1e6)
    prefix = os.environ.get("WAN_NETNS_PREFIX", "kwan-%d" % os.getpid())

    # Ctrl-C and kill both come back through the finally clauses.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    rows = []
    started = time.monotonic()
    with Namespaces(prefix, max_seconds=3 * 3600) as net:
        if "e" in args.only:
            files = {"d%d/e%d/f%05d.dat" % (i % 10, i % 7, i): 4096 for i in range(2000 // scale)}
            for rtt in rtts:
                rows += bench(net, "(e) %d x 4 KiB, %d ms" % (len(files), rtt), files, rtt, runs, cap, program)
        if "f" in args.only:
            files = {"f/f%03d.bin" % i: 2 * MIB for i in range(50 // scale)}
            for rtt in rtts:
                rows += bench(net, "(f) %d x 2 MiB, %d ms" % (len(files), rtt), files, rtt, runs, cap, program)
        if "g" in args.only:
            # The bottleneck's queue holds one round trip of data, as a
            # well-sized router buffer does.
            rows += bench(net, "(g) %d MiB, %d Mbit/s, 50 ms" % (big // MIB, link_rate), {"big/game.pak": big}, 50,
                          runs, int(3 * link_seconds + 30), program, rate_mbit=link_rate,
                          queue_bytes=link_rate * 1000000 // 8 * 50 // 1000, link_seconds=link_seconds)
        if "h" in args.only:
            rows += bench(net, "(h) %d MiB cut at 90%%, resumed, 50 ms" % (big // MIB), {"big/game.pak": big}, 50,
                          runs, cap, program, resume=("big/game.pak", 0.9), timeout=120)
    elapsed = time.monotonic() - started
    text = table(rows) + "\n\nGoals for the updater, as ratios in this run:\n\n" + goals(rows, link_seconds)
    print("\nWAN set: %.1f minutes\n" % (elapsed / 60))
    print(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text + "\n")
    if args.chart:
        chart(rows, args.chart)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit("interrupted; the namespaces are removed")
