#!/usr/bin/env python3
"""The updater's run against curl (and wget when installed) on the same
repositories, served by nginx on loopback. Prints one table: median wall
time, CPU time (user + sys) and peak resident memory per tool, and the ratio
ours / curl measured in the same run.

Run through scripts/bench, which builds the programs and sets the paths."""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

BUILD_DIR = os.environ["UPDATER_BUILD_DIR"]
sys.path.insert(0, os.path.join(os.environ["UPDATER_SOURCE_DIR"], "tests"))
import harness  # noqa: E402  (reads UPDATE_URL from the environment)

MIB = 1024 * 1024


class Folder:
    """A repository written straight to disk, for files too big to hold in memory."""

    def __init__(self, files, version=1):
        self.root = tempfile.mkdtemp(prefix="bench-repo-", dir=os.environ.get("BENCH_TMP"))
        self.files = files  # entry -> size
        block = os.urandom(16 * MIB)
        for entry, size in files.items():
            path = os.path.join(self.root, "files", entry)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                left = size
                while left:
                    piece = min(left, len(block))
                    f.write(block[:piece])
                    left -= piece
        with open(os.path.join(self.root, harness.INDEX), "wb") as f:
            f.write(b"%d\r\n" % version)
        with open(os.path.join(self.root, harness.list_name(version)), "wb") as f:
            f.write(harness.crlf_list(*files))
        for folder, _, _ in os.walk(self.root):
            harness.make_readable(folder)

    def remote_names(self):
        return [harness.INDEX, harness.list_name(1)] + ["files\\" + e for e in self.files]

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


