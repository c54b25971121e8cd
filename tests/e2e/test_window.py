"""The real updater in a real window under a virtual display, driven like a
player drives it: clicks on the drawn close button, Enter on message boxes,
the window manager's close request."""

import os
import subprocess
import tempfile
import time
import unittest

from harness import (BUILD_DIR, FERMER, SOURCE_DIR, WAIT_SECONDS, WINDOW_SIZE, FaultServer, FolderCase, Nginx, click,
                     crlf_list, ensure_display, main_window, message_boxes, press, screenshot, stop_display,
                     updater_program, wait_until)


# A file that takes 30 s to arrive: a loaded machine still clicks during
# its transfer; a test that ends sooner stops the server's trickle.
SLOW_RATE = 40_000
SLOW_SIZE = 30 * SLOW_RATE


def setUpModule():
    ensure_display()


def tearDownModule():
    stop_display()


class WindowCase(FolderCase):
    def setUp(self):
        self.assertIsNone(main_window(), "a window from an earlier test is still open")

    def program(self):
        return updater_program()

    def start(self, game):
        errors = tempfile.TemporaryFile()
        self.addCleanup(errors.close)
        process = subprocess.Popen([game.program], cwd="/", stdout=subprocess.DEVNULL, stderr=errors)
        process.errors = errors
        self.addCleanup(self.stop, process)
        return process

    @staticmethod
    def stop(process):
        if process.poll() is None:
            process.kill()
        # Reaped, so that its windows are gone before the next test looks.
        process.wait()

    def wait_while_running(self, process, predicate, what):
        """Waits for predicate to come true while the updater runs; fails at
        once, with what it wrote on stderr, if it exits first."""
        def ready():
            value = predicate()
            if not value and process.poll() is not None:
                process.errors.seek(0)
                self.fail("the updater exited with status %d while the test waited for %s; stderr:\n%s"
                          % (process.returncode, what, process.errors.read().decode("utf-8", "replace")))
            return value
        return wait_until(ready, what=what)

    def assertExits(self, process):
        try:
            process.wait(timeout=WAIT_SECONDS)
        except subprocess.TimeoutExpired:
            self.fail("the updater is still running after %ds" % WAIT_SECONDS)

    def settings(self, game):
        return game.read("Config/Client.ini")


