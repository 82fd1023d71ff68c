"""Every way out of a measurement stops the devices and joins the workers promptly."""

from __future__ import annotations

import gc
import os
import signal
import threading

import pytest

import velmor
from conftest import STOP_BOUND_SECONDS, Stopwatch


def assert_stopped(bench):
    # Direct device reads are refused while a measurement is started, so a
    # status is proof that the run was stopped and its workers joined.
    for device in bench:
        assert device.status().state in (velmor.DeviceState.IDLE, velmor.DeviceState.TAKING_SPECTRUM)


def test_leaving_the_loop_early_stops_every_device(bench):
    clock = Stopwatch()
    with bench.measure(exposure_us=10000) as measurement:
        for index, _ in enumerate(measurement):
            if index == 3:
                clock.restart()
                break
    assert clock.elapsed() < STOP_BOUND_SECONDS
    assert_stopped(bench)


def test_an_exception_in_the_loop_body_stops_every_device(bench):
    clock = Stopwatch()
    with pytest.raises(ZeroDivisionError):
        for _ in bench.measure(exposure_us=10000):
            clock.restart()
            1 / 0
    assert clock.elapsed() < STOP_BOUND_SECONDS
    assert_stopped(bench)


def test_closing_or_dropping_the_measurement_stops_every_device(bench):
    measurement = bench.measure(exposure_us=10000)
    next(measurement)
    clock = Stopwatch()
    measurement.close()
    assert clock.elapsed() < STOP_BOUND_SECONDS
    assert_stopped(bench)
    with pytest.raises(StopIteration):
        next(measurement)

    measurement = bench.measure(exposure_us=10000)
    next(measurement)
    clock.restart()
    del measurement
    gc.collect()
    assert clock.elapsed() < STOP_BOUND_SECONDS
    assert_stopped(bench)


def interrupt_after(seconds):
    timer = threading.Timer(seconds, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    return timer


def test_ctrl_c_in_the_loop_body_stops_every_device(bench):
    timer = interrupt_after(0.3)
    clock = Stopwatch()
    with pytest.raises(KeyboardInterrupt):
        for _ in bench.measure(exposure_us=10000, queue_size=1):
            clock.restart()
            threading.Event().wait(0.05)  # a slow consumer: the queue is full
    timer.join()
    assert clock.elapsed() < STOP_BOUND_SECONDS
    assert_stopped(bench)


def test_ctrl_c_while_waiting_for_a_spectrum_stops_every_device(bench):
    measurement = bench.measure(exposure_us=100_000_000)  # 1 s with the simulator 100 times faster
    timer = interrupt_after(0.3)
    clock = Stopwatch()
    with pytest.raises(KeyboardInterrupt):
        next(measurement)
    timer.join()
    assert clock.elapsed() < 0.3 + STOP_BOUND_SECONDS
    assert_stopped(bench)


def test_a_new_measurement_ends_the_previous_one(bench):
    first = bench.measure(exposure_us=10000)
    next(first)
    second = bench.measure(exposure_us=10000, count=2)
    assert len(list(second)) == 4
    with pytest.raises(velmor.StateError, match="ended by a newer"):
        list(first)


def test_leaving_the_with_block_stops_and_disconnects(simulator):
    clock = Stopwatch()
    with velmor.Spectrometers() as bench:
        measurement = bench.measure(exposure_us=10000)
        next(measurement)
        clock.restart()
    assert clock.elapsed() < STOP_BOUND_SECONDS
    assert bench.closed
    with velmor.Spectrometers() as again:
        assert len(again) == 2
