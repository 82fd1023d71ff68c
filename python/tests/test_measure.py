"""Continuous measurement, batch, dark spectrum, the hand-over and the other Python threads."""

from __future__ import annotations

import threading
import time

import numpy as np



def test_each_device_delivers_count_spectra_with_its_shared_wavelengths(bench):
    spectra = list(bench.measure(exposure_us=10000, count=8))
    for device in bench:
        own = [s for s in spectra if s.serial == device.serial]
        assert len(own) == 8
        for spectrum in own:
            assert spectrum.device_index == device.index
            assert spectrum.wavelengths is device.wavelengths
            assert spectrum.counts.dtype == np.float32 and spectrum.counts.shape == (device.pixel_count,)
            assert spectrum.counts.flags.owndata
        assert [s.received_at for s in own] == sorted(s.received_at for s in own)
    # Each spectrum is its own copy, not a view of a reused buffer.
    assert len({id(s.counts) for s in spectra}) == len(spectra)
    assert not np.shares_memory(spectra[0].counts, spectra[2].counts)


def test_a_batch_returns_one_array_per_device(bench):
    batches = bench.batch(collections=12, exposure_us=5000, averaging=1)
    assert sorted(batches) == sorted(device.serial for device in bench)
    for device in bench:
        array = batches[device.serial]
        assert array.dtype == np.float32 and array.shape == (12, device.pixel_count)
        assert np.all(np.isfinite(array))


def test_dark_subtraction_lowers_what_every_device_delivers(bench):
    raw = {s.serial: s.counts for s in bench.measure(exposure_us=20000, count=1)}
    bench.take_dark(exposure_us=20000, averaging=2)
    bench.subtract_dark = True
    assert bench.subtract_dark is True
    corrected = {s.serial: s.counts for s in bench.measure(exposure_us=20000, count=1)}
    for serial in raw:
        assert corrected[serial].mean() < raw[serial].mean() - 1.0
    bench.devices[0].subtract_dark = False
    assert bench.subtract_dark is None and bench.devices[1].subtract_dark is True


def test_a_slow_consumer_gets_every_spectrum_and_the_queue_stays_bounded(bench):
    measurement = bench.measure(exposure_us=1000, count=15, queue_size=2)
    held = []
    received = 0
    for _ in measurement:
        held.append(len(measurement._handover))
        received += 1
        time.sleep(0.03)
    assert received == 2 * 15
    assert max(held) <= 2


def test_another_python_thread_runs_during_a_measurement_and_a_dark_spectrum(bench):
    ticks = [0]
    running = threading.Event()
    running.set()

    def count_ticks():
        while running.is_set():
            ticks[0] += 1
            time.sleep(0.001)

    worker = threading.Thread(target=count_ticks)
    worker.start()
    try:
        before = ticks[0]
        for _ in bench.measure(exposure_us=10000, count=10):
            pass
        during_measure = ticks[0] - before
        before = ticks[0]
        bench.take_dark(exposure_us=2_000_000, averaging=1)
        during_dark = ticks[0] - before
    finally:
        running.clear()
        worker.join()
    assert during_measure > 20
    assert during_dark > 5


def _resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def test_memory_stays_flat_over_thousands_of_spectra(bench):
    def measure(count):
        for _ in bench.measure(exposure_us=1000, count=count):
            pass

    measure(200)  # warm-up: allocator pools, numpy caches
    start = _resident_bytes()
    measure(1000)
    end = _resident_bytes()
    # 2000 spectra of 8 KiB each would be about 16 MB if they were kept.
    assert end - start < 4 * 1024 * 1024, f"resident memory grew by {(end - start) / 1e6:.1f} MB"
