"""update-repo on real folders: versions published from build folders, the
repository they make checked by verify and installed by the real update logic
(the headless updater) from a real nginx; verify run on damaged copies of a
good repository; publish's refusals."""

import os
import shutil
import subprocess
import tempfile
import unittest

from harness import (BUILD_DIR, INDEX, FaultServer, GameFolder, Nginx, UPDATE_URL, headless_program,
                     list_name, make_readable, run_headless, wait_for_port_free)

TOOL = os.path.join(BUILD_DIR, "update-repo")
BIG = os.urandom(5 * 1024 * 1024)  # big enough for the copy to show its percentage

# Three builds of the game. Build 2 changes "data/same-size.dat" without
# changing its size or its time stamp, so only a comparison of the bytes sees
# it; build 3 drops "data/old.dat", which a repository cannot delete.
BUILD_1 = {
    "kestralon.dat": b"engine 1" * 1000,
    "data/maps/town.map": os.urandom(200_000),
    "data/same-size.dat": b"AAAA" * 256,
    "data/old.dat": b"dropped in build 3",
    "caf\u00e9 menu.txt": b"accented, with a blank",
    "Readme.txt": b"read me",
}
BUILD_2 = dict(BUILD_1, **{"data/same-size.dat": b"AAAB" * 256, "big.bin": BIG})
BUILD_3 = {k: v for k, v in BUILD_2.items() if k != "data/old.dat"}
BUILD_3.update({"kestralon.dat": b"engine 3" * 1000, "data/new/deep.dat": b"new in 3"})


def crlf(*entries):
    return "".join(e + "\r\n" for e in entries).encode("cp1252")


def run_tool(*args):
    done = subprocess.run([TOOL, *args], capture_output=True, timeout=120)
    return done.returncode, done.stdout.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace")


def write_build(root, files, mtime=1_600_000_000):
    """Writes files into root (names are str, or bytes for names that are not
    UTF-8), all with the same time stamp."""
    for name, content in files.items():
        path = os.path.join(os.fsencode(root), name if isinstance(name, bytes) else os.fsencode(name))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
        os.utime(path, (mtime, mtime))


def publish_builds(repo, builds):
    """Publishes builds as versions 1, 2, 3..."""
    for version, files in enumerate(builds, start=1):
        build = tempfile.mkdtemp(prefix="build-")
        try:
            write_build(build, files)
            status, out, err = run_tool("publish", "--repo", repo, "--version", str(version), "--from", build)
        finally:
            shutil.rmtree(build, True)
        if status != 0:
            raise AssertionError(out + err)


def snapshot(root):
    """Every file below root: relative path -> bytes."""
    files = {}
    for folder, _, names in os.walk(root):
        for name in names:
            full = os.path.join(folder, name)
            with open(full, "rb") as f:
                files[os.path.relpath(full, root)] = f.read()
    return files


class Served:
    """A repository folder in the shape Nginx and FaultServer take."""

    def __init__(self, root):
        self.root = root
        for folder, _, names in os.walk(root):
            make_readable(folder)
            for name in names:
                os.chmod(os.path.join(folder, name), 0o644)


class Case(unittest.TestCase):
    def folder(self, prefix):
        path = tempfile.mkdtemp(prefix=prefix)
        self.addCleanup(shutil.rmtree, path, True)
        return path

    def build(self, files):
        root = self.folder("build-")
        write_build(root, files)
        return root

    def publish(self, repo, version, build, *extra):
        return run_tool("publish", "--repo", repo, "--version", str(version), "--from", build, *extra)

    def assertPublished(self, repo, version, build, *extra):
        status, out, err = self.publish(repo, version, build, *extra)
        self.assertEqual(status, 0, out + err)
        return out, err

    def verify(self, repo, *extra):
        return run_tool("verify", "--repo", repo, *extra)

    def good_repository(self):
        repo = self.folder("repo-")
        publish_builds(repo, (BUILD_1, BUILD_2, BUILD_3))
        return repo

    def game(self, version, files=None):
        game = GameFolder(headless_program(), settings=b"[VERSION]\r\nGame= %d\r\n" % version, files=files)
        self.addCleanup(game.remove)
        return game


