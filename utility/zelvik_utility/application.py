# SPDX-License-Identifier: Apache-2.0
"""The application: one window, its actions and keyboard shortcuts."""

from __future__ import annotations

import os
import runpy
from pathlib import Path
from typing import Any, Optional

import gi

gi.require_version("Gtk", "4.0")
gi.require_version("Adw", "1")
from gi.repository import Adw, Gdk, Gio, GLib, Gtk  # noqa: E402

import zelvik  # noqa: E402

from . import APP_ID, __version__  # noqa: E402
from .window import UtilityWindow  # noqa: E402

NAME = "Zelvik Printer Utility"

ACCELERATORS = {
    "win.print": ["<Primary>p"],
    "win.test-connection": ["<Primary>t"],
    "win.refresh": ["F5", "<Primary>r"],
    "win.copy-uri": ["<Primary><Shift>c"],
    "win.back": ["<Alt>Left"],
    "win.show-help-overlay": ["<Primary>question"],
    "window.close": ["<Primary>w"],
    "app.quit": ["<Primary>q"],
}

# Run from the source tree, the icon lies here rather than in an icon theme.
SOURCE_ICONS = Path(__file__).resolve().parent.parent / "data"


class Application(Adw.Application):
    """The printer utility. On real printers it is a unique application (a
    second start raises the window); on virtual printers each start is a
    window of its own, since each may be on another bus."""

    def __init__(self, helper: zelvik.Helper, bus: Optional[str] = None) -> None:
        flags = Gio.ApplicationFlags.NON_UNIQUE if bus is not None else Gio.ApplicationFlags.FLAGS_NONE
        super().__init__(application_id=APP_ID, flags=flags)
        self.helper = helper
        self.bus = bus
        self.exit_status = 0
        """Set by a scenario that failed (see :meth:`_run_scenario`)."""

    def do_startup(self) -> None:
        Adw.Application.do_startup(self)
        GLib.set_application_name(NAME)
        display = Gdk.Display.get_default()
        if display is not None and (SOURCE_ICONS / f"{APP_ID}.svg").is_file():
            Gtk.IconTheme.get_for_display(display).add_search_path(str(SOURCE_ICONS))
        Gtk.Window.set_default_icon_name(APP_ID)
        for name, handler in (("quit", self._quit), ("about", self._about)):
            action = Gio.SimpleAction(name=name)
            action.connect("activate", handler)
            self.add_action(action)
        for action, keys in ACCELERATORS.items():
            self.set_accels_for_action(action, keys)

    def do_activate(self) -> None:
        window = self.get_active_window()
        if window is None:
            window = UtilityWindow(self, self.helper, self.bus)
            scenario = os.environ.get("ZELVIK_UTILITY_SCENARIO")
            if scenario:
                self._run_scenario(scenario, window)
        window.present()

    def _quit(self, *_: Any) -> None:
        # Through each window's close, which asks before it stops a print.
        for window in self.get_windows():
            window.close()

    def _about(self, *_: Any) -> None:
        Adw.AboutWindow(
            transient_for=self.get_active_window(),
            application_name=NAME,
            application_icon=APP_ID,
            developer_name="Zelvik developers",
            version=__version__,
            comments="The vendor's USB printers: their state, print jobs with their progress, and a connection test.",
            license_type=Gtk.License.APACHE_2_0,
        ).present()

    def _run_scenario(self, path: str, window: UtilityWindow) -> None:
        """Tests and the screenshot script drive the window through a script
        of their own, named by ZELVIK_UTILITY_SCENARIO: a Python file whose
        ``run(window)`` is called once the window is made. It works the
        window through its actions, as a person would through the keyboard,
        and sets ``exit_status`` when something was not as it should be."""
        scenario = runpy.run_path(path, run_name="zelvik_utility_scenario")
        scenario["run"](window)
