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

from . import tls
from .config import BASE_PATH, BUILD_DIR, HOST, METADATA_DEADLINE, PORT, SOURCE_DIR, TRANSFER_TIMEOUT, UPDATE_URL
from .fault_server import FaultServer
from .game import (INDEX, FolderCase, GameFolder, Repository, crlf_list, list_name, make_readable,
                   make_tree_readable, read_or_empty, snapshot)
from .nginx import Nginx
from .programs import (headless_program, parse_headless, run_headless, start_headless,
                       updater_program)
from .virtual_display import DisplayError, VirtualDisplay
from .waiting import WAIT_SECONDS, free_port, wait_for_port, wait_for_port_free, wait_until
from .window import (FERMER, TITLE_PATTERN, WINDOW_SIZE, check_display, click, ensure_display,
                     main_window, message_boxes, press, screenshot, stop_display, visible_windows, xdotool)

__all__ = ["tls", "BASE_PATH", "BUILD_DIR", "HOST", "METADATA_DEADLINE", "PORT", "SOURCE_DIR", "TRANSFER_TIMEOUT", "UPDATE_URL",
           "FaultServer", "INDEX", "FolderCase", "GameFolder", "Repository", "crlf_list", "list_name",
           "make_readable", "make_tree_readable", "read_or_empty", "snapshot", "Nginx", "headless_program",
           "parse_headless", "run_headless", "start_headless", "updater_program", "DisplayError",
           "VirtualDisplay", "WAIT_SECONDS", "free_port", "wait_for_port", "wait_for_port_free",
           "wait_until", "FERMER", "TITLE_PATTERN", "WINDOW_SIZE", "check_display", "click",
           "ensure_display", "main_window", "message_boxes", "press", "screenshot", "stop_display",
           "visible_windows", "xdotool"]
