# SPDX-License-Identifier: Apache-2.0
"""The printers the window shows: the list model, and each printer's state
as it answers PJL."""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import Iterator, Optional

from gi.repository import Gio, GObject

import zelvik

# One query each: the helper keeps only a printer's first answer, so three
# questions in one request could leave two of them unanswered.
QUESTIONS = ("INFO ID", "INFO STATUS", "INFO PAGECOUNT")


@dataclass(frozen=True)
class PrinterDetails:
    """A printer's state as read from its answers; None for a figure the
    printer did not give."""

    model: Optional[str]
    """The model as the printer names itself (``@PJL INFO ID``)."""
    status_code: Optional[str]
    display: Optional[str]
    """The text on the printer's panel."""
    online: Optional[bool]
    page_count: Optional[int]
    read_at: float
    """When it was read, seconds since the epoch."""

    @classmethod
    def from_answers(cls, answers: dict[str, zelvik.PjlAnswer], read_at: float) -> "PrinterDetails":
        """Each figure from the block that answers its own question, so that a
        status the printer sends unasked is never taken for the answer."""

        def block(question: str) -> Optional[zelvik.PjlBlock]:
            answer = answers.get(question)
            return answer.answer_to(question) if answer is not None else None

        identity, status, pages = (block(question) for question in QUESTIONS)
        online = status.value("ONLINE") if status else None
        figure = pages and (pages.value("PAGECOUNT") or pages.bare_value())
        return cls(
            model=identity.bare_value() if identity else None,
            status_code=status.value("CODE") if status else None,
            display=status.value("DISPLAY") if status else None,
            online={"TRUE": True, "FALSE": False}.get((online or "").upper()),
            page_count=int(figure) if figure and figure.isdecimal() else None,
            read_at=read_at,
        )


def read_details(uri: str, helper: zelvik.Helper, timeout: float = 3) -> PrinterDetails:
    """Asks the printer for its identity, status and page count (blocking:
    call it off the main loop). A question the printer leaves unanswered
    leaves its figures unknown; a printer that answers none, or cannot be
    reached, raises the :class:`zelvik.Error`."""
    answers: dict[str, zelvik.PjlAnswer] = {}
    silence: Optional[zelvik.TimedOut] = None
    for question in QUESTIONS:
        try:
            answers[question] = zelvik.pjl(uri, [question], timeout=timeout, helper=helper)
        except zelvik.TimedOut as error:  # it may know the other questions
            silence = error
    if not answers and silence is not None:
        raise silence
    return PrinterDetails.from_answers(answers, time.time())


class PrinterItem(GObject.Object):
    """One printer in the list, and what the window knows of it. The same
    object stays for as long as the printer is attached, so that the
    selection, its details and a running job stay with it."""

    __gtype_name__ = "ZelvikUtilityPrinterItem"

    model = GObject.Property(type=str, default="")
    serial = GObject.Property(type=str, default="")
    uri = GObject.Property(type=str, default="")
    attached = GObject.Property(type=bool, default=True)
    """False once the printer has left the list (unplugged)."""
    details = GObject.Property(type=object)
    """The last :class:`PrinterDetails` read, or None."""
    details_error = GObject.Property(type=str, default="")
    """Why the last reading failed, in one sentence; empty when it did not."""
    reading = GObject.Property(type=bool, default=False)
    """True while its details are being read."""
    task = GObject.Property(type=object)
    """The last print job (a ``PrintTask``), running or ended, or None."""
    activity = GObject.Property(type=str, default="")
    """What the list shows under its name besides the serial number:
    ``"Printing 42 %"``, ``"Unplugged"``."""

    def __init__(self, printer: zelvik.Printer) -> None:
        super().__init__(model=printer.model, serial=printer.serial, uri=printer.uri)

    @property
    def printing(self) -> bool:
        """True while a print job of this window runs on it."""
        task = self.task
        return task is not None and task.running


class PrinterList:
    """The attached printers in the order they came, one :class:`PrinterItem`
    per device URI, in a ``Gio.ListStore`` the window's list binds to. A
    printer coming or going changes its own row only: the others stay the
    same objects, with their selection, state and job."""

    def __init__(self) -> None:
        self.store = Gio.ListStore(item_type=PrinterItem)

    def __len__(self) -> int:
        return self.store.get_n_items()

    def __iter__(self) -> Iterator[PrinterItem]:
        return (self.store.get_item(index) for index in range(len(self)))

    def find(self, uri: str) -> Optional[PrinterItem]:
        return next((item for item in self if item.uri == uri), None)

    def add(self, printer: zelvik.Printer) -> PrinterItem:
        """A printer that was plugged in: appended, or the item already there."""
        item = self.find(printer.uri)
        if item is None:
            item = PrinterItem(printer)
            self.store.append(item)
        return item

    def remove(self, uri: str) -> Optional[PrinterItem]:
        """A printer that was unplugged: its item leaves the list, marked as
        no longer attached, and is returned."""
        for index, item in enumerate(self):
            if item.uri == uri:
                # Marked first: whoever sees the row go can tell why.
                item.attached = False
                self.store.remove(index)
                return item
        return None
