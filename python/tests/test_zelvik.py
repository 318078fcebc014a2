# SPDX-License-Identifier: Apache-2.0
"""The Python package against zelvik-sim: every call, the errors mapped,
progress rising to 100, cancels from another thread and from a signal
handler, time-limited waits, asyncio, and a program that ends while jobs
run."""

from __future__ import annotations

import asyncio
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import zelvik
from conftest import FAST, GONE, QUIET, SLOW


def test_list_pjl_and_active(helper: zelvik.Helper, tmp_path: Path) -> None:
    printers = zelvik.list_printers(helper=helper)
    assert printers[0] == zelvik.Printer(model="Fast", serial="F1", uri=FAST)
    assert [printer.uri for printer in printers] == [FAST, SLOW, QUIET]
    assert len(zelvik.list_printers(1, helper=helper)) == 1
    (tmp_path / "empty.xml").write_text("<simulatedBus/>")
    assert zelvik.list_printers(helper=zelvik.Helper.simulated(tmp_path / "empty.xml", helper.program)) == []

    answer = zelvik.pjl(FAST, ["INFO PAGECOUNT"], timeout=5, helper=helper)
    assert answer.raw == b"@PJL INFO PAGECOUNT\r\n42\r\n\f"
    assert answer.answer_to("@PJL info pagecount").bare_value() == "42"
    assert [block.header for block in answer.blocks] == ["INFO PAGECOUNT"]

    assert zelvik.is_active(FAST, helper=helper) is True
    assert zelvik.is_active(GONE, helper=helper) is False


def test_an_answer_is_read_by_the_block_of_its_question() -> None:
    answer = zelvik.PjlAnswer(
        b'@PJL USTATUS DEVICE\r\nCODE=40000\r\n\f@PJL INFO STATUS\r\nCODE=10001\r\nDISPLAY="Ready"\r\n\f@PJL INFO ID\r\n'
    )
    assert answer.value("INFO STATUS", "code") == "10001"
    assert answer.answer_to("INFO STATUS").lines[1] == zelvik.PjlLine("DISPLAY", "Ready", True)
    # Cut short: the block is there, but answers nothing.
    assert answer.blocks[-1].complete is False
    assert answer.answer_to("INFO ID") is None
    assert answer.value("INFO CONFIG", "CODE") is None


@pytest.mark.parametrize(
    "call, exception, code",
    [
        (lambda h, tmp: zelvik.pjl(GONE, "INFO ID", 1, helper=h), zelvik.PrinterUnreachable, 7),
        (lambda h, tmp: zelvik.pjl(QUIET, b"no question", 1, helper=h), zelvik.TimedOut, 8),
        (lambda h, tmp: zelvik.print_file(FAST, tmp / "missing.prn", helper=h), zelvik.FileUnusable, 4),
        (lambda h, tmp: zelvik.pjl(FAST, b"x" * 2048, helper=h), zelvik.InvalidRequest, 0),
        (lambda h, tmp: zelvik.list_printers(helper=zelvik.Helper(tmp / "no-such-helper")), zelvik.HelperNotStarted, 0),
        (lambda h, tmp: zelvik.is_active(FAST, helper=zelvik.Helper("/bin/true")), zelvik.HelperFailed, 0),
    ],
)
def test_errors_are_exceptions_with_the_helpers_code(helper, tmp_path, call, exception, code) -> None:
    with pytest.raises(exception) as raised:
        call(helper, tmp_path)
    assert isinstance(raised.value, zelvik.Error)
    assert raised.value.code == code
    assert str(raised.value)
    if exception is zelvik.PrinterUnreachable:
        assert raised.value.reason == "noSuchPrinter" and raised.value.advice


def test_a_print_reports_rising_progress_to_100(helper: zelvik.Helper, print_file: Path, tmp_path: Path) -> None:
    figures: list[int] = []
    done = zelvik.print_file(SLOW, print_file, figures.append, helper=helper)
    assert done == zelvik.Completion(cancelled=False, progress=100, answer=None)
    assert figures[-1] == 100 and len(figures) >= 2
    assert figures == sorted(set(figures))
    assert (tmp_path / "slow.bin").read_bytes() == print_file.read_bytes()


