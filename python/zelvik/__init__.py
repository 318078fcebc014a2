# SPDX-License-Identifier: Apache-2.0
"""Zelvik: the vendor's USB printers from Python.

Each call runs the zelvik helper once, through the C library
libzelvik-client.so.0, in a private directory of its own that is removed
afterwards whatever happens::

    import zelvik

    for printer in zelvik.list_printers():
        answer = zelvik.pjl(printer.uri, ["INFO STATUS"], timeout=5)
        print(printer.model, answer.value("INFO STATUS", "DISPLAY"))

    job = zelvik.start_print(uri, "job.prn", on_progress=print)
    job.cancel()          # from any thread, or from a signal handler
    done = job.wait()     # or: done = await job

    async for event in zelvik.watch_printers():   # printers coming and going
        print(event.kind, event.printer)

Every call takes ``helper=``: the installed helper when it is left out,
:meth:`Helper.simulated` for a bus of virtual printers (no printer needed).
Failures are exceptions under :class:`Error`, which carries the helper's
status code in ``code``, why the printer could not be used in ``reason``,
and what to do in ``advice``.
"""

from ._client import (
    Completion,
    Helper,
    Job,
    Printer,
    is_active,
    list_printers,
    pjl,
    print_file,
    start_pjl,
    start_print,
)
from ._errors import (
    AnswerNotSaved,
    Busy,
    CommandRefused,
    Error,
    FileUnusable,
    HelperFailed,
    HelperNotStarted,
    InvalidRequest,
    ListFailed,
    PrinterUnreachable,
    TimedOut,
)
from ._pjl import PjlAnswer, PjlBlock, PjlLine
from ._watch import PrinterEvent, PrinterWatch, watch_printers

__version__ = "0.1.0"

__all__ = [
    "AnswerNotSaved",
    "Busy",
    "CommandRefused",
    "Completion",
    "Error",
    "FileUnusable",
    "Helper",
    "HelperFailed",
    "HelperNotStarted",
    "InvalidRequest",
    "Job",
    "ListFailed",
    "PjlAnswer",
    "PjlBlock",
    "PjlLine",
    "Printer",
    "PrinterEvent",
    "PrinterUnreachable",
    "PrinterWatch",
    "TimedOut",
    "is_active",
    "list_printers",
    "pjl",
    "print_file",
    "start_pjl",
    "start_print",
    "watch_printers",
]