class ThreeVersions(Case):
    def test_published_versions_install_the_newest_build_from_version_0_and_from_version_2(self):
        repo = self.folder("repo-")
        _, err1 = self.assertPublished(repo, 1, self.build(BUILD_1))
        out2, err2 = self.assertPublished(repo, 2, self.build(BUILD_2))
        out3, _ = self.assertPublished(repo, 3, self.build(BUILD_3))

        # Each list names exactly the files new or changed since the version before.
        self.assertEqual(snapshot(repo)[list_name(1)], crlf(*sorted(BUILD_1)))
        self.assertEqual(snapshot(repo)[list_name(2)], crlf("big.bin", "data/same-size.dat"))
        self.assertEqual(snapshot(repo)[list_name(3)], crlf("data/new/deep.dat", "kestralon.dat"))
        self.assertEqual(snapshot(repo)[INDEX], b"1\r\n2\r\n3\r\n")
        self.assertIn("[6/6]", err1)
        self.assertIn("100%", err2)  # the big copy showed its progress
        self.assertIn("1 new, 1 changed", out2)
        self.assertIn("no longer in the build", out3)
        self.assertIn("data/old.dat", out3)
        # One copy per path, nothing left over from the temporary names.
        stored = {p[len("files/"):]: c for p, c in snapshot(repo).items() if p.startswith("files/")}
        self.assertEqual(stored, dict(BUILD_2, **BUILD_3))

        status, out, _ = self.verify(repo)
        self.assertEqual((status, out), (0, "clean: 3 version(s), 8 file(s)\n"))

        served = Served(repo)
        from_0, from_2 = self.game(0), self.game(2, files=BUILD_2)
        with Nginx(served) as nginx:
            status, out, err = self.verify(repo, "--url", UPDATE_URL)
            verify_requests = nginx.requests()
            result_0 = run_headless(from_0)
            updater_requests = nginx.requests()[len(verify_requests):]
            result_2 = run_headless(from_2)
            requests_2 = nginx.requests()[len(verify_requests) + len(updater_requests):]
        self.assertEqual(status, 0, out + err)
        # verify --url asks for exactly what a player at version 0 asks for.
        self.assertEqual(verify_requests, updater_requests)

        base = "/game/update/"
        self.assertEqual(requests_2, [base + INDEX, base + list_name(3), base + "files\\data/new/deep.dat",
                                      base + "files\\kestralon.dat"])
        for game, result in ((from_0, result_0), (from_2, result_2)):
            self.assertEqual((result["UpdateDone"], result["L2"]), ("1", "Mise à jours à la version 3!"), result)
            for path, content in BUILD_3.items():
                self.assertEqual(game.read(path), content, path)
            self.assertIn(b"Game= 3\r\n", game.read("Config/Client.ini"))
        # Deletions cannot travel: the player keeps the dropped file.
        self.assertEqual(from_0.read("data/old.dat"), BUILD_1["data/old.dat"])

    def test_an_index_without_a_final_line_end_gets_one_before_the_new_version(self):
        repo = self.folder("repo-")
        self.assertPublished(repo, 1, self.build({"a.dat": b"1"}))
        with open(os.path.join(repo, INDEX), "wb") as f:
            f.write(b"1")
        self.assertPublished(repo, 2, self.build({"a.dat": b"2"}))
        self.assertEqual(snapshot(repo)[INDEX], b"1\r\n2\r\n")
        self.assertEqual(self.verify(repo)[0], 0)

    def test_allow_empty_publishes_an_empty_list(self):
        repo = self.folder("repo-")
        build = self.build({"a.dat": b"1"})
        self.assertPublished(repo, 1, build)
        self.assertPublished(repo, 2, build, "--allow-empty")
        self.assertEqual(snapshot(repo)[list_name(2)], b"")
        self.assertEqual(snapshot(repo)[INDEX], b"1\r\n2\r\n")
        self.assertEqual(self.verify(repo)[0], 0)

    def test_a_file_missing_under_files_is_restored_from_the_build(self):
        repo = self.folder("repo-")
        build = self.build({"a.dat": b"1", "b.dat": b"2"})
        self.assertPublished(repo, 1, build)
        os.remove(os.path.join(repo, "files", "b.dat"))
        self.assertEqual(self.verify(repo)[0], 1)
        out, _ = self.assertPublished(repo, 2, build)
        self.assertIn("restored b.dat", out)
        self.assertEqual(snapshot(repo)[list_name(2)], crlf("b.dat"))
        self.assertEqual(self.verify(repo)[0], 0)

    def test_dry_run_prints_the_plan_and_writes_nothing(self):
        repo = self.good_repository()
        before = snapshot(repo)
        status, out, _ = self.publish(repo, 4, self.build(dict(BUILD_3, **{"extra.dat": b"x"})), "--dry-run")
        self.assertEqual(status, 0, out)
        self.assertIn("new      extra.dat", out)
        self.assertIn("dry run: nothing written", out)
        self.assertEqual(snapshot(repo), before)


