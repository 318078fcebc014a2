# SPDX-License-Identifier: Apache-2.0
"""The printers attached, and every change after, on the main loop."""

from __future__ import annotations

from typing import Callable, Optional

from gi.repository import Gio

import zelvik

from .background import run_in_background


class PrinterWatcher:
    """Tells the window which printers are attached, then each one plugged in
    or unplugged, always on the main loop.

    (Interim: a listing at the start and after each change of a simulated
    bus file, until the package's own watch is merged.)
    """

    def __init__(
        self,
        helper: zelvik.Helper,
        bus: Optional[str],
        on_listing: Callable[[list[zelvik.Printer]], None],
        on_added: Callable[[zelvik.Printer], None],
        on_removed: Callable[[zelvik.Printer], None],
        on_failed: Callable[[Exception], None],
    ) -> None:
        self._helper = helper
        self._bus = bus
        self._on_listing = on_listing
        self._on_failed = on_failed
        self._monitor: Optional[Gio.FileMonitor] = None
        self._stopped = False

    def start(self) -> None:
        if self._bus is not None:
            self._monitor = Gio.File.new_for_path(self._bus).get_parent().monitor_directory(
                Gio.FileMonitorFlags.WATCH_MOVES, None)
            self._monitor.connect("changed", lambda *_: self._list())
        self._list()

    def stop(self) -> None:
        self._stopped = True
        if self._monitor is not None:
            self._monitor.cancel()

    def _list(self) -> None:
        run_in_background(lambda: zelvik.list_printers(helper=self._helper), self._listed)

    def _listed(self, printers: Optional[list[zelvik.Printer]], error: Optional[Exception]) -> None:
        if self._stopped:
            return
        if error is not None:
            self._on_failed(error)
        else:
            self._on_listing(printers or [])

