# SPDX-License-Identifier: Apache-2.0
"""Printers coming and going: a watch, with a handler or as an async iterator."""

from __future__ import annotations

import asyncio
import ctypes
import threading
import weakref
from dataclasses import dataclass
from typing import Any, AsyncIterator, Callable, Optional

from . import _errors, _native
from ._client import Helper, Printer, _helper, _str


@dataclass(frozen=True)
class PrinterEvent:
    """What a watch reports: a printer that came or went, a listing that
    failed, or that the first listing is done."""

    kind: str
    """``"added"``, ``"removed"``, ``"listing_failed"`` or ``"ready"``.

    ``"ready"`` comes once, right after the first listing's printers (or its
    failure): the printers reported so far are all there are now, so none
    reported means that none is attached (or, after a failure, that none is
    known), not that the listing is still under way. Kinds may be added in
    later versions: pass over those you do not know."""
    printer: Optional[Printer]
    """The printer as the listing named it (for one gone: as the last
    listing did); None for an event that is not about a printer."""
    error: Optional[Exception]
    """Why the listing failed (an :class:`Error`); None for any other
    event."""
    initial: bool
    """True for what the watch's first successful listing found (the printer
    was there when the watch began, not plugged in since), for a failure
    of a listing before that one, and for ``"ready"``."""


WatchHandler = Callable[[PrinterEvent], None]

_PRINTER_KINDS = {_native.PRINTER_ADDED: "added", _native.PRINTER_REMOVED: "removed"}

# The C callbacks of watches freed from their own thread: the callback is
# still running there, and its code must outlive it. A few hundred bytes
# each, for a rare case.
_parked: list[Any] = []


def _event(handle: Any) -> Optional[PrinterEvent]:
    """The event's values, copied: the C event lasts only for the call. None
    for a kind this package does not know (a newer library's)."""
    lib = _native.lib()
    initial = bool(lib.zelvik_watch_event_initial(handle))
    kind = lib.zelvik_watch_event_kind(handle)
    if kind == _native.LISTING_FAILED:
        error = lib.zelvik_watch_event_error(handle)
        failure = _errors.from_handle(error, lib.zelvik_error_kind(error))
        return PrinterEvent("listing_failed", None, failure, initial)
    if kind == _native.WATCH_READY:
        return PrinterEvent("ready", None, None, initial)
    if kind not in _PRINTER_KINDS:
        return None
    printer = Printer(
        model=_str(lib.zelvik_watch_event_model(handle)),
        serial=_str(lib.zelvik_watch_event_serial(handle)),
        uri=_str(lib.zelvik_watch_event_uri(handle)),
    )
    return PrinterEvent(_PRINTER_KINDS[kind], printer, None, initial)


class _Native:
    """The C watch and what must live as long as it: the callback, which
    thread runs it, and what the handler raised. (The callback holds this,
    not the watch, so that a watch nobody holds is freed at once.)"""

    def __init__(self) -> None:
        self.handle: Optional[ctypes.c_void_p] = None
        self.callback: Any = None
        self.thread: Optional[int] = None
        self.callback_error: Optional[BaseException] = None

    def free(self) -> None:
        handle, self.handle = self.handle, None
        if handle is None:
            return
        _native.lib().zelvik_watch_free(handle)
        if threading.get_ident() == self.thread:
            _parked.append(self.callback)


