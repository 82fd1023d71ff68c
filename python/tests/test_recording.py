"""Files: Spectrum.save_jcamp read back by an independent JCAMP-DX parser,
and open_recording on a recording of the velmor tool."""

from __future__ import annotations

import json
import os
import subprocess
import time
from pathlib import Path

import numpy as np
import pytest

import velmor


def test_save_jcamp_reads_back_every_value_at_its_wavelength(tmp_path: Path) -> None:
    reader = os.environ.get("JCAMP_READER")
    if not reader:
        pytest.skip("JCAMP_READER (tests/jcamp/read.mjs, set up by CTest) not given")
    wavelengths = np.array([200.0, 200.41998, 200.83994, 201.3, 650.125], dtype=np.float32)
    counts = np.array([1010.25, -3.5e-7, 65535.0, 12.0, 1e6], dtype=np.float32)
    spectrum = velmor.Spectrum("20001\n##END=", 0, wavelengths, counts, 1796752000.25, 20000, 4, None)
    spectrum.save_jcamp(tmp_path / "spectrum.jdx")
    read = json.loads(subprocess.run(["node", reader, str(tmp_path / "spectrum.jdx")], check=True,
                                     capture_output=True, text=True).stdout)
    assert np.array_equal(np.float32(read["x"]), wavelengths)
    assert np.array_equal(np.float32(read["y"]), counts)
    assert read["info"]["JCAMPDX"] == 5.01 and read["info"]["NPOINTS"] == 5
    assert read["info"]["LONGDATE"] == "2026/12/08 17:46:40.250 +0000"
    assert read["meta"]["EXPOSURE TIME US"] == 20000 and read["meta"]["AVERAGING"] == 4
    assert read["meta"]["SERIAL NUMBER"] == "20001 # END="  # a device's text cannot end the file


def test_open_recording_gives_every_spectrum_with_its_metadata(simulator: object, tmp_path: Path) -> None:
    tool = os.environ.get("VELMOR_TOOL")
    if not tool:
        pytest.skip("VELMOR_TOOL (the velmor command-line tool) not given")
    path = tmp_path / "rec.h5"
    started = time.time()
    subprocess.run([tool, "--log", str(tmp_path / "log"), "record", str(path), "--exposure-us", "10000",
                    "--averaging", "2", "--count", "6"], check=True, capture_output=True, timeout=60)
    recording = velmor.open_recording(path)
    assert len(recording) == 2 and recording.end_time and "record" in recording.command_line
    for device in recording:
        pixels = device.wavelengths.size
        assert device.counts.shape == (6, pixels) and device.counts.dtype == np.float32
        assert device.pixel_range == (0, pixels - 1)
        assert list(device.sequence) == list(range(6)) and device.spectra_lost == 0
        assert set(device.exposure_us) == {10000} and set(device.averaging) == {2}
        # Earlier tests of the session may have left dark subtraction on.
        assert device.dark_subtracted.dtype == bool and device.dark_subtracted.shape == (6,)
        assert device.error == ""
        assert np.all(device.host_time >= started - 1) and np.all(np.diff(device.device_time) >= 0)
    with pytest.raises(ValueError, match="not a velmor recording"):
        import h5py
        h5py.File(tmp_path / "other.h5", "w").close()
        velmor.open_recording(tmp_path / "other.h5")


def test_bench_record_writes_what_open_recording_reads(bench: velmor.Spectrometers, tmp_path: Path) -> None:
    summary = bench.record(tmp_path / "bench.h5", exposure_us=10000, count=5)
    recording = velmor.open_recording(tmp_path / "bench.h5")
    assert recording.end_time and set(summary) == set(recording.devices)
    for device in recording:
        assert summary[device.serial] == (5, 0)
        assert device.counts.shape == (5, device.wavelengths.size) and list(device.sequence) == list(range(5))
        assert set(device.exposure_us) == {10000} and np.all(np.diff(device.device_time) > 0)
    with pytest.raises(FileExistsError):
        bench.record(tmp_path / "bench.h5", exposure_us=10000, count=1)
