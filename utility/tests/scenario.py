# SPDX-License-Identifier: Apache-2.0
"""The window driven through its actions, on a copy of the example bus, with
a PNG of the screen at each state.

zelvik-utility runs this file when ZELVIK_UTILITY_SCENARIO names it
(window-test.sh and scripts/screenshots.sh do); ZELVIK_UTILITY_SHOTS names
the folder for the PNGs and the print files. The window must be started with
``--simulated`` on a writable copy of examples/virtual-printers.xml, since a
printer is plugged in by renaming a new bus file over it. Each step waits
for what a person would see; a step that does not come in time fails the
run (exit status 1, the step named on standard error).
"""

from __future__ import annotations

import os
import subprocess
import sys
import time
import traceback
from pathlib import Path
from typing import Callable, Iterator, Optional

from gi.repository import GLib

FAST_SERIAL = "ZLP100-0001"
SLOW_SERIAL = "ZLP200-0042"  # takes about 256 KiB a second
PLUGGED_IN = (
    "  <device>\n    <productID>0x0103</productID>\n"
    "    <deviceID>MFG:Zelvik;MDL:Zelvik LP-300;CMD:PJL,PCL;CLS:PRINTER;</deviceID>\n"
    "    <serialNumber>ZLP300-0300</serialNumber>\n  </device>\n"
)

Step = tuple[str, Callable[[], bool], float]


def run(window) -> None:
    Scenario(window).start()


class Scenario:
    def __init__(self, window) -> None:
        self.window = window
        self.app = window.get_application()
        self.shots = Path(os.environ["ZELVIK_UTILITY_SHOTS"])
        self.bus = Path(self.app.bus)
        self.steps = self.script()
        self.waiting: Optional[Step] = None
        self.deadline = 0.0
        self.shot_number = 0

    def start(self) -> None:
        GLib.timeout_add(50, self.tick)

    def tick(self) -> bool:
        try:
            while True:
                if self.waiting is not None:
                    what, condition, _ = self.waiting
                    if not condition():
                        if time.monotonic() > self.deadline:
                            raise AssertionError(f"not seen in {self.waiting[2]:g} s: {what}")
                        return GLib.SOURCE_CONTINUE
                self.waiting = next(self.steps)
                self.deadline = time.monotonic() + self.waiting[2]
        except StopIteration:
            print("scenario: every step seen", file=sys.stderr)
            self.app.quit()
        except Exception:
            traceback.print_exc()
            self.app.exit_status = 1
            for item in self.window.printers:
                if item.printing:
                    item.task.cancel()
            self.app.quit()
        return GLib.SOURCE_REMOVE

    # What the steps use.

    def rows(self) -> list[str]:
        return [item.serial for item in self.window.printers]

    def item(self, serial: str):
        return next(item for item in self.window.printers if item.serial == serial)

    def settled(self, seconds: float = 0.5) -> Step:
        """Time for the window to draw what changed."""
        until = time.monotonic() + seconds
        return "the window drawn", lambda: time.monotonic() >= until, seconds + 1

    def shot(self, name: str) -> Iterator[Step]:
        yield self.settled()
        self.shot_number += 1
        path = self.shots / f"{self.shot_number}-{name}.png"
        subprocess.run(["import", "-window", "root", str(path)], check=True, timeout=20)

    def plug(self, text: str) -> None:
        """A new bus file renamed over the old one, as the README says to."""
        new = self.bus.with_suffix(".new")
        new.write_text(text)
        new.replace(self.bus)

    def read(self, serial: str) -> Step:
        item = self.item(serial)
        return (f"the state of {serial} read",
                lambda: item.details is not None and not item.reading, 15)

    def label(self, widget) -> str:
        return widget.get_label() if hasattr(widget, "get_label") else widget.get_text()

    def expect(self, what: str, actual: str, expected: str) -> None:
        if not actual.startswith(expected):
            raise AssertionError(f"{what}: {actual!r}, expected {expected!r}")

    # The states.

    def script(self) -> Iterator[Step]:
        window = self.window
        yield "the example's two printers listed", lambda: self.rows() == [FAST_SERIAL, SLOW_SERIAL], 15
        yield from self.shot("list")

        window.select(self.item(FAST_SERIAL))
        yield self.read(FAST_SERIAL)
        self.expect("status", self.label(window.status_value), "Ready (10001)")
        self.expect("page count", self.label(window.pages_value), "1234")
        self.expect("online", self.label(window.online_value), "Yes")
        yield from self.shot("details")

        original = self.bus.read_text()
        self.plug(original.replace("</simulatedBus>", PLUGGED_IN + "</simulatedBus>"))
        yield "the printer plugged in listed", lambda: "ZLP300-0300" in self.rows(), 5
        yield from self.shot("plugged-in")

        small = self.shots / "small.prn"
        small.write_bytes(b"\x1bE" + b"Zelvik test page\r\n" * 4000 + b"\x1bE")
        window.activate_action("win.print-file", GLib.Variant("s", str(small)))
        task = self.item(FAST_SERIAL).task
        yield "the small file printed", lambda: not task.running, 20
        self.expect("small job", task.state, "done")
        self.expect("small job title", self.label(window.job_title), "Printed small.prn")
        self.expect("small job bar", window.job_progress.get_text(), "100 %")
        yield from self.shot("printed")

        window.select(self.item(SLOW_SERIAL))
        yield self.read(SLOW_SERIAL)
        large = self.shots / "large.prn"
        large.write_bytes(bytes(range(256)) * (8 * 1024))  # 2 MiB: about 8 s on this printer
        window.activate_action("win.print-file", GLib.Variant("s", str(large)))
        task = self.item(SLOW_SERIAL).task
        yield ("the large file past 30 % with its rate",
               lambda: task.fraction >= 0.3 and "/s" in task.detail_text, 20)
        self.expect("large job title", self.label(window.job_title), "Printing large.prn")
        yield from self.shot("printing")

        window.activate_action("win.cancel-print", None)
        yield "the large file cancelled", lambda: not task.running, 15
        self.expect("large job", task.state, "cancelled")
        self.expect("large job title", self.label(window.job_title), "Cancelled at ")
        yield from self.shot("cancelled")

        self.plug(original)
        yield "the printer unplugged gone from the list", lambda: "ZLP300-0300" not in self.rows(), 5
