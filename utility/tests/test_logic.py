# SPDX-License-Identifier: Apache-2.0
"""The utility's logic, without a display: the printer list kept by the
watch, a printer's state from its answers, print jobs from start to outcome
with their progress, rate and time left, and failures in one sentence."""

from __future__ import annotations

from pathlib import Path

import pytest
from gi.repository import GLib

import zelvik
from conftest import device, run_main_loop_until, uri
from zelvik_utility.printers import PrinterDetails, PrinterList, read_details
from zelvik_utility.printing import PrintTask, ProgressMeter
from zelvik_utility.texts import failure_sentence
from zelvik_utility.watcher import PrinterWatcher


def plain(text: str) -> str:
    """GLib puts a no-break space between a figure and its unit."""
    return text.replace("\xa0", " ")


def test_the_list_follows_printers_plugged_in_and_unplugged(make_helper, tmp_path: Path, monkeypatch) -> None:
    main = GLib.MainContext.default()
    printers = PrinterList()
    settled: list[int] = []
    failures: list[Exception] = []

    def added(printer: zelvik.Printer) -> None:
        assert main.is_owner()  # every event on the main loop
        printers.add(printer)

    def watch(helper: zelvik.Helper) -> PrinterWatcher:
        watcher = PrinterWatcher(
            helper, on_added=added, on_removed=lambda printer: printers.remove(printer.uri),
            on_failed=lambda error, first: failures.append(error), on_settled=lambda: settled.append(len(printers)),
            on_unwatched=failures.append,
        )
        watcher.start()
        return watcher

    watcher = watch(make_helper(device("One", "1"), device("Two", "2")))
    try:
        run_main_loop_until(lambda: settled != [])
        assert settled == [2]  # once the first listing is done, with all it found
        one, two = printers.find(uri("One", "1")), printers.find(uri("Two", "2"))
        two.details = "read before"
        # One unplugged and another plugged in, as the README says to change a bus file.
        (tmp_path / "bus.new").write_text("<simulatedBus>" + device("Two", "2") + device("Three", "3") + "</simulatedBus>")
        (tmp_path / "bus.new").replace(tmp_path / "bus.xml")
        run_main_loop_until(lambda: [item.serial for item in printers] == ["2", "3"], 5)
        # The printer that stayed is the same object, with what was known of it.
        assert printers.find(two.uri) is two and two.details == "read before" and two.attached
        assert not one.attached and printers.remove(one.uri) is None
    finally:
        watcher.stop()
    assert failures == []

    # A first listing that finds nothing: the list is empty as soon as the
    # watch says the listing is done, not after a wait.
    told: list[str] = []
    real_watch = zelvik.watch_printers

    def telling(helper: zelvik.Helper, on_event) -> zelvik.PrinterWatch:
        return real_watch(helper, lambda event: (told.append(event.kind), on_event(event)))

    monkeypatch.setattr(zelvik, "watch_printers", telling)
    printers, settled = PrinterList(), []
    watcher = watch(make_helper())
    try:
        run_main_loop_until(lambda: settled != [])
        assert settled == [0] and told == ["ready"]
    finally:
        watcher.stop()


def test_the_state_is_read_from_the_block_that_answers_each_question(make_helper) -> None:
    chatty = device(
        "Chatty", "C1",
        "<statusCode>10023</statusCode><statusDisplay>Printing</statusDisplay>"
        '<reply to="@PJL INFO PAGECOUNT">@PJL INFO PAGECOUNT\\r\\nPAGECOUNT=56789\\r\\n\\f</reply>'
        "<unsolicitedStatus>@PJL USTATUS DEVICE\\r\\nCODE=40000\\r\\nDISPLAY=\"Sleep\"\\r\\nONLINE=FALSE\\r\\n\\f"
        "</unsolicitedStatus>",
    )
    nameless = device("Nameless", "N1", '<reply to="@PJL INFO ID"></reply><pageCount>7</pageCount>')
    helper = make_helper(chatty, nameless)

    details = read_details(uri("Chatty", "C1"), helper)
    assert (details.model, details.status_code, details.display, details.online, details.page_count) == (
        "Chatty", "10023", "Printing", True, 56789)
    # A question the printer does not answer leaves its figure unknown, not the others.
    details = read_details(uri("Nameless", "N1"), helper, timeout=1)
    assert details.model is None and details.display == "Ready" and details.page_count == 7
    with pytest.raises(zelvik.PrinterUnreachable):
        read_details(uri("Gone", "G1"), helper)
    assert PrinterDetails.from_answers({}, 0).online is None


