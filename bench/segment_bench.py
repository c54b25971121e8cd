#!/usr/bin/env python3
"""Segmented deltas on a big game archive (a benchmark, not a test).

A synthetic archive of --size bytes and its next version (bench/make_pak,
the same bytes for the same --seed: about 1 % changed by scattered 64 KiB
overwrites, inserted 512 KiB and removed 256 KiB blocks), then:

  ideal      zstd -19 of every new byte (overwrites and inserts): what a
             perfect delta moves; and `zstd -19 --long=31 --patch-from`
             when both files are under 2 GiB
  make       bench/delta_tool make (update-repo's code) at --level: delta
             bytes, time, peak memory
  apply      bench/delta_tool apply (the updater's code, every core), checked
             byte for byte, against `cp` of the old archive on the same disk,
             each --runs times, one after the other
  publish    update-repo publish --key of both versions (--level): time and
             peak memory of each
  update     the update run (bench/bench_updater) from the installed old
             version, over loopback from nginx: bytes fetched, time, peak
             private and resident memory
  peers      the same update by others, each on a fresh copy of the old
             archive, checked byte for byte: `rsync -cz --no-whole-file`
             from an rsync daemon on loopback (bytes: its --stats, both
             ways); zsync (zsyncmake of the new archive, the old copy its
             seed) and `casync extract --seed` (casync make's blob index and
             chunk store), both from nginx on loopback (bytes: nginx's
             answers, headers included); time until on disk and the peak
             memory of the client and its children. What they serve is made
             once under --work and kept (peers-pak-SEED-SIZE/), its cost printed

Peak memory is sampled from /proc every 10 ms, summed over the program and
its children (private: RssAnon; resident: VmRSS, the mapped files' pages
included). Files go under --work (several times --size of disk).

Run through scripts/bench --pak, which builds the programs (Release, in
build/bench-pak, compiled with http://127.0.0.1:18130/game/update/, where
nginx serves) and sets the paths; by hand:
  UPDATER_BUILD_DIR=build/bench-pak UPDATER_SOURCE_DIR=. UPDATE_URL=http://127.0.0.1:18130/game/update/ \\
      bench/segment_bench.py --work /scratch/segments --size 3221225472 --level 19"""

import argparse
import hashlib
import os
import re
import resource
import shutil
import subprocess
import sys
import threading
import time

BUILD_DIR = os.environ["UPDATER_BUILD_DIR"]
sys.path.insert(0, os.path.join(os.environ["UPDATER_SOURCE_DIR"], "tests"))
import harness  # noqa: E402  (reads UPDATE_URL from the environment)

MIB = 1024 * 1024
PAK = "data/game.pak"


def tool(name):
    return os.path.join(BUILD_DIR, "bench", name) if name != "update-repo" else os.path.join(BUILD_DIR, name)


class Measured:
    """Runs a program to its end, sampling its memory; raises when it fails."""

    def __init__(self, argv, cwd=None, env=None):
        started = time.monotonic()
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        process = subprocess.Popen(argv, cwd=cwd, env=dict(os.environ, **(env or {})), stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        self.private = self.resident = 0
        done = threading.Event()

        def sample():
            while not done.is_set():
                private, resident = tree_memory(process.pid)
                self.private = max(self.private, private)
                self.resident = max(self.resident, resident)
                done.wait(0.01)

        sampler = threading.Thread(target=sample)
        sampler.start()
        out, err = process.communicate()
        done.set()
        sampler.join()
        self.seconds = time.monotonic() - started
        # Its children's time too, once each has been waited for.
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        self.cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
        self.out, self.err = out, err
        if process.returncode != 0:
            raise RuntimeError("%s failed (%d): %s %s" % (argv[0], process.returncode, out[-500:], err[-500:]))

    def memory(self):
        return "private %.0f MiB, resident %.0f MiB" % (self.private / MIB, self.resident / MIB)


def tree_memory(pid):
    """Private (RssAnon) and resident (VmRSS) bytes of a process and all its
    descendants, summed: rsync and casync do their work in children."""
    private = resident = 0
    pending = [pid]
    while pending:
        current = pending.pop()
        try:
            with open("/proc/%d/status" % current) as f:
                fields = dict(line.split(":", 1) for line in f if ":" in line)
            private += int(fields["RssAnon"].split()[0]) * 1024
            resident += int(fields["VmRSS"].split()[0]) * 1024
            for task in os.listdir("/proc/%d/task" % current):
                with open("/proc/%d/task/%s/children" % (current, task)) as f:
                    pending.extend(int(child) for child in f.read().split())
        except (OSError, KeyError, ValueError):
            pass
    return private, resident


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(8 * MIB), b""):
            digest.update(block)
    return digest.hexdigest()