class PrinterWatch:
    """A watch of the printers, made by :func:`watch_printers`.

    It lists the printers when it starts and again whenever they may have
    changed (real printers: udev's events for the served vendor's USB
    devices; a simulating helper: its bus file), and reports the difference,
    compared by URI: first the printers there now (``initial`` True), then
    ``"ready"`` (those were all: an empty list can be shown as empty now),
    then each that goes or comes. No listing runs while nothing happens.

    - With a handler, it runs from the start and calls the handler on the
      watch's own thread. A handler that raises ends the watch; :meth:`stop`
      then raises that exception.
    - Without one, ``async for event in watch`` starts it and gives its events
      on the running loop; leaving the loop stops it.
    - :meth:`stop` ends it from any thread (also from the handler); as a
      context manager it is stopped and freed when the block is left.
    """

    _helper: Helper
    _handler: Optional[WatchHandler]
    _native: _Native
    _iterated: bool
    _finalizer: weakref.finalize

    def __init__(self) -> None:
        raise TypeError("watches are made by zelvik.watch_printers()")

    @classmethod
    def _make(cls, helper: Helper, on_event: Optional[WatchHandler]) -> "PrinterWatch":
        watch = cls.__new__(cls)
        watch._helper = helper
        watch._handler = on_event
        watch._native = _Native()
        watch._iterated = False
        watch._finalizer = weakref.finalize(watch, watch._native.free)
        if on_event is not None:
            watch._start(on_event)
        return watch

    def _start(self, deliver: WatchHandler) -> None:
        native = self._native

        def trampoline(event: Any, _data: Any) -> None:
            native.thread = threading.get_ident()
            try:
                copied = _event(event)
                if copied is not None:
                    deliver(copied)
            except BaseException as error:  # handed back by stop()
                if native.callback_error is None:
                    native.callback_error = error
                # From the watch's own thread the stop returns at once; a
                # handle not yet stored is stopped by _start().
                handle = native.handle
                if handle is not None:
                    _native.lib().zelvik_watch_stop(handle)

        native.callback = _native.WATCH_FN(trampoline)
        handle = ctypes.c_void_p()
        error = ctypes.c_void_p()
        result = _native.lib().zelvik_watch_new(
            self._helper._handle, native.callback, None, ctypes.byref(handle), ctypes.byref(error)
        )
        if result != _native.OK:
            _errors.raise_for(result, error)
        native.handle = handle
        if native.callback_error is not None:
            _native.lib().zelvik_watch_stop(handle)

    def stop(self) -> None:
        """Ends the watch: a listing under way is cancelled, and once this
        returns no event comes any more (from the handler: no event after
        it). Raises the exception the handler raised, if it did. Any thread;
        a second call does nothing more."""
        handle = self._native.handle
        if handle is not None:
            _native.lib().zelvik_watch_stop(handle)
        error, self._native.callback_error = self._native.callback_error, None
        if error is not None:
            raise error

    def close(self) -> None:
        """Stops the watch (without raising) and frees it."""
        self._finalizer()

    def __enter__(self) -> "PrinterWatch":
        return self

    def __exit__(self, *exc_info: object) -> None:
        try:
            self.stop()
        finally:
            self.close()

    def __aiter__(self) -> AsyncIterator[PrinterEvent]:
        if self._handler is not None:
            raise TypeError("a watch with a handler gives its events to the handler")
        if self._iterated:
            raise RuntimeError("a watch is iterated once")
        self._iterated = True
        return self._events()

    async def _events(self) -> AsyncIterator[PrinterEvent]:
        loop = asyncio.get_running_loop()
        queue: "asyncio.Queue[PrinterEvent]" = asyncio.Queue()

        def deliver(event: PrinterEvent) -> None:
            try:
                loop.call_soon_threadsafe(queue.put_nowait, event)
            except RuntimeError:  # the loop is closed: nobody listens any more
                pass

        self._start(deliver)
        try:
            while True:
                yield await queue.get()
        finally:
            self.close()

    def __repr__(self) -> str:
        state = "running" if self._native.handle is not None else "closed" if self._iterated else "not started"
        return f"<zelvik.PrinterWatch {state}>"


def watch_printers(helper: Optional[Helper] = None, on_event: Optional[WatchHandler] = None) -> PrinterWatch:
    """A watch of the printers (see :class:`PrinterWatch`): with ``on_event``,
    started at once, the handler called on the watch's thread; without it,
    started by ``async for event in zelvik.watch_printers(helper)``.

    Its events (:class:`PrinterEvent`), with a handler and in ``async for``
    alike: the printers there now as ``"added"`` (``initial`` True), then
    ``"ready"`` once, also when there were none or the first listing failed
    (until it comes, the listing is under way: show "looking", not "none"),
    then an ``"added"`` or ``"removed"`` for each printer that comes or
    goes, and a ``"listing_failed"`` for a listing that failed (the watch
    goes on). Pass over kinds you do not know: later versions may add some.

    Raises :class:`HelperFailed` when the watch cannot listen (no udev
    monitor to be had, the bus file's folder missing)."""
    return PrinterWatch._make(_helper(helper), on_event)
