"""Checks on the HDF5 files of 'velmor record', read with h5py (Debian's
python3-h5py), for cli_test.sh:

    recording_check.py layout <file> <serial>:<pixels>:<firmware>:<count> ...
    recording_check.py follow <file> <seconds>   prints the most spectra seen
    recording_check.py holds <file> <at least>    after a crash
"""
import sys
import time

import h5py
import numpy as np


def text(value):
    return value.decode() if isinstance(value, bytes) else str(value)


def check_layout(path, devices):
    with h5py.File(path, "r") as f:
        assert text(f.attrs["NX_class"]) == "NXroot" and text(f.attrs["default"]) == "entry"
        entry = f["entry"]
        assert text(entry.attrs["NX_class"]) == "NXentry"
        assert " record " in text(entry.attrs["command_line"])
        assert text(entry.attrs["start_time"]) < text(entry.attrs["end_time"]), "start/end time"
        assert text(entry.attrs["library_version"]).count(".") == 2
        for device in devices:
            serial, pixels, firmware, count = device.split(":")
            pixels, count = int(pixels), int(count)
            g = entry[serial]
            attrs = {name: text(value) for name, value in g.attrs.items()}
            assert attrs["NX_class"] == "NXdata" and attrs["signal"] == "counts", attrs
            assert [text(a) for a in g.attrs["axes"]] == [".", "wavelength"]
            assert attrs["serial_number"] == serial and attrs["firmware"] == firmware, attrs
            assert (attrs["first_pixel"], attrs["last_pixel"]) == ("0", str(pixels - 1)), attrs
            assert attrs["spectra_written"] == str(count) and attrs["spectra_lost"] == "0", attrs
            assert attrs["error"] == "", attrs
            assert g["wavelength"].shape == (pixels,) and text(g["wavelength"].attrs["units"]) == "nm"
            assert np.all(np.diff(g["wavelength"][:]) > 0)
            counts = g["counts"]
            assert counts.shape == (count, pixels) and counts.dtype == np.float32, counts
            assert counts.compression == "gzip" and counts.chunks[1] == pixels
            assert np.all(counts[:].max(axis=1) > 0)
            assert list(g["sequence"][:]) == list(range(count))
            assert g["lost"].shape == (0, 2)
            assert set(g["exposure_time"][:]) == {10000} and text(g["exposure_time"].attrs["units"]) == "us"
            assert set(g["averaging"][:]) == {1} and set(g["dark_subtracted"][:]) == {0}
            device_time, host_time = g["device_time"][:], g["host_time"][:]
            assert np.all(np.diff(device_time) > 0) and np.all(np.abs(host_time - device_time) < 5)
            assert abs(host_time[0] - time.time()) < 120


def spectra_in(path):
    with h5py.File(path, "r", swmr=True) as f:
        return min(g["counts"].shape[0] for g in f["entry"].values())


def follow(path, seconds):
    """Follows the growing file as another process would; prints the most
    spectra seen, after checking that the file grew while it was read."""
    with h5py.File(path, "r", swmr=True) as f:
        groups = list(f["entry"].values())
        seen = []
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            for g in groups:
                g["counts"].refresh()
                g["sequence"].refresh()
            rows = min(g["counts"].shape[0] for g in groups)
            if rows:
                last = groups[0]["counts"][rows - 1]
                assert np.isfinite(last).all() and last.max() > 0, "a flushed row is not a spectrum"
            seen.append(rows)
            time.sleep(0.2)
    assert seen[-1] > seen[0] > 0 or seen[-1] > 0 and seen[0] == 0, f"the file did not grow: {seen}"
    assert len(set(seen)) >= 3, f"the reader saw too few flushes: {seen}"
    print(seen[-1])


def holds(path, at_least):
    rows = spectra_in(path)
    assert rows >= at_least, f"{rows} spectra in the file, {at_least} were flushed before the kill"


if __name__ == "__main__":
    command, path, *rest = sys.argv[1:]
    if command == "layout":
        check_layout(path, rest)
    elif command == "follow":
        follow(path, float(rest[0]))
    else:
        holds(path, int(rest[0]))