def size(path):
    return os.path.getsize(path)


def archives(work, seed, total):
    """The old and new archive and the new bytes, made once for a seed and size."""
    stem = os.path.join(work, "pak-%d-%d" % (seed, total))
    old, new, data = stem + ".old", stem + ".new", stem + ".newdata"
    if not all(os.path.exists(p) for p in (old, new, data)):
        subprocess.run([tool("make_pak"), "old", str(seed), str(total), old], check=True)
        subprocess.run([tool("make_pak"), "new", str(seed), old, new, data], check=True)
    return old, new, data


def ideal(old, new, data, work):
    squeezed = os.path.join(work, "newdata.zst")
    subprocess.run(["zstd", "-19", "-q", "-f", "-T2", data, "-o", squeezed], check=True)
    print("new bytes: %d, zstd -19: %d" % (size(data), size(squeezed)), flush=True)
    result = {"new data": size(data), "new data compressed": size(squeezed)}
    if max(size(old), size(new)) < 2 ** 31:
        patch = os.path.join(work, "ideal.zst")
        started = time.monotonic()
        subprocess.run(["zstd", "-19", "-q", "-f", "--long=31", "--patch-from=" + old, new, "-o", patch], check=True)
        print("zstd -19 --long=31 --patch-from: %d bytes in %.1f s" % (size(patch), time.monotonic() - started))
        result["patch-from"] = size(patch)
    return result


def make_and_apply(old, new, work, level, runs):
    delta = os.path.join(work, "game.delta")
    made = Measured([tool("delta_tool"), "make", old, new, delta, "--level", str(level)])
    delta_bytes, segments, framed, _ = made.out.split()
    print("make: %s bytes, %s segments (%s framed), %.1f s, %s" % (delta_bytes, segments, framed, made.seconds,
                                                                   made.memory()), flush=True)
    rebuilt, copied = os.path.join(work, "rebuilt"), os.path.join(work, "copied")
    want = sha256(new)
    for run in range(runs):
        # Both timed until their output is on disk.
        os.sync()
        started = time.monotonic()
        applied = Measured([tool("delta_tool"), "apply", old, delta, rebuilt])
        os.sync()
        apply_seconds = time.monotonic() - started
        started = time.monotonic()
        subprocess.run(["cp", old, copied], check=True)
        os.sync()
        cp_seconds = time.monotonic() - started
        ok = applied.out.split()[1] == want
        print("apply %d: %.1f s (%.1f s before the sync; %s), cp %.1f s: %.2fx%s" % (
            run + 1, apply_seconds, applied.seconds, applied.memory(), cp_seconds, apply_seconds / cp_seconds,
            "" if ok else " WRONG RESULT"), flush=True)
        os.remove(rebuilt)
        os.remove(copied)
    return int(delta_bytes)


class Served(harness.Nginx):
    """nginx with deploy/nginx.conf serving the repository folder `root`."""

    def __init__(self, root):
        super().__init__(Served.folder(root))

    @staticmethod
    def folder(root):
        class Root:
            pass
        repository = Root()
        repository.root = root
        return repository


class CountingNginx(harness.Nginx):
    """nginx serving the folder `root` under /game/update/, its log also
    counting the bytes of every answer (headers included)."""

    def __init__(self, root):
        super().__init__(Served.folder(root))
        with open(self.conf) as f:
            conf = f.read()
        if "$status';" not in conf:
            raise RuntimeError("the harness's log format changed shape")
        with open(self.conf, "w") as f:
            f.write(conf.replace("$status';", "$status $bytes_sent';"))

    def sent(self):
        """Bytes answered since the log was last emptied."""
        return sum(int(line.split()[-1]) for line in self._log())


