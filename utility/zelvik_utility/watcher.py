# SPDX-License-Identifier: Apache-2.0
"""The printers attached, and every change after, on the main loop."""

from __future__ import annotations

from typing import Callable, Optional

from gi.repository import GLib

import zelvik

from .background import run_in_background


class PrinterWatcher:
    """Tells the window which printers are attached, then each one plugged in
    or unplugged, always on the main loop: ``zelvik.watch_printers`` with its
    events handed over from the watch's thread.

    ``on_settled`` is called once, when the first listing is known to be
    done. The watch reports the printers its first listing found, but
    nothing when it found none, so a first listing that says nothing within
    ``FIRST_LISTING_WAIT`` seconds is taken as an empty one (a printer it
    finds later is reported all the same). A watch that cannot be had (no
    udev monitor for this process) leaves one listing, and ``on_unwatched``
    says why.
    """

    FIRST_LISTING_WAIT = 2.0

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
        self._settle_timer = 0
        self._settled = False
        self._stopped = False

    def start(self) -> None:
        self._settle_timer = GLib.timeout_add(int(self.FIRST_LISTING_WAIT * 1000), self._first_listing_quiet)
        try:
            self._watch = zelvik.watch_printers(self._helper, self._from_watch)
        except zelvik.Error as error:
            self._on_unwatched(error)
            run_in_background(lambda: zelvik.list_printers(helper=self._helper), self._listed_once)

    def stop(self) -> None:
        """No callback after this; returns once the watch's thread has ended."""
        self._stopped = True
        if self._settle_timer:
            GLib.source_remove(self._settle_timer)
            self._settle_timer = 0
        if self._watch is not None:
            self._watch.close()

    def _from_watch(self, event: zelvik.PrinterEvent) -> None:
        # On the watch's thread: only the hand-over happens here.
        GLib.idle_add(self._deliver, event, priority=GLib.PRIORITY_DEFAULT)

    def _deliver(self, event: zelvik.PrinterEvent) -> bool:
        if self._stopped:
            return GLib.SOURCE_REMOVE
        if event.kind == "listing_failed":
            self._on_failed(event.error or zelvik.Error("the printers could not be listed"), event.initial)
        elif event.printer is not None:
            (self._on_added if event.kind == "added" else self._on_removed)(event.printer)
        self._settle()
        return GLib.SOURCE_REMOVE

    def _listed_once(self, printers: Optional[list[zelvik.Printer]], error: Optional[Exception]) -> None:
        if self._stopped:
            return
        if error is not None:
            self._on_failed(error, True)
        for printer in printers or []:
            self._on_added(printer)
        self._settle()

    def _first_listing_quiet(self) -> bool:
        self._settle_timer = 0
        self._settle()
        return GLib.SOURCE_REMOVE

    def _settle(self) -> None:
        if not self._settled:
            self._settled = True
            self._on_settled()
