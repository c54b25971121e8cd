"""The whole update run against a real nginx and against a server that
misbehaves, through the headless build of the updater (same logic, a window
that only records its texts)."""

import hashlib
import os
import re
import resource
import shutil
import socket
import subprocess
import tempfile
import time
import types
import unittest

from harness import tls
from harness import (BASE_PATH, BUILD_DIR, HOST, INDEX, METADATA_DEADLINE, PORT, TRANSFER_TIMEOUT, FaultServer,
                     FolderCase, Nginx, crlf_list, free_port, headless_program, list_name, make_readable, parse_headless,
                     read_or_empty, run_headless, start_headless, wait_until)

NOBODY = 65534

FAILED = "Échec de la mise à jour."
DISK_FULL = "Espace disque insuffisant"
CERTIFICATE_REFUSED = "Certificat du serveur refusé."
REMOTE_KEEP = "files\\data/keep.dat"
# An index of one version and 100 KB of blank lines: long enough to trickle.
TRICKLED_INDEX = "6\r\n" + "\r\n" * 50_000
RELEASE, RELEASE_SIG = "qoro_update_release.meta", "qoro_update_release.sig"
FRESH, FRESH_SIG = "qoro_update_fresh.meta", "qoro_update_fresh.sig"
EXTRAS, EXTRAS_SIG = "qoro_update_extras.meta", "qoro_update_extras.sig"


def sealed(*lines):
    """Lines of one of the updater's records as it writes them: closed by a
    "sum" line over their bytes."""
    text = "".join(line + "\n" for line in lines).encode()
    return text + b"sum " + hashlib.sha256(text).hexdigest().encode() + b"\n"


def serial_record(release_keys, release, fresh, fresh_keys=()):
    """Config/updater.serial as the updater writes it: the release and fresh
    serials under the key set, SHA-256 of the sorted release key ids (then
    ";" and the sorted freshness key ids, when the build has its own)."""
    def ids(keys):
        return ",".join(sorted(hashlib.sha256(bytes.fromhex(key)).hexdigest()[:16] for key in keys))
    key_set = hashlib.sha256((ids(release_keys) + (";" + ids(fresh_keys) if fresh_keys else "")).encode()).hexdigest()
    return b"kestralon-serial 3\n%s %d %d\n" % (key_set.encode(), release, fresh)


def journal(version, *moves):
    """A commit journal moving each (staged, target, backup)."""
    return sealed("kestralon-journal 2", "version %s" % version, *("move\t%s\t%s\t%s" % m for m in moves))


def staging_record(*lines):
    return b"kestralon-staging 2\n" + sealed(*lines)


class Case(FolderCase):
    def program(self):
        return headless_program()


class AgainstNginx(Case):
    def test_update_from_5_merges_the_newer_lists_in_index_order(self):
        files = {
            "data/maps/town.map": os.urandom(300_000),
            "Readme.txt": b"upper case",
            "readme.txt": b"lower case",
            "shared.dat": b"listed by 6 and 8",
            "data/deep/er/x.bin": os.urandom(5000),
            "big.bin": os.urandom(3_000_000),
            "old-only.dat": b"listed by 3 and 4 only",
            "caf\u00e9 menu.txt": b"accented and spaced name",
            # A name so long that a staged name beside it must be shorter than "name" + suffix.
            "data/" + "n" * 250: b"a name of 250 characters",
        }
        lists = {
            3: crlf_list("old-only.dat"),
            4: crlf_list("old-only.dat"),
            6: crlf_list("data/maps/town.map", "Readme.txt", "shared.dat", "caf\u00e9 menu.txt"),
            8: crlf_list("shared.dat", "readme.txt", "data/deep/er/x.bin", "big.bin", "data/" + "n" * 250),
        }
        in_order = ("data/maps/town.map", "Readme.txt", "shared.dat", "caf\u00e9 menu.txt", "readme.txt",
                    "data/deep/er/x.bin", "big.bin", "data/" + "n" * 250)
        repo = self.repository("3\r\n6\r\n4\r\n8\r\n6\r\n", lists, files)
        settings = b"; client settings\r\n[VERSION]\r\nGame= 5\r\n\r\n[VIDEO]\nWidth=1024\n"
        for parallel in ("1", "8"):
            with self.subTest(parallel=parallel):
                game = self.game(settings=settings, files={"data/maps/town.map": b"old installed map, longer" * 100})
                with Nginx(repo) as nginx:
                    result = run_headless(game, env={"UPDATER_TEST_PARALLEL": parallel})
                    requests = nginx.requests()
                    connections = [int(number) for number, _ in nginx.connections()]

                self.assertEqual(result["UpdateDone"], "1", result)
                self.assertEqual(result["L2"], "Mise à jours à la version 8!")
                self.assertEqual(result["L3"], "Téléchargement terminé!")
                self.assertEqual(result["Label4"], "100%")
                # The percentage is shown when its number changes, not for every piece
                # received: at most 0..100 for each of the 12 transfers.
                self.assertLessEqual(int(result["percent_updates"]), 12 * 101)
                # The lists of 6, 8 and 6 again; every file once. One at a time,
                # both in index and list order (merged in that order either way).
                base = "/game/update/"
                lists = [base + list_name(6), base + list_name(8), base + list_name(6)]
                self.assertEqual(requests[0], base + INDEX)
                self.assertEqual(requests[1:4] if parallel == "1" else sorted(requests[1:4]),
                                 lists if parallel == "1" else sorted(lists))
                wanted = [base + "files\\" + e for e in in_order]
                self.assertEqual(requests[4:] if parallel == "1" else sorted(requests[4:]),
                                 wanted if parallel == "1" else sorted(wanted))
                # With 8 at once, the connections the files need are opened while the
                # lists arrive; every connection the server accepted carried requests
                # (nginx numbers them in order), and never more than 8.
                used = sorted(set(connections))
                self.assertEqual(used, list(range(used[0], used[0] + len(used))))
                self.assertLessEqual(len(used), 1 if parallel == "1" else 8)
                # The texts name the files in list order, the counter never goes back,
                # and the percentage never moves backwards while files arrive together.
                counters = [int(t.split(": ")[1].split(" ")[0]) for f, t in result["trace"]
                            if f == "L3" and t.startswith("Fichier de téléchargement")]
                self.assertEqual(counters, sorted(counters))
                # Several at once, the first unfinished file may already be the
                # last but a few; one at a time, every number is shown.
                self.assertEqual(counters, list(range(1, 9)) if parallel == "1" else sorted(set(counters)))
                self.assertLessEqual(counters[-1], 8)
                named = [t[len("Téléchargement de "):-3] for f, t in result["trace"]
                         if f == "L2" and t.startswith("Téléchargement de ")]
                self.assertEqual(named, [e for e in in_order if e in named])
                if parallel != "1":
                    percents = [int(t[:-1]) for f, t in result["trace"] if f == "Label4"]
                    files_part = percents[percents.index(100, 5) + 1:] if 100 in percents[5:] else percents
                    self.assertEqual(files_part, sorted(files_part))
                expected = {entry: content for entry, content in files.items() if entry != "old-only.dat"}
                expected["kestralon.exe"] = game.read("kestralon.exe")
                expected["Config/Client.ini"] = (b"; client settings\r\n[VERSION]\r\nGame= 8\r\n\r\n"
                                                 b"[VIDEO]\nWidth=1024\n[UPDATER]\r\nFin=1\r\n")
                # Nothing else: no list copies, no temporary files, no working files.
                self.assertEqual(game.snapshot(), expected)

    def test_up_to_date_fetches_no_list(self):
        repo = self.repository("3\r\n5\r\n5.4\r\n", {5: crlf_list("x.dat")}, {"x.dat": b"x"})
        game = self.game(settings=b"[VERSION]\r\nGame= 5\r\n")
        with Nginx(repo) as nginx:
            result = run_headless(game)
            requests = nginx.requests()
        self.assertEqual(requests, ["/game/update/" + INDEX])
        self.assertEqual((result["L2"], result["L3"], result["Label4"], result["UpdateDone"]),
                         ("Tu as la dernière version!", "", "100%", "1"))
        self.assertEqual(game.read("Config/Client.ini"), b"[VERSION]\r\nGame= 5\r\n[UPDATER]\r\nFin=1\r\n")

    def test_a_fractional_version_above_the_installed_one_counts_as_its_rounded_value(self):
        repo = self.repository("5.4\r\n7\r\n", {5: crlf_list("five.dat"), 7: crlf_list("seven.dat")},
                               {"five.dat": b"5", "seven.dat": b"7"})
        game = self.game(settings=b"[VERSION]\r\nGame= 5\r\n")
        with Nginx(repo):
            result = run_headless(game)
        self.assertEqual(result["UpdateDone"], "1")
        self.assertEqual(game.read("five.dat"), b"5")
        self.assertEqual(game.read("seven.dat"), b"7")
        self.assertIn(b"Game= 7\r\n", game.read("Config/Client.ini"))

    def test_a_missing_settings_file_is_created_and_every_version_applies(self):
        repo = self.repository("1\r\n2\r\n", {1: crlf_list("one.dat"), 2: b""}, {"one.dat": b"1"})
        game = self.game(settings=None)
        with Nginx(repo):
            result = run_headless(game)
        self.assertEqual(result["UpdateDone"], "1")
        self.assertEqual(game.read("one.dat"), b"1")
        self.assertEqual(game.read("Config/Client.ini"), b"[UPDATER]\r\nFin=1\r\n[VERSION]\r\nGame= 2\r\n")

    def test_without_a_config_folder_nothing_is_created(self):
        repo = self.repository("1\r\n", {1: crlf_list("one.dat")}, {"one.dat": b"1"})
        game = self.game(config_folder=False)
        with Nginx(repo):
            result = run_headless(game)
        self.assertEqual(result["UpdateDone"], "1")
        self.assertEqual(game.read("one.dat"), b"1")
        self.assertFalse(os.path.exists(game.path("Config")))

    def test_empty_lists_still_record_the_new_version(self):
        repo = self.repository("9\r\n", {9: crlf_list("", "   ")}, {})
        game = self.game(settings=b"[VERSION]\r\nGame= 5\r\n")
        with Nginx(repo):
            result = run_headless(game)
        self.assertEqual(result["UpdateDone"], "1")
        self.assertEqual(result["L3"], "Téléchargement terminé!")
        self.assertEqual(game.read("Config/Client.ini"), b"[VERSION]\r\nGame= 9\r\n[UPDATER]\r\nFin=1\r\n")

    def test_negative_versions_are_written_with_their_sign(self):
        repo = self.repository("-3\r\n", {-3: crlf_list("n.dat")}, {"n.dat": b"n"})
        game = self.game(settings=b"[VERSION]\r\nGame=-7\r\n")
        with Nginx(repo):
            result = run_headless(game)
        self.assertEqual(result["L2"], "Mise à jours à la version -3!")
        self.assertIn(b"Game=-3\r\n", game.read("Config/Client.ini"))

    def test_a_bandwidth_cap_set_by_the_player_holds_for_all_transfers_together(self):
        # Four files fetched at once under [UPDATER] DebitMax=200 (Ko/s): the
        # run takes at least as long as the bytes need at the cap, less 5 %.
        # Only that bound is checked here: a slow machine makes a run longer,
        # never shorter (the benchmark measures how close to the cap it runs).
        cap = 200 * 1024
        files = {"pak%d.bin" % k: os.urandom(700 * 1024) for k in range(4)}
        repo = self.repository("6\r\n", {6: crlf_list(*files)}, files)
        settings = b"[VERSION]\r\nGame= 5\r\n[UPDATER]\r\nDebitMax=200\r\n"
        game = self.game(settings=settings)
        with Nginx(repo):
            started = time.monotonic()
            result = run_headless(game, env={"UPDATER_TEST_PARALLEL": "4"})
            elapsed = time.monotonic() - started
        self.assertEqual(result["UpdateDone"], "1", result)
        for entry, content in files.items():
            self.assertEqual(game.read(entry), content)
        moved = sum(len(content) for content in files.values())
        self.assertLessEqual(moved / elapsed, cap * 1.05, "%.1f s for %d bytes" % (elapsed, moved))
        # The player's key stays as it was written.
        self.assertEqual(game.read("Config/Client.ini"),
                         b"[VERSION]\r\nGame= 6\r\n[UPDATER]\r\nDebitMax=200\r\nFin=1\r\n")

    def test_the_game_missing_stops_before_anything_is_written(self):
        repo = self.repository("9\r\n", {9: crlf_list("x.dat")}, {"x.dat": b"x"})
        game = self.game(game=False)
        before = game.snapshot()
        with Nginx(repo) as nginx:
            result = run_headless(game)
            requests = nginx.requests()
        self.assertEqual(result["messageboxes"], ["kestralon.exe est introuvable!"])
        self.assertEqual(result["shown"], "0")
        self.assertEqual(requests, [])
        self.assertEqual(game.snapshot(), before)


