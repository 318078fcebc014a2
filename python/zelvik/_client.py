# SPDX-License-Identifier: Apache-2.0
"""Helpers, printers, jobs and the calls that run them."""

from __future__ import annotations

import asyncio
import atexit
import ctypes
import math
import os
import select
import threading
import time
import weakref
from dataclasses import dataclass
from typing import Any, Callable, Generator, Mapping, Optional, Sequence, Union

from . import _errors, _native
from ._pjl import PjlAnswer

StrPath = Union[str, "os.PathLike[str]"]
Commands = Union[str, Sequence[str], bytes]
ProgressHandler = Callable[[int], None]


def _path(path: StrPath) -> bytes:
    return os.fsencode(path)


def _text(text: str) -> bytes:
    return text.encode("utf-8", "surrogateescape")


def _str(raw: bytes) -> str:
    return raw.decode("utf-8", "surrogateescape")


class Helper:
    """The program that carries out the commands.

    Every call takes one as ``helper=``; without it the calls run the
    installed helper, driving real printers. A helper does not change once
    made, and may be shared between threads.
    """

    def __init__(self, program: StrPath, environment: Optional[Mapping[str, str]] = None) -> None:
        """Any helper program, and what it needs in its environment besides
        the caller's own."""
        entries = [_text(f"{name}={value}") for name, value in (environment or {}).items()]
        self._adopt(
            lambda out: _native.lib().zelvik_helper_new(_path(program), _native.string_array(entries), out)
        )

    @classmethod
    def installed(cls) -> "Helper":
        """The installed helper, driving real printers: found where it lies in
        relation to the library (so a moved installation works), else where
        the build installed it."""
        helper = cls.__new__(cls)
        helper._adopt(lambda out: _native.lib().zelvik_helper_new_installed(out))
        return helper

    @classmethod
    def simulated(cls, bus: StrPath, program: Optional[StrPath] = None) -> "Helper":
        """The simulating helper (``zelvik-sim``) on a bus file of virtual
        printers; ``program`` names another zelvik-sim than the installed one."""
        helper = cls.__new__(cls)
        program_bytes = None if program is None else _path(program)
        helper._adopt(lambda out: _native.lib().zelvik_helper_new_simulated(_path(bus), program_bytes, out))
        return helper

    def _adopt(self, make: Callable[[Any], int]) -> None:
        handle = ctypes.c_void_p()
        result = make(ctypes.byref(handle))
        if result != _native.OK:
            _errors.raise_for(result, None)
        self._handle = handle
        self._finalizer = weakref.finalize(self, _native.lib().zelvik_helper_free, handle)
        # Not when the interpreter ends: a daemon thread may be starting a
        # job with it, and the process's end takes the memory.
        self._finalizer.atexit = False

    @property
    def program(self) -> str:
        """The path of the program this helper runs."""
        return os.fsdecode(_native.lib().zelvik_helper_program(self._handle))

    def __repr__(self) -> str:
        return f"zelvik.Helper({self.program!r})"


def _helper(helper: Optional[Helper]) -> Helper:
    return helper if helper is not None else Helper.installed()


@dataclass(frozen=True)
class Printer:
    """One attached printer of the served vendor."""

    model: str
    """The model name, from the printer's IEEE 1284 device ID."""
    serial: str
    """The serial number."""
    uri: str
    """The device URI, the name every other call takes: compare it whole,
    never take it apart."""


@dataclass(frozen=True)
class Completion:
    """How a job ended when it did not fail."""

    cancelled: bool
    """True when a cancel stopped the job before its end (a cancel that came
    when the last byte was already sent leaves a complete job)."""
    progress: int
    """A print's last progress figure, 0 to 100; -1 for none (and for a query)."""
    answer: Optional[PjlAnswer]
    """A query's answer; None for a print, or a query cancelled before it."""


