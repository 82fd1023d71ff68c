"""Stream measurement: every spectrum once and in order with its device time stamp, losses reported, the trigger."""

from __future__ import annotations

import datetime
import time

import numpy as np
import pytest

import velmor


def by_device(spectra, bench):
    return {device.serial: [s for s in spectra if s.serial == device.serial] for device in bench}


def assert_sequences_account_for_losses(own):
    expected = 0
    for spectrum in own:
        assert spectrum.sequence == expected + spectrum.missing_before
        expected = spectrum.sequence + 1


def test_every_spectrum_once_in_order_with_its_header(bench):
    before = datetime.datetime.now(datetime.timezone.utc)
    stream = bench.stream(exposure_us=10000, averaging=2, count=30)
    spectra = list(stream)
    after = datetime.datetime.now(datetime.timezone.utc)
    for device in bench:
        own = by_device(spectra, bench)[device.serial]
        assert [s.sequence for s in own] == list(range(30))
        assert all(s.missing_before == 0 for s in own)
        for spectrum in own:
            assert isinstance(spectrum, velmor.Spectrum)
            assert spectrum.device_time.tzinfo is not None
            assert before - datetime.timedelta(seconds=1) <= spectrum.device_time <= after
            assert (spectrum.exposure_us, spectrum.averaging) == (10000, 2)
            assert spectrum.temperature_c == own[0].temperature_c and 20 < spectrum.temperature_c < 30
            assert spectrum.dark_subtracted is False
            assert spectrum.wavelengths is device.wavelengths
            assert spectrum.counts.dtype == np.float32 and spectrum.counts.shape == (device.pixel_count,)
        assert [s.device_time for s in own] == sorted(s.device_time for s in own)
        assert stream.ends[device.serial] == velmor.StreamEnd(30, 0)
    assert stream.lost == 0


def test_a_duration_ends_the_stream_with_what_was_read(bench):
    started = time.monotonic()
    stream = bench.stream(exposure_us=10000, duration=1.0)
    spectra = list(stream)
    assert time.monotonic() - started < 6
    assert spectra, "spectra came"
    for device in bench:
        own = by_device(spectra, bench)[device.serial]
        assert_sequences_account_for_losses(own)
        assert stream.ends[device.serial].delivered == len(own)


def read_counts(simulator):
    """Spectra the library has read from each device so far, from velmor-sim's counters."""
    return [int(part.split(" read ")[1].split()[0]) for part in simulator.command("counters").split(";")]


def test_a_slow_consumer_loses_spectra_and_is_told_how_many(simulator, bench):
    stream = bench.stream(exposure_us=100000, count=800, queue_size=2)
    spectra = [next(stream)]
    # The consumer stalls until the library has read more than its queue of
    # 256 spectra per device holds (counted from here: the start of a stream
    # also reads what an earlier run left in the devices).
    already_read = read_counts(simulator)
    deadline = time.monotonic() + 60
    while (min(now - before for now, before in zip(read_counts(simulator), already_read)) < 300
           and time.monotonic() < deadline):
        time.sleep(0.05)
    spectra.extend(stream)
    assert stream.lost > 0
    for device in bench:
        own = by_device(spectra, bench)[device.serial]
        assert_sequences_account_for_losses(own)
        end = stream.ends[device.serial]
        assert end.delivered == len(own) and end.delivered + end.lost == 800
        assert sum(s.missing_before for s in own) == end.lost


def test_the_hardware_trigger_gives_one_spectrum_per_trigger(simulator, bench):
    bench.trigger_mode = "external"
    try:
        with bench.stream(exposure_us=10000) as stream:
            time.sleep(0.3)
            simulator.command("trigger all")
            first = [next(stream) for _ in bench]
        assert sorted(s.serial for s in first) == sorted(d.serial for d in bench)
        assert all(s.sequence == 0 for s in first)
        assert max(s.device_time for s in first) - min(s.device_time for s in first) < datetime.timedelta(seconds=0.05)
    finally:
        bench.trigger_mode = "software"


def test_arguments_are_checked_before_anything_starts(bench):
    for bad in ({"count": 0}, {"count": -1}, {"duration": 0}, {"averaging": 0}):
        with pytest.raises(ValueError):
            bench.stream(exposure_us=10000, **bad)
    with pytest.raises(TypeError):
        bench.stream(exposure_us=10000, count=1.5)