class PublishRefuses(Case):
    """Every refusal exits with 1 and leaves the repository byte for byte as it was."""

    def assertRefused(self, repo, version, files, reason, *extra):
        before = snapshot(repo)
        status, out, err = self.publish(repo, version, self.build(files), *extra)
        self.assertEqual(status, 1, out + err)
        self.assertIn(reason, err)
        self.assertIn("nothing was written", err)
        self.assertEqual(snapshot(repo), before)

    def test_versions_not_greater_than_every_published_one(self):
        repo = self.good_repository()
        for version in (3, 2, -5):
            self.assertRefused(repo, version, {"n.dat": b"n"}, "is not greater than every published version")

    def test_a_fractional_index_field_counts_as_the_updater_reads_it(self):
        repo = self.folder("repo-")
        self.assertPublished(repo, 1, self.build({"a.dat": b"1"}))
        with open(os.path.join(repo, INDEX), "ab") as f:
            f.write(b"7.5\r\n")  # not clean, so publishing on top is refused as well
        self.assertRefused(repo, 7, {"a.dat": b"2"}, 'the index holds "7.5"')

    def test_versions_outside_16_bits(self):
        repo = self.good_repository()
        for version in (32768, -32769, 10 ** 30):
            self.assertRefused(repo, version, {"n.dat": b"n"}, "does not fit a version number")

    def test_names_the_updater_or_windows_would_mishandle(self):
        cases = {
            "\u65e5\u672c.txt": "not representable in Windows-1252",
            b"caf\xe9.txt": "not representable in Windows-1252",  # Latin-1 bytes, not UTF-8
            "tab\there.txt": "unsafe path",
            "c:evil.txt": "unsafe path",
            "what?.txt": "Windows does not allow",
            "data/trailing.": "ends in a dot or a blank",
            "data/trailing ": "ends in a dot or a blank",
            "CON.txt": "device name",
            "back\\slash.txt": "backslash",
        }
        repo = self.good_repository()
        for name, reason in cases.items():
            with self.subTest(name=name):
                self.assertRefused(repo, 4, {**BUILD_3, name: b"x"}, reason)

    def test_a_name_that_differs_only_in_letter_case_from_a_published_one(self):
        repo = self.good_repository()
        files = {k: v for k, v in BUILD_3.items() if k != "Readme.txt"}
        self.assertRefused(repo, 4, dict(files, **{"README.TXT": b"renamed"}), "differs only in letter case")

    def test_a_file_where_a_published_path_needs_a_folder(self):
        repo = self.good_repository()
        files = {k: v for k, v in BUILD_3.items() if k != "kestralon.dat"}
        self.assertRefused(repo, 4, dict(files, **{"kestralon.dat/inner.dat": b"x"}),
                           'needs a folder where "kestralon.dat" is a file already published')

    def test_an_unchanged_build_without_allow_empty(self):
        repo = self.good_repository()
        self.assertRefused(repo, 4, BUILD_3, "nothing to publish")

    def test_a_repository_with_problems(self):
        repo = self.good_repository()
        with open(os.path.join(repo, list_name(2)), "r+b") as f:
            content = f.read()
            f.seek(0)
            f.write(b"\xef\xbb\xbf" + content)
        self.assertRefused(repo, 4, dict(BUILD_3, **{"n.dat": b"n"}), "the repository has 1 problem(s)")

    def test_usage_errors_exit_with_2(self):
        repo, build = self.folder("repo-"), self.build({"a.dat": b"a"})
        for args in ([], ["publish", "--repo", repo, "--version", "1"],
                     ["publish", "--repo", repo, "--version", "one", "--from", build],
                     ["publish", "--repo", repo, "--version", "1", "--from", build, "--force"],
                     ["verify", "--repo", repo, "--url", "ftp://example/"], ["frobnicate"]):
            with self.subTest(args=args):
                status, out, err = run_tool(*args)
                self.assertEqual(status, 2, out + err)
                self.assertIn("update-repo --help", err)
        self.assertEqual(os.listdir(repo), [])
        status, out, _ = run_tool("--help")
        self.assertEqual(status, 0)
        self.assertIn("update-repo publish --repo DIR --version N --from BUILD_DIR", out)