class Job:
    """A print or a PJL query that the helper carries out while the program
    goes on; made by :func:`start_print` and :func:`start_pjl`.

    - :meth:`cancel` asks the helper to stop; it is safe from any thread and
      from a signal handler.
    - :meth:`wait` blocks until the end (or a time limit) and gives the
      :class:`Completion`, or raises the job's :class:`Error`; signal
      handlers (Ctrl-C) run while it waits.
    - ``await job`` waits without blocking an asyncio loop (the loop watches
      the job's descriptor, :meth:`fileno`); cancelling the awaiting task
      cancels the job.
    - As a context manager, a job still running when the block is left is
      cancelled and waited for, and the job is freed.
    """

    _handle: Optional[ctypes.c_void_p]
    _query: bool
    _lock: threading.Lock
    _callback_error: Optional[BaseException]
    _future: "Optional[asyncio.Future[None]]"
    _finalizer: weakref.finalize

    def __init__(self) -> None:
        raise TypeError("jobs are made by zelvik.start_print() and zelvik.start_pjl()")

    @classmethod
    def _start(cls, start: Callable[..., int], query: bool, on_progress: Optional[ProgressHandler]) -> "Job":
        job = cls.__new__(cls)
        job._query = query
        job._lock = threading.Lock()
        job._handle = None
        job._callback_error = None
        job._future = None
        callback = _native.PROGRESS_FN(job._progress_trampoline(on_progress)) if on_progress else None
        handle = ctypes.c_void_p()
        error = ctypes.c_void_p()
        result = start(callback or _native.PROGRESS_FN(), ctypes.byref(handle), ctypes.byref(error))
        if result != _native.OK:
            _errors.raise_for(result, error)
        job._handle = handle
        if job._callback_error is not None:
            _native.lib().zelvik_job_cancel(handle)
        # The callback object lives as long as C may call it: until the job
        # is freed.
        job._finalizer = weakref.finalize(job, _free_job, handle, callback)
        # Cancelled when the interpreter ends (see _end_open_jobs), not freed.
        job._finalizer.atexit = False
        with _job_freed:
            if not _end_registered:
                _register_end()
            _open_jobs.add(job)
            _unfreed.add(handle.value)
        return job

    def _progress_trampoline(self, on_progress: ProgressHandler) -> Callable[[int, Any], None]:
        def trampoline(percent: int, _data: Any) -> None:
            try:
                on_progress(percent)
            except BaseException as error:  # handed back by wait()
                if self._callback_error is None:
                    self._callback_error = error
                # No lock: the job cannot be freed while its own thread runs
                # this, and a handle not yet stored is cancelled by _start().
                handle = self._handle
                if handle is not None:
                    _native.lib().zelvik_job_cancel(handle)

        return trampoline

    @property
    def progress(self) -> int:
        """The last progress figure of a print, 0 to 100; -1 before the first
        (and for a query)."""
        handle = self._handle
        return _native.lib().zelvik_job_progress(handle) if handle is not None else -1

    @property
    def done(self) -> bool:
        """True once the job has ended."""
        return self._result(0) != _native.ERROR_STILL_RUNNING

    def fileno(self) -> int:
        """A descriptor that polls readable once the job has ended (for
        ``select``, ``selectors`` or an event loop). The job owns it."""
        return _native.lib().zelvik_job_fd(self._live())

    def cancel(self) -> None:
        """Asks the helper to stop; the job then ends at the helper's next
        cancel point (between two chunks of a print, between two reads of a
        query) with ``cancelled`` True. A cancel after the end does nothing.
        Safe from any thread and from a signal handler."""
        # A close under way cancels the job itself: never wait for it here,
        # where a signal handler may have interrupted that very close.
        if self._lock.acquire(blocking=False):
            try:
                if self._handle is not None:
                    _native.lib().zelvik_job_cancel(self._handle)
            finally:
                self._lock.release()

    def wait(self, timeout: Optional[float] = None) -> Completion:
        """Waits until the job has ended and gives its :class:`Completion`;
        raises the job's :class:`Error` when it failed, and ``TimeoutError``
        when ``timeout`` seconds passed first (the job goes on)."""
        handle = self._live()
        deadline = None if timeout is None else time.monotonic() + timeout
        poller = select.poll()
        poller.register(_native.lib().zelvik_job_fd(handle), select.POLLIN)
        while self._result(0) == _native.ERROR_STILL_RUNNING:
            remaining = None if deadline is None else max(0.0, deadline - time.monotonic())
            if remaining == 0.0:
                raise TimeoutError("the job is still running")
            # Woken by the end, or by a signal whose handler then runs here.
            poller.poll(None if remaining is None else math.ceil(remaining * 1000))
        return self._outcome(handle)

    def __await__(self) -> Generator[Any, None, Completion]:
        return self._wait_async().__await__()

    async def _wait_async(self) -> Completion:
        loop = asyncio.get_running_loop()
        if not self.done:
            try:
                await asyncio.shield(self._ended(loop))
            except asyncio.CancelledError:
                self.cancel()
                raise
        return self.wait(0)

    def _ended(self, loop: asyncio.AbstractEventLoop) -> "asyncio.Future[None]":
        # One reader per loop, shared by every task that awaits the job.
        future = self._future
        if future is None or future.get_loop() is not loop:
            future = loop.create_future()
            fd = self.fileno()

            def ended() -> None:
                loop.remove_reader(fd)
                if not future.done():
                    future.set_result(None)

            loop.add_reader(fd, ended)
            self._future = future
        return future

    def close(self) -> None:
        """Frees the job; one still running is cancelled and waited for first.
        Closing twice does nothing."""
        with self._lock:
            handle, self._handle = self._handle, None
            if handle is None:
                return
            future = self._future
            if future is not None and not future.done():
                # The loop must not watch a descriptor that is about to go.
                future.get_loop().remove_reader(_native.lib().zelvik_job_fd(handle))
                future.cancel()
            self._finalizer()

    def __enter__(self) -> "Job":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._handle is None else "ended" if self.done else "running"
        return f"<zelvik.Job {'query' if self._query else 'print'} {state}>"

    def _live(self) -> Any:
        handle = self._handle
        if handle is None:
            raise ValueError("the job is closed")
        return handle

    def _result(self, timeout_ms: int) -> int:
        return _native.lib().zelvik_job_wait(self._live(), timeout_ms)

    def _outcome(self, handle: Any) -> Completion:
        lib = _native.lib()
        result = lib.zelvik_job_wait(handle, 0)
        if self._callback_error is not None:
            raise self._callback_error
        if result != _native.OK:
            raise _errors.from_handle(lib.zelvik_job_error(handle), result)
        cancelled = bool(lib.zelvik_job_cancelled(handle))
        answer = None
        if self._query:
            size = ctypes.c_size_t()
            data = lib.zelvik_job_answer(handle, ctypes.byref(size))
            if data:
                answer = PjlAnswer(ctypes.string_at(data, size.value))
        return Completion(cancelled=cancelled, progress=lib.zelvik_job_progress(handle), answer=answer)


