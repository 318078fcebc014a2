# SPDX-License-Identifier: Apache-2.0
"""The printer watch against zelvik-sim, as its bus file is renamed over:
``async for`` from an empty bus, a handler on the watch's thread, the end
of the first listing, a failed listing, a handler that raises, and a watch
that cannot listen."""

from __future__ import annotations

import asyncio
import os
import queue
import threading
from pathlib import Path

import pytest

import zelvik
from conftest import _device

W = "usb://Zelvik/W?serial=W1"
X = "usb://Zelvik/X?serial=X1"


def _bus(*models: str) -> str:
    return "<simulatedBus>" + "".join(_device(m, f"{m}1") for m in models) + "</simulatedBus>"


def _replace(path: Path, text: str) -> None:
    part = path.with_name(path.name + ".new")
    part.write_text(text)
    part.rename(path)


@pytest.fixture
def watched(bus: Path) -> Path:
    """A bus file of one printer, in a folder of its own."""
    path = bus.parent / "watched" / "bus.xml"
    path.parent.mkdir()
    _replace(path, _bus("W"))
    return path


def _helper(path: Path) -> zelvik.Helper:
    return zelvik.Helper.simulated(path, os.environ.get("ZELVIK_SIM_PROGRAM"))


def test_async_for_sees_each_change(watched: Path) -> None:
    _replace(watched, _bus())

    async def follow() -> list[tuple[str, str, bool]]:
        seen = []
        async for event in zelvik.watch_printers(_helper(watched)):
            assert event.error is None
            seen.append((event.kind, event.printer.uri if event.printer else "", event.initial))
            if len(seen) == 1:  # no printer at the start, and that is known at once
                _replace(watched, _bus("W", "X"))
            elif len(seen) == 3:
                _replace(watched, _bus("W"))
            elif len(seen) == 4:
                break
        return seen

    events = asyncio.run(asyncio.wait_for(follow(), 20))
    assert events == [("ready", "", True), ("added", W, False), ("added", X, False), ("removed", X, False)]


def test_a_handler_gets_each_event_on_the_watchs_thread(watched: Path) -> None:
    events: "queue.Queue[tuple[zelvik.PrinterEvent, int]]" = queue.Queue()
    with zelvik.watch_printers(_helper(watched), lambda e: events.put((e, threading.get_ident()))) as watch:
        first, thread = events.get(timeout=20)
        assert first == zelvik.PrinterEvent("added", zelvik.Printer("W", "W1", W), None, True)
        assert thread != threading.get_ident()
        assert events.get(timeout=20)[0] == zelvik.PrinterEvent("ready", None, None, True)
        # A bus file the simulating helper would refuse: the listing fails,
        # and the watch goes on.
        _replace(watched, "<simulatedBus><device><colour>red</colour></device></simulatedBus>")
        failed, _ = events.get(timeout=20)
        assert failed.kind == "listing_failed" and failed.printer is None and not failed.initial
        assert isinstance(failed.error, zelvik.InvalidRequest)
        _replace(watched, _bus())
        assert events.get(timeout=20)[0].kind == "removed"
        watch.stop()
        _replace(watched, _bus("W"))
        with pytest.raises(queue.Empty):
            events.get(timeout=0.6)


def test_a_handler_that_raises_ends_the_watch(watched: Path) -> None:
    _replace(watched, _bus("W", "X"))
    calls = []

    def handler(event: zelvik.PrinterEvent) -> None:
        calls.append(event)
        raise ValueError("no more")

    watch = zelvik.watch_printers(_helper(watched), handler)
    with pytest.raises(ValueError):
        for _ in range(200):
            if calls:
                watch.stop()
            threading.Event().wait(0.05)
    assert len(calls) == 1
    watch.close()


def test_a_watch_that_cannot_listen_raises(tmp_path: Path) -> None:
    helper = _helper(tmp_path / "none" / "bus.xml")
    with pytest.raises(zelvik.HelperFailed):
        zelvik.watch_printers(helper, lambda event: None)

    async def first() -> None:
        async for _ in zelvik.watch_printers(helper):
            pass

    with pytest.raises(zelvik.HelperFailed):
        asyncio.run(first())
