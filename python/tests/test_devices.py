"""Device list, identity, configuration, direct one-device access, error types."""

from __future__ import annotations

import numpy as np
import pytest

import velmor
from velmor import _capi


def test_every_simulated_device_is_connected_with_its_identity(bench):
    assert len(bench) == 2 and len(bench.devices) == 2
    assert sorted(device.serial for device in bench) == ["10001", "10002"]
    for index, device in enumerate(bench.devices):
        assert device.index == index
        assert bench[device.serial] is device and bench[index] is device
        assert device.pixel_count == 2048
        assert device.pixel_range[1] - device.pixel_range[0] + 1 == device.pixel_count
        assert device.firmware.count(".") == 3
        table = device.wavelengths
        assert table.dtype == np.float32 and table.shape == (device.pixel_count,)
        assert np.all(np.diff(table) > 0)
        assert not table.flags.writeable
    with pytest.raises(KeyError):
        bench["no such serial"]


def test_trigger_mode_is_set_for_every_device_and_read_back(bench):
    bench.trigger_mode = "external"
    assert bench.trigger_mode is velmor.TriggerMode.EXTERNAL
    assert all(device.trigger_mode is velmor.TriggerMode.EXTERNAL for device in bench)
    bench.trigger_mode = velmor.TriggerMode.SOFTWARE
    assert bench.trigger_mode is velmor.TriggerMode.SOFTWARE
    with pytest.raises(ValueError, match="software"):
        bench.trigger_mode = "sometimes"


def test_one_device_measures_alone_and_reports_its_status(bench):
    device = bench.devices[1]
    assert device.status() == (velmor.DeviceState.IDLE, 0)
    spectrum = device.acquire(exposure_us=20000, averaging=2)
    assert spectrum.serial == device.serial and spectrum.device_index == 1
    assert spectrum.counts.dtype == np.float32 and spectrum.counts.shape == (device.pixel_count,)
    assert spectrum.wavelengths is device.wavelengths
    assert (spectrum.exposure_us, spectrum.averaging) == (20000, 2)
    assert spectrum.device_time is not None and abs(spectrum.device_time.timestamp() - spectrum.received_at) < 5
    assert device.status().available_spectra == 0


def test_reading_from_a_device_with_no_spectrum_says_none_is_waiting(bench):
    with pytest.raises(velmor.StateError) as failure:
        bench.devices[0].read_spectrum()
    assert failure.value.serial == bench.devices[0].serial
    assert "no finished spectrum is waiting" in failure.value.message


def test_status_codes_become_exceptions_of_fitting_types(bench):
    library, manager = bench._library, bench._manager_handle()
    with pytest.raises(IndexError, match="device_index 2 is out of range"):
        library.pixel_count(manager, 2)
    with pytest.raises(ValueError, match="neither"):
        library.set_trigger_mode(manager, 7)
    with pytest.raises(ValueError, match="NULL"):
        library.connect(0)
    with bench.measure(exposure_us=10000) as measurement:
        next(measurement)
        with pytest.raises(velmor.StateError, match="Device.status: not possible while a measurement runs"):
            bench.devices[0].status()


@pytest.mark.parametrize("arguments, error", [
    ({"exposure_us": 0}, ValueError),
    ({"exposure_us": 2**31}, ValueError),
    ({"exposure_us": 1000, "averaging": 0}, ValueError),
    ({"exposure_us": 1000, "count": 0}, ValueError),
    ({"exposure_us": 1000, "delay_us": -1}, ValueError),
    ({"exposure_us": 1000, "timeout": 0}, ValueError),
    ({"exposure_us": 1000.5}, TypeError),
    ({"exposure_us": True}, TypeError),
])
def test_bad_measurement_arguments_are_refused_before_any_device_moves(bench, arguments, error):
    with pytest.raises(error):
        bench.measure(**arguments)


@pytest.mark.parametrize("arguments", [{"collections": 0}, {"exposure_us": -5}, {"averaging": 2**40}])
def test_bad_batch_arguments_are_refused(bench, arguments):
    with pytest.raises(ValueError):
        bench.batch(**{"collections": 2, "exposure_us": 1000, **arguments})


def test_a_closed_bench_refuses_work(simulator):
    bench = velmor.Spectrometers()
    bench.close()
    bench.close()
    assert bench.closed
    with pytest.raises(velmor.Error, match="closed"):
        bench.measure(exposure_us=1000)


def test_help_describes_the_package():
    import pydoc

    text = pydoc.render_doc(velmor)
    for name in ("Spectrometers", "measure", "batch", "take_dark", "MeasurementError", "VELMOR_LIBRARY"):
        assert name in text
    assert _capi.library().versions()[1] >= _capi.C_API_VERSION