class OverHttps(Case):
    """The repository over TLS from nginx, with a certificate authority made
    for the suite: the updater trusts it through the CA file it is given."""

    @classmethod
    def setUpClass(cls):
        cls.authority = tls.CertificateAuthority()

    @classmethod
    def tearDownClass(cls):
        cls.authority.remove()

    def test_certificates(self):
        """The good certificate updates the game, its files sharing one HTTP/2
        connection; any other stops before a request with the French reason and
        changes nothing."""
        files = {"data/%d.bin" % i: os.urandom(400_000 + i) for i in range(6)}
        files["caf\u00e9 menu.txt"] = b"accented name"
        repo = self.repository("6\r\n", {6: crlf_list(*files)}, files)
        ca_file = self.authority.ca_file
        cases = [(tls.GOOD, ca_file, None)] + [(name, ca_file, CERTIFICATE_REFUSED) for name in tls.REFUSED]
        # The authority is trusted only because it is named: without it, the
        # good certificate is refused too.
        cases.append((tls.GOOD, "", CERTIFICATE_REFUSED))
        for certificate, trusted, reason in cases:
            with self.subTest(certificate=certificate, ca_file=trusted):
                game = self.game(files={"data/0.bin": b"installed copy"})
                before = game.snapshot()
                env = {"UPDATER_TEST_URLS": "https://%s:%d%s" % (HOST, PORT, BASE_PATH),
                       "UPDATER_TEST_CA_FILE": trusted}
                with Nginx(repo, certificate=self.authority.server(certificate)) as nginx:
                    result = run_headless(game, env=env)
                    requests, connections = nginx.requests(), nginx.connections()
                if reason:
                    self.assertEqual((result["L2"], result["L3"], result["UpdateDone"]), (FAILED, reason, "0"), result)
                    self.assertEqual(game.snapshot(), before)
                    self.assertEqual(requests, [])
                    continue
                self.assertEqual(result["UpdateDone"], "1", result)
                self.assertEqual({e: game.read(e) for e in files}, files)
                self.assertEqual(sorted(requests), sorted(["/game/update/" + INDEX, "/game/update/" + list_name(6)]
                                                          + ["/game/update/files\\" + e for e in files]))
                self.assertEqual({protocol for _, protocol in connections}, {"HTTP/2.0"})
                self.assertEqual(len({number for number, _ in connections}), 1, connections)


    def test_a_redirect_from_https_to_plain_http_is_refused(self):
        """Leaving https would hand the file to anyone on the way, even when
        the plain server would serve it well."""
        repo = self.repository("6\r\n", {6: crlf_list("data/keep.dat")}, {"data/keep.dat": b"new"})
        game = self.game(files={"data/keep.dat": b"installed copy"})
        before = game.snapshot()
        plain_port = free_port()
        env = {"UPDATER_TEST_URLS": "https://%s:%d%s" % (HOST, PORT, BASE_PATH),
               "UPDATER_TEST_CA_FILE": self.authority.ca_file}
        with FaultServer(repo, {REMOTE_KEEP: "to-http"}, certificate=self.authority.server(tls.GOOD),
                         http_port=plain_port), FaultServer(repo, {}, port=plain_port) as plain:
            result = run_headless(game, env=env)
        self.assertEqual((result["L2"], result["L3"], result["UpdateDone"]),
                         (FAILED, "Redirection refusée pour files\\data/keep.dat.", "0"), result)
        self.assertEqual(game.snapshot(), before)
        self.assertEqual(plain.requests, [])


