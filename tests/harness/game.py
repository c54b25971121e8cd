"""Files on disk for the programs under test: update repositories as a
server serves them, and game folders with a program under test copied in."""

import os
import shutil
import stat
import tempfile
import unittest

INDEX = "qoro_update_infos.deploy"


def list_name(version):
    return "qoro_update_%d.deploy" % version


def crlf_list(*entries):
    """A file list as operators write it: one entry per line, CR LF ends."""
    return "".join(e + "\r\n" for e in entries).encode("cp1252")


def make_readable(path):
    """nginx's workers run as an unprivileged user: let them walk in."""
    os.chmod(path, os.stat(path).st_mode | stat.S_IRWXU | stat.S_IRGRP | stat.S_IXGRP | stat.S_IROTH | stat.S_IXOTH)


def make_tree_readable(root):
    """Every folder and file below root readable by nginx's workers, as
    update-repo leaves them or not."""
    for folder, _, names in os.walk(root):
        os.chmod(folder, 0o755)
        for name in names:
            os.chmod(os.path.join(folder, name), 0o644)


def read_or_empty(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def snapshot(root, leave_out=None):
    """Every file below root (but leave_out): relative path -> bytes."""
    files = {}
    for folder, _, names in os.walk(root):
        for name in names:
            full = os.path.join(folder, name)
            if full != leave_out:
                with open(full, "rb") as f:
                    files[os.path.relpath(full, root)] = f.read()
    return files


def _encoded(content):
    return content if isinstance(content, bytes) else content.encode("cp1252")


class Repository:
    """An update repository folder: the index, one list per version, and every
    game file under files/ (entries name their folders with "/"). In a new
    temporary folder, or in root, emptied first."""

    def __init__(self, index, lists, files, root=None):
        if root:
            shutil.rmtree(root, ignore_errors=True)
            os.makedirs(root)
        self.root = root or tempfile.mkdtemp(prefix="repo-")
        self.index = _encoded(index)
        self.lists = lists
        self.files = files
        self._write(INDEX, self.index)
        for version, content in lists.items():
            self._write(list_name(version), content)
        for entry, content in files.items():
            self._write(os.path.join("files", *entry.split("/")), content)
        for folder, _, _ in os.walk(self.root):
            make_readable(folder)

    def _write(self, relative, content):
        path = os.path.join(self.root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(_encoded(content))
        os.chmod(path, 0o644)

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


# The stand-in game of the Linux suites: it leaves a marker when started.
LINUX_GAME = b'#!/bin/sh\ntouch "$(dirname "$0")/game-started"\n'


class GameFolder:
    """A game folder with a program under test copied in, the stand-in game
    (kestralon.exe: the Linux script, or the program `game` names), and an
    optional settings file."""

    def __init__(self, program, settings=b"[VERSION]\r\nGame= 5\r\n", config_folder=True, game=True,
                 files=None, prefix="game-"):
        self.root = tempfile.mkdtemp(prefix=prefix)
        self.program = os.path.join(self.root, os.path.basename(program))
        shutil.copy2(program, self.program)
        if isinstance(game, str):
            shutil.copy(game, self.path("kestralon.exe"))
        elif game:
            self.write("kestralon.exe", LINUX_GAME)
            os.chmod(self.path("kestralon.exe"), 0o755)
        if config_folder:
            os.makedirs(self.path("Config"))
            if settings is not None:
                self.write("Config/Client.ini", settings)
        for entry, content in (files or {}).items():
            self.write(entry, content)

    def path(self, relative):
        return os.path.join(self.root, *relative.split("/"))

    def write(self, relative, content):
        os.makedirs(os.path.dirname(self.path(relative)), exist_ok=True)
        with open(self.path(relative), "wb") as f:
            f.write(_encoded(content))

    def read(self, relative):
        with open(self.path(relative), "rb") as f:
            return f.read()

    def snapshot(self):
        """Every file below the folder except the program itself: name -> bytes."""
        return snapshot(self.root, leave_out=self.program)

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


class FolderCase(unittest.TestCase):
    """A test that makes game folders for `program()` and repositories, all
    removed when it ends."""

    def program(self):
        raise NotImplementedError

    def game(self, **kwargs):
        game = GameFolder(self.program(), **kwargs)
        self.addCleanup(game.remove)
        return game

    def repository(self, index, lists, files):
        repo = Repository(index, lists, files)
        self.addCleanup(repo.remove)
        return repo
