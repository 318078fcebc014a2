# SPDX-License-Identifier: Apache-2.0
"""What the window says: sizes, durations, and failures in one sentence."""

from __future__ import annotations

import math
from typing import Optional

from gi.repository import GLib

import zelvik

DOCTOR = "run 'zelvikctl doctor' in a terminal: it names the fix"

# What to do, for the failures whose error brings no advice of its own (the
# helper's advice is about the printer; these are about the file, the
# installation, or a printer that stayed silent).
_ADVICE: tuple[tuple[type[BaseException], str], ...] = (
    (zelvik.TimedOut, "check that the printer is switched on and shows no message on its panel, then try again"),
    (zelvik.FileUnusable, "choose a file that exists and that you may read, then try again"),
    (zelvik.Busy, "wait for the job to end, then try again"),
    (zelvik.HelperNotStarted, "check that the zelvik package is installed, or " + DOCTOR),
    (zelvik.InvalidRequest, "correct what it names, then start again"),
    (zelvik.Error, "try again; if it happens again, " + DOCTOR),
    (OSError, "choose a file that exists and that you may read, then try again"),
)


def _capitalised(text: str) -> str:
    return text[:1].upper() + text[1:]


def failure_sentence(error: BaseException) -> str:
    """A failure as one sentence: what went wrong, then what to do, as in
    "The printer left the bus; plug the printer in again and switch it on,
    then try again (a job cut short may have printed in part)." """
    if isinstance(error, zelvik.Error):
        message, advice = error.message, error.advice
    elif isinstance(error, OSError):
        message, advice = error.strerror or str(error), ""
        if error.filename:
            message = f"{message}: {error.filename}"
    else:
        message, advice = str(error) or type(error).__name__, ""
    if not advice:
        advice = next((text for kind, text in _ADVICE if isinstance(error, kind)), "try again")
    sentence = f"{_capitalised(message.strip())}; {advice.strip()}"
    return sentence if sentence.endswith((".", "!", "?")) else sentence + "."


def size_text(size: float) -> str:
    """A number of bytes as a person reads it: ``"3.1 MB"``."""
    return GLib.format_size(int(size))


def rate_text(bytes_per_second: float) -> str:
    return f"{size_text(bytes_per_second)}/s"


def duration_text(seconds: float) -> str:
    """A length of time, to the second below an hour, to the minute above:
    ``"8 s"``, ``"2 min 05 s"``, ``"1 h 20 min"``."""
    if seconds < 1:
        return "less than a second"
    whole = round(seconds)
    if whole < 60:
        return f"{whole} s"
    minutes, second = divmod(whole, 60)
    if minutes < 60:
        return f"{minutes} min {second:02d} s"
    hours, minute = divmod(minutes, 60)
    return f"{hours} h {minute:02d} min"


def time_left_text(seconds: Optional[float]) -> str:
    """The time a job still needs: rounded up, as an estimate."""
    if seconds is None:
        return "estimating time left"
    if seconds < 1:
        return "less than a second left"
    if seconds < 60:
        return f"about {math.ceil(seconds)} s left"
    if seconds < 3600:
        return f"about {math.ceil(seconds / 60)} min left"
    hours, minutes = divmod(math.ceil(seconds / 60), 60)
    return f"about {hours} h {minutes:02d} min left"
