# SPDX-License-Identifier: Apache-2.0
"""Every failure as an exception under :class:`zelvik.Error`."""

from __future__ import annotations

from typing import Optional

from . import _native


class Error(Exception):
    """A command that failed.

    Attributes:
        code: the helper's status code (1, 3, 4, 5, 7, 8) when the helper
            reported the failure; 0 for the client's own failures.
        reason: why the printer could not be used, a stable name
            (``"printerHeld"``, ``"noSuchPrinter"``, ``"busy"`` ...);
            ``"none"`` when the failure is not about the printer,
            ``"unknown"`` when the helper did not say.
        message: what went wrong, one line of English, as ``str(error)``
            gives it.
        advice: what to do about it, one line that can follow the message
            after ``"; "``; empty when there is nothing to add.
        kind: the C interface's result code (a negative number; its name is
            ``kind_name``).
    """

    def __init__(
        self, message: str, *, code: int = 0, kind: int = -100, reason: str = "none", advice: str = ""
    ) -> None:
        super().__init__(message)
        self.message = message
        self.code = code
        self.kind = kind
        self.reason = reason
        self.advice = advice

    @property
    def kind_name(self) -> str:
        """The name of ``kind`` in the C interface (``"ZELVIK_ERROR_TIMED_OUT"``)."""
        return _native.lib().zelvik_result_name(self.kind).decode()


class InvalidRequest(Error, ValueError):
    """A request refused before the helper was started: a PJL request over
    2047 bytes, a time limit or listing maximum of 0, a text XML cannot carry,
    a bus file the simulating helper would refuse."""


class HelperFailed(Error):
    """The helper could not be run to its end: the private directory or the
    command file could not be made, the helper ended without a status, or
    left no or a malformed result."""


class HelperNotStarted(HelperFailed):
    """The helper program could not be started (not installed, not executable)."""


class Busy(Error):
    """Another run of this user kept the printer (a job is printing) longer
    than the wait; the helper was not started."""


class CommandRefused(Error):
    """The helper did not carry out the command (code 1)."""


class ListFailed(Error):
    """The printer list could not be produced (code 3)."""


class FileUnusable(Error):
    """The file to send cannot be used: missing, unreadable, or too long for a
    PJL request (code 4)."""


class AnswerNotSaved(Error):
    """The helper could not save its answer (code 5)."""


class PrinterUnreachable(Error):
    """Printer not found or busy, or a transfer failed (code 7)."""


class TimedOut(Error):
    """The printer did not answer within the time limit (code 8)."""


_BY_KIND: dict[int, type[Error]] = {
    -1: InvalidRequest,
    -10: HelperFailed,
    -11: HelperNotStarted,
    -12: HelperFailed,
    -13: HelperFailed,
    -14: HelperFailed,
    -15: Busy,
    -101: CommandRefused,
    -103: ListFailed,
    -104: FileUnusable,
    -105: AnswerNotSaved,
    -107: PrinterUnreachable,
    -108: TimedOut,
}


def from_handle(error: Optional[int], result: int) -> Exception:
    """The exception for a C error handle (not freed here) and the result code
    the call gave."""
    lib = _native.lib()
    if result == _native.ERROR_NO_MEMORY:
        return MemoryError("the client library ran out of memory")
    if not error:
        return Error(lib.zelvik_result_name(result).decode(), kind=result)
    kind = lib.zelvik_error_kind(error)
    return _BY_KIND.get(kind, Error)(
        lib.zelvik_error_message(error).decode("utf-8", "replace"),
        code=lib.zelvik_error_helper_code(error),
        kind=kind,
        reason=lib.zelvik_error_reason(error).decode(),
        advice=lib.zelvik_error_advice(error).decode("utf-8", "replace"),
    )


def raise_for(result: int, error: Optional[int]) -> None:
    """Raises the exception for a failed call, freeing the error it handed out."""
    try:
        raise from_handle(error, result)
    finally:
        _native.lib().zelvik_error_free(error)
