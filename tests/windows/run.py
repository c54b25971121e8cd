#!/usr/bin/env python3
"""Builds the Windows updater with mingw-w64 and runs its tests under Wine.

    tests/windows/run.py [--build-dir DIR] [--port PORT] [--skip-build] [--only SUITE ...]

Suites, in order:
  storage   storage_win_test.exe: the files, mapping and settings backends on
            real files
  http      http_win_test.exe: the HTTP seam's contract (tests/http_contract.cpp)
            against the WinHTTP client and the harness's fault server (plain
            and TLS)
  profile   the settings cases through Wine's kernel32 (profile_probe.exe),
            compared with our Linux reader and writer (profile_compare)
  crypto    crypto_win_test.exe: SHA-256 and ECDSA P-256 through Wine's CNG
            (bcrypt.dll), against digests and signatures made here with the
            openssl tool, signatures with a short r or s among them; the zstd
            codec as linked into the Windows build, on compressed objects and
            deltas made here with the zstd tool, and damaged ones
  e2e       updater.exe in game folders against a real nginx on loopback,
            driven through its real window on Xvfb with xdotool; what a
            window shows is compared, pixel for pixel, with window_probe.exe
            drawing the expected texts with the same window code; the https
            certificates through headless_updater.exe, nginx on the next port;
            a repository signed with update-repo (a Linux program: the one
            of the Linux test build in build/test, or built here) installed
            by headless_updater.exe with the public key, and attacks on it

Every suite ends with a line "N passed, N failed"; so does the whole run.
Needs: cmake, x86_64-w64-mingw32-g++-posix, a host C++ compiler, wine (64-bit)
with libgnutls30 (Wine's CNG), Xvfb, xdotool, nginx, ImageMagick, openssl, zstd,
and what scripts/build-zstd-mingw needs to build zstd for Windows (once per
build folder, in <build dir>/zstd-prefix). Standard library only; the
servers, game folders, Wine prefix and display come from the end-to-end
harness shared with the Linux suites (tests/harness).
"""

import argparse
import glob
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import traceback
import types

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
# The end-to-end harness, tests/harness.
sys.path.insert(0, os.path.dirname(HERE))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from harness import INDEX, FaultServer, GameFolder, Nginx, free_port, run_headless, snapshot, tls, waiting  # noqa: E402
from harness.http_contract import arguments, contract_servers  # noqa: E402
from harness.virtual_display import DisplayError, VirtualDisplay  # noqa: E402
from harness.waiting import wait_until  # noqa: E402
from harness.wine import Wine  # noqa: E402

TITLE = "Mise à jours automatique"
# Window coordinates (96-dpi pixels) of the drawn "Fermer" button.
FERMER = (244, 73)
# The test build: a short time-out and retry pause keep the failure cases
# quick; the same values as the Linux test build.
TRANSFER_TIMEOUT_SECONDS = 3
RETRY_PAUSE_MS = 200


def log(*parts):
    print(*parts, flush=True)


def run(command, **kwargs):
    log("$ " + " ".join(command))
    subprocess.run(command, check=True, **kwargs)


