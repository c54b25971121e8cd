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

Peak memory is sampled from /proc every 10 ms (private: RssAnon; resident:
VmRSS, the mapped files' pages included) and from the kernel's high-water
mark. Files go under --work (several times --size of disk).

  UPDATER_BUILD_DIR=build/bench-seg UPDATER_SOURCE_DIR=. UPDATE_URL=http://127.0.0.1:18130/game/update/ \\
      bench/segment_bench.py --work /scratch/segments --size 3221225472 --level 19
(the build's UPDATE_URL is the one nginx serves: a Release build of
bench_updater, update-repo, delta_tool and make_pak)."""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import threading
import time

BUILD_DIR = os.environ["UPDATER_BUILD_DIR"]
sys.path.insert(0, os.path.join(os.environ["UPDATER_SOURCE_DIR"], "tests", "e2e"))
import harness  # noqa: E402  (reads UPDATE_URL from the environment)

MIB = 1024 * 1024
PAK = "data/game.pak"


def tool(name):
    return os.path.join(BUILD_DIR, "bench", name) if name != "update-repo" else os.path.join(BUILD_DIR, name)


class Measured:
    """Runs a program to its end, sampling its memory; raises when it fails."""

    def __init__(self, argv, cwd=None, env=None):
        started = time.monotonic()
        process = subprocess.Popen(argv, cwd=cwd, env=dict(os.environ, **(env or {})), stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        self.private = self.resident = 0
        done = threading.Event()

        def sample():
            while not done.is_set():
                try:
                    with open("/proc/%d/status" % process.pid) as f:
                        fields = dict(line.split(":", 1) for line in f if ":" in line)
                    self.private = max(self.private, int(fields["RssAnon"].split()[0]) * 1024)
                    self.resident = max(self.resident, int(fields["VmRSS"].split()[0]) * 1024)
                except (OSError, KeyError, ValueError):
                    pass
                done.wait(0.01)

        sampler = threading.Thread(target=sample)
        sampler.start()
        out, err = process.communicate()
        done.set()
        sampler.join()
        self.seconds = time.monotonic() - started
        self.out, self.err = out, err
        if process.returncode != 0:
            raise RuntimeError("%s failed (%d): %s %s" % (argv[0], process.returncode, out[-500:], err[-500:]))

    def memory(self):
        return "private %.0f MiB, resident %.0f MiB" % (self.private / MIB, self.resident / MIB)


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
        class Root:
            pass
        repository = Root()
        repository.root = root
        super().__init__(repository)


def publish_and_update(old, new, work, level):
    repo, game = os.path.join(work, "repository"), os.path.join(work, "game")
    for folder in (repo, game):
        shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(repo)
    key = os.path.join(work, "release.pem")
    if os.path.exists(key):
        os.remove(key)
    public = subprocess.run([tool("update-repo"), "keygen", "--out", key], check=True, capture_output=True,
                            text=True).stdout.split()[0]
    for version, content in ((1, old), (2, new)):
        build = os.path.join(work, "build-%d" % version)
        shutil.rmtree(build, ignore_errors=True)
        os.makedirs(os.path.join(build, "data"))
        os.link(content, os.path.join(build, PAK))
        published = Measured([tool("update-repo"), "publish", "--repo", repo, "--version", str(version), "--from",
                              build, "--key", key, "--level", str(level)])
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
    print("update: %.1f s, %s; %d bytes fetched in %d requests: %s" % (
        run.seconds, run.memory(), moved, len(fetched), ", ".join(r.split("/")[-1][:40] for r in fetched)))
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
    parser.add_argument("--skip", default="", help="phases left out: ideal,make,publish")
    args = parser.parse_args()
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


if __name__ == "__main__":
    main()