class RsyncDaemon:
    """rsync --daemon on a free loopback port, its module "new" the folder `root`."""

    def __init__(self, root, work):
        self.port = harness.free_port()
        self.conf = os.path.join(work, "rsyncd.conf")
        with open(self.conf, "w") as f:
            f.write("use chroot = no\nuid = %d\ngid = %d\n[new]\npath = %s\nread only = yes\n" % (
                os.getuid(), os.getgid(), root))
        self.log = os.path.join(work, "rsyncd.log")

    def __enter__(self):
        self.process = subprocess.Popen(["rsync", "--daemon", "--no-detach", "--config", self.conf, "--address",
                                         "127.0.0.1", "--port", str(self.port), "--log-file", self.log])
        harness.wait_for_port(self.port, process=self.process)
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait()


def peer_servers(new, serve):
    """What zsync and casync serve for the new archive, made once: the .zsync
    control file and casync's blob index and chunk store."""
    target = os.path.join(serve, "new.pak")
    if os.path.exists(os.path.join(serve, "prepared")):
        return target
    shutil.rmtree(serve, ignore_errors=True)
    os.makedirs(serve)
    os.link(new, target)
    made = Measured(["zsyncmake", "-u", "new.pak", "-o", "new.pak.zsync", "new.pak"], cwd=serve)
    print("zsyncmake: %.1f s, %s; control file %d bytes" % (made.seconds, made.memory(),
                                                             size(os.path.join(serve, "new.pak.zsync"))), flush=True)
    made = Measured(["casync", "make", "--store=" + os.path.join(serve, "default.castr"),
                     os.path.join(serve, "new.caibx"), target], cwd=serve)
    chunks = sum(len(names) for _, _, names in os.walk(os.path.join(serve, "default.castr")))
    print("casync make: %.1f s, %s; %d chunks" % (made.seconds, made.memory(), chunks), flush=True)
    open(os.path.join(serve, "prepared"), "w").close()
    return target


def rsync_moved(output):
    """Bytes both ways from rsync's --stats."""
    counts = re.findall(r"Total bytes (?:sent|received): ([\d,]+)", output)
    if len(counts) != 2:
        raise RuntimeError("rsync printed no byte counts: " + output[-500:])
    return sum(int(count.replace(",", "")) for count in counts)


def peers(old, new, work):
    """rsync -cz, zsync and casync, each updating a copy of the old archive
    to the new one: bytes moved, time, peak memory of the client."""
    # Named after the archives: another seed or size gets its own.
    serve = os.path.join(work, "peers-" + os.path.splitext(os.path.basename(new))[0])
    peer_servers(new, serve)
    harness.make_tree_readable(serve)
    want = sha256(new)
    url = "http://127.0.0.1:%d%s" % (harness.PORT, harness.BASE_PATH)
    results = {}
    with CountingNginx(serve) as nginx, RsyncDaemon(serve, work) as rsyncd:
        for name in ("rsync -cz", "zsync", "casync"):
            client = os.path.join(work, "peer-client")
            shutil.rmtree(client, ignore_errors=True)
            os.makedirs(client)
            seed, out = os.path.join(client, "game.pak"), os.path.join(client, "new.pak")
            subprocess.run(["cp", old, seed], check=True)
            argv = {
                # --no-whole-file: on one machine rsync would otherwise copy whole files.
                "rsync -cz": ["rsync", "-cz", "--no-whole-file", "--stats",
                              "rsync://127.0.0.1:%d/new/new.pak" % rsyncd.port, seed],
                "zsync": ["zsync", "-q", "-i", seed, "-o", out, url + "new.pak.zsync"],
                "casync": ["casync", "extract", "--store=" + url + "default.castr", "--seed=" + seed,
                           url + "new.caibx", out],
            }[name]
            os.sync()
            nginx.forget()
            started = time.monotonic()
            ran = Measured(argv, cwd=client)
            os.sync()
            seconds = time.monotonic() - started
            moved = rsync_moved(ran.out) if name.startswith("rsync") else nginx.sent()
            result = seed if name.startswith("rsync") else out
            ok = sha256(result) == want
            print("%s: %d bytes moved, %.1f s (%.1f s before the sync, CPU %.1f s), %s%s" % (
                name, moved, seconds, ran.seconds, ran.cpu, ran.memory(), "" if ok else " WRONG RESULT"), flush=True)
            results[name] = moved
            shutil.rmtree(client)
    return results