def test_cancel_from_another_thread(helper: zelvik.Helper, print_file: Path) -> None:
    with zelvik.start_print(SLOW, print_file, helper=helper) as job:
        threading.Timer(0.3, job.cancel).start()
        done = job.wait()
    assert done.cancelled and done.progress < 100


def test_cancel_from_a_signal_handler_while_waiting(helper: zelvik.Helper, print_file: Path) -> None:
    job = zelvik.start_print(SLOW, print_file, helper=helper)
    previous = signal.signal(signal.SIGALRM, lambda number, frame: job.cancel())
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        done = job.wait()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        job.close()
    assert done.cancelled


def test_wait_with_a_time_limit_and_a_context_that_cancels(helper: zelvik.Helper, print_file: Path) -> None:
    with zelvik.start_print(SLOW, print_file, helper=helper) as job:
        with pytest.raises(TimeoutError):
            job.wait(0.1)
        assert not job.done and job.progress < 100
    # Left running: cancelled, waited for and freed.
    with pytest.raises(ValueError):
        job.wait()
    job.cancel()  # after close: nothing


def test_a_progress_handler_that_raises_cancels_its_job(helper: zelvik.Helper, print_file: Path) -> None:
    def refuse(percent: int) -> None:
        raise RuntimeError(f"stop at {percent}")

    with pytest.raises(RuntimeError, match="stop at 0"):
        zelvik.print_file(SLOW, print_file, refuse, helper=helper)


def test_await_does_not_block_the_loop(helper: zelvik.Helper, print_file: Path) -> None:
    async def main() -> tuple[zelvik.Completion, zelvik.Completion, list[bool]]:
        seen: list[bool] = []
        with zelvik.start_pjl(FAST, "INFO PAGECOUNT", helper=helper) as query:
            answered = await query
        with zelvik.start_print(SLOW, print_file, helper=helper) as job:

            async def watch() -> None:
                while True:
                    seen.append(job.done)
                    await asyncio.sleep(0.02)

            watcher = asyncio.create_task(watch())
            # The cancel, too, is the loop's to run while the job is awaited.
            asyncio.get_running_loop().call_later(0.3, job.cancel)
            printed = await job
            watcher.cancel()
        return answered, printed, seen

    answered, printed, seen = asyncio.run(main())
    assert answered.answer is not None and answered.answer.answer_to("INFO PAGECOUNT").bare_value() == "42"
    assert printed.cancelled
    assert seen.count(False) >= 2


def test_cancelling_the_awaiting_task_cancels_the_job(helper: zelvik.Helper, print_file: Path) -> None:
    async def main() -> zelvik.Job:
        job = zelvik.start_print(SLOW, print_file, helper=helper)
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(job, 0.3)
        return job

    job = asyncio.run(main())
    with job:
        assert job.wait(10).cancelled


_EXIT_WHILE_WAITING = """
import os, sys, threading, time
import zelvik

helper = zelvik.Helper.simulated(sys.argv[1], os.environ.get("ZELVIK_SIM_PROGRAM"))
threads = [
    threading.Thread(target=zelvik.pjl, args=(sys.argv[2], "INFO ID", 60), kwargs={"helper": helper}, daemon=True),
    threading.Thread(target=lambda: zelvik.start_print(sys.argv[3], sys.argv[4], helper=helper).wait(), daemon=True),
]
for thread in threads:
    thread.start()
time.sleep(0.5)
"""


def test_a_program_that_ends_while_threads_wait_on_jobs_cancels_them(bus: Path, print_file: Path, tmp_path: Path) -> None:
    # Daemon threads still waiting when the interpreter ends: the jobs are
    # cancelled (nothing goes on printing), and nothing is freed under them.
    ended = subprocess.run(
        [sys.executable, "-c", _EXIT_WHILE_WAITING, str(bus), QUIET, SLOW, str(print_file)],
        capture_output=True, text=True, timeout=30,
    )
    assert (ended.returncode, ended.stderr) == (0, "")
    captured = tmp_path / "slow.bin"
    size = captured.stat().st_size
    time.sleep(1)
    assert captured.stat().st_size == size < print_file.stat().st_size
