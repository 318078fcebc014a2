# SPDX-License-Identifier: Apache-2.0
"""A printer's PJL answer, read by block."""

from __future__ import annotations

import ctypes
import weakref
from dataclasses import dataclass, field
from typing import Optional

from . import _errors, _native


def _text(raw: Optional[bytes]) -> Optional[str]:
    # Printers answer in ASCII; anything else is shown, never fatal.
    return None if raw is None else raw.decode("utf-8", "replace")


@dataclass(frozen=True)
class PjlLine:
    """One line of a block after its ``@PJL`` line: ``KEY=value``, or a bare value."""

    key: str
    """``"CODE"`` of ``CODE=10001``; empty for a bare value."""
    value: str
    """The value without its quotes, blanks around it removed."""
    quoted: bool
    """True when the value was a quoted string."""


@dataclass(frozen=True)
class PjlBlock:
    """One block of an answer: the question it answers and its lines."""

    header: str
    """The words after ``@PJL``, one blank between them: ``"INFO STATUS"``,
    ``"USTATUS DEVICE"``, ``"ECHO 42"``."""
    lines: tuple[PjlLine, ...]
    """The lines after the ``@PJL`` line, empty lines left out."""
    complete: bool
    """True when the block was ended by its form feed; the last block of an
    answer cut short is not."""
    _answer: "PjlAnswer" = field(repr=False, compare=False)
    _index: int = field(repr=False, compare=False)

    def value(self, key: str) -> Optional[str]:
        """The value of the block's first ``KEY=value`` line of ``key``
        (compared without regard to case); None when there is none."""
        return _text(_native.lib().zelvik_pjl_block_value(self._answer._handle, self._index, key.encode()))

    def bare_value(self) -> Optional[str]:
        """The block's first line without a key (``"1234"``); None when there is none."""
        return _text(_native.lib().zelvik_pjl_block_bare_value(self._answer._handle, self._index))


class PjlAnswer:
    """A printer's answer to a PJL query, read into blocks.

    A printer answers each question with a block: a line ``@PJL`` and the
    question's words (``@PJL INFO STATUS``), the lines of the answer, and a
    form feed. One answer may hold several blocks, and blocks the printer
    sends on its own (``@PJL USTATUS DEVICE``) may come before the one asked
    for, so read a value from the block of its own question::

        answer = zelvik.pjl(uri, ["INFO STATUS"])
        display = answer.value("INFO STATUS", "DISPLAY")

    ``PjlAnswer(raw)`` reads any bytes the same way.
    """

    def __init__(self, raw: bytes) -> None:
        lib = _native.lib()
        handle = ctypes.c_void_p()
        result = lib.zelvik_pjl_answer_new(raw, len(raw), ctypes.byref(handle))
        if result != _native.OK:
            _errors.raise_for(result, None)
        self._handle = handle
        self._finalizer = weakref.finalize(self, lib.zelvik_pjl_answer_free, handle)
        self.raw: bytes = bytes(raw)
        """The answer's bytes as the printer sent them."""
        self.blocks: tuple[PjlBlock, ...] = tuple(self._block(index) for index in range(lib.zelvik_pjl_answer_block_count(handle)))
        """The blocks in the order they came."""

    def _block(self, index: int) -> PjlBlock:
        lib = _native.lib()
        lines = tuple(
            PjlLine(
                key=_text(lib.zelvik_pjl_line_key(self._handle, index, line)) or "",
                value=_text(lib.zelvik_pjl_line_value(self._handle, index, line)) or "",
                quoted=bool(lib.zelvik_pjl_line_quoted(self._handle, index, line)),
            )
            for line in range(lib.zelvik_pjl_block_line_count(self._handle, index))
        )
        header = _text(lib.zelvik_pjl_block_header(self._handle, index)) or ""
        complete = bool(lib.zelvik_pjl_block_complete(self._handle, index))
        return PjlBlock(header, lines, complete, self, index)

    def answer_to(self, question: str) -> Optional[PjlBlock]:
        """The first complete block that answers ``question``, a PJL command
        with or without ``@PJL`` (``"INFO STATUS"``, ``"ECHO 42"``): command
        words compared without regard to case, an ECHO's text exactly. None
        when no block does, or the command is one a printer does not answer
        (``SET``, ``ENTER``)."""
        index = ctypes.c_size_t()
        found = _native.lib().zelvik_pjl_answer_find(self._handle, question.encode(), ctypes.byref(index))
        return self.blocks[index.value] if found == _native.OK else None

    def value(self, question: str, key: str) -> Optional[str]:
        """The value of ``key`` in the block that answers ``question``
        (``answer.value("INFO STATUS", "DISPLAY")``); None when there is none."""
        block = self.answer_to(question)
        return block.value(key) if block is not None else None

    def __bytes__(self) -> bytes:
        return self.raw

    def __repr__(self) -> str:
        return f"zelvik.PjlAnswer({self.raw!r})"