class AgainstAFaultyServer(Case):
    """Each fault stops the run with its reason; every installed file, the
    recorded version and the rest of the folder stay exactly as they were."""

    KEEP = "data/keep.dat"
    REMOTE = REMOTE_KEEP

    def run_fault(self, fault, remote=REMOTE, index="6\r\n", extra_lists=None, env=None, faults=None):
        lists = {6: crlf_list("first.dat", self.KEEP)}
        lists.update(extra_lists or {})
        repo = self.repository(index, lists, {"first.dat": b"first", self.KEEP: os.urandom(200_000)})
        game = self.game(files={self.KEEP: b"installed copy", "first.dat": b"installed first"})
        before = game.snapshot()
        started = time.monotonic()
        with FaultServer(repo, faults or ({remote: fault} if fault else {})) as server:
            result = run_headless(game, env=env)
        result["seconds"] = time.monotonic() - started
        return game, before, server, result

    def assertStoppedUnchanged(self, game, before, result, reason):
        self.assertEqual((result["L2"], result["L3"], result["UpdateDone"]), (FAILED, reason, "0"), result)
        self.assertEqual(game.snapshot(), before)

    def test_answers_that_must_not_be_installed(self):
        """A failure anywhere, even after other files arrived, installs nothing:
        the first file of the list is not replaced either."""
        cases = [
            ("404", REMOTE_KEEP, "Le serveur a répondu 404 pour files\\data/keep.dat."),
            ("short", REMOTE_KEEP, "Transfert incomplet: files\\data/keep.dat."),
            ("reset", REMOTE_KEEP, "Transfert incomplet: files\\data/keep.dat."),
            ("no-length", REMOTE_KEEP, "Le serveur n'a pas indiqué la taille de files\\data/keep.dat."),
            ("http10", REMOTE_KEEP, "Le serveur n'a pas indiqué la taille de files\\data/keep.dat."),
            ("204", REMOTE_KEEP, "Le serveur a répondu 204 pour files\\data/keep.dat."),
            ("205", REMOTE_KEEP, "Le serveur a répondu 205 pour files\\data/keep.dat."),
            ("206", REMOTE_KEEP, "Réponse partielle inattendue pour files\\data/keep.dat."),
            ("gzip", REMOTE_KEEP, "Contenu compressé refusé: files\\data/keep.dat."),
            ("loop", REMOTE_KEEP, "Trop de redirections pour files\\data/keep.dat."),
            ("file-redirect", REMOTE_KEEP, "Redirection refusée pour files\\data/keep.dat."),
            ("huge-header", REMOTE_KEEP, "Réponse invalide du serveur pour files\\data/keep.dat."),
            ("two-lengths", REMOTE_KEEP, "Réponse invalide du serveur pour files\\data/keep.dat."),
            ("no-status", REMOTE_KEEP, "Réponse invalide du serveur pour files\\data/keep.dat."),
            ("404", INDEX, "Le serveur a répondu 404 pour qoro_update_infos.deploy."),
            ("portal", INDEX, "Index des versions illisible: qoro_update_infos.deploy."),
            ("empty", INDEX, "Index des versions illisible: qoro_update_infos.deploy."),
            ("gzip", INDEX, "Contenu compressé refusé: qoro_update_infos.deploy."),
            ("no-length", list_name(6), "Le serveur n'a pas indiqué la taille de qoro_update_6.deploy."),
            # Fast enough for the progress rule, which would wait minutes for
            # it: the deadline of a small file stops it within seconds.
            (("slow", 400), INDEX, "Délai dépassé: qoro_update_infos.deploy.", TRICKLED_INDEX),
        ]
        for fault, remote, reason, *index in cases:
            with self.subTest(fault=fault, remote=remote):
                game, before, _, result = self.run_fault(fault, remote=remote, index=index[0] if index else "6\r\n")
                self.assertStoppedUnchanged(game, before, result, reason)

    def test_500_is_tried_three_times(self):
        game, before, server, result = self.run_fault("500")
        self.assertStoppedUnchanged(game, before, result, "Le serveur a répondu 500 pour files\\data/keep.dat.")
        self.assertEqual(server.count(self.REMOTE), 3)

    def test_one_500_then_success_completes_the_update(self):
        game, _, server, result = self.run_fault(("500", 1))
        self.assertEqual(result["UpdateDone"], "1", result)
        self.assertEqual(game.read(self.KEEP), server.repository.files[self.KEEP])
        self.assertEqual(server.count(self.REMOTE), 2)

    def test_stalled_transfer_times_out(self):
        game, before, server, result = self.run_fault("stall")
        self.assertStoppedUnchanged(game, before, result, "Délai dépassé: files\\data/keep.dat.")
        self.assertEqual(server.count(self.REMOTE), 3)

    def test_a_silent_server_costs_no_cpu_while_the_run_waits(self):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        game, _, server, result = self.run_fault(("pause", 2))
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        self.assertEqual(result["UpdateDone"], "1", result)
        self.assertEqual(game.read(self.KEEP), server.repository.files[self.KEEP])
        self.assertGreater(result["seconds"], 2)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        self.assertLess(cpu, 0.4)  # a loop that polls without sleeping burns the whole 2 s

    def test_chunked_body_without_length_is_read_to_its_end(self):
        game, _, server, result = self.run_fault("chunked")
        self.assertEqual(result["UpdateDone"], "1", result)
        self.assertEqual(game.read(self.KEEP), server.repository.files[self.KEEP])

    def test_redirect_is_followed(self):
        game, _, server, result = self.run_fault("redirect")
        self.assertEqual(result["UpdateDone"], "1", result)
        self.assertEqual(game.read(self.KEEP), server.repository.files[self.KEEP])

    def test_unreachable_server(self):
        game = self.game()
        before = game.snapshot()
        result = run_headless(game)
        self.assertStoppedUnchanged(game, before, result, "Serveur injoignable.")

    def test_hostile_entry_refuses_the_whole_update_before_any_download(self):
        deep = "a/" * 32000 + "x"
        shown = lambda e: e if len(e) <= 200 else e[:200] + "\u2026"
        cases = [(e, "Chemin refusé: %s." % shown(e)) for e in (
            "../evil.txt", "/tmp/evil.txt", "C:/evil.txt", "a/../../evil.txt",
            # Names no file can have, and entries past the length of a Windows path.
            ".", "a/.", "data/", "b" * 260, deep, "updater.journal",
            # Other spellings of a name, as the file system resolves them.
            "./updater.journal", "Config/./updater.serial", "Config//updater.serial", "UPDATER.JOURNAL",
            "updater.journal. ", "Config\\UPDATER.serial", "a/ /b.dat", "a/. /b.dat")]
        # An entry that another one needs as its folder.
        cases.append(("later.dat/inside", "Impossible d'écrire later.dat."))
        for hostile, reason in cases:
            with self.subTest(hostile=hostile[:40]):
                game, before, server, result, peak_kib = self.run_measured(
                    index="6\r\n7\r\n", extra_lists={7: crlf_list("later.dat", hostile)})
                self.assertStoppedUnchanged(game, before, result, reason)
                self.assertFalse([r for r in server.requests if r.startswith("files\\")])
                self.assertFalse(os.path.exists(os.path.join(os.path.dirname(game.root), "evil.txt")))
                # A deep entry once cost quadratic memory (a gigabyte for this one).
                self.assertLess(peak_kib, 300 * 1024)

    def run_measured(self, index, extra_lists):
        """run_fault, with the updater's own peak memory."""
        lists = {6: crlf_list("first.dat", self.KEEP)}
        lists.update(extra_lists)
        repo = self.repository(index, lists, {"first.dat": b"first", self.KEEP: b"new"})
        game = self.game(files={self.KEEP: b"installed copy", "first.dat": b"installed first"})
        before = game.snapshot()
        with FaultServer(repo, {}) as server:
            process = start_headless(game)
            output = process.stdout.read()
            _, status, usage = os.wait4(process.pid, 0)
            process.returncode = os.waitstatus_to_exitcode(status)
        self.assertEqual(process.returncode, 0)
        return game, before, server, parse_headless(output), usage.ru_maxrss

    def test_version_that_does_not_fit_sixteen_bits(self):
        game, before, server, result = self.run_fault(None, index="6\r\n1e5\r\n")
        self.assertStoppedUnchanged(game, before, result, "Version invalide: 1e5.")
        self.assertEqual(server.requests, [INDEX])

    def test_a_folder_in_the_way_of_a_file(self):
        repo = self.repository("6\r\n", {6: crlf_list("data/keep.dat")}, {"data/keep.dat": b"new"})
        game = self.game()
        os.makedirs(game.path("data/keep.dat/inside"))
        before = game.snapshot()
        with FaultServer(repo, {}):
            result = run_headless(game)
        self.assertStoppedUnchanged(game, before, result, "Impossible d'écrire data/keep.dat.")
        self.assertTrue(os.path.isdir(game.path("data/keep.dat/inside")))


    def test_resume_within_a_run(self):
        # The first answer breaks off halfway; the second asks for the rest only.
        game, _, server, result = self.run_fault("cut")
        self.assertEqual(result["UpdateDone"], "1", result)
        self.assertEqual(game.read(self.KEEP), server.repository.files[self.KEEP])
        keep = [r for r, q in zip(server.requests, server.ranges) if r == self.REMOTE]
        ranges = [q for r, q in zip(server.requests, server.ranges) if r == self.REMOTE]
        self.assertEqual(len(keep), 2)
        self.assertEqual(ranges, [None, "bytes=100000-"])
        # The file changed on the server meanwhile, and the server ignores
        # If-Range: a range that is not the rest of the same file (another
        # ETag, another total) throws the part away and fetches the file whole.
        for change in ("etag", "total"):
            with self.subTest(change=change):
                game, _, server, result = self.run_fault(("splice", change))
                self.assertEqual(result["UpdateDone"], "1", result)
                self.assertEqual(game.read(self.KEEP), server.repository.files[self.KEEP])
                ranges = [q for r, q in zip(server.requests, server.ranges) if r == self.REMOTE]
                self.assertEqual(ranges, [None, "bytes=100002-", None])

    def test_a_failed_run_leaves_no_folder_behind_and_shows_what_arrived(self):
        """A long list of files in new folders whose first file fails: the
        folders are made as files arrive and those left empty go, and the
        percentage is the share of the files that arrived, not the list's."""
        entries = ["deep/%03d/a/b.dat" % i for i in range(300)]
        repo = self.repository("6\r\n", {6: crlf_list(*entries)}, {e: b"x" * 100 for e in entries})
        game = self.game()
        before = game.snapshot()
        with FaultServer(repo, {"files\\" + entries[0]: "404"}):
            result = run_headless(game, env={"UPDATER_TEST_PARALLEL": "8"})
        self.assertStoppedUnchanged(game, before, result, "Le serveur a répondu 404 pour files\\deep/000/a/b.dat.")
        self.assertFalse(os.path.exists(game.path("deep")))
        # At most the files in flight beside the first can have arrived.
        self.assertLessEqual(int(result["Label4"].rstrip("%")), 100 * 8 // len(entries))

    def test_a_trickle_counts_as_a_stall(self):
        """Eight files at a few bytes a second would take days: each stalls
        after a window with less than a kilobyte, and the run stops."""
        files = {"t/%d.bin" % i: os.urandom(50_000) for i in range(8)}
        repo = self.repository("6\r\n", {6: crlf_list(*files)}, files)
        game = self.game()
        before = game.snapshot()
        started = time.monotonic()
        with FaultServer(repo, {"files\\" + e: ("slow", 2) for e in files}):
            result = run_headless(game, env={"UPDATER_TEST_PARALLEL": "8"})
        self.assertEqual((result["L2"], result["UpdateDone"]), (FAILED, "0"), result)
        self.assertRegex(result["L3"], r"^Délai dépassé: files\\t/\d\.bin\.$")
        self.assertEqual(game.snapshot(), before)
        # Three windows of the transfer time-out and two pauses, not days.
        self.assertLess(time.monotonic() - started, 20 * TRANSFER_TIMEOUT)

    def test_server_busy_is_honoured_then_capped(self):
        game, _, server, result = self.run_fault(("busy", 1, 1))
        self.assertEqual(result["UpdateDone"], "1", result)
        self.assertGreaterEqual(result["seconds"], 1)
        self.assertIn(("L3", "Serveur occupé, nouvel essai dans 1 s..."), result["trace"])
        self.assertEqual(game.read(self.KEEP), server.repository.files[self.KEEP])
        # A server asking for an hour is given two minutes at most: the window
        # counts down from 120 s.
        repo = self.repository("6\r\n", {6: crlf_list(self.KEEP)}, {self.KEEP: b"new"})
        game = self.game(files={self.KEEP: b"installed copy"})
        with FaultServer(repo, {self.REMOTE: ("busy", 1, 3600)}):
            process = start_headless(game)
            self.addCleanup(lambda: process.poll() is None and process.kill())
            for line in process.stdout:
                if line.startswith("set=L3=Serveur occupé".encode()):
                    break
            process.kill()
            process.wait()
        self.assertEqual(line.decode().strip(), "set=L3=Serveur occupé, nouvel essai dans 120 s...")

    def test_failover_to_the_next_mirror(self):
        dead = "http://127.0.0.1:%d/game/update/" % free_port()
        up = "http://127.0.0.1:%d/game/update/"
        cases = [(dead, "unreachable", "500"), (up, "500", "500"), (up, "404", "404"),
                 (up, "index trickled past its deadline", ("slow", 400))]
        for first, reason, fault in cases:
            with self.subTest(first=reason):
                repo = self.repository(TRICKLED_INDEX, {6: crlf_list("first.dat", self.KEEP)},
                                       {"first.dat": b"first", self.KEEP: b"new"})
                game = self.game(files={self.KEEP: b"installed copy"})
                second_port = free_port()
                with FaultServer(repo, {INDEX: fault}) as failing, \
                        FaultServer(repo, {}, port=second_port) as second:
                    urls = (first % PORT if "%d" in first else first) + " http://127.0.0.1:%d/game/update/" % second_port
                    result = run_headless(game, env={"UPDATER_TEST_URLS": urls})
                self.assertEqual(result["UpdateDone"], "1", result)
                self.assertEqual(game.read(self.KEEP), b"new")
                # The mirror that failed is left for the rest of the run.
                self.assertLessEqual(len(failing.requests), 1)
                self.assertEqual(second.requests[:2], [INDEX, list_name(6)])
                self.assertEqual(sorted(second.requests[2:]), sorted(["files\\first.dat", self.REMOTE]))

    def test_a_mirror_is_left_once_for_each_of_its_failures(self):
        """Eight files fail together on the first mirror: the run moves to the
        second once, not once per file, and never reaches the third. A mirror
        that accepts connections and never answers is left once the time for
        an answer has passed."""
        files = {"m/%d.bin" % i: os.urandom(20_000) for i in range(8)}
        repo = self.repository("6\r\n", {6: crlf_list(*files)}, files)
        busy_files = {"files\\" + e: ("busy", 100, 1) for e in files}
        closed = "http://127.0.0.1:%d/game/update/" % free_port()
        silent = socket.socket()
        self.addCleanup(silent.close)
        silent.bind((HOST, 0))
        silent.listen(64)  # connections complete in the backlog; nothing ever answers
        silent_url = "http://%s:%d/game/update/" % (HOST, silent.getsockname()[1])
        url = "http://%s:%d/game/update/"
        for name, faults, first_url in (("503 for the files", busy_files, url % (HOST, PORT)),
                                        ("silent", {}, silent_url)):
            with self.subTest(first=name):
                game = self.game()
                good_port = free_port()
                started = time.monotonic()
                with FaultServer(repo, faults), FaultServer(repo, {}, port=good_port) as good:
                    urls = " ".join([first_url, url % (HOST, good_port), closed])
                    result = run_headless(game, env={"UPDATER_TEST_URLS": urls, "UPDATER_TEST_PARALLEL": "8"})
                self.assertEqual(result["UpdateDone"], "1", result)
                self.assertEqual({e: game.read(e) for e in files}, files)
                self.assertEqual(sorted(r for r in good.requests if r.startswith("files\\")),
                                 sorted("files\\" + e for e in files))
                # The time for an answer (a few seconds here), once, not a
                # transfer time-out per file.
                self.assertLess(time.monotonic() - started, 10 * TRANSFER_TIMEOUT)

    def test_two_updaters_in_one_folder(self):
        # The first is slowed down by its big file; the second starts meanwhile.
        repo = self.repository("6\r\n", {6: crlf_list(self.KEEP)}, {self.KEEP: os.urandom(400_000)})
        game = self.game(files={self.KEEP: b"installed copy"})
        with FaultServer(repo, {self.REMOTE: ("slow", 200_000)}):
            first = start_headless(game)
            self.addCleanup(lambda: first.poll() is None and first.kill())
            wait_until(lambda: any(".~upd-" in name for name in os.listdir(game.path("data"))), what="the first run")
            second = run_headless(game)
            output, _ = first.communicate(timeout=60)
        self.assertEqual((second["L2"], second["L3"], second["UpdateDone"]),
                         (FAILED, "Une autre mise à jour est déjà en cours dans ce dossier.", "0"))
        self.assertEqual(parse_headless(output)["UpdateDone"], "1")
        self.assertEqual(game.read(self.KEEP), repo.files[self.KEEP])
        self.assertIn(b"Game= 6", game.read("Config/Client.ini"))
        self.assertEqual(sorted(os.listdir(game.path("data"))), ["keep.dat"])

    def test_a_run_killed_midway_is_resumed_or_cleaned_up_by_the_next(self):
        """kill -9 while a file arrives: the next run asks only for the rest
        when the file is still listed, and removes the partial copy when not."""
        for still_listed in (True, False):
            with self.subTest(still_listed=still_listed):
                body = os.urandom(200_000)
                repo = self.repository("6\r\n", {6: crlf_list("first.dat", self.KEEP)},
                                       {"first.dat": b"first", self.KEEP: body})
                game = self.game(files={self.KEEP: b"installed copy"})
                with FaultServer(repo, {self.REMOTE: "stall"}):
                    process = start_headless(game)
                    self.addCleanup(lambda: process.poll() is None and process.kill())
                    wait_until(lambda: b"valid\t" in read_or_empty(game.path("updater.staging")),
                               what="a resumable partial file")
                    process.kill()
                    process.wait()
                before = game.snapshot()
                if not still_listed:
                    repo = self.repository("6\r\n7\r\n", {6: crlf_list("first.dat"), 7: crlf_list("other.dat")},
                                           {"first.dat": b"first", "other.dat": b"other"})
                with FaultServer(repo, {}) as server:
                    result = run_headless(game)
                self.assertEqual(result["UpdateDone"], "1", result)
                if still_listed:
                    self.assertEqual(game.read(self.KEEP), body)
                    ranges = [q for r, q in zip(server.requests, server.ranges) if r == self.REMOTE]
                    self.assertEqual(ranges, ["bytes=100000-"])
                else:
                    self.assertEqual(game.read(self.KEEP), b"installed copy")
                # Nothing of the killed run is left, and nothing else went.
                names = [n for n in game.snapshot() if ".~upd-" in n or n.startswith("updater.")]
                self.assertEqual(names, [])
                self.assertEqual(game.read("kestralon.exe"), before["kestralon.exe"])

    def test_a_commit_cut_short_is_finished_by_the_next_start(self):
        """The journal names every move; a start finds it before anything else
        and completes it, whether the kill came before, during or after the moves."""
        # A hand-made half-done commit: a.dat already moved, b.dat not yet.
        game = self.game(files={"a.dat": b"new a", "a.dat.~old-0000000a": b"old a", "b.dat": b"old b",
                                "b.dat.~upd-0000000b": b"new b"})
        game.write("updater.journal", journal(6, ("a.dat.~upd-0000000a", "a.dat", "a.dat.~old-0000000a"),
                                              ("b.dat.~upd-0000000b", "b.dat", "b.dat.~old-0000000b")))
        repo = self.repository("6\r\n", {6: crlf_list("a.dat", "b.dat")}, {"a.dat": b"new a", "b.dat": b"new b"})
        with FaultServer(repo, {}) as server:
            result = run_headless(game)
        self.assertEqual((result["L2"], result["UpdateDone"]), ("Tu as la dernière version!", "1"), result)
        self.assertEqual(server.requests, [INDEX])
        after = game.snapshot()
        self.assertEqual((after.pop("a.dat"), after.pop("b.dat")), (b"new a", b"new b"))
        self.assertEqual(sorted(after), ["Config/Client.ini", "kestralon.exe"])
        self.assertIn(b"Game= 6", game.read("Config/Client.ini"))

        # A real kill -9 while many files are being put in place: whenever it
        # lands, the next start leaves the whole new version and records it.
        files = {"f/%04d.dat" % i: b"new %d" % i for i in range(3000)}
        repo = self.repository("7\r\n", {7: crlf_list(*files)}, files)
        game = self.game(files={name: b"old" for name in list(files)[:1500]})
        with Nginx(repo):
            process = start_headless(game, stdout=subprocess.DEVNULL)
            self.addCleanup(lambda: process.poll() is None and process.kill())
            wait_until(lambda: os.path.exists(game.path("updater.journal")) or process.poll() is not None,
                       timeout=60, interval=0.0005, what="the commit")
            process.kill()
            process.wait()
            result = run_headless(game)
        self.assertEqual(result["UpdateDone"], "1", result)
        after = game.snapshot()
        self.assertEqual({n: after[n] for n in files}, files)
        self.assertIn(b"Game= 7", game.read("Config/Client.ini"))
        self.assertEqual(sorted(set(after) - set(files)), ["Config/Client.ini", "kestralon.exe"])

    def test_planted_records_are_set_aside_and_never_acted_on(self):
        """A journal or staging record made by hand, cut or edited is read
        before any signature: it is set aside as .bad (replacing an older one),
        nothing it names is touched, inside the folder or out, its version is
        not recorded, and the run goes on as if it were not there."""
        outside = tempfile.mkdtemp(prefix="outside-")
        self.addCleanup(shutil.rmtree, outside, True)
        bad_sum = bytearray(journal(32767))
        bad_sum[-3] ^= 1
        cases = [
            ("updater.journal", "moves outside the folder", lambda out: journal(
                6, ("first.dat.~upd-0123abcd", out, out + ".~old-0123abcd"),
                (out + ".~upd-0123abcd", out, out + ".~old-0123abcd"))),
            ("updater.journal", "names game files as staged and backup", lambda out: journal(
                6, ("kestralon.exe", "first.dat", "Config/Client.ini"),
                ("first.dat.~upd-0123abcd", "first.dat", "kestralon.exe"))),
            ("updater.journal", "names a backup that is not its staged name's", lambda out: journal(
                6, ("first.dat.~upd-0123abcd", "first.dat", "Config/Client.ini"))),
            ("updater.journal", "records 32767 under a bad sum", lambda out: bytes(bad_sum)),
            ("updater.journal", "is of the older format", lambda out: b"kestralon-journal 1\nversion 32767\nend\n"),
            ("updater.staging", "names a file outside", lambda out: staging_record(
                "file\t%s\tfirst.dat" % out, "file\t../x.~upd-0123abcd\t../x")),
            ("updater.staging", "names game files", lambda out: staging_record(
                "file\tConfig/Client.ini\tfirst.dat", "file\tkestralon.exe.~upd-0123abcd\tkestralon.exe")),
            ("updater.staging", "validates a name it never staged", lambda out: staging_record(
                "valid\tkestralon.exe\t\"etag\"\t5")),
            ("updater.staging", "has a piece under a bad sum", lambda out: staging_record(
                "file\tfirst.dat.~upd-0123abcd\tfirst.dat").replace(b"sum ", b"sum 0")),
            ("updater.staging", "is of the older format", lambda out: b"kestralon-staging 1\n"
                                                                      b"file\tfirst.dat.~upd-0123abcd\tfirst.dat\n"),
        ]
        settings = b"[VERSION]\r\nGame= 5\r\n[LOGIN]\r\nLogin=player\r\nResolution=1024x768\r\n"
        repo = self.repository("6\r\n", {6: crlf_list("first.dat", self.KEEP)}, {"first.dat": b"first", self.KEEP: b"new"})
        for record, what, content in cases:
            with self.subTest(record=record, what=what):
                victim = os.path.join(outside, "victim.txt")
                with open(victim, "wb") as f:
                    f.write(b"outside")
                # Files a record acting blindly would move or delete.
                planted = {"first.dat.~upd-0123abcd": b"planted", "kestralon.exe.~upd-0123abcd": b"planted"}
                game = self.game(settings=settings, files=dict(planted, **{self.KEEP: b"installed copy"}))
                out = os.path.relpath(victim, game.root)
                with open(victim + ".~upd-0123abcd", "wb") as f:
                    f.write(b"planted outside")
                planted_record = content(out)
                game.write(record, planted_record)
                game.write(record + ".bad", b"an older one")
                exe = game.read("kestralon.exe")
                with FaultServer(repo, {}):
                    result = run_headless(game)
                self.assertEqual((result["L2"], result["UpdateDone"]), ("Mise à jours à la version 6!", "1"), result)
                self.assertEqual(sorted(os.listdir(outside)), ["victim.txt", "victim.txt.~upd-0123abcd"])
                self.assertEqual(read_or_empty(victim), b"outside")
                os.remove(victim + ".~upd-0123abcd")
                after = game.snapshot()
                self.assertEqual(after.pop("kestralon.exe"), exe)
                ini = after.pop("Config/Client.ini")
                self.assertIn(b"Login=player\r\nResolution=1024x768", ini)
                self.assertIn(b"Game= 6", ini)
                self.assertEqual(after.pop(record + ".bad"), planted_record)
                self.assertEqual(after, dict(planted, **{"first.dat": b"first", self.KEEP: b"new"}))

        # A piece cut by a crash (no "sum" line after it) is left out; the
        # whole pieces before it still count, and the record is not set aside.
        game = self.game(files={"gone.dat.~upd-0123abcd": b"left by a run", "kestralon.exe.~upd-0123abcd": b"x"})
        game.write("updater.staging", staging_record("file\tgone.dat.~upd-0123abcd\tgone.dat")
                   + b"file\tkestralon.exe.~upd-0123abcd\tkestralon.exe\nsum 01")
        with FaultServer(repo, {}):
            result = run_headless(game)
        self.assertEqual(result["UpdateDone"], "1", result)
        after = game.snapshot()
        self.assertNotIn("gone.dat.~upd-0123abcd", after)
        self.assertEqual(after["kestralon.exe.~upd-0123abcd"], b"x")
        self.assertFalse([n for n in after if n.startswith("updater.")], after)

        # A kill before the record's first line was whole: a record that
        # names nothing yet, not one to set aside.
        for cut in (b"", b"kestralon-staging", b"kestralon-staging 3"):
            with self.subTest(cut=cut):
                game = self.game()
                game.write("updater.staging", cut)
                with FaultServer(repo, {}):
                    result = run_headless(game)
                self.assertEqual(result["UpdateDone"], "1", result)
                self.assertFalse([n for n in game.snapshot() if n.startswith("updater.")])

    def test_settings_that_cannot_be_written_are_reported(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to run the updater as another user")
        repo = self.repository("6\r\n", {6: crlf_list(self.KEEP)}, {self.KEEP: b"new"})
        for index, reason in (("6\r\n", "Impossible d'enregistrer la version 6."),
                              ("5\r\n", "Impossible d'écrire Config\\Client.ini.")):
            with self.subTest(index=index):
                repo = self.repository(index, {6: crlf_list(self.KEEP)}, {self.KEEP: b"new"})
                game = self.game(files={self.KEEP: b"installed copy"})
                # The game folder is the player's; Config and its file are not
                # theirs to change (the updater runs as nobody, who is no root).
                for folder, _, names in os.walk(game.root):
                    os.chown(folder, NOBODY, -1)
                    for name in names:
                        os.chown(os.path.join(folder, name), NOBODY, -1)
                os.chown(game.path("Config"), 0, -1)
                os.chown(game.path("Config/Client.ini"), 0, -1)
                os.chmod(game.path("Config"), 0o755)
                os.chmod(game.path("Config/Client.ini"), 0o644)
                with FaultServer(repo, {}):
                    result = run_headless(game, user=NOBODY)
                self.assertEqual((result["L2"], result["L3"], result["UpdateDone"]), (FAILED, reason, "0"), result)
                self.assertEqual(game.read("Config/Client.ini"), b"[VERSION]\r\nGame= 5\r\n")

    def test_many_files_at_once(self):
        """200 files, 8 in flight: each requested once and installed whole; a
        failure stops the others at once and leaves nothing behind."""
        files = {"many/%03d.bin" % i: os.urandom(3000 + i) for i in range(200)}
        repo = self.repository("6\r\n", {6: crlf_list(*files)}, files)
        game = self.game()
        with FaultServer(repo, {}) as server:
            result = run_headless(game, env={"UPDATER_TEST_PARALLEL": "8"})
        self.assertEqual(result["UpdateDone"], "1", result)
        self.assertEqual(sorted(r for r in server.requests if r.startswith("files")),
                         sorted("files\\" + e for e in files))
        self.assertEqual({e: game.read(e) for e in files}, files)
        self.assertEqual(result["Label4"], "100%")
        counters = [int(t.split(": ")[1].split(" ")[0]) for f, t in result["trace"]
                    if f == "L3" and t.startswith("Fichier de téléchargement")]
        self.assertEqual(counters, sorted(set(counters)))
        self.assertEqual(counters[0], 1)
        self.assertLessEqual(counters[-1], 200)

        game = self.game(files={"many/000.bin": b"installed"})
        before = game.snapshot()
        slow = {"files\\" + e: ("slow", 2000) for e in files}
        slow["files\\many/003.bin"] = "404"
        started = time.monotonic()
        with FaultServer(repo, slow):
            result = run_headless(game, env={"UPDATER_TEST_PARALLEL": "8"})
        self.assertEqual(result["L3"], "Le serveur a répondu 404 pour files\\many/003.bin.")
        # The files in flight (a second and a half each) were not waited for.
        self.assertLess(time.monotonic() - started, 1.4)
        after = game.snapshot()
        self.assertEqual(after, before)


def update_repo(*arguments):
    done = subprocess.run([os.path.join(BUILD_DIR, "update-repo"), *arguments], capture_output=True, text=True)
    if done.returncode != 0:
        raise AssertionError("update-repo %s: %s" % (" ".join(arguments), done.stderr))
    return done.stdout


def readable(repo):
    """What update-repo wrote, readable by nginx's workers."""
    for folder, _, names in os.walk(repo.root):
        make_readable(folder)
        for name in names:
            os.chmod(os.path.join(folder, name), 0o644)


def openssl_signature(key, message):
    """ECDSA P-256 over SHA-256 by the openssl command, as r || s in hex (the
    DER sequence of two integers unpacked)."""
    der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key], input=message, capture_output=True,
                         check=True).stdout
    integers, i = [], 2 + (der[1] & 0x7F if der[1] & 0x80 else 0)
    while i < len(der):
        length = der[i + 1]
        integers.append(int.from_bytes(der[i + 2:i + 2 + length], "big"))
        i += 2 + length
    return "".join("%064x" % n for n in integers)


