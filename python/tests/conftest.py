"""Fixtures for the package's tests, which run inside a velmor-sim session:

    velmor-sim --devices 2 --time-scale 100 -- /usr/bin/python3 -m pytest python/tests

with VELMOR_LIBRARY naming the library to test (CTest sets both).
"""

from __future__ import annotations

import os
import socket
import time
from typing import Iterator

import pytest

import velmor

CONTROL_VARIABLE = "VELMOR_SIM_CONTROL"
# Generous: a stop takes tens of milliseconds; the bound only has to catch a hang.
STOP_BOUND_SECONDS = 3.0


class Simulator:
    """The velmor-sim session the tests run in, driven through its control socket."""

    def __init__(self, path: str) -> None:
        self.path = path

    def command(self, line: str) -> str:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as connection:
            connection.settimeout(10)
            connection.connect(self.path)
            connection.sendall(line.encode() + b"\n")
            answer = b""
            while not answer.endswith(b"\n"):
                chunk = connection.recv(4096)
                if not chunk:
                    break
                answer += chunk
        text = answer.decode().strip()
        assert text.startswith("ok"), f"velmor-sim refused {line!r}: {text}"
        return text


@pytest.fixture(scope="session")
def simulator() -> Simulator:
    path = os.environ.get(CONTROL_VARIABLE)
    if not path:
        pytest.fail("run the tests inside velmor-sim: velmor-sim --devices 2 -- /usr/bin/python3 -m pytest ...")
    return Simulator(path)


@pytest.fixture
def bench(simulator: Simulator) -> Iterator[velmor.Spectrometers]:
    spectrometers = velmor.Spectrometers()
    try:
        yield spectrometers
    finally:
        spectrometers.close()


class Stopwatch:
    """Seconds since it was made (or last restarted)."""

    def __init__(self) -> None:
        self.start = time.monotonic()

    def restart(self) -> None:
        self.start = time.monotonic()

    def elapsed(self) -> float:
        return time.monotonic() - self.start