def test_progress_gives_bytes_rate_and_time_left() -> None:
    meter = ProgressMeter(10_000_000)
    assert plain(meter.text()) == "0 bytes of 10.0 MB · estimating time left"
    meter.update(0, 100.0)
    meter.update(10, 101.0)
    assert meter.rate() == pytest.approx(1_000_000)
    assert plain(meter.text()) == "1.0 MB of 10.0 MB · 1.0 MB/s · about 9 s left"
    # The rate follows a printer that slows down: old figures drop out.
    for second in range(2, 13):
        meter.update(10 + second, 100.0 + second)
    assert meter.rate() == pytest.approx(100_000)
    assert meter.time_left() == pytest.approx(78, abs=1)
    assert "about 2 min left" in meter.text()
    meter.update(20, 113.0)  # a figure never goes back
    assert meter.percent == 22
    meter.update(100, 114.0)
    assert "left" not in meter.text()


@pytest.mark.parametrize("case", ["done", "cancelled", "printer leaves", "no file"])
def test_a_print_job_ends_with_what_happened(make_helper, tmp_path: Path, case: str) -> None:
    helper = make_helper(
        device("Fast", "F1"),
        device("Slow", "S1", "<acceptBytesPerSecond>300000</acceptBytesPerSecond>"),
        device("Leaving", "L1", "<acceptBytesPerSecond>300000</acceptBytesPerSecond>"
                                "<disconnectAfterBytes>400000</disconnectAfterBytes>"),
    )
    path = tmp_path / "job.prn"
    path.write_bytes(bytes(range(256)) * 4096)  # 1 MiB
    target = {"done": uri("Fast", "F1"), "cancelled": uri("Slow", "S1")}.get(case, uri("Leaving", "L1"))
    task = PrintTask(target, str(path if case != "no file" else tmp_path / "missing.prn"), helper)
    seen: list[str] = []
    task.connect("notify::title-text", lambda *_: seen.append(task.title_text))
    task.start()
    if case == "cancelled":
        run_main_loop_until(lambda: task.fraction >= 0.2)
        assert "/s" in task.detail_text and "left" in task.detail_text
        task.cancel()
    run_main_loop_until(lambda: not task.running)

    if case == "done":
        assert task.state == PrintTask.DONE and task.percent_text == "100 %"
        assert task.title_text == "Printed job.prn" and plain(task.detail_text).startswith("1.0 MB sent in ")
    elif case == "cancelled":
        progress = task.completion.progress
        assert task.state == PrintTask.CANCELLED and 20 <= progress < 100
        assert task.title_text == f"Cancelled at {progress} %" and seen[-2] == "Cancelling…"
        assert task.detail_text.endswith("had been sent; the printer may print that part.")
    elif case == "printer leaves":
        assert task.state == PrintTask.FAILED and task.title_text.startswith("Stopped at ")
        assert task.detail_text.startswith("The printer left the bus; plug the printer in again")
    else:
        assert task.state == PrintTask.FAILED and task.title_text == "Not printed"
        assert task.detail_text.startswith("No such file or directory: ")
        assert task.detail_text.endswith("choose a file that exists and that you may read, then try again.")


@pytest.mark.parametrize(
    "error, sentence",
    [
        (zelvik.PrinterUnreachable("printer held by another program", code=7, reason="printerHeld",
                                   advice="another program is using the printer: wait for its job to end, then try again"),
         "Printer held by another program; another program is using the printer: wait for its job to end, then try again."),
        (zelvik.TimedOut("the printer did not answer in time", code=8),
         "The printer did not answer in time; check that the printer is switched on and shows no message on its panel,"
         " then try again."),
        (zelvik.HelperNotStarted("the helper could not be started: /usr/libexec/zelvik/zelvik: No such file"),
         "The helper could not be started: /usr/libexec/zelvik/zelvik: No such file; check that the zelvik package is"
         " installed, or run 'zelvikctl doctor' in a terminal: it names the fix."),
        (zelvik.HelperFailed("the helper ended without a status"),
         "The helper ended without a status; try again; if it happens again, run 'zelvikctl doctor' in a terminal:"
         " it names the fix."),
    ],
)
def test_a_failure_is_one_sentence_with_what_to_do(error: zelvik.Error, sentence: str) -> None:
    assert failure_sentence(error) == sentence


def test_results_reach_the_main_loop() -> None:
    from zelvik_utility.background import run_in_background

    main = GLib.MainContext.default()
    outcomes: list[tuple[object, object, bool]] = []
    run_in_background(lambda: 42, lambda result, error: outcomes.append((result, error, main.is_owner())))
    run_in_background(lambda: 1 / 0, lambda result, error: outcomes.append((result, type(error), main.is_owner())))
    run_main_loop_until(lambda: len(outcomes) == 2)
    assert sorted(outcomes, key=str) == sorted([(42, None, True), (None, ZeroDivisionError, True)], key=str)