def write(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(content if isinstance(content, bytes) else content.encode("cp1252"))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def scaled(pixels, dpi):
    """96-dpi pixels at another DPI, rounded as Windows' MulDiv does."""
    return (pixels * dpi + 48) // 96


# How long a wait for something that takes a few seconds on an idle machine
# may take before it counts as never: Wine on a loaded 2-core CI machine,
# with other suites beside, is many times slower.
WAIT_SECONDS = 60
# Each look runs xdotool or asks nginx for its log: ten a second will do.
waiting.patience(WAIT_SECONDS, interval=0.1)


# ---------------------------------------------------------------- build ---

# update-repo signs repositories on the operators' side: a Linux program.
# scripts/test builds the Linux test build before these suites; without one,
# build() makes our own.
LINUX_TEST_BUILD = os.path.join(ROOT, "build", "test")


def build(build_dir, port, cmake_source):
    url = "http://127.0.0.1:%d/game/update/" % port
    # zstd for Windows, built once and kept in the build folder.
    zstd_prefix = os.path.join(os.path.abspath(build_dir), "zstd-prefix")
    run([os.path.join(ROOT, "scripts", "build-zstd-mingw"), zstd_prefix])
    run(["cmake", "-S", cmake_source, "-B", build_dir, "-DZSTD_MINGW_PREFIX=" + zstd_prefix,
         "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(ROOT, "cmake", "mingw-w64.cmake"),
         "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DUPDATER_WERROR=ON", "-DUPDATER_TESTS=ON",
         "-DUPDATE_URL=" + url,
         "-DTRANSFER_TIMEOUT_SECONDS=%d" % TRANSFER_TIMEOUT_SECONDS,
         # Wine's first request of a process may take a while: the time for
         # an answer is the transfer time-out here.
         "-DANSWER_TIMEOUT_SECONDS=%d" % TRANSFER_TIMEOUT_SECONDS,
         "-DRETRY_PAUSE_MS=%d" % RETRY_PAUSE_MS])
    run(["cmake", "--build", build_dir, "-j", str(os.cpu_count() or 2)])
    # The Linux half of the settings comparison: our reader and writer, as
    # the Linux build compiles them.
    native = os.path.join(build_dir, "native")
    os.makedirs(native, exist_ok=True)
    compiler = os.environ.get("CXX", "c++")
    sources = ["ini_text.cpp", "profile_posix.cpp", "paths.cpp", "files_posix.cpp", "cp1252.cpp"]
    run([compiler, "-std=c++20", "-O1", "-Wall", "-Wextra", "-Wshadow", "-Werror",
         "-I", os.path.join(ROOT, "src"), "-I", HERE, os.path.join(HERE, "profile_compare.cpp")]
        + [os.path.join(ROOT, "src", "storage", s) for s in sources]
        + ["-o", os.path.join(native, "profile_compare")])
    # The operators' signing tool, when the Linux test build has none.
    if not os.path.exists(os.path.join(LINUX_TEST_BUILD, "update-repo")):
        operator = os.path.join(native, "operator")
        run(["cmake", "-S", cmake_source, "-B", operator, "-DUPDATER_WERROR=ON", "-DUPDATER_TESTS=OFF"])
        run(["cmake", "--build", operator, "-j", str(os.cpu_count() or 2), "--target", "update-repo"])


def find_update_repo(build_dir):
    for folder in (LINUX_TEST_BUILD, os.path.join(build_dir, "native", "operator")):
        path = os.path.join(folder, "update-repo")
        if os.path.exists(path):
            return os.path.abspath(path)
    raise SystemExit("update-repo is neither in %s nor in %s: run without --skip-build"
                     % (LINUX_TEST_BUILD, os.path.join(build_dir, "native", "operator")))


def find_program(build_dir, name):
    found = sorted(glob.glob(os.path.join(build_dir, "**", name), recursive=True))
    found = [f for f in found if "CMakeFiles" not in f]
    if not found:
        raise SystemExit("%s not found under %s: is tests/windows added to the build "
                         "(add_subdirectory(windows) in tests/CMakeLists.txt)?" % (name, build_dir))
    # Absolute: the programs also run from other folders than ours.
    return os.path.abspath(found[0])


# ------------------------------------------------------ suites on Wine ---

def summary_of(output):
    found = re.findall(r"^(\d+) passed, (\d+) failed", output, re.M)
    return (int(found[-1][0]), int(found[-1][1])) if found else (0, 1)


def suite_storage(wine, programs):
    code, output = wine.run(programs["storage_win_test.exe"])
    log(output.rstrip())
    passed, failed = summary_of(output)
    return passed, failed + (1 if code != 0 and failed == 0 else 0)


def suite_http(wine, programs):
    with contract_servers() as servers:
        code, output = wine.run(programs["http_win_test.exe"],
                                *arguments(servers, ca_file=wine.windows_path(servers.ca_file)))
    log(output.rstrip())
    passed, failed = summary_of(output)
    return passed, failed + (1 if code != 0 and failed == 0 else 0)


def suite_profile(wine, programs):
    work = tempfile.mkdtemp(prefix="profile-cases-")
    try:
        probe_output = os.path.join(work, "probe.txt")
        code, output = wine.run(programs["profile_probe.exe"], wine.windows_path(os.path.join(work, "wine")),
                                wine.windows_path(probe_output))
        if code != 0:
            log(output)
            return 0, 1
        result = subprocess.run([programs["profile_compare"], work, probe_output],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        log(result.stdout.rstrip())
        return summary_of(result.stdout)
    finally:
        shutil.rmtree(work, ignore_errors=True)


# --------------------------------------------------------------- crypto ---

def der_signature(der):
    """(r, s) of a DER ECDSA signature: SEQUENCE { INTEGER r, INTEGER s }."""
    assert der[0] == 0x30 and der[1] == len(der) - 2 and der[2] == 0x02, der.hex()
    r_length = der[3]
    r = int.from_bytes(der[4:4 + r_length], "big")
    assert der[4 + r_length] == 0x02, der.hex()
    s = int.from_bytes(der[6 + r_length:6 + r_length + der[5 + r_length]], "big")
    return r, s


def openssl(*arguments):
    return subprocess.run(["openssl"] + list(arguments), check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE).stdout


def crypto_vectors(work, wine):
    """The vectors file for crypto_win_test.exe, made with the openssl tool."""
    lines = []
    # Sizes around SHA-256's 64-byte blocks and its 55/56-byte padding edge;
    # small, Wine's SHA-256 is slow.
    for size in (0, 1, 55, 56, 63, 64, 65, 1000, 300 * 1024 + 7):
        data = os.urandom(size)
        path = os.path.join(work, "data-%d.bin" % size)
        write(path, data)
        lines.append("sha256 %s %s" % (hashlib.sha256(data).hexdigest(), wine.windows_path(path)))

    keys = []
    for name in ("first", "second"):
        pem = os.path.join(work, name + ".pem")
        openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", pem)
        # The SubjectPublicKeyInfo ends with the point 04 || X || Y.
        point = openssl("ec", "-in", pem, "-pubout", "-outform", "DER")[-65:]
        assert point[0] == 4
        keys.append((pem, point[1:].hex()))
    (pem, key), (_, other_key) = keys

    # DER writes r and s in as few bytes as they need: about one signature in
    # 128 has an r or an s below 2^248, which r || s must left-pad.
    message_file = os.path.join(work, "message.bin")
    kinds = {"plain": 0, "short-r": 0, "short-s": 0}
    attempts = 0
    while min(kinds.values()) < 2 and attempts < 5000:
        attempts += 1
        # Never empty: the vectors file's fields are separated by blanks.
        message = os.urandom(1 + attempts % 200)
        write(message_file, message)
        r, s = der_signature(openssl("dgst", "-sha256", "-sign", pem, message_file))
        kind = "short-r" if r < 2 ** 248 else "short-s" if s < 2 ** 248 else "plain"
        if kinds[kind] >= 2:
            continue
        kinds[kind] += 1
        signature = "%064x%064x" % (r, s)
        flipped = "%064x%064x" % (r, s ^ 1)
        label = "%s-%d" % (kind, kinds[kind])
        lines.append("verify %s %s %s 1 %s" % (key, message.hex(), signature, label))
        lines.append("verify %s %s %s 0 %s-other-message" % (key, (message + b"!").hex(), signature, label))
        lines.append("verify %s %s %s 0 %s-flipped" % (key, message.hex(), flipped, label))
        lines.append("verify %s %s %s 0 %s-other-key" % (other_key, message.hex(), signature, label))
    log("signature vectors: %s after %d signatures" % (kinds, attempts))
    if min(kinds.values()) < 2:
        raise AssertionError("no short r or s in %d signatures" % attempts)
    lines += zstd_vectors(work, wine)
    vectors = os.path.join(work, "vectors.txt")
    write(vectors, "\n".join(lines) + "\n")
    return vectors


def zstd_vectors(work, wine):
    """Compressed objects and deltas made by the zstd tool, as the operators'
    side makes them, and damaged ones."""
    def path(name):
        return os.path.join(work, name)

    def zstd(*arguments):
        subprocess.run(["zstd", "-q", "-f"] + list(arguments), check=True)

    # Lines of text with a stretch of noise: both kinds of content. Small:
    # Wine's SHA-256 is slow.
    old = b"".join(b"Kestralon %d\r\n" % (n * 7919 % 100003) for n in range(60000)) + os.urandom(200 * 1024)
    new = old[len(old) // 2:] + b"nouveau" + old[:len(old) // 3] + os.urandom(1000)
    write(path("old.pak"), old)
    write(path("new.pak"), new)
    write(path("other.pak"), os.urandom(len(old)))
    zstd("-3", "--long=27", path("new.pak"), "-o", path("new.pak.zst"))
    zstd("-12", "--patch-from=" + path("old.pak"), path("new.pak"), "-o", path("new.pak.delta"))
    empty = path("empty.pak")
    write(empty, b"")
    zstd(empty, "-o", empty + ".zst")
    delta = read(path("new.pak.delta"))
    log("zstd vectors: %d bytes, object %d, delta %d" % (len(new), len(read(path("new.pak.zst"))), len(delta)))
    write(path("cut.delta"), delta[:-5])
    flipped = bytearray(delta)
    flipped[len(flipped) // 2] ^= 0x10
    write(path("flipped.delta"), bytes(flipped))
    subprocess.run(["zstd", "-q", "-f", "--no-check", path("new.pak"), "-o", path("unchecked.zst")], check=True)

    def digest(data):
        return "%s %d" % (hashlib.sha256(data).hexdigest(), len(data))

    w = wine.windows_path
    return [
        "zstd-object %s %s" % (digest(new), w(path("new.pak.zst"))),
        "zstd-delta %s %s %s" % (digest(new), w(path("old.pak")), w(path("new.pak.delta"))),
        "zstd-object %s %s" % (digest(b""), w(empty + ".zst")),
        "zstd-refused another-old-file %s %s" % (w(path("other.pak")), w(path("new.pak.delta"))),
        "zstd-refused cut %s %s" % (w(path("old.pak")), w(path("cut.delta"))),
        "zstd-refused flipped %s %s" % (w(path("old.pak")), w(path("flipped.delta"))),
        "zstd-refused no-checksum - %s" % w(path("unchecked.zst")),
        "zstd-refused delta-as-object - %s" % w(path("new.pak.delta")),
    ]


def suite_crypto(wine, programs):
    work = tempfile.mkdtemp(prefix="crypto-vectors-")
    try:
        vectors = crypto_vectors(work, wine)
        code, output = wine.run(programs["crypto_win_test.exe"], wine.windows_path(vectors))
        log(output.rstrip())
        passed, failed = summary_of(output)
        return passed, failed + (1 if code != 0 and failed == 0 else 0)
    finally:
        shutil.rmtree(work, ignore_errors=True)


# ------------------------------------------------------------------ e2e ---

class Updater:
    """updater.exe running in a game folder (or another program with the
    update window), and its windows on the display."""

    def __init__(self, wine, folder, program=None, arguments=()):
        self.wine = wine
        self.folder = folder
        self.process = wine.start(program or os.path.join(folder, "updater.exe"), *arguments, cwd=folder)

    def xdotool(self, *arguments):
        self.wine.display.check()
        result = subprocess.run(["xdotool"] + list(arguments), env=self.wine.env, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True, timeout=WAIT_SECONDS)
        return result.stdout.split()

    def windows(self):
        """Visible windows with the program's title, as (id, width, height)."""
        found = []
        for window in self.xdotool("search", "--onlyvisible", "--name", "^%s$" % TITLE):
            geometry = " ".join(self.xdotool("getwindowgeometry", window))
            size = re.search(r"Geometry: (\d+)x(\d+)", geometry)
            if size:
                found.append((window, int(size.group(1)), int(size.group(2))))
        return found

    def main_window(self, dpi=96):
        size = (scaled(280, dpi), scaled(83, dpi))
        return [w for w in self.windows() if (w[1], w[2]) == size]

    def message_box(self):
        return [w for w in self.windows() if (w[1], w[2]) != (280, 83)]

    def click_fermer(self, dpi=96, window=None):
        window = window or wait_until(lambda: self.main_window(dpi), what="the update window")[0][0]
        x, y = (scaled(FERMER[0], dpi), scaled(FERMER[1], dpi))
        self.xdotool("mousemove", "--window", window, str(x), str(y))
        time.sleep(0.2)
        self.xdotool("click", "--window", window, "1")

    def press(self, window, key):
        self.xdotool("windowfocus", window)
        self.xdotool("key", "--window", window, key)

    def wait_exit(self, seconds=WAIT_SECONDS):
        try:
            self.process.wait(seconds)
        except subprocess.TimeoutExpired:
            raise AssertionError("updater.exe still running after %ss" % seconds)
        return self.process.returncode

    def running(self):
        return self.process.poll() is None

    def kill(self):
        if self.running():
            self.process.kill()
            self.process.wait()


class E2E:
    """One game folder per test; the checks of a test stop at its first failure."""

    def __init__(self, wine, nginx, programs):
        self.wine = wine
        self.nginx = nginx
        self.programs = programs
        self.folder = None
        self.game = None
        self.updaters = []
        self.scratch_folder = None
        self.cleanups = []

    # -- a game folder
    def setup(self, settings=b"[VERSION]\r\nGame= 3\r\n", game=True, files=None, program="updater.exe"):
        self.folder = GameFolder(self.programs[program], settings=settings,
                                 game=game and self.programs["standin_game.exe"], files=files, prefix="jeu-")
        self.game = self.folder.root

    def path(self, relative):
        return self.folder.path(relative)

    def start(self):
        updater = Updater(self.wine, self.game)
        self.updaters.append(updater)
        return updater

    def settings(self):
        return read(self.path("Config/Client.ini"))

    def setting(self, section, key):
        """The value as the profile functions would read it (enough for these files)."""
        current = None
        for line in self.settings().decode("cp1252").split("\r\n"):
            if line.startswith("["):
                current = line.strip("[]")
            elif current == section and "=" in line and line.split("=", 1)[0].strip() == key:
                return line.split("=", 1)[1].strip()
        return None

    def finished(self):
        return os.path.exists(self.path("Config/Client.ini")) and self.setting("UPDATER", "Fin") == "1"

    def leftovers(self):
        """Staged copies, backups, list files and working files that a finished
        run must not leave behind."""
        working = ("updater.lock", "updater.journal", "updater.journal.new", "updater.journal.bad", "updater.staging",
                   "updater.staging.bad")
        found = []
        for folder, _, files in os.walk(self.game):
            found += [os.path.join(folder, f) for f in files
                      if ".~upd-" in f or ".~old-" in f or f.endswith(".deploy") or f in working]
        return found

    def staged(self, entry):
        """The staged copies of a list entry."""
        return glob.glob(glob.escape(self.path(entry)) + ".~upd-*")

    def launched(self):
        path = self.path("launched.txt")
        if not os.path.exists(path):
            return None
        text = read(path).decode("utf-8")
        return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)

    def teardown(self):
        for updater in self.updaters:
            updater.kill()
        self.updaters = []
        for cleanup in self.cleanups:
            cleanup()
        self.cleanups = []
        # Stand-in games may still be writing their marker.
        time.sleep(0.2)
        if self.folder:
            self.folder.remove()
        if self.scratch_folder:
            shutil.rmtree(self.scratch_folder, ignore_errors=True)

    def scratch(self):
        """A folder of the test's own outside the game folder (screenshots)."""
        if not self.scratch_folder:
            self.scratch_folder = tempfile.mkdtemp(prefix="shots-")
        return self.scratch_folder


def expect(condition, message):
    if not condition:
        raise AssertionError(message)


def expect_equal(actual, expected, what):
    if actual != expected:
        shown = lambda v: repr(v if len(repr(v)) < 200 else repr(v)[:200] + "...")
        raise AssertionError("%s: expected %s, got %s" % (what, shown(expected), shown(actual)))


def expect_no_leftovers(t):
    """Nothing of the run's own stays once it is over. The lock goes as the
    run ends, a moment after its last write: that moment is waited for."""
    try:
        wait_until(lambda: not t.leftovers(), what="the run's working files to go")
    except AssertionError:
        raise AssertionError("working files left: %r" % t.leftovers())


def game_version_written(t, version, settings=None):
    # Windows stores " 6" verbatim; Wine drops the leading blank (a known
    # Wine difference, docs/ini-behaviour.md rule 12). Either way it reads back
    # as the number.
    settings = t.settings() if settings is None else settings
    line = [l for l in settings.split(b"\r\n") if l.lower().startswith(b"game=")]
    expect(line in ([b"Game= %d" % version], [b"Game=%d" % version]), "VERSION/Game line: %r" % line)


def test_update_then_fermer_starts_game(t):
    big = os.urandom(3 * 1024 * 1024 + 17)
    town = os.urandom(5000)
    accented = os.urandom(2048)
    t.nginx.publish(
        index=b"3\r\n6\r\n4\r\n",
        lists={6: b"data/maps/town.map\r\nreadme.txt\r\nDonn\xe9es/carte.bin\r\n", 4: b"readme.txt\r\nbig.bin"},
        files={"data/maps/town.map": town, "readme.txt": b"new readme\r\n", "big.bin": big,
               "Données/carte.bin": accented})
    t.setup(files={"readme.txt": b"the old readme, longer than the new one\r\n"})
    updater = t.start()
    wait_until(t.finished, what="Fin=1 in Client.ini")
    expect_equal(read(t.path("data/maps/town.map")), town, "data/maps/town.map")
    expect_equal(read(t.path("readme.txt")), b"new readme\r\n", "readme.txt")
    expect(read(t.path("big.bin")) == big, "big.bin differs")
    # The list is ANSI: "Donn\xe9es" is the folder "Données".
    expect(read(t.path("Données/carte.bin")) == accented, "Données/carte.bin differs")
    game_version_written(t, 6)
    expect_no_leftovers(t)
    requests = t.nginx.entries()
    paths = [r[1].split()[1] for r in requests]
    # The index first; the lists together, then the files together (the
    # build's PARALLEL_TRANSFERS is 8), so in any order, each once.
    expect_equal(paths[0], "/game/update/" + INDEX, "the first request")
    expect_equal(sorted(paths[1:3]), ["/game/update/qoro_update_4.deploy", "/game/update/qoro_update_6.deploy"],
                 "requests of the lists")
    expect_equal(sorted(paths[3:]),
                 sorted(["/game/update/files\\x5Cdata/maps/town.map", "/game/update/files\\x5Creadme.txt",
                         "/game/update/files\\x5CDonn%C3%A9es/carte.bin", "/game/update/files\\x5Cbig.bin"]),
                 "requests of the files")
    # Keep-alive: never more connections than transfers in flight, the
    # index's connection reused.
    expect(len({r[0] for r in requests}) <= 4, "connections used: %d" % len({r[0] for r in requests}))
    expect(updater.running(), "the updater waits for the player")
    expect(t.launched() is None, "the game started before the click")

    updater.click_fermer()
    expect_equal(updater.wait_exit(), 0, "exit code")
    launched = wait_until(t.launched, what="the stand-in game's marker")
    expect_equal(launched.get("cwd", "").rstrip("\\").lower(), t.wine.windows_path(t.game).lower(), "game folder")
    expect_equal(launched.get("show"), "2", "show state (minimised with focus)")
    expect_equal(launched.get("usesShow"), "1", "STARTF_USESHOWWINDOW")
    expect(t.finished(), "Fin=1 after the click")


def test_missing_game_message_box(t):
    t.nginx.publish(index=b"9\r\n", lists={9: b"a.txt\r\n"}, files={"a.txt": b"a"})
    settings = b"[VERSION]\r\nGame= 3\r\n[UPDATER]\r\nFin= 0\r\n"
    t.setup(settings=settings, game=False)
    before = os.stat(t.path("Config/Client.ini")).st_mtime_ns
    updater = t.start()
    box = wait_until(updater.message_box, what="the message box")[0][0]
    expect(updater.main_window() == [], "the update window is shown with the message")
    expect(updater.running(), "the updater waits for the message box")
    updater.press(box, "Return")
    expect_equal(updater.wait_exit(), 0, "exit code")
    expect_equal(t.settings(), settings, "Client.ini")
    expect_equal(os.stat(t.path("Config/Client.ini")).st_mtime_ns, before, "Client.ini modification time")
    expect_equal(t.nginx.entries(), [], "requests")
    expect_equal(sorted(os.listdir(t.game)), ["Config", "updater.exe"], "game folder")


def test_not_found_keeps_installed_file(t):
    t.nginx.publish(index=b"2\r\n", lists={2: b"fresh.dat\r\nmissing.dat\r\n"}, files={"fresh.dat": b"fresh"})
    settings = b"[VERSION]\r\nGame= 1\r\n"
    t.setup(settings=settings, files={"missing.dat": b"installed copy\r\n"})
    updater = t.start()
    wait_until(lambda: any(r[2] == 404 for r in t.nginx.entries()), what="the 404")
    wait_until(updater.main_window, what="the update window")
    wait_until(lambda: t.leftovers() == [], what="the temporary and list files to go")
    time.sleep(1)  # long enough for a retry (200 ms pause), which must not come
    expect_equal(read(t.path("missing.dat")), b"installed copy\r\n", "installed missing.dat")
    # All or nothing: the file that did arrive is not installed either.
    expect(not os.path.exists(t.path("fresh.dat")), "fresh.dat installed without the rest of the update")
    expect_equal(t.settings(), settings, "Client.ini (no new version, no finish marker)")
    expect_no_leftovers(t)
    # A 404 is final.
    expect_equal(len([r for r in t.nginx.entries() if r[2] == 404]), 1, "requests for the missing file")
    expect(updater.running(), "the window stays open with the reason")
    # The system's close: no marker, no game.
    window = updater.main_window()[0][0]
    updater.press(window, "alt+F4")
    expect_equal(updater.wait_exit(), 0, "exit code")
    expect_equal(t.settings(), settings, "Client.ini after the system close")
    expect(t.launched() is None, "the game was started")


# The three text fields in 96-dpi window pixels: left, top, right, bottom.
FIELDS = {"Label4": (216, 8, 265, 25), "L2": (8, 29, 273, 46), "L3": (8, 45, 273, 62)}


def differing_pixels(shot, picture, region=None, masked=()):
    """Pixels that differ between a screenshot and the picture, in region
    (default everywhere) with the masked rectangles left out."""
    def prepared(image, name):
        out = os.path.join(os.path.dirname(shot), name)
        command = ["convert", image]
        for left, top, right, bottom in masked:
            command += ["-fill", "black", "-draw", "rectangle %d,%d %d,%d" % (left, top, right - 1, bottom - 1)]
        if region:
            left, top, right, bottom = region
            command += ["-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top), "+repage"]
        subprocess.run(command + [out], check=True)
        return out
    result = subprocess.run(["compare", "-metric", "AE", prepared(shot, "a.png"), prepared(picture, "b.png"),
                             "null:"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    return int(float(result.stderr.split()[0]))


def check_window_picture(t, updater):
    """The window shows background.png 1:1 with the texts drawn over it."""
    if not shutil.which("import") or not shutil.which("compare"):
        log("    (ImageMagick missing: window picture not checked)")
        return
    window = wait_until(updater.main_window, what="the update window")[0][0]
    shot = os.path.join(t.game, "window.png")
    picture = os.path.join(ROOT, "src", "lifecycle", "artwork", "background.png")
    shown = {}

    def drawn():
        # The window may be mapped before Wine has painted it: look again
        # until the final texts are there.
        subprocess.run(["import", "-window", window, shot], env=t.wine.env, check=True)
        shown["outside"] = differing_pixels(shot, picture, masked=FIELDS.values())
        shown["L2"] = differing_pixels(shot, picture, region=FIELDS["L2"])
        shown["Label4"] = differing_pixels(shot, picture, region=FIELDS["Label4"])
        shown["L3"] = differing_pixels(shot, picture, region=(8, 47, 273, 62))
        return shown["outside"] == 0 and shown["L2"] > 100 and shown["Label4"] > 30 and shown["L3"] == 0

    try:
        wait_until(drawn, what="the window to show the final texts over background.png")
    except AssertionError:
        pass  # the checks below name what differs in the last screenshot
    expect_equal(shown["outside"], 0, "pixels differing from background.png outside the text fields")
    # Up to date: "Tu as la dernière version!", an empty L3 and "100%".
    expect(shown["L2"] > 100, "no text in L2")
    expect(shown["Label4"] > 30, "no text in Label4")
    expect_equal(shown["L3"], 0, "pixels of an empty L3")
    os.remove(shot)


def screenshot(t, window, name):
    """The window's client area as a PNG file of the test's own."""
    shot = os.path.join(t.scratch(), "%s.png" % name)
    subprocess.run(["import", "-window", window, shot], env=t.wine.env, check=True)
    return shot


def probe_shot(t, l2, l3, label4):
    """The update window as it looks with these texts, drawn by window_probe.exe
    with the updater's own window code."""
    texts = os.path.join(t.scratch(), "texts.txt")
    with open(texts, "wb") as out:
        out.write("\n".join([l2, l3, label4]).encode("utf-8"))
    probe = Updater(t.wine, t.scratch(), t.programs["window_probe.exe"], [t.wine.windows_path(texts)])
    t.updaters.append(probe)
    window = wait_until(probe.main_window, what="the probe's window")[0][0]
    time.sleep(0.5)
    shot = screenshot(t, window, "probe")
    probe.press(window, "alt+F4")
    expect_equal(probe.wait_exit(), 0, "exit code of window_probe.exe")
    return shot


def expect_shows(t, shot, l2, l3, label4):
    """The window in shot shows exactly these texts."""
    expected = probe_shot(t, l2, l3, label4)
    expect_equal(differing_pixels(shot, expected), 0, "pixels differing from the window with %r, %r, %r"
                 % (l2[:80], l3[:80], label4))


def ink(shot, region):
    """The pixels of region (window coordinates) that differ from background.png,
    as (x, y) relative to the region."""
    def pixels(image):
        left, top, right, bottom = region
        dump = subprocess.run(["convert", image, "-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top),
                               "+repage", "-depth", "8", "txt:-"], stdout=subprocess.PIPE, text=True,
                              check=True).stdout
        found = {}
        for line in dump.splitlines()[1:]:
            where, _, colour = line.partition(":")
            x, y = where.split(",")
            found[(int(x), int(y))] = colour.split()[0]
        return found
    picture = pixels(os.path.join(ROOT, "src", "lifecycle", "artwork", "background.png"))
    return {xy for xy, colour in pixels(shot).items() if picture.get(xy) != colour}


def expect_cut_with_ellipsis(shot, field, slack=16):
    """The field's text reaches the field's end (up to slack pixels) and ends
    in "…": three dots on the baseline, where a cut letter would rise above it."""
    left, top, right, bottom = FIELDS[field]
    inked = ink(shot, FIELDS[field])
    expect(inked, "no text in %s" % field)
    last = max(x for x, _ in inked)
    expect(last >= right - left - slack, "%s: the text stops %d pixels before its field's end"
           % (field, right - left - last))
    middle = (min(y for _, y in inked) + max(y for _, y in inked)) / 2
    tail = {(x, y) for x, y in inked if x > last - 10}
    rows = {y for _, y in tail}
    expect(max(rows) - min(rows) <= 2 and min(rows) > middle, "%s does not end in dots on its baseline: %s"
           % (field, sorted(tail)))
    columns = sorted({x for x, _ in tail})
    dots = 1 + sum(1 for a, b in zip(columns, columns[1:]) if b > a + 1)
    expect_equal(dots, 3, "dots at the end of %s" % field)


def test_up_to_date(t):
    t.nginx.publish(index=b"5\r\n7\r\n", lists={}, files={})
    t.setup(settings=b"[VERSION]\r\nGame= 7\r\n")
    updater = t.start()
    wait_until(t.finished, what="Fin=1")
    # Windows leaves the untouched line as it was; Wine rewrites the whole
    # file from its parsed copy and drops the blank (docs/ini-behaviour.md, 16).
    expect(t.settings() in (b"[VERSION]\r\nGame= 7\r\n[UPDATER]\r\nFin=1\r\n",
                            b"[VERSION]\r\nGame=7\r\n[UPDATER]\r\nFin=1\r\n"), "Client.ini: %r" % t.settings())
    expect_equal([r[1].split()[1] for r in t.nginx.entries()], ["/game/update/" + INDEX], "requests")
    check_window_picture(t, updater)
    # Escape does not close the window.
    updater.press(wait_until(updater.main_window, what="the update window")[0][0], "Escape")
    time.sleep(1)
    expect(updater.running() and updater.main_window(), "Escape closed the window")
    updater.click_fermer()
    expect_equal(updater.wait_exit(), 0, "exit code")
    wait_until(t.launched, what="the stand-in game's marker")


def test_missing_settings_file_created(t):
    t.nginx.publish(index=b"1\r\n", lists={1: b""}, files={})
    t.setup(settings=None)
    updater = t.start()
    wait_until(t.finished, what="Fin=1")
    expect_equal(t.setting("UPDATER", "Fin"), "1", "UPDATER/Fin")
    expect_equal(t.setting("VERSION", "Game"), "1", "VERSION/Game")
    updater.click_fermer()
    expect_equal(updater.wait_exit(), 0, "exit code")


def test_updater_replaces_itself(t):
    original = read(t.programs["updater.exe"])
    # Bytes after a PE image are ignored by the loader: a runnable new build.
    new_build = original + b"\r\nnext build\r\n"
    t.nginx.publish(index=b"2\r\n", lists={2: b"updater.exe\r\n"}, files={"updater.exe": new_build})
    t.setup(settings=b"[VERSION]\r\nGame= 1\r\n")
    updater = t.start()
    wait_until(t.finished, what="Fin=1")
    expect(read(t.path("updater.exe")) == new_build, "updater.exe is not the new build")
    # The commit moved the running copy to its backup name, and Windows
    # keeps it from being removed while it runs.
    backups = glob.glob(t.path("updater.exe.~old-*"))
    expect_equal(len(backups), 1, "backups of the running updater")
    expect(read(backups[0]) == original, "the running copy was not moved aside")
    game_version_written(t, 2)
    updater.click_fermer()
    expect_equal(updater.wait_exit(), 0, "exit code")

    # The next start is the new build; it removes the old copy.
    t.nginx.publish(index=b"2\r\n", lists={}, files={})
    again = t.start()
    wait_until(again.main_window, what="the new build's window")
    expect(not os.path.exists(backups[0]), "the old copy is still there")
    again.click_fermer()
    expect_equal(again.wait_exit(), 0, "exit code of the new build")
    expect_no_leftovers(t)


def test_file_held_by_game_stays_intact(t):
    t.nginx.publish(index=b"2\r\n", lists={2: b"data.pak\r\n"}, files={"data.pak": b"new data"})
    settings = b"[VERSION]\r\nGame= 1\r\n"
    t.setup(settings=settings, files={"data.pak": b"installed data"})
    holder = t.wine.start(t.path("kestralon.exe"), "--hold", t.wine.windows_path(t.path("data.pak")), "60")
    try:
        wait_until(lambda: os.path.exists(t.path("data.pak.held")), what="the game to hold data.pak")
        updater = t.start()
        wait_until(lambda: any("data.pak" in r[1] for r in t.nginx.entries()), what="the transfer of data.pak")
        wait_until(lambda: not t.staged("data.pak"), what="the staged copy to go")
        expect_equal(read(t.path("data.pak")), b"installed data", "data.pak")
        expect_equal(t.settings(), settings, "Client.ini")
        expect(updater.running(), "the window stays open with the reason")
        updater.press(updater.main_window()[0][0], "alt+F4")
        expect_equal(updater.wait_exit(), 0, "exit code")
    finally:
        write(t.path("data.pak.release"), b"")
        holder.wait(30)


def test_fermer_during_update_warns(t):
    # 16 KiB/s: the click lands while the file is on its way.
    big = os.urandom(160 * 1024)
    t.nginx.publish(index=b"2\r\n", lists={2: b"slow/big.bin\r\n"}, files={"slow/big.bin": big})
    settings = b"[VERSION]\r\nGame= 1\r\n"
    t.setup(settings=settings)
    updater = t.start()
    wait_until(lambda: t.staged("slow/big.bin"), what="the slow transfer to start")
    updater.click_fermer()
    box = wait_until(updater.message_box, what="the incomplete-update warning")[0][0]
    expect(not t.finished(), "Fin=1 before the warning was dismissed")
    updater.press(box, "Return")
    expect_equal(updater.wait_exit(), 0, "exit code")
    expect_equal(t.setting("UPDATER", "Fin"), "1", "UPDATER/Fin")
    expect_equal(t.setting("VERSION", "Game"), "1", "VERSION/Game")
    expect(not os.path.exists(t.path("slow/big.bin")), "a partial big.bin was put in place")
    time.sleep(1)
    expect(t.launched() is None, "the game was started")
    # The part that arrived stays for the next run, recorded as such.
    staged = t.staged("slow/big.bin")
    expect_equal(len(staged), 1, "staged copies kept")
    kept = len(read(staged[0]))
    expect(0 < kept < len(big), "kept %d bytes of %d" % (kept, len(big)))
    expect(os.path.exists(t.path("updater.staging")), "updater.staging")

    # The next run asks for the rest only (a 206 from nginx, If-Range on its ETag).
    again = t.start()
    wait_until(lambda: t.setting("VERSION", "Game") == "2", what="the resumed update")
    expect(read(t.path("slow/big.bin")) == big, "big.bin differs after the resume")
    transfers = [r for r in t.nginx.entries() if "big.bin" in r[1]]
    expect_equal([r[2] for r in transfers], [200, 206], "answers for big.bin")
    again.click_fermer()
    expect_equal(again.wait_exit(), 0, "exit code of the second run")
    expect_no_leftovers(t)


def test_window_scales_with_dpi(t):
    """At 144 dpi the client area is 420 x 125 and the click area scales with it."""
    t.nginx.publish(index=b"2\r\n", lists={}, files={})
    t.setup(settings=b"[VERSION]\r\nGame= 2\r\n")
    t.wine.set_dpi(144)
    try:
        updater = t.start()
        wait_until(t.finished, what="Fin=1")
        wait_until(lambda: updater.main_window(144), what="a 420 x 125 window")
        updater.click_fermer(144)
        expect_equal(updater.wait_exit(), 0, "exit code")
        wait_until(t.launched, what="the stand-in game's marker")
    finally:
        for updater in t.updaters:
            updater.kill()
        t.wine.set_dpi(96)


def test_second_updater_in_same_folder(t):
    """Two updaters started in one game folder: the second shows why it does
    nothing, the first completes."""
    # 16 KiB/s: some ten seconds, well beyond the second updater's start.
    big = os.urandom(160 * 1024)
    t.nginx.publish(index=b"2\r\n", lists={2: b"slow/big.bin\r\nsmall.txt\r\n"},
                    files={"slow/big.bin": big, "small.txt": b"small"})
    t.setup(settings=b"[VERSION]\r\nGame= 1\r\n")
    first = t.start()
    first_window = wait_until(first.main_window, what="the first updater's window")[0][0]
    wait_until(lambda: t.staged("slow/big.bin"), what="the first updater's transfer")
    expect(os.path.exists(t.path("updater.lock")), "no updater.lock while the first updater works")
    second = t.start()
    second_window = wait_until(lambda: [w for w in second.main_window() if w[0] != first_window],
                               what="the second updater's window")[0][0]
    wait_until(t.finished, what="the first updater to finish")
    expect(read(t.path("slow/big.bin")) == big, "slow/big.bin differs")
    expect_equal(read(t.path("small.txt")), b"small", "small.txt")
    game_version_written(t, 2)
    # The second asked the server for nothing.
    expect_equal(len([r for r in t.nginx.entries() if INDEX in r[1]]), 1, "requests for the index")
    expect(second.running(), "the second updater stays with its reason")
    first.click_fermer(window=first_window)
    expect_equal(first.wait_exit(), 0, "exit code of the first updater")
    wait_until(t.launched, what="the stand-in game's marker")
    time.sleep(0.5)
    shot = screenshot(t, second_window, "second")
    second.press(second_window, "alt+F4")
    expect_equal(second.wait_exit(), 0, "exit code of the second updater")
    expect_shows(t, shot, "Échec de la mise à jour.", "Une autre mise à jour est déjà en cours dans ce dossier.",
                 "0%")
    # The lock went with the process that held it.
    expect_no_leftovers(t)


def make_read_only(t, relative):
    """Gives a file Windows' read-only attribute, which Wine keeps as the
    permission bits. Root writes through those: then the file is made
    immutable as well, or where that is not allowed, held open without
    sharing by the stand-in game. Returns what makes it writable again."""
    path = t.path(relative)
    os.chmod(path, 0o444)
    undo = [lambda: os.chmod(path, 0o644)]
    if os.geteuid() == 0:
        if subprocess.run(["chattr", "+i", path], stderr=subprocess.DEVNULL).returncode == 0:
            undo.insert(0, lambda: subprocess.run(["chattr", "-i", path], check=True))
        else:
            log("    (no immutable flag here: %s is held open instead)" % relative)
            holder = t.wine.start(t.path("kestralon.exe"), "--hold", t.wine.windows_path(path), "120")
            wait_until(lambda: os.path.exists(path + ".held"), what="the stand-in game to hold " + relative)

            def release():
                write(path + ".release", b"")
                holder.wait(30)
                for extra in (".held", ".release"):
                    os.remove(path + extra)
            undo.insert(0, release)

    def writable_again():
        while undo:
            undo.pop(0)()
    t.cleanups.append(writable_again)
    return writable_again


def test_read_only_settings_shows_failure(t):
    """A settings file that cannot be written: the window says so instead of
    reporting success, and the next start records the version."""
    t.nginx.publish(index=b"2\r\n", lists={2: b"data.bin\r\n"}, files={"data.bin": b"new data"})
    settings = b"[VERSION]\r\nGame= 1\r\n"
    t.setup(settings=settings, files={"data.bin": b"old data"})
    writable_again = make_read_only(t, "Config/Client.ini")
    updater = t.start()
    window = wait_until(updater.main_window, what="the update window")[0][0]
    # The files are in place; the journal stays for the version to be recorded.
    wait_until(lambda: read(t.path("data.bin")) == b"new data", what="data.bin to be installed")
    wait_until(lambda: not t.staged("data.bin") and os.path.exists(t.path("updater.journal")),
               what="the journal kept for the next start")
    time.sleep(1)
    expect_equal(t.settings(), settings, "Client.ini")
    shot = screenshot(t, window, "failure")
    expect(updater.running(), "the window stays open with the reason")
    updater.press(window, "alt+F4")
    expect_equal(updater.wait_exit(), 0, "exit code")
    expect_shows(t, shot, "Échec de la mise à jour.", "Impossible d'enregistrer la version 2.", "100%")
    expect_equal(t.settings(), settings, "Client.ini after the system close")

    writable_again()
    again = t.start()
    wait_until(t.finished, what="Fin=1 once the file can be written")
    game_version_written(t, 2)
    expect_equal(read(t.path("data.bin")), b"new data", "data.bin")
    expect_equal(len([r for r in t.nginx.entries() if "data.bin" in r[1]]), 1, "transfers of data.bin")
    expect_no_leftovers(t)
    again.click_fermer()
    expect_equal(again.wait_exit(), 0, "exit code of the second run")


def test_interrupted_commit_finished_at_next_start(t):
    """A run stopped in the middle of putting files in place (a journal, one
    file moved, two still staged): the next start finishes the job first."""
    t.nginx.publish(index=b"4\r\n", lists={}, files={})
    t.setup(settings=b"[VERSION]\r\nGame= 3\r\n", files={
        "a.dat": b"new a",
        "a.dat.~old-0000aaaa": b"old a",
        "sub/b.dat": b"old b",
        "sub/b.dat.~upd-0000bbbb": b"new b",
        "c.dat.~upd-0000cccc": b"new c",
    })
    journal = (b"kestralon-journal 2\nversion 4\n"
               b"move\ta.dat.~upd-0000aaaa\ta.dat\ta.dat.~old-0000aaaa\n"
               b"move\tsub/b.dat.~upd-0000bbbb\tsub/b.dat\tsub/b.dat.~old-0000bbbb\n"
               b"move\tc.dat.~upd-0000cccc\tc.dat\tc.dat.~old-0000cccc\n")
    write(t.path("updater.journal"), journal + b"sum " + hashlib.sha256(journal).hexdigest().encode() + b"\n")
    updater = t.start()
    wait_until(t.finished, what="Fin=1")
    game_version_written(t, 4)
    expect_equal(read(t.path("a.dat")), b"new a", "a.dat")
    expect_equal(read(t.path("sub/b.dat")), b"new b", "sub/b.dat")
    expect_equal(read(t.path("c.dat")), b"new c", "c.dat")
    expect_no_leftovers(t)
    # Version 4 is now installed: only the index was asked for.
    expect_equal([r[1].split()[1] for r in t.nginx.entries()], ["/game/update/" + INDEX], "requests")
    window = wait_until(updater.main_window, what="the update window")[0][0]
    time.sleep(0.5)
    shot = screenshot(t, window, "finished")
    updater.click_fermer(window=window)
    expect_equal(updater.wait_exit(), 0, "exit code")
    expect_shows(t, shot, "Tu as la dernière version!", "", "100%")


def test_planted_journal_and_other_spellings_of_working_files(t):
    """Windows takes "UPDATER.JOURNAL" and "updater.journal." for the journal
    itself: a list naming them stops the run and changes nothing. A journal
    with a good sum that names game files as its staged and backup names is
    set aside as .bad, untouched, and the run updates as usual."""
    url = "http://127.0.0.1:%d/game/update/" % t.nginx.port
    for alias in ("UPDATER.JOURNAL", "updater.journal.", "Config\\Updater.Serial "):
        t.nginx.publish(index=b"6\r\n", lists={6: alias.encode() + b"\r\n"}, files={})
        result, before, after = headless_update(t, {}, url)
        expect_equal((result["L2"], result["L3"], result["UpdateDone"]),
                     (FAILED, "Chemin refusé: %s." % alias, "0"), alias)
        expect_equal(after, before, "game folder after " + alias)
    journal = b"kestralon-journal 2\nversion 6\nmove\tkestralon.exe\tfirst.dat\tConfig/Client.ini\n"
    journal += b"sum " + hashlib.sha256(journal).hexdigest().encode() + b"\n"
    t.nginx.publish(index=b"6\r\n", lists={6: b"first.dat\r\n"}, files={"first.dat": b"first"})
    result, before, after = headless_update(t, {"updater.journal": journal, "first.dat": b"installed"}, url)
    expect_equal(result["UpdateDone"], "1", "UpdateDone after a planted journal")
    expect_equal(after.get("kestralon.exe"), before["kestralon.exe"], "kestralon.exe")
    expect_equal(after.get("updater.journal.bad"), journal, "the journal set aside")
    expect_equal(after.get("first.dat"), b"first", "first.dat")
    expect(re.search(rb"Game= ?6", after.get(os.path.join("Config", "Client.ini"), b"")), "version 6 recorded")


def test_long_reason_cut_to_its_field(t):
    """A failure naming a long file: the reason ends in "…" at the field's edge."""
    entry = "donnees/" + "tres_long_nom_de_fichier_" * 5 + ".dat"
    t.nginx.publish(index=b"2\r\n", lists={2: entry.encode() + b"\r\n"}, files={})
    t.setup(settings=b"[VERSION]\r\nGame= 1\r\n")
    updater = t.start()
    wait_until(lambda: any(r[2] == 404 for r in t.nginx.entries()), what="the 404")
    window = wait_until(updater.main_window, what="the update window")[0][0]
    time.sleep(1)
    shot = screenshot(t, window, "reason")
    updater.press(window, "alt+F4")
    expect_equal(updater.wait_exit(), 0, "exit code")
    # Wine measures "e" and "o" a pixel wider than it draws them: with many
    # of them the cut comes some 20 pixels early there.
    expect_cut_with_ellipsis(shot, "L3", slack=32)
    # Beside a failure, the share of the update's files that arrived: none.
    expect_shows(t, shot, "Échec de la mise à jour.", "Le serveur a répondu 404 pour files\\%s." % entry, "0%")


def test_window_cuts_long_texts(t):
    """Texts wider than their field end in "…" at its edge and stay inside it;
    500 KB of text costs nothing noticeable."""
    t.setup()
    started = time.monotonic()
    # Letters that Wine draws as wide as it measures them (not "e" or "o"),
    # so that the cut is expected at the field's end; "à€" puts a character
    # across any cut made by bytes.
    shot_texts = ("Téléchargement de " + "W" * 500000 + "...", "à€" * 100000 + "\U0001F600" * 1000, "100%")
    shot = None
    texts = os.path.join(t.scratch(), "texts.txt")
    with open(texts, "wb") as out:
        out.write("\n".join(shot_texts).encode("utf-8"))
    probe = Updater(t.wine, t.scratch(), t.programs["window_probe.exe"], [t.wine.windows_path(texts)])
    t.updaters.append(probe)
    window = wait_until(probe.main_window, what="the probe's window")[0][0]
    time.sleep(0.5)
    shot = screenshot(t, window, "long")
    log("    window with 500 KB of text shown after %.1fs" % (time.monotonic() - started))
    picture = os.path.join(ROOT, "src", "lifecycle", "artwork", "background.png")
    expect_equal(differing_pixels(shot, picture, masked=FIELDS.values()), 0,
                 "pixels differing from background.png outside the text fields")
    expect_cut_with_ellipsis(shot, "L2")
    expect_cut_with_ellipsis(shot, "L3")
    # Still answering: the system's close ends it at once.
    probe.press(window, "alt+F4")
    expect_equal(probe.wait_exit(10), 0, "exit code of window_probe.exe")


FAILED = "Échec de la mise à jour."


def headless_update(t, files, url, env=None, arguments=(), version=3, linked=None):
    """headless_updater.exe in a new game folder at version, holding files,
    fetching from url: (what its window was told, the folder before, the
    folder after); linked: that folder moved elsewhere behind a link (Wine's reparse point, a junction's kin)."""
    t.setup(settings=b"[VERSION]\r\nGame= %d\r\n" % version, files=files, program="headless_updater.exe")
    if linked:
        elsewhere = tempfile.mkdtemp(dir=t.scratch())
        os.rename(t.path(linked), elsewhere)
        os.symlink(elsewhere, t.path(linked))
    before = snapshot(t.game)
    result = run_headless(t.folder, env=dict(UPDATER_TEST_URLS=url, **(env or {})), arguments=arguments,
                          wine=t.wine)
    after = snapshot(t.game)
    if linked:
        after.update((os.path.join(linked, name), content) for name, content in snapshot(elsewhere).items())
    t.folder.remove()
    return result, before, after


def test_bandwidth_cap_holds_for_all_transfers(t):
    """[UPDATER] DebitMax=200 (Ko/s) with four files at once: the run takes at
    least as long as the bytes need at the cap, less 5 % (a slow machine only
    makes it longer), and the player's key stays as written."""
    files = {"pak%d.bin" % k: os.urandom(700 * 1024) for k in range(4)}
    t.nginx.publish(index=b"4\r\n", lists={4: b"".join(e.encode() + b"\r\n" for e in files)}, files=files)
    settings = b"[VERSION]\r\nGame= 3\r\n[UPDATER]\r\nDebitMax=200\r\n"
    t.setup(settings=settings, program="headless_updater.exe")
    url = "http://127.0.0.1:%d/game/update/" % t.nginx.port
    started = time.monotonic()
    result = run_headless(t.folder, env={"UPDATER_TEST_URLS": url, "UPDATER_TEST_PARALLEL": "4"}, wine=t.wine)
    elapsed = time.monotonic() - started
    expect_equal(result["UpdateDone"], "1", "the update done: %r" % result)
    for entry, content in files.items():
        expect_equal(read(t.path(entry)), content, entry)
    moved = sum(len(content) for content in files.values())
    expect(moved / elapsed <= 200 * 1024 * 1.05, "%.1f s for %d bytes: faster than the cap" % (elapsed, moved))
    for section, key, value in (("VERSION", "Game", "4"), ("UPDATER", "DebitMax", "200"), ("UPDATER", "Fin", "1")):
        expect_equal(t.setting(section, key), value, "[%s] %s" % (section, key))
    t.folder.remove()


def test_https_certificates(t):
    """Over https, only a certificate the system store vouches for passes:
    the test authority is refused until it is among the machine's trusted
    roots; then the good certificate updates the game, and one for another
    name, an expired one and a self-signed one stop the run with the reason
    and change nothing."""
    authority = tls.CertificateAuthority()
    port = t.nginx.port + 1
    url = "https://127.0.0.1:%d/game/update/" % port
    files = {"data/%d.bin" % i: os.urandom(300_000 + i) for i in range(4)}
    listed = b"".join(e.encode() + b"\r\n" for e in files)
    refused = (FAILED, "Certificat du serveur refusé.", "0")
    cases = [(tls.GOOD, refused)] + [(tls.GOOD, None)] + [(name, refused) for name in tls.REFUSED]
    try:
        for number, (certificate, expected) in enumerate(cases):
            if number == 1:
                code, output = t.wine.run(t.programs["trust_ca.exe"], t.wine.windows_path(authority.ca_file))
                expect_equal(code, 0, "trust_ca.exe exit code (%s)" % output.strip())
            with Nginx(port=port, certificate=authority.server(certificate)) as nginx:
                nginx.publish(index=b"6\r\n", lists={6: listed}, files=files)
                result, before, after = headless_update(t, {"data/0.bin": b"installed copy"}, url)
                requests = nginx.entries()
            what = "%s certificate%s" % (certificate, " before its authority is trusted" if number == 0 else "")
            if expected:
                expect_equal((result["L2"], result["L3"], result["UpdateDone"]), expected, what)
                expect_equal(after, before, "game folder after the " + what)
                expect_equal(requests, [], "requests with the " + what)
                continue
            expect_equal(result["UpdateDone"], "1", "%s: %r" % (what, result))
            expect({e: after.get(os.path.join(*e.split("/"))) for e in files} == files,
                   "files installed with the " + what + " differ")
            expect_equal(sorted(r[1].split()[1] for r in requests),
                         sorted(["/game/update/" + INDEX, "/game/update/qoro_update_6.deploy"]
                                + ["/game/update/files\\x5C" + e for e in files]), "requests")
            log("    %s: %s over %d connection(s)" % (what, sorted({r[1].split()[-1] for r in requests}),
                                                      len({r[0] for r in requests})))
    finally:
        authority.remove()


KEEP = "data/keep.dat"


def update_repo(t, *arguments):
    done = subprocess.run([t.programs["update-repo"]] + list(arguments), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)
    expect(done.returncode == 0, "update-repo %s: %s" % (" ".join(arguments), done.stderr))
    return done.stdout


def keygen(t, name):
    """A new private key in the test's scratch folder: (its file, the public key)."""
    key = os.path.join(t.scratch(), name + ".pem")
    return key, update_repo(t, "keygen", "--out", key).split()[0]


def publish_signed(t, key, files, *signing):
    """files as versions 6 (every file) and 7 (KEEP again), signed with key."""
    listed = lambda entries: b"".join(e.encode() + b"\r\n" for e in entries)
    t.nginx.publish(index=b"6\r\n7\r\n", lists={6: listed(files), 7: listed([KEEP])}, files=files)
    update_repo(t, "sign", "--repo", t.nginx.repository, "--key", key, "--first-signing", *signing)
    t.nginx.readable()


def signed_files():
    # Small: Wine's SHA-256 is slow. KEEP spans many reads of the transfer,
    # the empty file none.
    return {"first.dat": b"first", KEEP: os.urandom(100_000), "empty.dat": b""}


def test_signed_repository_installed(t):
    """With the operator's public key, headless_updater.exe installs a
    repository update-repo signed (every file hashed with CNG as it streams
    in, the metadata's signature checked with CNG) and records the signing's
    serial; without a key it updates from the same repository and never asks
    for the signature files."""
    key, public = keygen(t, "operator")
    files = signed_files()
    publish_signed(t, key, files)
    url = "http://127.0.0.1:%d/game/update/" % t.nginx.port
    for with_key in (True, False):
        what = "the updater with%s a key" % ("" if with_key else "out")
        env = {"UPDATER_TEST_PUBLIC_KEY": public} if with_key else {}
        result, _, after = headless_update(t, {KEEP: b"installed copy"}, url, env)
        paths = [r[1].split()[1] for r in t.nginx.entries()]
        signature_requests = [p for p in paths if p.endswith((".meta", ".sig"))]
        t.nginx.forget()
        expect_equal(result["UpdateDone"], "1", "%s: %r" % (what, result))
        expect_equal({e: after.get(os.path.join(*e.split("/"))) for e in files}, files, "files installed by " + what)
        game_version_written(t, 7, after[os.path.join("Config", "Client.ini")])
        serial = after.get(os.path.join("Config", "updater.serial"))
        if with_key:
            ids = hashlib.sha256(bytes.fromhex(public)).hexdigest()[:16]
            expect_equal(serial, b"kestralon-serial 3\n%s 1 1\n" % hashlib.sha256(ids.encode()).hexdigest().encode(),
                         "Config\\updater.serial")
            expect_equal(sorted(signature_requests),
                         ["/game/update/qoro_update_%s" % n
                          for n in ("6.meta", "7.meta", "extras.meta", "extras.sig", "fresh.meta", "fresh.sig",
                                    "release.meta", "release.sig")],
                         "signature files fetched by " + what)
        else:
            expect_equal(serial, None, "Config\\updater.serial written by " + what)
            expect_equal(signature_requests, [], "signature files fetched by " + what)


def test_signed_part_continued_or_fetched_again(t):
    """A transfer of a signed file cut halfway leaves a part: the next
    attempt's check reads it back first (the check's thread holds the copy
    open) while the rest is appended to it (206); from a server that ignores
    the range and sends the whole file, the part is dropped while the check
    may be reading it, and the copy is made anew. Either way the file
    installs with its signed bytes."""
    key, public = keygen(t, "operator")
    big = os.urandom(1024 * 1024)  # several of the check's reads
    publish_signed(t, key, {"big.bin": big, KEEP: b"keep"})
    port = free_port()
    url = "http://127.0.0.1:%d/game/update/" % port
    for fault in ("cut", "cut-whole"):
        with FaultServer(types.SimpleNamespace(root=t.nginx.repository), {"files\\big.bin": fault}, port) as server:
            result, _, after = headless_update(t, {}, url, {"UPDATER_TEST_PUBLIC_KEY": public})
        expect_equal(result["UpdateDone"], "1", "%s: %r" % (fault, result))
        expect_equal(after.get("big.bin"), big, "big.bin after " + fault)
        expect_equal([q for r, q in zip(server.requests, server.ranges) if r == "files\\big.bin"],
                     [None, "bytes=%d-" % (len(big) // 2)], "requests for big.bin, " + fault)
        expect_equal([n for n in after if "~" in n or n.startswith("updater.")], [], "leftovers after " + fault)


def test_attacks_on_a_signed_repository(t):
    """A game file replaced on the server (same size: only its digest tells;
    longer: its declared length tells before a byte is written), the release
    metadata signed by another key, a truncated signature, one signature
    where the build needs two, fresh metadata signed by a release key where
    the build has a freshness key of its own: each stops the run with the
    reason and leaves every file of the game folder, settings included, byte
    for byte as it was."""
    key, public = keygen(t, "operator")
    other_key, other_public = keygen(t, "other")
    fresh_key, fresh_public = keygen(t, "fresh")
    repository = t.nginx.repository

    def replace_file():
        write(os.path.join(repository, "files", *KEEP.split("/")), os.urandom(100_000))

    def longer_file():
        # Its declared length is not the signed size: refused before a byte is written.
        write(os.path.join(repository, "files", *KEEP.split("/")), os.urandom(300_000))

    def other_key_signs():
        meta = read(os.path.join(repository, "qoro_update_release.meta"))
        der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", other_key], input=meta,
                             stdout=subprocess.PIPE, check=True).stdout
        header, signed = read(os.path.join(repository, "qoro_update_release.sig")).decode().splitlines()
        write(os.path.join(repository, "qoro_update_release.sig"),
              "%s\n%s %064x%064x\n" % ((header, signed.split()[0]) + der_signature(der)))

    def truncated_signature():
        sig = os.path.join(repository, "qoro_update_release.sig")
        write(sig, read(sig)[:-20] + b"\n")

    def as_signed():
        pass

    keyed = {"UPDATER_TEST_PUBLIC_KEY": public}
    own_fresh = ("--freshness-key", fresh_key)
    two_needed = {"UPDATER_TEST_PUBLIC_KEY": public + "," + other_public, "UPDATER_TEST_RELEASE_THRESHOLD": "2",
                  "UPDATER_TEST_FRESHNESS_KEY": fresh_public}
    rows = [
        (replace_file, (), keyed, "Fichier altéré: %s." % KEEP),
        (longer_file, (), keyed, "Fichier altéré: %s." % KEEP),
        (other_key_signs, (), keyed, "Signature invalide: qoro_update_release.sig."),
        (truncated_signature, (), keyed, "Signature invalide: qoro_update_release.sig."),
        (as_signed, own_fresh, two_needed, "Signature invalide: qoro_update_release.sig."),
        (as_signed, (), dict(keyed, UPDATER_TEST_FRESHNESS_KEY=fresh_public),
         "Signature invalide: qoro_update_fresh.sig."),
    ]
    url = "http://127.0.0.1:%d/game/update/" % t.nginx.port
    for attack, signing, env, reason in rows:
        publish_signed(t, key, signed_files(), *signing)
        attack()
        t.nginx.readable()
        result, before, after = headless_update(t, {KEEP: b"installed copy", "first.dat": b"installed first"}, url, env)
        expect_equal((result["L2"], result["L3"], result["UpdateDone"]), (FAILED, reason, "0"), attack.__name__)
        expect_equal(after, before, "game folder after " + attack.__name__)


def test_patched_update_and_repair(t):
    """A repository published twice with update-repo --key: headless_updater.exe
    fetches the changed archive as a delta from its installed copy, rebuilt
    with the Windows build's own zstd on a worker thread; with the archive
    damaged, /repair fetches it again as a compressed object; both through a linked folder."""
    key, public = keygen(t, "operator")
    repository = t.nginx.repository
    shutil.rmtree(repository, ignore_errors=True)
    os.makedirs(repository)
    words = [b"%06x" % n for n in range(0, 1 << 24, 40_000)]
    old = b"\n".join(b" ".join(words[(i * 7 + j) % len(words)] for j in range(8)) for i in range(6000))
    new = old.replace(words[5] + b" " + words[6], b"edited", 3)
    pak = "data/archive.pak"
    for version, content in ((6, old), (7, new)):
        build = os.path.join(t.scratch(), "build-%d" % version)
        write(os.path.join(build, *pak.split("/")), content)
        update_repo(t, "publish", "--repo", repository, "--version", str(version), "--from", build, "--key", key,
                    *(["--first-signing"] if version == 6 else []))
    t.nginx.readable()
    url = "http://127.0.0.1:%d/game/update/" % t.nginx.port
    env = {"UPDATER_TEST_PUBLIC_KEY": public}
    sha = lambda data: hashlib.sha256(data).hexdigest()

    def fetched():
        paths = [r[1].split()[1] for r in t.nginx.entries()]
        t.nginx.forget()
        return [p for p in paths if "archive" in p or p.endswith(".zst")]

    t.nginx.forget()
    result, _, after = headless_update(t, {pak: old}, url, env, linked="data")
    expect_equal(result["UpdateDone"], "1", "the update: %r" % result)
    expect_equal(after[os.path.join("data", "archive.pak")], new, "the archive rebuilt from its delta")
    expect_equal(fetched(), ["/game/update/deltas/%s-%s.zst" % (sha(old), sha(new))], "what the update fetched")
    result, _, after = headless_update(t, {pak: new[:-1] + b"!"}, url, env, ["/repair"], 7, "data")
    expect_equal((result["L2"], result["L3"], result["UpdateDone"]),
                 ("Réparation terminée!", "1 fichier(s) remplacé(s).", "1"), "the repair: %r" % result)
    expect_equal(after[os.path.join("data", "archive.pak")], new, "the archive repaired")
    expect_equal(fetched(), ["/game/update/objects/%s.zst" % sha(new)], "what the repair fetched")


E2E_TESTS = [
    test_update_then_fermer_starts_game,
    test_missing_game_message_box,
    test_not_found_keeps_installed_file,
    test_bandwidth_cap_holds_for_all_transfers,
    test_up_to_date,
    test_missing_settings_file_created,
    test_updater_replaces_itself,
    test_file_held_by_game_stays_intact,
    test_fermer_during_update_warns,
    test_window_scales_with_dpi,
    test_window_cuts_long_texts,
    test_long_reason_cut_to_its_field,
    test_second_updater_in_same_folder,
    test_read_only_settings_shows_failure,
    test_interrupted_commit_finished_at_next_start,
    test_planted_journal_and_other_spellings_of_working_files,
    test_https_certificates,
    test_signed_repository_installed,
    test_signed_part_continued_or_fetched_again,
    test_attacks_on_a_signed_repository,
    test_patched_update_and_repair,
]


def suite_e2e(wine, programs, port, pattern=None):
    nginx = Nginx(port=port, slow_files=True).start()
    passed = failed = 0
    try:
        for test in E2E_TESTS:
            if pattern and pattern not in test.__name__:
                continue
            t = E2E(wine, nginx, programs)
            started = time.monotonic()
            try:
                test(t)
                passed += 1
                log("[  OK  ] e2e.%s (%.1fs)" % (test.__name__, time.monotonic() - started))
            except Exception:
                failed += 1
                log("[ FAIL ] e2e.%s (%.1fs)" % (test.__name__, time.monotonic() - started))
                log("    " + traceback.format_exc().strip().replace("\n", "\n    "))
            finally:
                t.teardown()
    finally:
        nginx.stop()
    log("%d passed, %d failed" % (passed, failed))
    return passed, failed


# ----------------------------------------------------------------- main ---

def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-win"))
    parser.add_argument("--port", type=int, default=int(os.environ.get("UPDATER_TEST_PORT", "18080")),
                        help="loopback port compiled into the test build and served by nginx")
    parser.add_argument("--skip-build", action="store_true")
    parser.add_argument("--cmake-source", default=ROOT, help=argparse.SUPPRESS)
    parser.add_argument("--only", nargs="*", choices=["storage", "http", "profile", "crypto", "e2e"])
    parser.add_argument("--e2e", metavar="PATTERN", help="only the end-to-end tests whose name contains PATTERN")
    args = parser.parse_args()

    started = time.monotonic()
    if not args.skip_build:
        build(args.build_dir, args.port, args.cmake_source)
    programs = {name: find_program(args.build_dir, name) for name in
                ["updater.exe", "storage_win_test.exe", "http_win_test.exe", "profile_probe.exe",
                 "standin_game.exe", "window_probe.exe", "crypto_win_test.exe", "profile_compare",
                 "headless_updater.exe", "trust_ca.exe"]}
    if not args.only or "e2e" in args.only:
        programs["update-repo"] = find_update_repo(args.build_dir)
    imports = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", programs["updater.exe"]],
                             stdout=subprocess.PIPE, text=True).stdout
    log("updater.exe imports: " + ", ".join(sorted(set(re.findall(r"DLL Name: (\S+)", imports)))))

    try:
        display = VirtualDisplay()
    except DisplayError as error:
        log("windows: no virtual display: %s" % error)
        log("0 passed, 1 failed")
        return 1
    wine = None
    totals = [0, 0]
    try:
        wine = Wine(display)
        suites = [("storage", lambda: suite_storage(wine, programs)),
                  ("http", lambda: suite_http(wine, programs)),
                  ("profile", lambda: suite_profile(wine, programs)),
                  ("crypto", lambda: suite_crypto(wine, programs)),
                  ("e2e", lambda: suite_e2e(wine, programs, args.port, args.e2e))]
        for name, suite in suites:
            if args.only and name not in args.only:
                continue
            log("== windows %s" % name)
            suite_started = time.monotonic()
            passed, failed = suite()
            log("   (%s: %.0fs)" % (name, time.monotonic() - suite_started))
            totals[0] += passed
            totals[1] += failed
    finally:
        if wine:
            wine.stop()
        display.stop()
    log("windows tests took %.0fs" % (time.monotonic() - started))
    log("%d passed, %d failed" % tuple(totals))
    return 0 if totals[1] == 0 and totals[0] > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