def append(path, data):
    with open(path, "ab") as f:
        f.write(data)


def rewrite(path, change):
    with open(path, "rb") as f:
        content = f.read()
    with open(path, "wb") as f:
        f.write(change(content))


def add_file(repo, entry, content=b"x"):
    path = os.path.join(repo, "files", entry)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content)


# Damage done to a copy of a good repository -> (problem lines expected, one
# line that must be among them).
DEFECTS = {
    "index field that is not a number": (
        lambda r: append(os.path.join(r, INDEX), b"four\r\n"),
        1, INDEX + ': field 4 "four": not a number'),
    "empty index field": (
        lambda r: rewrite(os.path.join(r, INDEX), lambda c: c.replace(b"2\r\n", b"2,\r\n")),
        1, INDEX + ': field 3 "": not a number'),
    "index field over 16 bits": (
        lambda r: append(os.path.join(r, INDEX), b"1e5\r\n"),
        1, INDEX + ': field 4 "1e5": 100000 does not fit a version number'),
    "index field with trailing text": (
        lambda r: append(os.path.join(r, INDEX), b"4 beta\r\n"),
        2, INDEX + ': field 4 "4 beta": not a plain whole number'),
    "index with a byte-order mark": (
        lambda r: rewrite(os.path.join(r, INDEX), lambda c: b"\xef\xbb\xbf" + c),
        2, INDEX + ": starts with a UTF-8 byte-order mark"),
    "index with LF-only line ends": (
        lambda r: rewrite(os.path.join(r, INDEX), lambda c: c.replace(b"\r\n", b"\n")),
        1, INDEX + ": lines ending in a lone LF instead of CR LF (line 1, 2, 3)"),
    "version without a list": (
        lambda r: os.remove(os.path.join(r, list_name(2))),
        1, list_name(2) + ": missing, but version 2 is in the index"),
    "entry leaving the game folder": (
        lambda r: append(os.path.join(r, list_name(3)), b"../evil.dat\r\n"),
        1, list_name(3) + ': line 3: "../evil.dat": unsafe path'),
    "absolute entry": (
        lambda r: append(os.path.join(r, list_name(1)), b"C:/Windows/evil.dll\r\n"),
        1, list_name(1) + ': line 7: "C:/Windows/evil.dll": unsafe path'),
    "entry Windows cannot name": (
        lambda r: (append(os.path.join(r, list_name(3)), b"a|b.dat\r\n"), add_file(r, "a|b.dat")),
        1, list_name(3) + ": line 3: \"a|b.dat\": holds '|'"),
    "entry missing under files": (
        lambda r: os.remove(os.path.join(r, "files", "data", "maps", "town.map")),
        1, list_name(1) + ": line %d: \"data/maps/town.map\" is missing under files/"
        % (sorted(BUILD_1).index("data/maps/town.map") + 1)),
    "entries differing in letter case only": (
        lambda r: (append(os.path.join(r, list_name(3)), b"readme.TXT\r\n"), add_file(r, "readme.TXT")),
        1, list_name(3) + ': "readme.TXT" and "Readme.txt" (' + list_name(1) + ") differ only in letter case"),
    "a file where a folder is needed": (
        lambda r: (append(os.path.join(r, list_name(3)), b"big.bin/inner.dat\r\n"),),
        2, list_name(3) + ': "big.bin/inner.dat" needs a folder where "big.bin" (' + list_name(2) + ") is a file"),
    "list with a byte-order mark": (
        lambda r: rewrite(os.path.join(r, list_name(2)), lambda c: b"\xef\xbb\xbf" + c),
        1, list_name(2) + ": starts with a UTF-8 byte-order mark"),
    "list with LF-only line ends": (
        lambda r: rewrite(os.path.join(r, list_name(3)), lambda c: c.replace(b"\r\n", b"\n")),
        1, list_name(3) + ': line 1: a line ends in a lone LF, which the updater keeps inside the entry '
                          '"data/new/deep.dat\\x0Akestralon.dat\\x0A"'),
    "index missing": (
        lambda r: os.remove(os.path.join(r, INDEX)),
        1, INDEX + ": missing"),
}


