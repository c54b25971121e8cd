"""Wine for the Windows build's suites: a prefix of our own on the suites'
virtual display, and Windows paths for the files they hand its programs."""

import glob
import os
import shutil
import subprocess
import tempfile
import time


class Wine:
    """A fresh Wine prefix of our own, removed at the end."""

    def __init__(self, display):
        self.display = display
        self.prefix = tempfile.mkdtemp(prefix="wine-updater-")
        self.env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
        self.env.update({
            "WINEPREFIX": self.prefix,
            "WINEDEBUG": "-all",
            # No network: decline the Mono and Gecko installers.
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            # Wine derives the ANSI code page from the locale; an English or
            # French UTF-8 locale gives Windows-1252, as on Western European
            # Windows. The suites check it.
            "LC_ALL": "C.UTF-8",
        })
        self.env.update(display.environment())
        self.wine = shutil.which("wine64") or shutil.which("wine") or "/usr/lib/wine/wine64"
        started = time.monotonic()
        subprocess.run([self.wine, "wineboot", "-i"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.server(["-w"])
        # Debian's Wine does not find its own Tahoma in /usr/share/wine/fonts,
        # so GDI would substitute another face. A Windows system has Tahoma
        # in its Fonts folder; so does this prefix.
        fonts = os.path.join(self.prefix, "drive_c", "windows", "Fonts")
        for font in glob.glob("/usr/share/wine/fonts/tahoma*.ttf"):
            shutil.copy(font, fonts)
        print("wine prefix ready in %.1fs" % (time.monotonic() - started), flush=True)

    def server(self, arguments):
        wineserver = shutil.which("wineserver") or "/usr/lib/wine/wineserver64"
        subprocess.run([wineserver] + arguments, env=self.env, check=False, timeout=120)

    def set_dpi(self, dpi):
        """The display's DPI as Windows' display settings set it. Like Windows, which
        asks for a new sign-in, Wine takes it at the start of its session: the
        session (the prefix's wineserver) is left to end first."""
        subprocess.run([self.wine, "reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t",
                        "REG_DWORD", "/d", str(dpi), "/f"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.server(["-w"])

    def windows_path(self, path):
        # Wine maps the Unix root to drive Z:.
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def start(self, program, *arguments, cwd=None):
        return subprocess.Popen([self.wine, program] + list(arguments), env=self.env, cwd=cwd,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def run(self, program, *arguments, timeout=600):
        process = self.start(program, *arguments)
        output, _ = process.communicate(timeout=timeout)
        return process.returncode, output.decode("utf-8", "replace")

    def stop(self):
        # Only the wineserver of our own prefix, with every process in it.
        self.server(["-k"])
        shutil.rmtree(self.prefix, ignore_errors=True)
