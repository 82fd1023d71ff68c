"""What the package reports is what happened: the spectrum asked for, the
device's time in UTC, lost spectra named, Ctrl-C kept, nonsense refused,
errors by their cause and in Python's terms."""

from __future__ import annotations

import logging
import os
import signal
import threading
import time

import pytest

import velmor
from velmor import _capi, _logforward
from conftest import STOP_BOUND_SECONDS, Stopwatch
from test_library import run_python


def test_acquire_returns_the_spectrum_it_asked_for_after_earlier_work(bench):
    device = bench.devices[0]
    # What a stopped measurement leaves: spectra waiting, an acquisition running.
    device._call("device_set_exposure", 10000, 1)
    device._call("device_start_acquisition", 3)
    while device.status().available_spectra == 0:
        time.sleep(0.001)
    for exposure_us, averaging in ((50000, 1), (30000, 2), (50000, 1)):
        spectrum = device.acquire(exposure_us=exposure_us, averaging=averaging)
        assert (spectrum.exposure_us, spectrum.averaging) == (exposure_us, averaging)
    assert device.status().available_spectra == 0


def test_device_time_is_utc_whatever_the_local_zone():
    result = run_python("""
        import velmor
        with velmor.Spectrometers() as bench:
            spectrum = bench.devices[0].acquire(exposure_us=10000)
            print(spectrum.device_time.utcoffset().total_seconds(),
                  spectrum.device_time.timestamp() - spectrum.received_at)
        """, TZ="Europe/Berlin")
    assert result.returncode == 0, result.stderr
    offset, difference = map(float, result.stdout.split())
    assert offset == 0 and abs(difference) < 5


def test_a_short_batch_says_why(bench):
    # The simulator's devices hold 1000 spectra; 1200 at 10 us each overflow them.
    with pytest.raises(velmor.MeasurementError) as lost:
        bench.batch(1200, exposure_us=1000)
    assert type(lost.value) is velmor.MeasurementError
    assert "were lost" in lost.value.message and "memory" in lost.value.message
    assert set(lost.value.results) == {device.serial for device in bench}

    clock = Stopwatch()
    with pytest.raises(velmor.MeasurementTimeout, match="timeout of 0.5 s"):
        bench.batch(100, exposure_us=1_000_000, timeout=0.5)  # 1 s in the simulator
    assert clock.elapsed() < 0.5 + STOP_BOUND_SECONDS


@pytest.mark.parametrize("action, error, text", [
    (lambda bench: bench.measure(exposure_us=1000, timeout="x"), TypeError, "timeout"),
    (lambda bench: bench.batch(2, exposure_us=1000, timeout=float("nan")), ValueError, "timeout"),
    (lambda bench: setattr(bench, "subtract_dark", "no"), TypeError, "subtract_dark"),
    (lambda bench: setattr(bench.devices[0], "subtract_dark", 1), TypeError, "subtract_dark"),
    (lambda bench: bench[5], IndexError, "device index 5 is out of range: 2 devices"),
    (lambda bench: bench["nope"], KeyError, "nope"),
    (lambda bench: bench.devices[0].read_spectrum(), velmor.StateError, "no finished spectrum is waiting"),
    (lambda bench: setattr(bench, "trigger_mode", "sideways"), ValueError, "trigger mode"),
])
def test_nonsense_is_refused_with_a_text_naming_it(bench, action, error, text):
    with pytest.raises(error, match=text):
        action(bench)


def test_trigger_mode_names_are_case_insensitive(bench):
    bench.trigger_mode = "SOFTWARE"
    assert bench.trigger_mode is velmor.TriggerMode.SOFTWARE


def test_a_closed_bench_is_a_state_error_also_in_with(simulator):
    bench = velmor.Spectrometers()
    bench.close()
    with pytest.raises(velmor.StateError, match="closed"):
        with bench:
            pass


