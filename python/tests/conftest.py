# SPDX-License-Identifier: Apache-2.0
"""Virtual printers for the tests: zelvik-sim on a bus file of their own.

ZELVIK_SIM_PROGRAM names the zelvik-sim to run (ctest sets it, and
LD_LIBRARY_PATH to the built library); without it the installed one runs.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Iterator

import pytest

import zelvik

FAST = "usb://Zelvik/Fast?serial=F1"
SLOW = "usb://Zelvik/Slow?serial=S1"
QUIET = "usb://Zelvik/Quiet?serial=Q1"
GONE = "usb://Zelvik/Gone?serial=0"


def _device(model: str, serial: str, extra: str = "") -> str:
    return f"<device><deviceID>MFG:Zelvik;MDL:{model};</deviceID><serialNumber>{serial}</serialNumber>{extra}</device>"


@pytest.fixture
def bus(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[Path]:
    """A bus of three printers; every run's private directory must be gone
    from the test's runtime directory afterwards."""
    runtime = tmp_path / "runtime"
    runtime.mkdir(mode=0o700)
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(runtime))
    path = tmp_path / "bus.xml"
    path.write_text(
        "<simulatedBus>"
        + _device("Fast", "F1", "<pageCount>42</pageCount>")
        + _device("Slow", "S1", f"<acceptBytesPerSecond>400000</acceptBytesPerSecond><captureFile>{tmp_path / 'slow.bin'}</captureFile>")
        + _device("Quiet", "Q1")
        + "</simulatedBus>"
    )
    yield path
    assert [entry.name for entry in runtime.iterdir() if entry.name.startswith("zelvik-client-")] == []


@pytest.fixture
def helper(bus: Path) -> zelvik.Helper:
    return zelvik.Helper.simulated(bus, os.environ.get("ZELVIK_SIM_PROGRAM"))


@pytest.fixture
def print_file(tmp_path: Path) -> Path:
    """About 1.5 s of data for the slow printer."""
    path = tmp_path / "job.prn"
    path.write_bytes(bytes(range(256)) * 2400)
    return path