class AgainstASignedRepository(Case):
    """With the operator's key compiled in, nothing that the signed metadata
    does not vouch for is installed; every attack leaves the game and the
    settings byte for byte as they were."""

    KEEP = "data/keep.dat"
    # Loopback sockets buffer a few MiB at most on each side.
    MOST_IN_SOCKETS = 16 * 1024 * 1024

    def setUp(self):
        folder = tempfile.mkdtemp(prefix="keys-")
        self.addCleanup(shutil.rmtree, folder, True)
        self.key = os.path.join(folder, "operator.pem")
        self.public = update_repo("keygen", "--out", self.key).split()[0]
        self.other_key = os.path.join(folder, "other.pem")
        self.other_public = update_repo("keygen", "--out", self.other_key).split()[0]
        self.fresh_key = os.path.join(folder, "fresh.pem")
        self.fresh_public = update_repo("keygen", "--out", self.fresh_key).split()[0]
        self.env = {"UPDATER_TEST_PUBLIC_KEY": self.public}

    def signed_repository(self, files=None, *signing):
        files = files or {"first.dat": b"first", self.KEEP: os.urandom(100_000)}
        repo = self.repository("6\r\n7\r\n", {6: crlf_list(*files), 7: crlf_list(next(iter(files)))}, files)
        update_repo("sign", "--repo", repo.root, "--key", self.key, "--first-signing", *signing)
        readable(repo)
        return repo

    @staticmethod
    def sign_by_hand(repo, name, key, text):
        """Writes a top metadata file and its signature by key, as a key
        holder could without update-repo."""
        with open(os.path.join(repo.root, name), "wb") as f:
            f.write(text)
        public = subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-outform", "DER"], capture_output=True,
                                check=True).stdout[-64:]
        with open(os.path.join(repo.root, name[:-len(".meta")] + ".sig"), "w") as f:
            f.write("kestralon-signature 1\n%s %s\n" % (hashlib.sha256(public).hexdigest()[:16],
                                                         openssl_signature(key, text)))

    def resign(self, repo, key, edit=lambda text: text, fresh_key=None):
        """The release metadata edited and signed by key, then fresh metadata
        naming it, signed by fresh_key (the operator's key by default)."""
        with open(os.path.join(repo.root, RELEASE), "rb") as f:
            text = edit(f.read())
        self.sign_by_hand(repo, RELEASE, key, text)
        self.refresh_by_hand(repo, fresh_key or self.key)

    def copy_of(self, repo):
        """Another repository folder holding exactly what repo holds, as a
        mirror does."""
        copy = types.SimpleNamespace(root=tempfile.mkdtemp(prefix="mirror-"), files=dict(repo.files))
        self.addCleanup(shutil.rmtree, copy.root, True)
        shutil.copytree(repo.root, copy.root, dirs_exist_ok=True)
        return copy

    def refresh_by_hand(self, repo, key, edit=lambda text: text):
        with open(os.path.join(repo.root, RELEASE), "rb") as f:
            release = f.read()
        with open(os.path.join(repo.root, FRESH), "rb") as f:
            text = re.sub(rb"release \S+ \d+", b"release %s %d" % (hashlib.sha256(release).hexdigest().encode(),
                                                                     len(release)), f.read())
        self.sign_by_hand(repo, FRESH, key, edit(text))

    def test_attacks_are_refused_and_change_nothing(self):
        def replace_file(repo):
            with open(os.path.join(repo.root, "files", self.KEEP), "wb") as f:
                f.write(os.urandom(100_000))

        def longer_file(repo):
            with open(os.path.join(repo.root, "files", self.KEEP), "wb") as f:
                f.write(os.urandom(300_000))

        def edit_list(repo):
            with open(os.path.join(repo.root, list_name(6)), "ab") as f:
                f.write(b"extra.dat\r\n")

        def swap_list(repo):
            shutil.copy(os.path.join(repo.root, list_name(7)), os.path.join(repo.root, list_name(6)))

        def swap_metadata(repo):
            # Version 6's metadata from another publication of the same version.
            other = self.signed_repository({"first.dat": b"other", self.KEEP: b"other"})
            shutil.copy(os.path.join(other.root, "qoro_update_6.meta"), os.path.join(repo.root, "qoro_update_6.meta"))

        def remove_signature(repo):
            os.remove(os.path.join(repo.root, FRESH_SIG))

        def other_key(repo):
            self.resign(repo, self.other_key)

        def fresh_by_other_key(repo):
            self.refresh_by_hand(repo, self.other_key)

        def expired(repo):
            self.resign(repo, self.key, lambda text: re.sub(rb"expires \S+", b"expires 2020-01-01T00:00:00Z", text))

        def fresh_expired(repo):
            self.refresh_by_hand(repo, self.key,
                                 lambda text: re.sub(rb"expires \S+", b"expires 2020-01-01T00:00:00Z", text))

        def other_channel(repo):
            self.resign(repo, self.key, lambda text: text.replace(b"channel live", b"channel test"))

        def fresh_for_another_release(repo):
            # A valid fresh metadata, of another release of the same keys.
            other = self.signed_repository({"first.dat": b"other", self.KEEP: b"other"})
            for name in (FRESH, FRESH_SIG):
                shutil.copy(os.path.join(other.root, name), os.path.join(repo.root, name))

        def truncated_signature(repo):
            path = os.path.join(repo.root, RELEASE_SIG)
            with open(path, "rb") as f:
                text = f.read()
            with open(path, "wb") as f:
                f.write(text[:-20] + b"\n")

        # These leave the repository as signed and return what the server
        # does instead: it sends more than was signed, without end.
        def endless_body(repo):
            return {REMOTE_KEEP: "endless"}

        def endless_chunked_body(repo):
            return {REMOTE_KEEP: "endless-chunked"}

        def endless_list(repo):
            return {list_name(6): "endless-chunked"}

        def endless_version_metadata(repo):
            return {"qoro_update_6.meta": "endless"}

        def endless_release_metadata(repo):
            # Fresh metadata (signed as a stolen freshness key could) naming
            # a release metadata of 1.5 GiB, which the server makes endless.
            self.refresh_by_hand(repo, self.key, lambda text: re.sub(rb"(release \S+) \d+", rb"\1 1610612736", text))
            return {RELEASE: "endless"}

        cases = [
            (replace_file, "Fichier altéré: data/keep.dat."),
            (longer_file, "Fichier altéré: data/keep.dat."),
            (edit_list, "Signature invalide: qoro_update_6.deploy."),
            (swap_list, "Signature invalide: qoro_update_6.deploy."),
            (swap_metadata, "Signature invalide: qoro_update_6.meta."),
            (remove_signature, "Le serveur a répondu 404 pour qoro_update_fresh.sig."),
            (other_key, "Signature invalide: qoro_update_release.sig."),
            (fresh_by_other_key, "Signature invalide: qoro_update_fresh.sig."),
            (expired, "Mise à jour expirée."),
            (fresh_expired, "Mise à jour expirée."),
            (other_channel, "Mise à jour d'un autre canal: test."),
            (fresh_for_another_release, "Signature invalide: qoro_update_release.meta."),
            (truncated_signature, "Signature invalide: qoro_update_release.sig."),
            (endless_body, "Fichier altéré: data/keep.dat."),
            (endless_chunked_body, "Fichier altéré: data/keep.dat."),
            (endless_list, "Signature invalide: qoro_update_6.deploy."),
            (endless_version_metadata, "Signature invalide: qoro_update_6.meta."),
            (endless_release_metadata, "Signature invalide: qoro_update_release.meta."),
        ]
        for attack, reason in cases:
            with self.subTest(attack=attack.__name__):
                repo = self.signed_repository()
                good = self.copy_of(repo)
                faults = attack(repo)
                game = self.game(files={self.KEEP: b"installed copy", "first.dat": b"installed first"})
                before = game.snapshot()
                with FaultServer(repo, faults) if faults else Nginx(repo) as server:
                    result = run_headless(game, env=self.env)
                self.assertEqual((result["L2"], result["L3"], result["UpdateDone"]), (FAILED, reason, "0"), result)
                self.assertEqual(game.snapshot(), before)
                for remote in faults or {}:
                    # Each of the three attempts takes at most the signed
                    # size; what the server got rid of besides sits in the
                    # sockets' buffers. Unbounded, it is 256 MiB an attempt.
                    self.assertLess(server.sent[remote], 3 * self.MOST_IN_SOCKETS, remote)
            with self.subTest(attack=attack.__name__, mirrors="the attacked one, then a good one"):
                # A mirror needs no trust: whatever it spoils, the run moves on.
                game = self.game(files={self.KEEP: b"installed copy", "first.dat": b"installed first"})
                good_port = free_port()
                with FaultServer(repo, faults) if faults else Nginx(repo), FaultServer(good, {}, port=good_port):
                    urls = "http://%s:%d/game/update/ http://%s:%d/game/update/" % (HOST, PORT, HOST, good_port)
                    result = run_headless(game, env=dict(self.env, UPDATER_TEST_URLS=urls))
                self.assertEqual(result["UpdateDone"], "1", result)
                self.assertEqual({e: game.read(e) for e in good.files}, good.files)

    def test_a_mirror_that_trickles_a_small_file_holds_the_run_no_longer_than_its_bound(self):
        """A first mirror sends one small file at a little over a KiB a second,
        which the allowance of a second per KiB never cuts: the run leaves it
        within the file's bound and installs from the second. What nothing
        signs before it comes is padded to the signatures' limit (the fresh
        metadata's 4 KiB), as such a mirror would; the signed files are long
        here. The last row's list comes from the only mirror, past the
        deadline but within the allowance: it is waited for."""
        names = ["data/%s.dat" % os.urandom(60).hex() for _ in range(250)]
        files = {name: os.urandom(64) for name in names}
        repo = self.repository("6\r\n7\r\n", {6: crlf_list(names[0]), 7: crlf_list(*names)}, files)
        update_repo("sign", "--repo", repo.root, "--key", self.key, "--first-signing")
        readable(repo)
        good_port, pad = free_port(), 64 * 1024
        rows = [(INDEX, pad), (FRESH, 4096), (FRESH_SIG, pad), (RELEASE, pad), (RELEASE_SIG, pad), (EXTRAS, pad),
                (EXTRAS_SIG, pad), (list_name(7), 0), ("qoro_update_7.meta", 0), ("qoro_update_7.patch", 0),
                ("packs/6-7.index", 0), (list_name(7), None)]
        for remote, pad in rows:
            with self.subTest(trickled=remote, mirrors=1 if pad is None else 2):
                # From 6, the pack's index stands for the lists.
                game = self.game(settings=b"[VERSION]\r\nGame= %d\r\n" % (6 if remote.startswith("packs") else 5))
                started = time.monotonic()
                with FaultServer(repo, {remote: ("slow", 4800) if pad is None else ("slow", 1200, pad)}) as slow, \
                        FaultServer(repo, {}, port=good_port) as good:
                    urls = ["http://%s:%d/game/update/" % (HOST, port) for port in (PORT, good_port)]
                    result = run_headless(game, env=dict(self.env, UPDATER_TEST_URLS=" ".join(urls[:2 - (pad is None)])))
                seconds = time.monotonic() - started
                self.assertEqual(result["UpdateDone"], "1", result)
                self.assertTrue(all(game.read(e) == content for e, content in files.items()))
                if pad is None:
                    self.assertGreater(seconds, METADATA_DEADLINE)
                    continue
                fetched = [r for r in slow.requests if r.startswith(("files\\", "objects/", "packs/")) and r != remote]
                self.assertEqual((fetched[:1], good.count(remote)), ([], 1))
                self.assertLess(seconds, 5 * METADATA_DEADLINE)

    def test_a_mirror_that_serves_what_was_not_signed_is_left_for_the_next(self):
        for fault in ("tampered", "endless", "endless-chunked"):
            with self.subTest(first_mirror=fault):
                repo = self.signed_repository()
                game = self.game(files={self.KEEP: b"installed copy"})
                good_port = free_port()
                with FaultServer(repo, {REMOTE_KEEP: fault}) as bad, \
                        FaultServer(repo, {}, port=good_port) as good:
                    urls = "http://%s:%d/game/update/ http://%s:%d/game/update/" % (HOST, PORT, HOST, good_port)
                    result = run_headless(game, env=dict(self.env, UPDATER_TEST_URLS=urls))
                self.assertEqual(result["UpdateDone"], "1", result)
                self.assertEqual(game.read(self.KEEP), repo.files[self.KEEP])
                self.assertEqual((bad.count(REMOTE_KEEP), good.count(REMOTE_KEEP)), (1, 1))

    def test_a_link_planted_at_a_staged_name_is_never_written_through_nor_moved_in(self):
        """A killed run leaves a part on record; a link to a file outside the
        game folder then takes its place, holding the part's very bytes (a
        resume through it would fit) or the whole signed file (it would pass
        as a whole leftover)."""
        files = {"big.dat": os.urandom(200_000)}
        repo = self.signed_repository(files)
        for planted in ("part", "whole"):
            with self.subTest(planted=planted):
                game = self.game()
                with FaultServer(repo, {"files\\big.dat": "stall"}):
                    process = start_headless(game, env=self.env)
                    self.addCleanup(lambda p=process: p.poll() is None and p.kill())
                    wait_until(lambda: [n for n in os.listdir(game.root)
                                        if ".~upd-" in n and os.path.getsize(game.path(n))], what="the first half")
                    process.kill()
                    process.wait()
                part = game.path(next(n for n in os.listdir(game.root) if ".~upd-" in n))
                outside = tempfile.mkdtemp(prefix="outside-")
                self.addCleanup(shutil.rmtree, outside, True)
                target = os.path.join(outside, "target")
                with open(part, "rb") as f:
                    kept = f.read() if planted == "part" else files["big.dat"]
                with open(target, "wb") as f:
                    f.write(kept)
                os.remove(part)
                os.symlink(target, part)
                with Nginx(repo):
                    result = run_headless(game, env=self.env)
                self.assertEqual(result["UpdateDone"], "1", result)
                with open(target, "rb") as f:
                    self.assertEqual(f.read(), kept)
                self.assertFalse(os.path.islink(game.path("big.dat")))
                self.assertEqual(game.read("big.dat"), files["big.dat"])
                self.assertEqual([n for n in os.listdir(game.root) if "~" in n], [])

    def test_a_folder_moved_to_another_disk_behind_a_link_is_updated_and_repaired(self):
        repo, game, elsewhere = self.signed_repository(), self.game(), tempfile.mkdtemp(prefix="other-disk-")
        self.addCleanup(shutil.rmtree, elsewhere, True)
        os.symlink(elsewhere, game.path("data"))
        for arguments in ((), ("--repair",)):
            game.write(self.KEEP, b"damaged")
            with Nginx(repo):
                result = run_headless(game, env=self.env, arguments=arguments)
            self.assertEqual((result["UpdateDone"], os.listdir(elsewhere), game.read(self.KEEP)),
                             ("1", ["keep.dat"], repo.files[self.KEEP]), arguments)
        self.assertTrue(os.path.islink(game.path("data")))

    def test_a_whole_leftover_changed_before_the_commit_is_not_moved_in(self):
        """A killed run leaves a file whole under its staged name; the next run
        finds it signed and keeps it for the commit. Changed while the rest
        comes in, it is checked again right before the commit: the run stops
        and the game folder gets nothing."""
        files = {"big.dat": os.urandom(200_000), "slow.dat": os.urandom(200_000)}
        repo = self.signed_repository(files)
        game = self.game()
        with FaultServer(repo, {"files\\big.dat": "stall", "files\\slow.dat": "stall"}):
            process = start_headless(game, env=self.env)
            self.addCleanup(lambda p=process: p.poll() is None and p.kill())
            wait_until(lambda: len([n for n in os.listdir(game.root) if ".~upd-" in n]) == 2, what="both parts")
            process.kill()
            process.wait()
        parts = {n: game.path(n) for n in os.listdir(game.root) if ".~upd-" in n}
        big = next(path for name, path in parts.items() if name.startswith("big.dat"))
        with open(big, "wb") as f:
            f.write(files["big.dat"])
        with FaultServer(repo, {"files\\slow.dat": ("slow", 50_000)}) as server:
            process = start_headless(game, env=self.env)
            wait_until(lambda: server.count("files\\slow.dat"), what="slow.dat")
            with open(big, "r+b") as f:
                # Its first byte changed (a fixed byte would be the same one
                # time in 256).
                f.write(bytes([files["big.dat"][0] ^ 0xFF]))
            out, _ = process.communicate(timeout=120)
        result = parse_headless(out)
        self.assertEqual((result["L2"], result["L3"], result["UpdateDone"]),
                         (FAILED, "Fichier altéré: big.dat.", "0"), result)
        self.assertFalse(os.path.exists(game.path("big.dat")))
        self.assertFalse(os.path.exists(game.path("slow.dat")))

    def test_too_little_disk_space_is_said_and_changes_nothing(self):
        """What the update will write (signed sizes, and the files rebuilt from
        compressed forms) is compared with the free space before anything is
        fetched: the player reads how much is missing; also when it fills anyway."""
        files = {"big.dat": os.urandom(4_000_000)}
        repo = self.signed_repository(files)
        game = self.game(files={"big.dat": b"installed copy"})
        small = tempfile.mkdtemp(prefix="small-disk-")
        self.addCleanup(shutil.rmtree, small, True)
        used = sum(os.path.getsize(os.path.join(d, n)) for d, _, names in os.walk(game.root) for n in names)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % (used + 1_500_000), "tmpfs", small],
                          capture_output=True).returncode != 0:
            self.skipTest("no small file system can be mounted here (needs root)")
        self.addCleanup(subprocess.run, ["umount", small])
        shutil.copytree(game.root, small, dirs_exist_ok=True, symlinks=True)
        game.root, game.program = small, os.path.join(small, os.path.basename(game.program))
        before = game.snapshot()
        with Nginx(repo) as nginx:
            result = run_headless(game, env=self.env)
            fetched = [r for r in nginx.requests() if "/files\\" in r or r.endswith(".zst")]
            filled = run_headless(game, env=self.env, arguments=["--free-space=%d" % 2**40])
        self.assertEqual((result["L2"], result["UpdateDone"], fetched), (FAILED, "0", []), result)
        self.assertRegex(result["L3"], r"^Espace disque insuffisant: il manque [23] Mo \(4 Mo nécessaires, 1 Mo libres\)\.$")
        self.assertEqual((filled["UpdateDone"], filled["L3"].startswith(DISK_FULL), "big.dat (4 Mo" in filled["L3"]),
                         ("0", True, True), filled)
        self.assertEqual(game.snapshot(), before)

    def test_replayed_metadata_is_refused(self):
        """Metadata older than what the folder accepted under the same keys is
        a replay: an older release, or an older refresh of the same release.
        A later release passes whatever refresh serial the folder saw (a
        stolen freshness key holds a release back, never the next one), and
        serials another key set signed hold nothing back: a new key set is
        how an operator frees a folder held back for good."""
        repo = self.signed_repository()  # release 1, fresh 1
        tops = (RELEASE, RELEASE_SIG, FRESH, FRESH_SIG)
        older = {name: open(os.path.join(repo.root, name), "rb").read() for name in tops}
        update_repo("sign", "--repo", repo.root, "--key", self.key)  # release 2, fresh 1
        readable(repo)
        game = self.game()
        with Nginx(repo):
            self.assertEqual(run_headless(game, env=self.env)["UpdateDone"], "1")
        recorded = game.read("Config/updater.serial")
        self.assertEqual(recorded, serial_record([self.public], 2, 1))
        for name, content in older.items():
            with open(os.path.join(repo.root, name), "wb") as f:
                f.write(content)
        key_set = serial_record([self.public], 0, 0).split()[2]
        most = 2**64 - 1
        # The stored record -> whether the release 1, fresh 1 metadata now served installs.
        cases = [
            ("this key set, as the first run recorded it", recorded, False),
            ("the same release, refreshed since", serial_record([self.public], 1, 2), False),
            ("an earlier release at the greatest refresh serial", serial_record([self.public], 0, most), True),
            ("the earlier shape, which counted another file", b"kestralon-serial 2\n%s 2\n" % key_set, True),
            ("another key set", serial_record([self.other_public], 2, 1), True),
            ("another key set, at the greatest serials", serial_record([self.other_public], most, most), True),
            ("freshness keys of its own", serial_record([self.public], 9, 9, [self.fresh_public]), True),
        ]
        for what, record, installs in cases:
            with self.subTest(record=what):
                game = self.game(files={"Config/updater.serial": record})
                before = game.snapshot()
                with Nginx(repo):
                    result = run_headless(game, env=self.env)
                if installs:
                    self.assertEqual(result["UpdateDone"], "1", result)
                    self.assertEqual(game.read(self.KEEP), repo.files[self.KEEP])
                    self.assertEqual(game.read("Config/updater.serial"), serial_record([self.public], 1, 1))
                else:
                    self.assertEqual((result["L2"], result["L3"]),
                                     (FAILED, "Mise à jour plus ancienne que la dernière acceptée."), result)
                    self.assertEqual(game.snapshot(), before)

    def test_release_and_freshness_keys_keep_their_roles(self):
        """Built with two release keys, both needed, and a freshness key of
        its own: what one release key signs alone, what the freshness key
        signs as content, and fresh metadata signed by release keys are all
        refused; with every signature in its role the game installs, and the
        refresh job's serial is recorded."""
        both = self.public + "," + self.other_public
        env = {"UPDATER_TEST_PUBLIC_KEY": both, "UPDATER_TEST_RELEASE_THRESHOLD": "2",
               "UPDATER_TEST_FRESHNESS_KEY": self.fresh_public}
        in_roles = ("--key", self.other_key, "--freshness-key", self.fresh_key)

        def content_by_the_freshness_key(repo):
            self.resign(repo, self.fresh_key, lambda text: text.replace(b"serial 1", b"serial 2"), self.fresh_key)

        # (signing beside the first release key, what is done after) -> the refusal
        cases = [
            (("--freshness-key", self.fresh_key), None, "Signature invalide: qoro_update_release.sig."),
            (in_roles, content_by_the_freshness_key, "Signature invalide: qoro_update_release.sig."),
            (("--key", self.other_key), None, "Signature invalide: qoro_update_fresh.sig."),
        ]
        for signing, after, reason in cases:
            with self.subTest(signing=signing, after=after and after.__name__):
                repo = self.signed_repository(None, *signing)
                if after:
                    after(repo)
                game = self.game(files={self.KEEP: b"installed copy"})
                before = game.snapshot()
                with Nginx(repo):
                    result = run_headless(game, env=env)
                self.assertEqual((result["L2"], result["L3"], result["UpdateDone"]), (FAILED, reason, "0"), result)
                self.assertEqual(game.snapshot(), before)

        repo = self.signed_repository(None, *in_roles)
        game = self.game(files={self.KEEP: b"installed copy"})
        with Nginx(repo):
            self.assertEqual(run_headless(game, env=env)["UpdateDone"], "1")
            self.assertEqual(game.read(self.KEEP), repo.files[self.KEEP])
            self.assertEqual(game.read("Config/updater.serial"),
                             serial_record([self.public, self.other_public], 1, 1, [self.fresh_public]))
            update_repo("refresh", "--repo", repo.root, "--key", self.fresh_key, "--public-key", both,
                        "--threshold", "2")
            readable(repo)
            self.assertEqual(run_headless(game, env=env)["UpdateDone"], "1")
            self.assertEqual(game.read("Config/updater.serial"),
                             serial_record([self.public, self.other_public], 1, 2, [self.fresh_public]))

    def test_an_interrupted_update_fetches_only_what_is_missing(self):
        files = {"f/%02d.dat" % i: os.urandom(20_000) for i in range(30)}
        repo = self.signed_repository(files)
        game = self.game(files={"f/00.dat": files["f/00.dat"]})  # one file already in place
        stalled = "files\\f/20.dat"
        with FaultServer(repo, {stalled: "stall"}) as server:
            process = start_headless(game, env=dict(self.env, UPDATER_TEST_PARALLEL="1"))
            self.addCleanup(lambda: process.poll() is None and process.kill())
            wait_until(lambda: server.count(stalled), what="file 21")
            process.kill()
            process.wait()
        self.assertNotIn("files\\f/00.dat", server.requests)
        with Nginx(repo) as nginx:
            result = run_headless(game, env=self.env)
            fetched = [r for r in nginx.requests() if "/files\\" in r]
        self.assertEqual(result["UpdateDone"], "1", result)
        self.assertEqual(sorted(fetched), ["/game/update/files\\f/%02d.dat" % i for i in range(20, 30)])
        self.assertEqual({e: game.read(e) for e in files}, files)
        self.assertEqual([n for n in game.snapshot() if "~" in n or n.startswith("updater.")], [])

    def test_a_part_continued_or_thrown_away_is_checked_whole(self):
        """The check reads each staged copy back behind its transfer, a part
        kept from an earlier attempt first. Continued within the run or by
        the next one, or thrown away while the check may still be reading it
        (the file changed on the server: If-Range fails and the whole body
        comes), the file installs at the first try with exactly its signed
        bytes."""
        big = os.urandom(32 * 1024 * 1024)
        half = len(big) // 2
        remote = "files\\big.dat"
        repo = self.signed_repository({"big.dat": big})
        older = self.signed_repository({"big.dat": os.urandom(len(big))})

        def killed_at_half(served):
            def kill(game):
                with FaultServer(served, {remote: "stall"}):
                    process = start_headless(game, env=self.env)
                    self.addCleanup(lambda: process.poll() is None and process.kill())
                    wait_until(lambda: b"valid\t" in read_or_empty(game.path("updater.staging")) and
                               [n for n in os.listdir(game.root) if ".~upd-" in n and
                                os.path.getsize(game.path(n)) == half], what="half of big.dat")
                    process.kill()
                    process.wait()
            return kill

        # (what happens first, the faults of the run's server, the ranges it asks for big.dat)
        cases = [
            ("cut within the run", None, {remote: "cut"}, [None, "bytes=%d-" % half]),
            ("killed, continued", killed_at_half(repo), {}, ["bytes=%d-" % half]),
            ("killed, changed on the server", killed_at_half(older), {}, ["bytes=%d-" % half]),
        ]
        for what, before, faults, ranges in cases:
            with self.subTest(case=what):
                game = self.game()
                if before:
                    before(game)
                with FaultServer(repo, faults) as server:
                    result = run_headless(game, env=self.env)
                self.assertEqual(result["UpdateDone"], "1", result)
                self.assertEqual([q for r, q in zip(server.requests, server.ranges) if r == remote], ranges)
                self.assertEqual(game.read("big.dat"), big)
                self.assertEqual([n for n in game.snapshot() if "~" in n or n.startswith("updater.")], [])

    def published(self, *builds):
        """A repository that update-repo publish --key made of builds, as
        versions 1, 2, ..."""
        repo = types.SimpleNamespace(root=tempfile.mkdtemp(prefix="repository-"), files={})
        self.addCleanup(shutil.rmtree, repo.root, True)
        for version, files in enumerate(builds, start=1):
            build = tempfile.mkdtemp(prefix="build-")
            self.addCleanup(shutil.rmtree, build, True)
            for name, content in files.items():
                os.makedirs(os.path.dirname(os.path.join(build, name)), exist_ok=True)
                with open(os.path.join(build, name), "wb") as f:
                    f.write(content)
            update_repo("publish", "--repo", repo.root, "--version", str(version), "--from", build, "--key", self.key,
                        *(["--first-signing"] if version == 1 else []))
        readable(repo)
        return repo

    def test_files_a_version_drops_are_removed_and_a_renamed_one_is_copied(self):
        """Version 2 drops two files and a third one the player changed, and
        moves a file to another name: a keyed updater removes the two,
        with the folders they leave empty, keeps the player's file, and
        copies the moved one instead of fetching it; an updater without a
        key removes nothing and fetches it. A player's own file in a dropped
        file's folder keeps that folder."""
        moved = os.urandom(50_000)
        first = {"keep.dat": b"kept", "gone.dat": b"dropped", "old/deep/gone.dat": b"dropped too",
                 "changed.dat": b"dropped, changed by the player", "sounds/theme.ogg": moved,
                 "maps/gone.map": b"dropped beside a player's file"}
        second = {"keep.dat": b"kept", "music/theme.ogg": moved, "readme.txt": b"new"}
        repo = self.published(first, second)
        installed = dict(first, **{"changed.dat": b"the player's own text", "maps/mine.map": b"the player's map"})
        base = "/game/update/"
        for keyed in (True, False):
            with self.subTest(keyed=keyed):
                game = self.game(settings=b"[VERSION]\r\nGame= 1\r\n", files=installed)
                with Nginx(repo) as nginx:
                    result = run_headless(game, env=self.env if keyed else {})
                    requests = nginx.requests()
                self.assertEqual(result["UpdateDone"], "1", result)
                self.assertEqual(result["L2"], "Mise à jours à la version 2!")
                self.assertEqual(game.read("music/theme.ogg"), moved)
                self.assertEqual(game.read("readme.txt"), b"new")
                self.assertEqual(game.read("changed.dat"), b"the player's own text")
                self.assertEqual(game.read("maps/mine.map"), b"the player's map")
                self.assertEqual(os.path.exists(game.path("sounds/theme.ogg")), not keyed)
                self.assertEqual(game.read("keep.dat"), b"kept")
                theme = [r for r in requests if "theme.ogg" in r or hashlib.sha256(moved).hexdigest() in r]
                if keyed:
                    # No request for what the folder already held.
                    self.assertEqual(theme, [], requests)
                    for gone in ("gone.dat", "old", "sounds", "maps/gone.map"):
                        self.assertFalse(os.path.exists(game.path(gone)), gone)
                    # A repair finds the game whole: what version 2 dropped
                    # is not brought back.
                    with Nginx(repo):
                        repaired = run_headless(game, env=self.env, arguments=["--repair"])
                    self.assertEqual(repaired["L2"], "Tous les fichiers sont intacts!", repaired)
                    self.assertFalse(os.path.exists(game.path("gone.dat")))
                else:
                    self.assertEqual(theme, [base + "files\\music/theme.ogg"], requests)
                    for name in ("gone.dat", "old/deep/gone.dat", "maps/gone.map"):
                        self.assertEqual(game.read(name), first[name], name)
                left = [n for n in os.listdir(game.root) if ".~" in n or n.startswith("updater.")]
                self.assertEqual(left, [])

    def test_a_skipped_version_leaves_nothing_the_newest_dropped_whichever_way(self):
        """Version 2 adds five files and changes two, version 3 drops them,
        drops one only version 1 listed and brings back with other bytes the
        one 2 dropped. From 1 straight to 3, through the pack, the lists or an
        older update-repo's pack that carries the dropped files, the folder
        is byte for byte what 1 -> 2 -> 3 gives."""
        first = {"keep.dat": b"kept", "bin/vuln.dll": b"vuln 1", "bin/other.dll": b"other 1", "old.dat": b"1 only",
                 "back.dat": b"dropped by 2"}
        second = dict(first, **{"bin/vuln.dll": b"vuln 2", "bin/other.dll": b"other 2"},
                      **{"added/n%d.dat" % i: b"added %d" % i for i in range(5)})
        del second["back.dat"]
        third = {"keep.dat": b"kept", "back.dat": b"back with other bytes"}
        at_2, repo = self.published(first, second), self.published(first, second, third)
        stale, lists = self.copy_of(repo), self.copy_of(repo)
        os.remove(os.path.join(lists.root, "packs", "1-3.index"))
        older = self.published(first, second, dict(second, **third)).root
        shutil.copytree(os.path.join(older, "packs"), os.path.join(stale.root, "packs"), dirs_exist_ok=True)
        extras = [read_or_empty(os.path.join(r, EXTRAS)) for r in (repo.root, older)]
        self.sign_by_hand(stale, EXTRAS, self.key, re.sub(rb"pack .*\n", b"", extras[0]) +
                          b"".join(re.findall(rb"pack .*\n", extras[1])))
        readable(stale)
        for what, installed in (("as installed", first), ("changed by the player", dict(first, **{"old.dat": b"mine"})),
                                ("one absent", {k: v for k, v in first.items() if k != "bin/vuln.dll"})):
            reference = self.game(settings=b"[VERSION]\r\nGame= 1\r\n", files=installed)
            for served in (at_2, repo):
                with Nginx(served):
                    run_headless(reference, env=self.env)
            expected = reference.snapshot()
            self.assertEqual((expected.get("old.dat"), "bin/vuln.dll" in expected),
                             (b"mine" if "player" in what else None, False))
            for route, served in (("pack", repo), ("lists", lists), ("older pack", stale)):
                with self.subTest(what, route=route):
                    game = self.game(settings=b"[VERSION]\r\nGame= 1\r\n", files=installed)
                    with Nginx(served) as nginx:
                        run_headless(game, env=self.env)
                        self.assertEqual(any(r.endswith(".part") for r in nginx.requests()), route == "pack")
                    self.assertEqual(game.snapshot(), expected)

    def test_a_dropped_file_left_behind_goes_at_the_next_run(self):
        """Version 2 drops bin/vuln.dll and back.dat, 3 lists back.dat again.
        The extras the first mirror lacks are asked of the next; a dropped
        file an earlier run left goes at the next run, also an up-to-date
        one (the version stays) and a repair; a player's bytes stay, and so
        does a file listed again (an up-to-date run repairs nothing)."""
        first = {"keep.dat": b"kept", "bin/vuln.dll": b"vulnerable", "back.dat": b"back"}
        repo = self.published(first, {"keep.dat": b"kept"}, {"keep.dat": b"kept", "back.dat": b"back again"})
        left = dict(first, **{"mine.dll": b"mine"})
        for what, version, arguments in (("extras missing on the first mirror", 1, []), ("up to date", 3, []),
                                         ("a repair", 3, ["--repair"])):
            with self.subTest(what):
                game = self.game(settings=b"[VERSION]\r\nGame= %d\r\n" % version, files=left)
                port = free_port()
                with FaultServer(repo, {EXTRAS: "404"}), FaultServer(repo, {}, port=port) as mirror:
                    urls = "http://%s:%d/game/update/ http://%s:%d/game/update/" % (HOST, PORT, HOST, port)
                    result = run_headless(game, env=dict(self.env, UPDATER_TEST_URLS=urls), arguments=arguments)
                self.assertEqual((result["UpdateDone"], os.path.exists(game.path("bin"))), ("1", False), result)
                self.assertIn(b"Game= 3", game.read("Config/Client.ini"))
                self.assertEqual(game.read("back.dat"), b"back" if what == "up to date" else b"back again")
                self.assertEqual((game.read("mine.dll"), mirror.requests[0]), (b"mine", EXTRAS))

    def test_what_can_be_named_in_advance_is_asked_for_at_once(self):
        """The index and the signed metadata come in one round, then every
        newer version's list and file metadata in the next: while one answer
        of a round is held back, the rest of the round is asked for."""
        repo = self.signed_repository()
        rounds = [(INDEX, [FRESH, FRESH_SIG, RELEASE, RELEASE_SIG, EXTRAS, EXTRAS_SIG]),
                  ("qoro_update_6.deploy", ["qoro_update_6.meta", "qoro_update_7.deploy", "qoro_update_7.meta"])]
        for held, alongside in rounds:
            with self.subTest(held=held):
                game = self.game()
                with FaultServer(repo, {held: "stall"}) as server:
                    process = start_headless(game, env=self.env, stdout=subprocess.DEVNULL)
                    try:
                        wait_until(lambda: all(server.count(name) for name in alongside), what=" ".join(alongside))
                        self.assertEqual(server.count(held), 1)
                    finally:
                        process.kill()
                        process.wait()

    def test_extras_that_do_not_check_are_set_aside(self):
        """They only ever save work: the update goes on as without them."""
        for spoil in ("edited", "made for another release", "missing signature"):
            with self.subTest(spoil=spoil):
                repo = self.signed_repository()
                path = os.path.join(repo.root, EXTRAS)
                if spoil == "edited":
                    with open(path, "ab") as f:
                        f.write(b"pack 1 7 " + b"0" * 64 + b" 10\n")
                elif spoil == "made for another release":
                    with open(path, "rb") as f:
                        text = re.sub(rb"release \S+", b"release " + b"0" * 64, f.read())
                    self.sign_by_hand(repo, EXTRAS, self.key, text)
                else:
                    os.remove(os.path.join(repo.root, EXTRAS_SIG))
                game = self.game()
                with Nginx(repo):
                    result = run_headless(game, env=self.env)
                self.assertEqual(result["UpdateDone"], "1", result)
                self.assertEqual(game.read(self.KEEP), repo.files[self.KEEP])

    def test_an_updater_without_a_key_still_updates_from_a_signed_repository(self):
        repo = self.signed_repository()
        game = self.game()
        with Nginx(repo) as nginx:
            result = run_headless(game)
            requests = nginx.requests()
        self.assertEqual(result["UpdateDone"], "1", result)
        self.assertFalse([r for r in requests if r.endswith((".meta", ".sig"))])
        self.assertEqual(game.read(self.KEEP), repo.files[self.KEEP])