def _free_job(handle: Any, _callback: Any) -> None:
    _native.lib().zelvik_job_free(handle)
    with _job_freed:
        _unfreed.discard(handle.value)
        _job_freed.notify_all()


# The jobs not yet freed. When the interpreter ends, a daemon thread may
# still be waiting on one: each is cancelled, so that no helper goes on
# printing for a program that has ended, and given a few seconds to end and
# its thread a moment to free it. A job nobody frees then is left as it is,
# since a handle must outlive every call on it; the process's end takes the
# memory.
_open_jobs: "weakref.WeakSet[Job]" = weakref.WeakSet()
_unfreed: set[int] = set()  # their handles, until each free has returned
_job_freed = threading.Condition()
_end_registered = False
_END_WAIT = 5.0
_FREE_WAIT = 1.0


def _cancel_and_wait(running: list[Job]) -> None:
    for job in running:
        job.cancel()
    deadline = time.monotonic() + _END_WAIT
    for job in running:
        # Under the lock a close holds while it frees the job; and held
        # here, a job cannot be freed by its collection meanwhile.
        with job._lock:
            if job._handle is not None:
                _native.lib().zelvik_job_wait(job._handle, max(0, math.ceil((deadline - time.monotonic()) * 1000)))


def _register_end() -> None:
    # After the first weakref.finalize was made, so that this runs before
    # weakref's own exit function, after which no finalizer frees anything.
    global _end_registered
    _end_registered = True
    atexit.register(_end_open_jobs)


def _end_open_jobs() -> None:
    _cancel_and_wait([job for job in list(_open_jobs) if job._handle is not None])
    # The jobs are let go: those their threads no longer hold are freed now,
    # the others when their threads are done with them.
    with _job_freed:
        _job_freed.wait_for(lambda: not _unfreed, _FREE_WAIT)


def _request(commands: Commands) -> tuple[bool, Any]:
    """Commands as the C interface takes them: bytes as they are, or a list."""
    if isinstance(commands, (bytes, bytearray)):
        return True, bytes(commands)
    if isinstance(commands, str):
        commands = [commands]
    return False, [_text(command) for command in commands]


