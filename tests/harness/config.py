"""What the Linux suites are run against, from the environment ctest gives
them (tests/CMakeLists.txt): the build folder and the settings compiled into
it. The Windows suites (tests/windows/run.py) name their own port."""

import os
import urllib.parse

_TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

SOURCE_DIR = os.environ.get("UPDATER_SOURCE_DIR", os.path.dirname(_TESTS))
BUILD_DIR = os.environ.get("UPDATER_BUILD_DIR", os.path.join(SOURCE_DIR, "build"))
UPDATE_URL = os.environ.get("UPDATE_URL", "http://127.0.0.1:8080/game/update/")
TRANSFER_TIMEOUT = int(os.environ.get("TRANSFER_TIMEOUT_SECONDS", "60"))
METADATA_DEADLINE = int(os.environ.get("METADATA_DEADLINE_SECONDS", "60"))
_url = urllib.parse.urlsplit(UPDATE_URL)
HOST, PORT, BASE_PATH = _url.hostname, _url.port or 80, _url.path