def test_a_measurement_refuses_other_work_in_python_terms(bench):
    with bench.measure(exposure_us=10000) as measurement:
        next(measurement)
        attempts = [
            (lambda: bench.devices[0].status(), "Device.status"),
            (lambda: bench.devices[1].take_dark(exposure_us=1000), "Device.take_dark"),
            (lambda: bench.devices[0].acquire(exposure_us=1000), "Device.acquire"),
            (lambda: setattr(bench, "trigger_mode", "external"), "Spectrometers.trigger_mode"),
        ]
        for attempt, name in attempts:
            with pytest.raises(velmor.StateError) as refused:
                attempt()
            assert refused.value.message.startswith(name) and "velmor_" not in refused.value.message


def test_a_newer_measurement_ends_the_running_one_loudly_also_from_another_thread(bench):
    first = bench.measure(exposure_us=10000)
    next(first)
    outcome = {}

    def consume_first():
        try:
            for _ in first:
                pass
        except velmor.StateError as ended:
            outcome["first"] = ended

    consumer = threading.Thread(target=consume_first)
    consumer.start()
    time.sleep(0.1)
    clock = Stopwatch()
    assert len(list(bench.measure(exposure_us=10000, count=2))) == 4
    consumer.join(STOP_BOUND_SECONDS)
    assert not consumer.is_alive() and clock.elapsed() < STOP_BOUND_SECONDS
    assert "ended by a newer measure()" in str(outcome["first"])


def test_ctrl_c_inside_a_library_callback_is_raised_after_the_call(bench):
    class InterruptOnce(logging.Handler):
        fired = False

        def emit(self, record):
            if not self.fired:
                self.fired = True
                raise KeyboardInterrupt  # as a SIGINT landing in the callback would

    handler = InterruptOnce(logging.DEBUG)
    logger = logging.getLogger("velmor")
    logger.addHandler(handler)
    previous = logger.level
    logger.setLevel(logging.DEBUG)
    try:
        with pytest.raises(KeyboardInterrupt):
            bench.take_dark(exposure_us=1000)  # the library logs on the calling thread
    finally:
        logger.removeHandler(handler)
        logger.setLevel(previous)
    assert handler.fired
    assert bench.devices[0].status().state == velmor.DeviceState.IDLE


def test_a_second_bench_says_the_devices_are_in_use(bench):
    with pytest.raises(velmor.DeviceInUseError, match="in use"):
        velmor.Spectrometers()


@pytest.mark.parametrize("stream, line, level", [
    (1, "The current device number that is being started:10001", logging.INFO),
    (1, "Exception in measurement thread: Communication failed: Data write failed", logging.WARNING),
    (0, "[VLP] poll devIndex=0 elapsedMs=3", logging.DEBUG),
    (0, "暗光谱采集超时", logging.WARNING),
])
def test_library_lines_are_logged_at_the_level_of_their_meaning(stream, line, level):
    assert _logforward.level_of(stream, line) == level


@pytest.mark.parametrize("fault, interrupt, failure, cause", [
    ("any no-reply 1000000", False, velmor.MeasurementTimeout, ""),
    ("any no-reply 1000000", True, KeyboardInterrupt, ""),
    ("0x4000 short 3 1000000", False, velmor.MeasurementError, "Not enough bytes received from device"),
], ids=["silent", "silent-ctrl-c", "garbled"])
def test_a_failing_device_ends_the_loop_and_the_with_block_promptly_with_its_cause(
        simulator, fault, interrupt, failure, cause):
    bench = velmor.Spectrometers()
    measurement = bench.measure(exposure_us=10000)
    next(measurement)
    limit = bench._library.time_limit(_capi.MEASURE_CONTINUOUS, 10000, 1, 0, 1)
    simulator.command(f"fault 0 {fault}")
    try:
        clock = Stopwatch()
        if interrupt:
            threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
        with pytest.raises(failure, match=cause):
            with bench:
                for _ in measurement:
                    pass
        left = clock.elapsed()
    finally:
        simulator.command("clear 0")
        bench.close()
    assert left < (1.5 if interrupt else limit + 3)
