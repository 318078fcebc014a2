# SPDX-License-Identifier: Apache-2.0
"""A print job as the window shows it: its progress, rate and time left
while it runs, and how it ended."""

from __future__ import annotations

import os
import threading
import time
from collections import deque
from typing import Callable, Optional

from gi.repository import GLib, GObject

import zelvik

from .background import to_main_loop
from .texts import duration_text, failure_sentence, rate_text, size_text, time_left_text


class ProgressMeter:
    """Bytes sent, rate and time left, from a job's percentage figures.

    The helper reports a percentage about once a second; the bytes are
    reckoned from the file's size. The rate is taken over the last few
    seconds, so that it follows a printer that slows down, and only from
    the first figure on: the wait for the printer is no part of it.
    """

    WINDOW = 8.0
    """Seconds of figures the rate is taken over."""
    MINIMUM_SPAN = 0.9
    """Figures closer together than this give no rate yet."""

    def __init__(self, total_bytes: int) -> None:
        self.total_bytes = max(0, total_bytes)
        self.percent = -1
        self._samples: deque[tuple[float, int]] = deque()

    @property
    def bytes_sent(self) -> int:
        return self.total_bytes * max(0, self.percent) // 100

    def update(self, percent: int, now: float) -> None:
        self.percent = max(self.percent, min(100, percent))
        self._samples.append((now, self.bytes_sent))
        while len(self._samples) > 2 and now - self._samples[1][0] >= self.WINDOW:
            self._samples.popleft()

    def rate(self) -> Optional[float]:
        """Bytes a second; None until two figures far enough apart came."""
        if len(self._samples) < 2:
            return None
        (first_time, first_bytes), (last_time, last_bytes) = self._samples[0], self._samples[-1]
        span = last_time - first_time
        if span < self.MINIMUM_SPAN:
            return None
        return (last_bytes - first_bytes) / span

    def time_left(self) -> Optional[float]:
        rate = self.rate()
        if rate is None or rate <= 0:
            return None
        return (self.total_bytes - self.bytes_sent) / rate

    def text(self) -> str:
        """``"1.3 MB of 3.1 MB · 262.1 kB/s · about 8 s left"``."""
        parts = [f"{size_text(self.bytes_sent)} of {size_text(self.total_bytes)}"]
        rate = self.rate()
        if rate is not None:
            parts.append(rate_text(rate))
        if self.percent < 100:
            parts.append(time_left_text(self.time_left()))
        return " · ".join(parts)


class PrintTask(GObject.Object):
    """One print job of a file to a printer, from its start to its outcome.

    The job runs on its own thread; its progress figures and its end come
    back to the main loop, where the properties change (so widgets bound to
    them follow). ``cancel()`` may be called at any time.
    """

    __gtype_name__ = "ZelvikUtilityPrintTask"

    WAITING, PRINTING, CANCELLING, DONE, CANCELLED, FAILED = (
        "waiting", "printing", "cancelling", "done", "cancelled", "failed")

    state = GObject.Property(type=str, default=WAITING)
    running = GObject.Property(type=bool, default=True)
    fraction = GObject.Property(type=float, default=0.0, minimum=0.0, maximum=1.0)
    percent_text = GObject.Property(type=str, default="")
    """The bar's text: ``"42 %"``."""
    detail_text = GObject.Property(type=str, default="")
    """Under the bar: bytes, rate and time left while it runs, then the outcome."""
    title_text = GObject.Property(type=str, default="")
    """One line of what is happening or happened: ``"Printing"``, ``"Cancelled at 42 %"``."""

    def __init__(self, uri: str, path: str, helper: zelvik.Helper,
                 clock: Callable[[], float] = time.monotonic) -> None:
        super().__init__()
        self.uri = uri
        self.path = path
        self.file_name = os.path.basename(path)
        self.error: Optional[BaseException] = None
        self.completion: Optional[zelvik.Completion] = None
        self._helper = helper
        self._clock = clock
        self._meter = ProgressMeter(0)
        self._started = clock()
        self._job: Optional[zelvik.Job] = None
        self._cancel_requested = False
        self._show_waiting()

    def start(self) -> None:
        """Starts the job on a thread of its own; returns at once."""
        threading.Thread(target=self._run, name="zelvik-utility-print", daemon=True).start()

    def cancel(self) -> None:
        """Asks the job to stop; it ends as cancelled at its next chunk (or as
        done, when its last byte was already sent)."""
        if not self.running or self._cancel_requested:
            return
        self._cancel_requested = True
        job = self._job
        if job is not None:
            job.cancel()
        self.state = self.CANCELLING
        self.title_text = "Cancelling…"

    # On the job's thread.

    def _run(self) -> None:
        try:
            size = os.stat(self.path).st_size
            to_main_loop(self._sized, size)
            job = zelvik.start_print(self.uri, self.path, on_progress=self._progress_from_job, helper=self._helper)
            with job:
                self._job = job
                # A cancel that came while the job was starting is passed on.
                if self._cancel_requested:
                    job.cancel()
                completion = job.wait()
            to_main_loop(self._finished, completion, None)
        except Exception as error:  # shown as the job's outcome
            to_main_loop(self._finished, None, error)

    def _progress_from_job(self, percent: int) -> None:
        to_main_loop(self._progressed, percent)

    # On the main loop.

    def _sized(self, size: int) -> bool:
        self._meter = ProgressMeter(size)
        return GLib.SOURCE_REMOVE

    def _show_waiting(self) -> None:
        self.title_text = "Waiting for the printer…"
        self.percent_text = "0 %"
        self.detail_text = "The job starts as soon as the printer is free."

    def _progressed(self, percent: int) -> bool:
        if not self.running:
            return GLib.SOURCE_REMOVE
        self._meter.update(percent, self._clock())
        if self.state == self.WAITING:
            self.state = self.PRINTING
            self.title_text = f"Printing {self.file_name}"
        self.fraction = self._meter.percent / 100
        self.percent_text = f"{self._meter.percent} %"
        self.detail_text = self._meter.text()
        return GLib.SOURCE_REMOVE

    def _finished(self, completion: Optional[zelvik.Completion], error: Optional[BaseException]) -> bool:
        self.completion, self.error = completion, error
        elapsed = self._clock() - self._started
        if error is not None:
            self.state = self.FAILED
            self.title_text = "Not printed" if self._meter.percent <= 0 else f"Stopped at {self._meter.percent} %"
            self.detail_text = failure_sentence(error)
        elif completion is not None and completion.cancelled:
            self.state = self.CANCELLED
            if completion.progress < 0:
                self.title_text = "Cancelled"
                self.detail_text = "Cancelled before the printer got any of the file."
            else:
                self._meter.update(completion.progress, self._clock())
                self.fraction = completion.progress / 100
                self.percent_text = f"{completion.progress} %"
                self.title_text = f"Cancelled at {completion.progress} %"
                self.detail_text = (
                    f"{size_text(self._meter.bytes_sent)} of {size_text(self._meter.total_bytes)} had been sent;"
                    " the printer may print that part."
                )
        else:
            self.state = self.DONE
            self.fraction = 1.0
            self.percent_text = "100 %"
            self.title_text = f"Printed {self.file_name}"
            self.detail_text = f"{size_text(self._meter.total_bytes)} sent in {duration_text(elapsed)}."
        self.running = False
        return GLib.SOURCE_REMOVE