def _seconds(timeout: float) -> int:
    # The helper counts whole seconds: a fraction is one more.
    return math.ceil(timeout) if timeout > 0 else int(timeout)


def start_print(
    uri: str, path: StrPath, on_progress: Optional[ProgressHandler] = None, *, helper: Optional[Helper] = None
) -> Job:
    """Starts streaming a print file (any size) to a printer and returns its
    :class:`Job` at once. ``on_progress`` is called with each new figure,
    rising, 0 to 100, on the job's own thread (in an asyncio program, hand it
    on with ``loop.call_soon_threadsafe``); an exception it raises cancels the
    job and comes back from :meth:`Job.wait`. A file that cannot be sent
    fails the job with :class:`FileUnusable`."""
    chosen = _helper(helper)
    lib = _native.lib()
    return Job._start(
        lambda callback, out, error: lib.zelvik_job_start_print(
            chosen._handle, _text(uri), _path(os.path.abspath(path)), callback, None, out, error
        ),
        query=False,
        on_progress=on_progress,
    )


def start_pjl(uri: str, commands: Commands, timeout: float = 5, *, helper: Optional[Helper] = None) -> Job:
    """Starts a PJL query and returns its :class:`Job` at once; its
    :class:`Completion` holds the answer.

    ``commands`` is one command or a list of them: each is sent followed by
    CR LF, ``@PJL`` put in front where it is missing, the whole wrapped in
    universal exit language sequences; bytes are sent as they are. At most
    2047 bytes in all. The printer has ``timeout`` seconds (whole seconds, a
    fraction rounded up) to answer."""
    chosen = _helper(helper)
    lib = _native.lib()
    raw, request = _request(commands)
    seconds = _seconds(timeout)

    def start(_callback: Any, out: Any, error: Any) -> int:
        if raw:
            return lib.zelvik_job_start_pjl_bytes(
                chosen._handle, _text(uri), request, len(request), seconds, out, error
            )
        return lib.zelvik_job_start_pjl(chosen._handle, _text(uri), _native.string_array(request), seconds, out, error)

    return Job._start(start, query=True, on_progress=None)


def print_file(
    uri: str, path: StrPath, on_progress: Optional[ProgressHandler] = None, *, helper: Optional[Helper] = None
) -> Completion:
    """Prints a file and returns when the printer has it all (see
    :func:`start_print`). Ctrl-C (KeyboardInterrupt) cancels the job and waits
    for the helper to stop before it goes on up."""
    with start_print(uri, path, on_progress, helper=helper) as job:
        return job.wait()


def pjl(uri: str, commands: Commands, timeout: float = 5, *, helper: Optional[Helper] = None) -> PjlAnswer:
    """Sends PJL commands (see :func:`start_pjl`) and returns the printer's
    first answer, read by block. Raises :class:`TimedOut` when the printer did
    not answer within ``timeout`` seconds."""
    with start_pjl(uri, commands, timeout, helper=helper) as job:
        completion = job.wait()
    assert completion.answer is not None
    return completion.answer


def list_printers(maximum: Optional[int] = None, *, helper: Optional[Helper] = None) -> list[Printer]:
    """The attached printers of the served vendor: at most ``maximum`` of them
    (1 or more), all when None."""
    chosen = _helper(helper)
    lib = _native.lib()
    with Job._start(
        lambda _callback, out, error: lib.zelvik_job_start_list(
            chosen._handle, -1 if maximum is None else maximum, out, error
        ),
        query=False,
        on_progress=None,
    ) as job:
        job.wait()
        printers = lib.zelvik_job_printers(job._live())
        return [
            Printer(
                model=_str(lib.zelvik_printer_list_model(printers, index)),
                serial=_str(lib.zelvik_printer_list_serial(printers, index)),
                uri=_str(lib.zelvik_printer_list_uri(printers, index)),
            )
            for index in range(lib.zelvik_printer_list_count(printers))
        ]


def is_active(uri: str, *, helper: Optional[Helper] = None) -> bool:
    """True when the printer is there and can be opened right now; False when
    it is absent or another program holds it."""
    chosen = _helper(helper)
    lib = _native.lib()
    with Job._start(
        lambda _callback, out, error: lib.zelvik_job_start_active(chosen._handle, _text(uri), out, error),
        query=False,
        on_progress=None,
    ) as job:
        job.wait()
        return lib.zelvik_job_active(job._live()) == 1
