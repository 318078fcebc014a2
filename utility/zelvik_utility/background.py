# SPDX-License-Identifier: Apache-2.0
"""Helper calls off the main loop, their results handed back to it."""

from __future__ import annotations

import threading
from typing import Callable, Optional, TypeVar

from gi.repository import GLib

T = TypeVar("T")


def run_in_background(work: Callable[[], T], done: Callable[[Optional[T], Optional[Exception]], None]) -> None:
    """Runs ``work`` on a thread of its own, then calls ``done(result, None)``
    or ``done(None, error)`` on the main loop.

    Every call to the helper goes through here (or through a job's own
    thread), so that the window never waits for a printer. The thread is a
    daemon: quitting does not wait for a query the user no longer sees.
    """

    def thread() -> None:
        result: Optional[T] = None
        error: Optional[Exception] = None
        try:
            result = work()
        except Exception as failure:  # handed to the main loop, which shows it
            error = failure
        to_main_loop(_deliver, done, result, error)

    threading.Thread(target=thread, name="zelvik-utility-call", daemon=True).start()


def to_main_loop(function: Callable[..., bool], *arguments: object) -> None:
    """Calls ``function(*arguments)`` on the main loop, from any thread (a
    function that gives ``GLib.SOURCE_REMOVE`` runs once).

    At the main loop's default priority, ahead of redraws: at idle
    priority, an animation that takes each frame's whole time (a spinner
    drawn without a GPU) would hold it back for as long as it runs."""
    GLib.idle_add(function, *arguments, priority=GLib.PRIORITY_DEFAULT)


def _deliver(done: Callable[[Optional[T], Optional[Exception]], None], result: Optional[T], error: Optional[Exception]) -> bool:
    done(result, error)
    return GLib.SOURCE_REMOVE
