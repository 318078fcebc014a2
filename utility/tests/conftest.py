# SPDX-License-Identifier: Apache-2.0
"""Virtual printers for the utility's logic: zelvik-sim on a bus file of
their own, and a main loop to hand results back to.

ZELVIK_SIM_PROGRAM names the zelvik-sim to run (ctest sets it, and
LD_LIBRARY_PATH to the built library); without it the installed one runs.
"""

from __future__ import annotations

import os
import time
from pathlib import Path
from typing import Callable

import pytest
from gi.repository import GLib

import zelvik


def device(model: str, serial: str, extra: str = "") -> str:
    return f"<device><deviceID>MFG:Zelvik;MDL:{model};</deviceID><serialNumber>{serial}</serialNumber>{extra}</device>"


def uri(model: str, serial: str) -> str:
    return f"usb://Zelvik/{model}?serial={serial}"


@pytest.fixture
def make_helper(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Callable[..., zelvik.Helper]:
    """A helper on a bus of the devices given."""
    runtime = tmp_path / "runtime"
    runtime.mkdir(mode=0o700)
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(runtime))

    def make(*devices: str) -> zelvik.Helper:
        bus = tmp_path / "bus.xml"
        bus.write_text("<simulatedBus>" + "".join(devices) + "</simulatedBus>")
        return zelvik.Helper.simulated(bus, os.environ.get("ZELVIK_SIM_PROGRAM"))

    return make


def run_main_loop_until(condition: Callable[[], bool], seconds: float = 20) -> None:
    """Runs the default main context, as the window's loop would, until the
    condition holds."""
    context = GLib.MainContext.default()
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"not within {seconds} s")
        if not context.iteration(False):
            time.sleep(0.01)