class VerifyFinds(Case):
    @classmethod
    def setUpClass(cls):
        cls.pristine = tempfile.mkdtemp(prefix="good-repo-")
        publish_builds(cls.pristine, (BUILD_1, BUILD_2, BUILD_3))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.pristine, True)

    def copy(self):
        parent = self.folder("damaged-")
        make_readable(parent)  # some are served
        repo = os.path.join(parent, "repository")
        shutil.copytree(self.pristine, repo)
        return repo

    def test_the_good_repository_is_clean(self):
        self.assertEqual(self.verify(self.pristine), (0, "clean: 3 version(s), 8 file(s)\n", ""))

    def test_each_defect_in_a_repository_that_has_it(self):
        for name, (damage, count, line) in DEFECTS.items():
            with self.subTest(defect=name):
                repo = self.copy()
                damage(repo)
                status, out, _ = self.verify(repo)
                self.assertEqual(status, 1, out)
                lines = out.splitlines()
                self.assertTrue(any(l.startswith(line) for l in lines), out)
                self.assertEqual(lines[-1], "%d problem(s) found" % count, out)

    def served_problems(self, server):
        """The problems verify --url reports for the good repository while server serves."""
        with server:
            status, out, err = self.verify(self.pristine, "--url", UPDATE_URL)
        self.assertEqual(status, 1, out + err)
        return out.splitlines()[:-1]

    def test_url_finds_a_file_of_another_size_on_the_server(self):
        served = self.copy()
        append(os.path.join(served, "files", "data", "same-size.dat"), b"!")
        problems = self.served_problems(Nginx(Served(served)))
        self.assertEqual(problems, [UPDATE_URL + "files\\data/same-size.dat: Content-Length 1025, but the "
                                                 "repository file has 1024 bytes"])

    def test_url_finds_a_file_the_server_does_not_have(self):
        served = self.copy()
        os.remove(os.path.join(served, "files", "caf\u00e9 menu.txt"))
        problems = self.served_problems(Nginx(Served(served)))
        self.assertEqual(problems, [UPDATE_URL + "files\\caf%C3%A9%20menu.txt: the server answered 404"])

    def test_url_finds_missing_lengths_and_cut_bodies(self):
        faults = {"files\\big.bin": "chunked", list_name(2): "short"}
        half = len(crlf("big.bin", "data/same-size.dat")) // 2
        problems = self.served_problems(FaultServer(Served(self.copy()), faults))
        self.assertEqual(problems, [UPDATE_URL + list_name(2) + ": the transfer broke off after %d bytes" % half,
                                    UPDATE_URL + "files\\big.bin: no Content-Length in the answer"])

    def test_url_without_a_server(self):
        wait_for_port_free()
        status, out, _ = self.verify(self.pristine, "--url", UPDATE_URL)
        self.assertEqual(status, 1, out)
        self.assertEqual(out.splitlines()[:-1], [UPDATE_URL + INDEX + ": the server cannot be reached; nothing else was "
                                                         "requested"])


if __name__ == "__main__":
    unittest.main()