class StartAndClose(WindowCase):
    def test_missing_game_shows_one_message_and_exits_without_touching_anything(self):
        game = self.game(game=False)
        before = game.snapshot()
        process = self.start(game)
        box = self.wait_while_running(process, message_boxes, "the message box")[0]
        self.assertIsNone(main_window())  # the picture window never appears
        self.assertEqual(len(message_boxes()), 1)
        press(box, "Return")
        self.assertExits(process)
        self.assertEqual(game.snapshot(), before)

    def test_completed_update_then_fermer_starts_the_game(self):
        # A long name, so that the texts shown while it downloads run further
        # right than the final ones: what they leave behind must be repainted.
        entry = "data/a-rather-long-file-name-for-the-test.dat"
        repo = self.repository("6\r\n", {6: crlf_list(entry)}, {entry: b"new content"})
        game = self.game()
        with Nginx(repo):
            process = self.start(game)
            self.wait_while_running(process, lambda: b"Fin=1" in self.settings(game), "the end of the run")
            window = self.wait_while_running(process, main_window, "the window")
            self.check_picture(window)
            self.wait_while_running(process, lambda: self.status_lines_end_before(window, 200),
                                    "the old texts to be painted over")
            click(window, *FERMER)
            self.assertExits(process)
        self.assertEqual(message_boxes(), [])
        wait_until(lambda: os.path.exists(game.path("game-started")), what="the game to start")
        self.assertEqual(self.settings(game), b"[VERSION]\r\nGame= 6\r\n[UPDATER]\r\nFin=1\r\n")
        self.assertEqual(game.read(entry), b"new content")

    def status_lines_end_before(self, window, x):
        """True when the two status lines show nothing right of x: there the
        window must be the bare picture again."""
        folder = tempfile.mkdtemp()
        shot = os.path.join(folder, "window.png")
        screenshot(window, shot)
        background = os.path.join(SOURCE_DIR, "src", "lifecycle", "artwork", "background.png")
        region = "%dx34+%d+29" % (272 - x, x)  # L2 and L3, from x to their right end
        crops = []
        for name, source in (("shot", shot), ("background", background)):
            crop = os.path.join(folder, name + "-crop.png")
            subprocess.run(["convert", source, "-crop", region, "+repage", crop], check=True)
            crops.append(crop)
        differing = subprocess.run(["compare", "-metric", "AE", *crops, "null:"], capture_output=True, text=True)
        return int(float(differing.stderr.split()[0])) == 0

    def check_picture(self, window):
        """The window is the picture at its size, with the texts drawn over it."""
        shot = os.path.join(tempfile.mkdtemp(), "window.png")
        screenshot(window, shot)
        size = subprocess.run(["identify", "-format", "%w %h", shot], capture_output=True, text=True).stdout
        self.assertEqual(tuple(map(int, size.split())), WINDOW_SIZE)
        background = os.path.join(SOURCE_DIR, "src", "lifecycle", "artwork", "background.png")
        differing = subprocess.run(["compare", "-metric", "AE", shot, background, "null:"],
                                   capture_output=True, text=True).stderr
        pixels = int(float(differing.split()[0]))
        # Text covers a few hundred pixels; a blank or misplaced picture differs nearly everywhere.
        self.assertGreater(pixels, 100)
        self.assertLess(pixels, WINDOW_SIZE[0] * WINDOW_SIZE[1] // 5)

    def test_fermer_during_a_slow_transfer_warns_and_stops_without_the_game(self):
        big = os.urandom(SLOW_SIZE)
        repo = self.repository("6\r\n", {6: crlf_list("data/big.dat")}, {"data/big.dat": big})
        game = self.game(files={"data/big.dat": b"installed copy"})
        with FaultServer(repo, {"files\\data/big.dat": ("slow", SLOW_RATE)}) as server:
            process = self.start(game)
            window = self.wait_while_running(process, main_window, "the window")
            self.wait_while_running(process, lambda: server.count("files\\data/big.dat"), "the transfer to start")
            click(window, *FERMER)
            box = self.wait_while_running(process, message_boxes, "the warning")[0]
            press(box, "Return")
            # The whole file takes 30 s; stopping at once leaves the installed copy, as checked below.
            self.assertExits(process)
        self.assertFalse(os.path.exists(game.path("game-started")))
        self.assertEqual(self.settings(game), b"[VERSION]\r\nGame= 5\r\n[UPDATER]\r\nFin=1\r\n")
        self.assertEqual(game.read("data/big.dat"), b"installed copy")
        self.assertEqual(sorted(os.listdir(game.path("data"))), ["big.dat"])

    def test_very_long_texts_are_cut_to_the_window(self):
        """Xlib refuses to draw a string of hundreds of kilobytes; the window
        shows the reason cut to its width and stays usable."""
        cases = [("9" * 400_000 + "\r\n", {}), ("6\r\n", {6: crlf_list("x" * 500_000)})]
        for index, lists in cases:
            with self.subTest(index=index[:10]):
                repo = self.repository(index, lists, {})
                game = self.game()
                before = game.snapshot()
                with FaultServer(repo, {}):
                    process = self.start(game)
                    window = wait_until(main_window, what="the window")
                    wait_until(lambda: not self.status_lines_end_before(window, 8), what="the texts")
                    # The run stops within milliseconds of its first text; a
                    # window that cannot draw the reason dies right then.
                    time.sleep(1)
                    self.assertIsNone(process.poll(), process.stderr.read() if process.poll() is not None else "")
                    self.check_picture(window)
                    click(window, *FERMER)
                    box = wait_until(message_boxes, what="the warning")[0]
                    press(box, "Return")
                    self.assertExits(process)
                after = game.snapshot()
                self.assertEqual(after.pop("Config/Client.ini"), b"[VERSION]\r\nGame= 5\r\n[UPDATER]\r\nFin=1\r\n")
                before.pop("Config/Client.ini")
                self.assertEqual(after, before)

    def test_escape_is_ignored_and_the_window_manager_close_stops_the_run_writing_nothing(self):
        repo = self.repository("6\r\n", {6: crlf_list("big.dat")}, {"big.dat": os.urandom(SLOW_SIZE)})
        game = self.game(files={"big.dat": b"installed copy"})
        before = game.snapshot()
        with FaultServer(repo, {"files\\big.dat": ("slow", SLOW_RATE)}) as server:
            process = self.start(game)
            window = self.wait_while_running(process, main_window, "the window")
            self.wait_while_running(process, lambda: server.count("files\\big.dat"), "the transfer to start")
            press(window, "Escape")
            with self.assertRaises(subprocess.TimeoutExpired):
                process.wait(timeout=0.5)
            subprocess.run([os.path.join(BUILD_DIR, "tests", "x11_close"), window], check=True)
            # The whole file takes 30 s; a run that went on would change the folder, as checked below.
            self.assertExits(process)
        self.assertEqual(game.snapshot(), before)


if __name__ == "__main__":
    unittest.main()