def publish_and_update(old, new, work, level):
    repo, game = os.path.join(work, "repository"), os.path.join(work, "game")
    for folder in (repo, game):
        shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(repo)
    key = os.path.join(work, "release.pem")
    # A new key and repository each time: the record of what was signed goes too.
    for stale in (key, os.path.join(work, "update-repo.state")):
        if os.path.exists(stale):
            os.remove(stale)
    public = subprocess.run([tool("update-repo"), "keygen", "--out", key], check=True, capture_output=True,
                            text=True).stdout.split()[0]
    for version, content in ((1, old), (2, new)):
        build = os.path.join(work, "build-%d" % version)
        shutil.rmtree(build, ignore_errors=True)
        os.makedirs(os.path.join(build, "data"))
        os.link(content, os.path.join(build, PAK))
        first = ["--first-signing"] if version == 1 else []
        published = Measured([tool("update-repo"), "publish", "--repo", repo, "--version", str(version), "--from",
                              build, "--key", key, "--level", str(level)] + first)
        print("publish %d: %.1f s, %s" % (version, published.seconds, published.memory()), flush=True)
        for line in (published.out + published.err).splitlines():
            if "delta" in line:
                print("  " + line)
        shutil.rmtree(build)
    os.makedirs(os.path.join(game, "Config"))
    with open(os.path.join(game, "Config", "Client.ini"), "wb") as f:
        f.write(b"[VERSION]\r\nGame= 1\r\n")
    with open(os.path.join(game, "kestralon.exe"), "wb") as f:
        f.write(b"#!/bin/sh\n")
    os.chmod(os.path.join(game, "kestralon.exe"), 0o755)
    shutil.copy2(tool("bench_updater"), game)
    os.makedirs(os.path.join(game, "data"))
    shutil.copyfile(old, os.path.join(game, PAK))
    for folder, _, names in os.walk(repo):
        harness.make_readable(folder)
        for name in names:
            os.chmod(os.path.join(folder, name), 0o644)
    os.sync()
    with Served(repo) as nginx:
        run = Measured([os.path.join(game, "bench_updater")], cwd=game, env={"UPDATER_BENCH_PUBLIC_KEY": public})
        fetched = [r for r in nginx.requests()]
    moved = sum(size(os.path.join(repo, r[len(harness.BASE_PATH):].replace("files\\", "files/", 1))) for r in fetched)
    print("update: %.1f s (CPU %.1f s), %s; %d bytes fetched in %d requests: %s" % (
        run.seconds, run.cpu, run.memory(), moved, len(fetched), ", ".join(r.split("/")[-1][:40] for r in fetched)))
    print("  the archive %s" % ("is the new version" if sha256(os.path.join(game, PAK)) == sha256(new) else
                                "DIFFERS from the new version"), flush=True)
    return moved


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--work", required=True)
    parser.add_argument("--size", type=int, default=3 * 1024 * MIB)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--level", type=int, default=19)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--skip", default="", help="phases left out: ideal,make,publish,peers")
    args = parser.parse_args()
    args.work = os.path.abspath(args.work)
    os.makedirs(args.work, exist_ok=True)
    skip = set(args.skip.split(","))
    old, new, data = archives(args.work, args.seed, args.size)
    print("old %d bytes, new %d bytes" % (size(old), size(new)), flush=True)
    floor = ideal(old, new, data, args.work) if "ideal" not in skip else {}
    if "make" not in skip:
        delta = make_and_apply(old, new, args.work, args.level, args.runs)
        if floor:
            print("delta / new bytes compressed: %.3f" % (delta / floor["new data compressed"]))
            if "patch-from" in floor:
                print("delta / zstd --patch-from: %.3f" % (delta / floor["patch-from"]))
    if "publish" not in skip:
        moved = publish_and_update(old, new, args.work, args.level)
        if floor:
            print("moved / new bytes compressed: %.3f" % (moved / floor["new data compressed"]))
    if "peers" not in skip:
        for name, moved in peers(old, new, args.work).items():
            if floor:
                print("%s moved / new bytes compressed: %.3f" % (name, moved / floor["new data compressed"]))


if __name__ == "__main__":
    main()
