# SPDX-License-Identifier: Apache-2.0
"""The printers attached, and every change after, on the main loop."""

from __future__ import annotations

from typing import Callable, Optional

from gi.repository import GLib

import zelvik

from .background import run_in_background, to_main_loop


class PrinterWatcher:
    """Tells the window which printers are attached, then each one plugged in
    or unplugged, always on the main loop: ``zelvik.watch_printers`` with its
    events handed over from the watch's thread.

    ``on_settled`` is called once, when the first listing is done: the
    watch's ``"ready"``, which follows the printers it found (or its
    failure), so that an empty list is shown as empty as soon as it is
    known, and never while the listing is still under way. A watch that
    cannot be had (no udev monitor for this process) leaves one listing,
    and ``on_unwatched`` says why.
    """

    def __init__(
        self,
        helper: zelvik.Helper,
        on_added: Callable[[zelvik.Printer], None],
        on_removed: Callable[[zelvik.Printer], None],
        on_failed: Callable[[Exception, bool], None],
        on_settled: Callable[[], None],
        on_unwatched: Callable[[Exception], None],
    ) -> None:
        self._helper = helper
        self._on_added = on_added
        self._on_removed = on_removed
        self._on_failed = on_failed
        self._on_settled = on_settled
        self._on_unwatched = on_unwatched
        self._watch: Optional[zelvik.PrinterWatch] = None
        self._stopped = False

    def start(self) -> None:
        try:
            self._watch = zelvik.watch_printers(self._helper, self._from_watch)
        except zelvik.Error as error:
            self._on_unwatched(error)
            run_in_background(lambda: zelvik.list_printers(helper=self._helper), self._listed_once)

    def stop(self) -> None:
        """No callback after this; returns once the watch's thread has ended."""
        self._stopped = True
        if self._watch is not None:
            self._watch.close()

    def _from_watch(self, event: zelvik.PrinterEvent) -> None:
        # On the watch's thread: only the hand-over happens here.
        to_main_loop(self._deliver, event)

    def _deliver(self, event: zelvik.PrinterEvent) -> bool:
        if self._stopped:
            return GLib.SOURCE_REMOVE
        if event.kind == "listing_failed" and event.error is not None:
            self._on_failed(event.error, event.initial)
        elif event.kind == "added" and event.printer is not None:
            self._on_added(event.printer)
        elif event.kind == "removed" and event.printer is not None:
            self._on_removed(event.printer)
        elif event.kind == "ready":
            self._on_settled()
        return GLib.SOURCE_REMOVE

    def _listed_once(self, printers: Optional[list[zelvik.Printer]], error: Optional[Exception]) -> None:
        if self._stopped:
            return
        if error is not None:
            self._on_failed(error, True)
        for printer in printers or []:
            self._on_added(printer)
        self._on_settled()
