"""The end-to-end harness of the Linux suites (tests/e2e) and of the Windows
build's suites under Wine (tests/windows/run.py): real servers on loopback,
repositories and game folders on disk, and the programs under test run in
them. Standard library only.

  config          the build and the settings compiled into it (from ctest)
  waiting         waiting for a condition or a port; free ports
  game            repositories and game folders on disk
  nginx           nginx with deploy/nginx.conf
  fault_server    the fault-injecting server, also the HTTP seam contract's
  tls             the https tests' certificate authority and certificates
  programs        the headless build run in a game folder, natively or under Wine
  wine            a Wine prefix of our own
  virtual_display a private Xvfb
  window          the Linux window on it, driven with xdotool

The names the suites use are gathered here."""

from . import tls  # noqa: F401
from .config import BASE_PATH, BUILD_DIR, HOST, PORT, SOURCE_DIR, TRANSFER_TIMEOUT, UPDATE_URL  # noqa: F401
from .fault_server import FaultServer  # noqa: F401
from .game import (INDEX, FolderCase, GameFolder, Repository, crlf_list, list_name, make_readable,  # noqa: F401
                   make_tree_readable, read_or_empty, snapshot)
from .nginx import Nginx  # noqa: F401
from .programs import (headless_program, parse_headless, run_headless, start_headless,  # noqa: F401
                       updater_program)
from .virtual_display import DisplayError, VirtualDisplay  # noqa: F401
from .waiting import WAIT_SECONDS, free_port, wait_for_port, wait_for_port_free, wait_until  # noqa: F401
from .window import (FERMER, TITLE_PATTERN, WINDOW_SIZE, check_display, click, ensure_display,  # noqa: F401
                     main_window, message_boxes, press, screenshot, stop_display, visible_windows, xdotool)
