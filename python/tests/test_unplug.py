"""A device unplugged in the middle of a measurement: an error in the consumer, no hang.

These tests unplug for good, so they run in a session of their own with
three simulated devices (serials 10001, 10002, 10003):

    velmor-sim --devices 3 --time-scale 100 -- /usr/bin/python3 -m pytest -m unplug python/tests
"""

from __future__ import annotations

import threading

import pytest

import velmor
from conftest import Stopwatch

pytestmark = pytest.mark.unplug

# The library notices a vanished device at its next exchange, or the
# package when the device stays silent for the measurement's `timeout`; the
# bound only has to catch a hang.
FAILURE_BOUND_SECONDS = 10.0


def test_unplugging_during_a_measurement_raises_in_the_loop(simulator, bench):
    clock = Stopwatch()
    with pytest.raises(velmor.MeasurementError) as failure:
        for received, _ in enumerate(bench.measure(exposure_us=10000, timeout=3), start=1):
            if received == 6:
                simulator.command("unplug 0")
                clock.restart()
    assert clock.elapsed() < FAILURE_BOUND_SECONDS
    assert failure.value.serial == "10001"
    assert failure.value.message


def test_unplugging_during_a_batch_raises_with_what_arrived(simulator, bench):
    unplug = threading.Timer(0.3, simulator.command, ("unplug 1",))
    clock = Stopwatch()
    unplug.start()
    try:
        with pytest.raises(velmor.MeasurementError) as failure:
            bench.batch(collections=60, exposure_us=1_000_000, timeout=6)  # 10 ms each in the simulator
    finally:
        unplug.join()
    assert clock.elapsed() < FAILURE_BOUND_SECONDS
    assert failure.value.serial == "10002"
    survivor = bench["10003"]
    assert failure.value.results[survivor.serial].shape == (60, survivor.pixel_count)


def test_an_unplugged_device_is_named_gone_and_a_reconnect_brings_it_back(simulator, bench):
    serial, index = bench.devices[-1].serial, int(bench.devices[-1].serial) - 10001
    simulator.command(f"unplug {index}")
    try:
        clock = Stopwatch()
        with pytest.raises(velmor.DeviceGoneError, match="gone") as failure:
            list(bench.measure(exposure_us=10000, count=3, timeout=3))
        assert clock.elapsed() < FAILURE_BOUND_SECONDS
        assert failure.value.serial == serial
    finally:
        simulator.command(f"replug {index}")
    bench.reconnect()
    assert serial in [device.serial for device in bench]
    assert len(list(bench.measure(exposure_us=10000, count=2))) == 2 * len(bench)