def archive(seed, base=None, edits=0):
    """A compressible game archive of about 200 kB: text lines drawn from seed;
    with base, base's lines with a few of them rewritten."""
    import random
    draw = random.Random(seed)
    words = [b"%06x" % draw.randrange(1 << 24) for _ in range(300)]
    lines = base.split(b"\n") if base else [b" ".join(draw.choice(words) for _ in range(8)) for _ in range(3500)]
    for _ in range(edits):
        lines[draw.randrange(len(lines))] = b"edited %d" % draw.randrange(1 << 30)
    return b"\n".join(lines)


def run_with_faults(game, arguments, env):
    """The headless updater with test-only faults in its game folder
    (tests/failing_folder.h): what the window was told, the calls it counted
    and how many it failed."""
    done = subprocess.run([game.program, *arguments], cwd="/", capture_output=True, timeout=120,
                          env=dict(os.environ, **env))
    if done.returncode != 0:
        raise AssertionError("headless updater exited with %d:\n%s" % (done.returncode,
                                                                      done.stderr.decode(errors="replace")))
    result = parse_headless(done.stdout)
    result["calls"] = dict((kind, int(count)) for kind, _, count in
                           (pair.partition("=") for pair in result.get("calls", "").split()))
    return result


class WhenTheGameFolderFails(Case):
    """Whole runs against nginx whose game folder fails one call on purpose
    (the headless driver's --fail): the disk full from each write of the run
    on, each rename, open, close and folder refused in turn, the flush before
    the commit, the settings file, the free space. The calls are counted in a
    clean run first. Whatever fails, the game is all old or all new
    afterwards, with nothing of the run left but what it keeps on purpose (a
    journal whose version could not be recorded, the compressed forms and
    rebuilt files it verified), and the next clean run leaves it exactly as a
    clean run would have. Version 2 also drops a file and moves another:
    the commit removes the one and the folders it empties, and the other is
    copied, not fetched."""

    BUILDS = ({"data/archive.pak": archive(1), "readme.txt": b"first readme", "keep.dat": b"unchanged",
               "old/deep/gone.dat": b"dropped by version 2", "sounds/theme.ogg": bytes(range(256)) * 30},
              {"data/archive.pak": archive(2, archive(1), 5), "readme.txt": b"the second readme",
               "keep.dat": b"unchanged", "maps/new/town.map": bytes(range(256)) * 20,
               "music/theme.ogg": bytes(range(256)) * 30})

    def setUp(self):
        folder = tempfile.mkdtemp(prefix="faults-")
        self.addCleanup(shutil.rmtree, folder, True)
        key = os.path.join(folder, "operator.pem")
        self.env = {"UPDATER_TEST_PUBLIC_KEY": update_repo("keygen", "--out", key).split()[0],
                    "UPDATER_TEST_PARALLEL": "1"}
        # Version 2 installs with a delta from the installed archive, a new
        # file in new folders, a replaced one, a removed one and a copied one;
        # keep.dat is already in place.
        self.repo = types.SimpleNamespace(root=os.path.join(folder, "repository"))
        os.makedirs(self.repo.root)
        for version, files in enumerate(self.BUILDS, start=1):
            build = os.path.join(folder, "build-%d" % version)
            for name, content in files.items():
                os.makedirs(os.path.dirname(os.path.join(build, name)), exist_ok=True)
                with open(os.path.join(build, name), "wb") as f:
                    f.write(content)
            update_repo("publish", "--repo", self.repo.root, "--version", str(version), "--from", build,
                        "--key", key, *(["--first-signing"] if version == 1 else []))
        make_readable(folder)
        readable(self.repo)

    def installed(self):
        return self.game(settings=b"[VERSION]\r\nGame= 1\r\n", files=self.BUILDS[0])

    @staticmethod
    def tree(game):
        """Every file and folder below the game folder but the program: the
        settings file's text, the others' SHA-256 (a difference between two
        trees then reads in a few lines)."""
        found = {}
        for folder, names, files in os.walk(game.root):
            for name in names:
                found[os.path.relpath(os.path.join(folder, name), game.root)] = "<dir>"
            for name in files:
                full = os.path.join(folder, name)
                if full != game.program:
                    with open(full, "rb") as f:
                        content = f.read()
                    relative = os.path.relpath(full, game.root)
                    found[relative] = content if relative == "Config/Client.ini" else hashlib.sha256(content).hexdigest()
        return found

    @staticmethod
    def game_and_version(tree):
        """The installed game: every file but the updater's bookkeeping in
        Config (the finish marker and the serial are written last), and the
        recorded version."""
        version = re.search(rb"Game=\s*(-?\d+)", tree.get("Config/Client.ini", b""))
        rest = {n: c for n, c in tree.items() if n not in ("Config/Client.ini", "Config/updater.serial")}
        return rest, version and version.group(1)

    @staticmethod
    def differences(found, expected):
        """The names whose content differs, or that only one side has."""
        return sorted(n for n in set(found) | set(expected) if found.get(n) != expected.get(n))

    @staticmethod
    def kept_verified(game):
        """What updater.staging names as verified and is still there (staged
        name -> SHA-256 in hex, as tree() gives it), checked against it."""
        kept = {}
        for line in read_or_empty(game.path("updater.staging")).decode("utf-8", "replace").split("\n"):
            fields = line.split("\t")
            if fields[0] == "verified" and len(fields) == 4:
                kept[fields[1]] = fields[2]
            elif fields[0] == "gone" and len(fields) == 2:
                kept.pop(fields[1], None)
        return {n: digest for n, digest in kept.items() if os.path.isfile(game.path(n))}

    @staticmethod
    def fault_met(result, faults):
        """Whether the run met a fault of the row, or made fewer calls of
        each kind than the row's fault waited for. The staging record is
        written in batches, at the pace the transfers wake the run, and files
        are rebuilt beside the transfers: a run may write the record once
        less than the run that was counted, and a fault on its last write
        then has nothing to fall on."""
        if int(result.get("faults", 1)) >= 1:
            return True
        return all(result["calls"].get(kind, 0) < int(nth.rstrip("+"))
                   for kind, nth, _ in (fault.split(":") for fault in faults))

    def check_row(self, arguments, before, after):
        """One run with the faults of arguments, then a clean one."""
        game = self.installed()
        result = run_with_faults(game, arguments, self.env)
        failed = self.tree(game)
        said = "%s -> %s" % (result.get("L3"), result.get("calls"))
        # Kept on purpose for the next run, on record, with the bytes it
        # verified, and the folders the run made for them.
        kept = self.kept_verified(game)
        for name, digest in kept.items():
            self.assertEqual(failed.pop(name), digest, said)
            folder = os.path.dirname(name)
            while folder and folder not in before:
                failed.pop(folder, None)
                folder = os.path.dirname(folder)
        if kept:
            failed.pop("updater.staging")
        if result.get("powercut"):
            pass  # a killed run's leftovers are the next start's to deal with
        elif "updater.journal" in failed:
            # Kept on purpose: the version could not be recorded, or a file
            # could not be put back; the next start finishes the commit.
            self.assertRegex(result["L3"], "^(Impossible d'(enregistrer la version 2|écrire .*)|%s .*)\\.$" % DISK_FULL, said)
        elif self.game_and_version(failed) == self.game_and_version(before):
            self.assertEqual(result["UpdateDone"], "0", said)
            self.assertEqual(self.differences(failed, before), [], "not all old: " + said)
        else:
            game_after, version_after = self.game_and_version(after)
            game_failed, version_failed = self.game_and_version(failed)
            self.assertEqual((self.differences(game_failed, game_after), version_failed), ([], version_after),
                             "neither all old nor all new: " + said)
            if not any("=settings:" in argument for argument in arguments):  # all new succeeds unless Fin was refused
                self.assertEqual((result["UpdateDone"], failed["Config/Client.ini"].count(b"Fin=1")), ("1", 1), said)
        again = run_with_faults(game, [], self.env)
        self.assertEqual(again["UpdateDone"], "1", again)
        self.assertEqual(self.differences(self.tree(game), after), [], "the next run did not finish it: " + said)
        return result

    def test_all_old_or_all_new_whatever_fails(self):
        game = self.installed()
        before = self.tree(game)
        with Nginx(self.repo) as nginx:
            clean = run_with_faults(game, ["--count-calls"], self.env)
            self.assertEqual(clean["UpdateDone"], "1", clean)
            after = self.tree(game)
            # The dropped file went with the folders it emptied; the moved one
            # was copied, not fetched.
            self.assertEqual({"old", "old/deep", "sounds", "sounds/theme.ogg"} & set(after), set(), after)
            self.assertEqual(after["music/theme.ogg"], hashlib.sha256(self.BUILDS[1]["music/theme.ogg"]).hexdigest())
            self.assertEqual([r for r in nginx.requests() if "theme" in r], [])
            counts = clean["calls"]
            rows = [["write:%d+:ENOSPC" % n] for n in range(1, counts["write"] + 1)]
            rows += [["%s:%d:%s" % (kind, n, error)] for kind, error in
                     (("open", "EACCES"), ("close", "EIO"), ("rename", "EACCES"), ("mkdir", "EACCES"),
                      ("flush", "EIO"), ("flush", "ENOSPC"), ("settings", "EROFS"), ("settings", "ENOSPC"),
                      ("space", "EIO"), ("read", "EIO"))
                     for n in range(1, counts[kind] + 1)]
            # A rename refused, then each of the next ones: those that put
            # the moved files back when it was one of the commit's moves.
            rows += [["rename:%d:EACCES" % n, "rename:%d:EIO" % later] for n in range(1, counts["rename"] + 1)
                     for later in range(n + 1, n + 5)]
            # The power goes at each call that writes.
            rows += [["%s:%d:cut" % (kind, n)] for kind in ("open", "write", "close", "rename", "mkdir", "settings")
                     for n in range(1, counts[kind] + 1)]
            for faults in rows:
                with self.subTest(" ".join(faults)):
                    result = self.check_row(["--fail=" + fault for fault in faults], before, after)
                    self.assertTrue(self.fault_met(result, faults), result)
                    if faults[0].endswith("ENOSPC") and result["UpdateDone"] != "1":
                        self.assertTrue(result["L3"].startswith(DISK_FULL), result)
            with self.subTest("too little free space"):
                result = self.check_row(["--free-space=1000"], before, after)
                self.assertRegex(result["L3"], "^Espace disque insuffisant: ", result)

    def test_a_way_short_of_memory_or_disk_gives_way_to_the_next(self):
        """The installed archive cannot be mapped for lack of address space, or
        one write fails on a full disk that then has room again: a rebuild
        that meets it falls to the object, then the whole file, and the run
        still installs; a record or a file written as it arrives that meets
        it may fail the run, all old."""
        game = self.installed()
        before = self.tree(game)
        with Nginx(self.repo):
            clean = run_with_faults(game, ["--count-calls"], self.env)
            after = self.tree(game)
            self.assertGreaterEqual(clean["calls"]["map"], 1, clean)
            for n in range(1, clean["calls"]["map"] + 1):
                with self.subTest("map:%d:ENOMEM" % n):
                    result = self.check_row(["--fail=map:%d:ENOMEM" % n], before, after)
                    self.assertEqual(result["UpdateDone"], "1", result)
            # The archive is rebuilt from a delta; the other files are
            # written as they arrive, and the records as they change.
            for n in range(1, clean["calls"]["write"] + 1):
                with self.subTest("write:%d:ENOSPC" % n):
                    result = self.check_row(["--fail=write:%d:ENOSPC" % n], before, after)
                    if result["UpdateDone"] != "1":
                        self.assertNotIn("archive.pak", result["L3"], "a rebuild stopped the run")

    def test_what_a_failed_or_cut_run_verified_is_not_fetched_again(self):
        """A run that fails or loses power once the pack's part that holds the
        archive's delta arrived whole and matched its signed digest, or once
        the archive was rebuilt from it, keeps it on record; the next run reads
        it again, takes it rather than fetch the part, and leaves the game as a
        clean run would."""
        game = self.installed()
        with Nginx(self.repo) as nginx:
            clean = run_with_faults(game, ["--count-calls"], self.env)
            self.assertEqual(clean["UpdateDone"], "1", clean)
            after = self.tree(game)
            self.assertEqual(len([r for r in nginx.requests() if r.endswith(".part")]), 1, nginx.requests())
            counts = clean["calls"]
            rows = [["%s:%d:%s" % (kind, n, error)] for kind, error in
                    (("open", "EACCES"), ("open", "cut"), ("close", "EIO"), ("rename", "cut"))
                    for n in range(1, counts[kind] + 1)]
            kept_rows = []
            for faults in rows:
                with self.subTest(" ".join(faults)):
                    game = self.installed()
                    run_with_faults(game, ["--fail=" + fault for fault in faults], self.env)
                    kept = self.kept_verified(game)
                    for name, digest in kept.items():
                        self.assertEqual(hashlib.sha256(game.read(name)).hexdigest(), digest, name)
                    seen = len(nginx.requests())
                    again = run_with_faults(game, [], self.env)
                    self.assertEqual(again["UpdateDone"], "1", again)
                    self.assertEqual(self.differences(self.tree(game), after), [])
                    fetched = [r for r in nginx.requests()[seen:] if r.endswith((".part", ".zst"))]
                    if kept:
                        kept_rows.append(faults)
                        self.assertEqual(fetched, [], kept)
            # Among them: the rebuild's own file refused, the journal refused.
            self.assertGreaterEqual(len(kept_rows), 2, kept_rows)

if __name__ == "__main__":
    unittest.main()