class LongList:
    """A repository whose one list names `count` entries (about 60 bytes
    each) and whose files are all missing: a run plans the whole update,
    then stops at the first file. What that costs is the price of a long
    list, before any transfer."""

    def __init__(self, count, version=1):
        self.root = tempfile.mkdtemp(prefix="bench-repo-", dir=os.environ.get("BENCH_TMP"))
        with open(os.path.join(self.root, harness.INDEX), "wb") as f:
            f.write(b"%d\r\n" % version)
        with open(os.path.join(self.root, harness.list_name(version)), "wb") as f:
            for i in range(count):
                f.write(b"data/region%03d/zone%03d/textures_and_models/file_%07d.pak\r\n"
                        % (i % 1000, (i // 1000) % 1000, i))
        harness.make_readable(self.root)
        self.size = os.path.getsize(os.path.join(self.root, harness.list_name(version)))

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def bench_long_list(count, runs):
    repo = LongList(count)
    name = "(l) %d-entry list (%d MB), first file missing" % (count, repo.size // 1000000)
    samples = []
    try:
        with harness.Nginx(repo):
            for _ in range(runs):
                game = game_folder(ours_program())
                samples.append(measured([game.program], may_fail=True))
                shutil.rmtree(game.root, ignore_errors=True)
    finally:
        repo.remove()
    row = median_row(name, "ours", samples)
    row["ratio"] = float("nan")
    return [row]


class Outputs:
    """What the tools wrote. With many files, it is removed only after the
    workload's last run, and the next workload waits a little: on this
    machine's file system (ext4 without a journal) every file made within
    about 30 s of the deletion of thousands of others pays for a scan over
    them, which would bill each tool for the files of the one before it."""

    MANY_FILES = 100
    SETTLE_SECONDS = 35
    deferred = None  # folders to remove once the workload is over; None: at once

    @classmethod
    def workload(cls, file_count):
        cls.deferred = [] if file_count >= cls.MANY_FILES else None

    @classmethod
    def dispose(cls, folder):
        if cls.deferred is None:
            shutil.rmtree(folder, ignore_errors=True)
        else:
            cls.deferred.append(folder)

    @classmethod
    def workload_over(cls):
        if cls.deferred is None:
            return
        for folder in cls.deferred:
            shutil.rmtree(folder, ignore_errors=True)
        cls.deferred = None

    @classmethod
    def settle(cls, file_count):
        """After the repository of a workload with many files is removed too."""
        if file_count >= cls.MANY_FILES:
            time.sleep(cls.SETTLE_SECONDS)


def measured(args, until=None, during=None, may_fail=False):
    """Runs a process to its end (or until `until()` holds, then stops it);
    returns wall seconds, CPU seconds and peak resident MiB. A process that
    fails is an error unless may_fail."""
    # The previous run's written data would otherwise be flushed to disk
    # during this one and bill it for the other tool's writes.
    os.sync()
    start = time.perf_counter()
    process = subprocess.Popen([os.path.join(BUILD_DIR, "bench", "measure"), *args], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    wall = None
    if until:
        while not until():
            if during:
                during(time.perf_counter() - start)
            if process.poll() is not None:
                raise RuntimeError("%s ended before finishing: %s" % (args[0], process.communicate()))
            time.sleep(0.002)
        wall = time.perf_counter() - start
        process.send_signal(signal.SIGTERM)
    out, err = process.communicate()
    if wall is None:
        wall = time.perf_counter() - start
        if process.returncode != 0 and not may_fail:
            raise RuntimeError("%s failed (%d): %s" % (args[0], process.returncode, err))
    cpu, peak_kib = out.split()
    return wall, float(cpu), int(peak_kib) / 1024


def game_folder(program):
    game = harness.GameFolder(program, settings=b"[VERSION]\r\nGame= 0\r\n")
    return game


def run_ours(program, env=None):
    game = game_folder(program)
    saved = dict(os.environ)
    os.environ.update(env or {})
    try:
        return measured([game.program])
    finally:
        os.environ.clear()
        os.environ.update(saved)
        Outputs.dispose(game.root)


def signed(repo):
    """Signs the repository with a new key, as an operator does; returns the
    public key the updater checks it with."""
    tool = os.path.join(BUILD_DIR, "update-repo")
    keys = tempfile.mkdtemp(prefix="bench-keys-")
    try:
        key = os.path.join(keys, "bench.pem")
        public = subprocess.run([tool, "keygen", "--out", key], capture_output=True, text=True,
                                check=True).stdout.split()[0]
        subprocess.run([tool, "sign", "--repo", repo.root, "--key", key, "--first-signing"], capture_output=True,
                       check=True)
    finally:
        shutil.rmtree(keys, ignore_errors=True)
    for folder, _, names in os.walk(repo.root):
        harness.make_readable(folder)
        for name in names:
            os.chmod(os.path.join(folder, name), 0o644)
    return public


def run_window(program, during=None):
    game = game_folder(program)
    settings = game.path("Config/Client.ini")

    def finished():
        with open(settings, "rb") as f:
            return b"Fin=1" in f.read()

    try:
        return measured([game.program], until=finished, during=during)
    finally:
        Outputs.dispose(game.root)


def run_curl(repo):
    out = tempfile.mkdtemp(prefix="bench-curl-", dir=os.environ.get("BENCH_TMP"))
    config = os.path.join(out, "urls.txt")
    with open(config, "w") as f:
        for i, remote in enumerate(repo.remote_names()):
            url = harness.UPDATE_URL + remote
            # curl's config files treat a backslash inside quotes as an escape.
            f.write('url = "%s"\noutput = "%s/%d"\n' % (url.replace("\\", "\\\\"), out, i))
    try:
        return measured(["curl", "--silent", "--show-error", "--fail", "--config", config])
    finally:
        Outputs.dispose(out)


def run_wget(repo):
    out = tempfile.mkdtemp(prefix="bench-wget-", dir=os.environ.get("BENCH_TMP"))
    urls = os.path.join(out, "urls.txt")
    with open(urls, "w") as f:
        for remote in repo.remote_names():
            f.write(harness.UPDATE_URL + remote + "\n")
    try:
        return measured(["wget", "--quiet", "--no-directories", "--directory-prefix", out, "--input-file", urls])
    finally:
        Outputs.dispose(out)


def median_row(name, tool, samples):
    walls, cpus, rss = zip(*samples)
    return {"workload": name, "tool": tool, "wall": statistics.median(walls), "cpu": statistics.median(cpus),
            "rss": statistics.median(rss), "runs": len(samples)}


def bench_workload(name, files, runs, window=False, sign=False):
    repo = Folder(files)
    rows = []
    Outputs.workload(len(files))
    try:
        with harness.Nginx(repo):
            tools = {"ours": lambda: run_ours(ours_program()), "curl": lambda: run_curl(repo)}
            if sign:
                # Every byte hashed as it streams, then checked against the signed digest.
                key = signed(repo)
                tools["ours, signed"] = lambda: run_ours(ours_program(), {"UPDATER_BENCH_PUBLIC_KEY": key})
            if window:
                tools["ours, window"] = lambda: run_window(harness.updater_program())
            if shutil.which("wget"):
                tools["wget"] = lambda: run_wget(repo)
            samples = {tool: [] for tool in tools}
            # The first transfer after the repository was written pays for the
            # page cache settling; no tool should be billed for it.
            run_curl(repo)
            for _ in range(runs):  # alternate the tools run after run
                for tool, run in tools.items():
                    samples[tool].append(run())
            for tool in tools:
                rows.append(median_row(name, tool, samples[tool]))
    finally:
        Outputs.workload_over()
        repo.remove()
        Outputs.settle(len(files))
    curl = next(r for r in rows if r["tool"] == "curl")
    for row in rows:
        row["ratio"] = row["wall"] / curl["wall"]
    return rows


def bench_stall(runs, pause):
    """A server that goes silent for `pause` seconds in the middle of a file:
    the CPU the updater burns meanwhile, and whether its window repaints."""
    entry = "paused.bin"
    repo = Folder({entry: 4 * MIB})
    rows = []
    repainted = []
    try:
        repo.files = {entry: open(os.path.join(repo.root, "files", entry), "rb").read()}
        with harness.FaultServer(repo, {"files\\" + entry: ("pause", pause)}):
            samples = [run_ours(ours_program()) for _ in range(runs)]
            rows.append(median_row("(d) %gs stall" % pause, "ours", samples))
            shots = []

            def disturb(elapsed):
                # Halfway through the stall, move the window: X drops its
                # contents, and only a program that handles events redraws it.
                if not shots and elapsed > pause / 2:
                    window = harness.main_window()
                    if window:
                        harness.xdotool("windowmove", window, 50, 50)
                        time.sleep(0.3)
                        shot = os.path.join(tempfile.mkdtemp(), "stall.png")
                        harness.screenshot(window, shot)
                        shots.append(shot)

            window_samples = [run_window(harness.updater_program(), during=disturb)]
            rows.append(median_row("(d) %gs stall" % pause, "ours, window", window_samples))
            for shot in shots:
                background = os.path.join(os.environ["UPDATER_SOURCE_DIR"], "src/lifecycle/artwork/background.png")
                out = subprocess.run(["compare", "-metric", "AE", shot, background, "null:"],
                                     capture_output=True, text=True).stderr
                repainted.append(int(float(out.split()[0])) < 280 * 83 // 5)
    finally:
        repo.remove()
    for row in rows:
        row["ratio"] = float("nan")
        row["cpu_share"] = row["cpu"] / row["wall"]
    return rows, repainted


def ours_program():
    return os.path.join(BUILD_DIR, "bench", "bench_updater")


def print_table(rows):
    print("| workload | tool | runs | wall s | CPU s | peak RSS MiB | wall / curl |")
    print("|---|---|---|---|---|---|---|")
    for r in rows:
        ratio = "" if r["ratio"] != r["ratio"] else "%.2f" % r["ratio"]
        extra = " (CPU %.2f%% of a core)" % (100 * r["cpu_share"]) if "cpu_share" in r else ""
        print("| %s | %s | %d | %.3f | %.3f%s | %.1f | %s |" % (r["workload"], r["tool"], r["runs"], r["wall"],
                                                               r["cpu"], extra, r["rss"], ratio))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="small sizes, for trying the benchmark out")
    parser.add_argument("--only", default="abcdl", help="workloads to run, e.g. 'ab'")
    args = parser.parse_args()
    harness.ensure_display()
    scale = 64 if args.quick else 1
    rows = []
    if "a" in args.only:
        rows += bench_workload("(a) 1 GiB file", {"big/game.pak": 1024 * MIB // scale}, args.runs, window=True,
                               sign=True)
        if not args.quick:
            rows += bench_workload("(a) 4 GiB file", {"big/game.pak": 4096 * MIB}, 2)
    if "b" in args.only:
        files = {"d%d/e%d/f%05d.dat" % (i % 10, i % 7, i): 4096 for i in range(5000 // scale)}
        rows += bench_workload("(b) 5000 x 4 KiB", files, args.runs)
    if "c" in args.only:
        rows += bench_workload("(c) 200 x 1 MiB", {"c/f%03d.bin" % i: MIB for i in range(200 // scale)}, args.runs)
    repainted = []
    if "d" in args.only:
        stall_rows, repainted = bench_stall(max(1, args.runs // 2), 10 if not args.quick else 2)
        rows += stall_rows
    if "l" in args.only:
        rows += bench_long_list(1000000 // scale, max(1, args.runs // 2))
    harness.stop_display()
    print_table(rows)
    if repainted:
        print("\nWindow redrawn after being moved during the stall: %s" % ("yes" if all(repainted) else "NO"))


if __name__ == "__main__":
    main()
