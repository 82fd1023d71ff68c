"""Reading the HDF5 recordings of ``velmor record`` (and ``Spectrometers.record``).

The files follow the NeXus conventions: ``/entry`` (NXentry) holds one
NXdata group per device, named after its serial number, with ``counts``
(spectra x pixels), ``wavelength`` and one value per spectrum in
``sequence``, ``device_time``, ``host_time``, ``exposure_time``,
``averaging``, ``dark_subtracted``, ``intensity_unit`` and
``sensor_temperature``, and the gaps of lost spectra in ``lost``.
Files are opened in HDF5's single-writer/multiple-reader mode, so a file
still being recorded, or left by a recorder that crashed, reads as well.
"""

from __future__ import annotations

import os
import re
import time
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, Optional, Tuple, Union

import numpy as np

__all__ = ["Recording", "RecordedDevice", "open_recording"]

_PER_SPECTRUM = ("counts", "sequence", "device_time", "host_time", "exposure_time", "averaging",
                 "dark_subtracted", "intensity_unit", "sensor_temperature")


@dataclass(frozen=True)
class RecordedDevice:
    """What one device recorded; one row (or element) per spectrum."""

    serial: str
    firmware: str  #: "unknown" when the recorder could not tell
    usb_location: str  #: "bus/address"
    pixel_range: Tuple[int, int]  #: first and last pixel
    wavelengths: np.ndarray  #: nm per pixel, float32
    counts: np.ndarray  #: (spectra, pixels) float32
    sequence: np.ndarray  #: per device from 0; gaps are lost spectra
    device_time: np.ndarray  #: device time stamps, seconds since 1970-01-01 UTC
    host_time: np.ndarray  #: host clock when read, seconds since 1970-01-01 UTC
    exposure_us: np.ndarray
    averaging: np.ndarray
    dark_subtracted: np.ndarray  #: bool
    intensity_unit: np.ndarray  #: 0 counts, 1 counts/ms, 2 transmittance, ...
    sensor_temperature: np.ndarray  #: degrees Celsius
    lost: np.ndarray  #: (gaps, 2): first sequence number and count of each gap
    error: str  #: why the device's stream failed; empty if it did not

    @property
    def spectra_lost(self) -> int:
        """Spectra the device made that are not in the file."""
        return int(self.lost[:, 1].sum()) if self.lost.size else 0

    def __len__(self) -> int:
        return int(self.counts.shape[0])


@dataclass(frozen=True)
class Recording:
    """A whole recording: its metadata and its devices by serial number."""

    path: str
    start_time: str  #: ISO 8601, UTC
    end_time: Optional[str]  #: None when the recorder did not end normally (crash, or still running)
    command_line: str
    library_version: str
    devices: Dict[str, RecordedDevice] = field(default_factory=dict)

    def __getitem__(self, serial: str) -> RecordedDevice:
        return self.devices[serial]

    def __iter__(self) -> Iterator[RecordedDevice]:
        return iter(self.devices.values())

    def __len__(self) -> int:
        return len(self.devices)


def _text(value: Any) -> str:
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else str(value)


def _device(group: Any) -> RecordedDevice:
    attrs = group.attrs
    # After a failed write the datasets may differ in length by the rows of
    # the last flush; only spectra complete in every one are handed out.
    rows = min(group[name].shape[0] for name in _PER_SPECTRUM)
    column = {name: group[name][:rows] for name in _PER_SPECTRUM}
    return RecordedDevice(
        serial=_text(attrs["serial_number"]),
        firmware=_text(attrs["firmware"]),
        usb_location=_text(attrs["usb_location"]),
        pixel_range=(int(attrs["first_pixel"]), int(attrs["last_pixel"])),
        wavelengths=group["wavelength"][:],
        counts=column["counts"],
        sequence=column["sequence"],
        device_time=column["device_time"],
        host_time=column["host_time"],
        exposure_us=column["exposure_time"],
        averaging=column["averaging"],
        dark_subtracted=column["dark_subtracted"].astype(bool),
        intensity_unit=column["intensity_unit"],
        sensor_temperature=column["sensor_temperature"],
        lost=group["lost"][:],
        error=_text(attrs["error"]),
    )


def open_recording(path: Union[str, "os.PathLike[str]"]) -> Recording:
    """Reads a recording into numpy arrays, every device's spectra and metadata.

    Works on a finished file, one still being written, and one whose
    recorder crashed (it then holds everything up to the last flush).
    Raises ImportError when h5py is missing (Debian: python3-h5py),
    FileNotFoundError, and ValueError for an HDF5 file that is not a
    recording.
    """
    try:
        import h5py
    except ImportError as error:
        raise ImportError("velmor.open_recording needs h5py (Debian: python3-h5py)") from error
    path = os.fspath(path)
    if not os.path.exists(path):
        raise FileNotFoundError(path)
    with h5py.File(path, "r", swmr=True) as file:
        entry = file.get("entry")
        if entry is None or _text(entry.attrs.get("NX_class", "")) != "NXentry":
            raise ValueError(f"{path}: not a velmor recording (no NXentry 'entry')")
        try:
            devices = {_text(group.attrs["serial_number"]): _device(group) for group in entry.values()}
            end_time = _text(entry.attrs["end_time"])
            return Recording(path=path, start_time=_text(entry.attrs["start_time"]), end_time=end_time or None,
                             command_line=_text(entry.attrs["command_line"]),
                             library_version=_text(entry.attrs["library_version"]), devices=devices)
        except KeyError as error:
            raise ValueError(f"{path}: not a velmor recording (missing {error})") from error


_FLUSH_SECONDS = 0.5
_TEXT_LENGTH = {"end_time": 32, "error": 512}
_COLUMNS = (  # name, dtype, units, long name, value of a StreamedSpectrum
    ("sequence", "u8", None, "sequence number per device from 0; gaps are lost spectra", lambda s: s.sequence),
    ("device_time", "f8", "s", "device time stamp, seconds since 1970-01-01 UTC", lambda s: s.device_time.timestamp()),
    ("host_time", "f8", "s", "host clock when read, seconds since 1970-01-01 UTC", lambda s: s.received_at),
    ("exposure_time", "u4", "us", "exposure time", lambda s: s.exposure_us),
    ("averaging", "u4", None, "exposures averaged", lambda s: s.averaging),
    ("dark_subtracted", "u1", None, "1: the device subtracted its dark spectrum", lambda s: s.dark_subtracted),
    ("intensity_unit", "u1", None, "unit of counts: 0 counts, 1 counts/ms, 2 transmittance, 3 reflectance, "
     "4 absorbance, 5 calibrated, 6 evaluated", lambda s: s.intensity_unit),
    ("sensor_temperature", "f4", "degC", "sensor temperature", lambda s: s.temperature_c),
)


def _fixed_text(text: str, length: int) -> np.bytes_:
    """A text attribute of a fixed size, so that it can be rewritten once readers follow the file."""
    return np.bytes_(text.encode()[:length].ljust(length, b"\0"))


def _iso_utc(seconds: float) -> str:
    import datetime

    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).isoformat(
        timespec="milliseconds").replace("+00:00", "Z")


class _RecordingWriter:
    """Writes a stream into the layout of ``velmor record`` (HDF5, SWMR mode, flushed twice a second)."""

    def __init__(self, h5py: Any, path: str, devices: Any, command_line: str, library_version: str) -> None:
        self._file = h5py.File(path, "w-", libver="latest")
        file = self._file
        file.attrs.update({"NX_class": "NXroot", "default": "entry", "creator": f"velmor (Python) {library_version}"})
        entry = self._entry = file.create_group("entry")
        entry.attrs.update({"NX_class": "NXentry", "program_name": "velmor (Python)",
                            "library_version": library_version, "command_line": command_line,
                            "start_time": _iso_utc(time.time()), "end_time": _fixed_text("", 32)})
        self._groups: Dict[str, Any] = {}
        self.summary: Dict[str, Tuple[int, int]] = {}
        self._rows: Dict[str, list] = {}
        self._next_sequence: Dict[str, int] = {}
        for device in devices:
            name = re.sub(r"[^A-Za-z0-9._-]", "_", device.serial) or "device"
            while name in entry:
                name += "_"
            self._groups[device.serial] = self._create_device(entry.create_group(name), device)
            self._rows[device.serial] = []
            self._next_sequence[device.serial] = 0
        entry.attrs["default"] = next(iter(entry), "")
        file.swmr_mode = True
        self._flushed_at = time.monotonic()

    @staticmethod
    def _create_device(group: Any, device: Any) -> Any:
        pixels = int(device.pixel_count)
        first, last = device.pixel_range
        group.attrs.update({"NX_class": "NXdata", "signal": "counts", "axes": np.array([b".", b"wavelength"]),
                            "wavelength_indices": 1, "serial_number": device.serial, "firmware": device.firmware,
                            "usb_location": "unknown", "first_pixel": first, "last_pixel": last,
                            "pixel_count": pixels, "spectra_written": 0, "spectra_lost": 0,
                            "error": _fixed_text("", 512)})
        wavelength = group.create_dataset("wavelength", data=np.asarray(device.wavelengths, dtype="f4"))
        wavelength.attrs.update({"units": "nm", "long_name": "wavelength"})
        counts = group.create_dataset("counts", (0, pixels), maxshape=(None, pixels), dtype="f4",
                                      chunks=(16, max(pixels, 1)), shuffle=True, compression="gzip",
                                      compression_opts=4)
        counts.attrs.update({"units": "counts", "long_name": "intensity per pixel, one row per spectrum"})
        for name, dtype, units, long_name, _ in _COLUMNS:
            column = group.create_dataset(name, (0,), maxshape=(None,), dtype=dtype, chunks=(1024,))
            column.attrs.update({"long_name": long_name, **({"units": units} if units else {})})
        group.create_dataset("lost", (0, 2), maxshape=(None, 2), dtype="u8", chunks=(1024, 2))
        return group

    def add(self, spectrum: Any) -> None:
        self._rows[spectrum.serial].append(spectrum)
        if time.monotonic() - self._flushed_at >= _FLUSH_SECONDS:
            self.flush()

    @staticmethod
    def _append(dataset: Any, values: np.ndarray) -> None:
        start = dataset.shape[0]
        dataset.resize(start + len(values), axis=0)
        dataset[start:] = values

    def _add_gap(self, serial: str, first: int, count: int) -> None:
        group = self._groups[serial]
        self._append(group["lost"], np.array([[first, count]], dtype="u8"))
        group.attrs["spectra_lost"] = int(group.attrs["spectra_lost"]) + count

    def flush(self) -> None:
        for serial, rows in self._rows.items():
            if not rows:
                continue
            group = self._groups[serial]
            for spectrum in rows:
                if spectrum.sequence > self._next_sequence[serial]:
                    self._add_gap(serial, self._next_sequence[serial], spectrum.sequence - self._next_sequence[serial])
                self._next_sequence[serial] = max(self._next_sequence[serial], spectrum.sequence + 1)
            self._append(group["counts"], np.stack([spectrum.counts for spectrum in rows]))
            for name, dtype, _, _, value in _COLUMNS:
                self._append(group[name], np.array([value(spectrum) for spectrum in rows], dtype=dtype))
            group.attrs["spectra_written"] = group["counts"].shape[0]
            rows.clear()
        self._file.flush()
        self._flushed_at = time.monotonic()

    def finish(self, ends: Dict[str, Any], errors: Dict[str, str]) -> None:
        self.flush()
        for serial, end in ends.items():
            made = end.delivered + end.lost
            if made > self._next_sequence.get(serial, made):
                self._add_gap(serial, self._next_sequence[serial], made - self._next_sequence[serial])
        self.summary = {serial: (int(group["counts"].shape[0]), int(group.attrs["spectra_lost"]))
                        for serial, group in self._groups.items()}
        for serial, error in errors.items():
            if serial in self._groups:
                self._groups[serial].attrs["error"] = _fixed_text(error, 512)
        self._entry.attrs["end_time"] = _fixed_text(_iso_utc(time.time()), 32)
        self._file.flush()
        self._file.close()


def record(bench: Any, path: Union[str, "os.PathLike[str]"], exposure_us: int, averaging: int = 1,
           count: Optional[int] = None, duration: Optional[float] = None, *, delay_us: int = 0) -> Dict[str, Tuple[int, int]]:
    """Streams every device of ``bench`` into a new HDF5 file laid out as ``velmor record`` lays it out.

    Returns ``{serial: (spectra written, spectra lost)}``. Raises
    FileExistsError for an existing file, ImportError without h5py, and
    the stream's errors (:class:`velmor.MeasurementError`, ...) after
    finishing the file with what came before them.
    """
    try:
        import h5py
    except ImportError as error:
        raise ImportError("recording needs h5py (Debian: python3-h5py)") from error
    from . import library_version

    path = os.fspath(path)
    if os.path.exists(path):
        raise FileExistsError(path)
    writer = _RecordingWriter(h5py, path, bench.devices,
                              f"Spectrometers.record(exposure_us={exposure_us}, averaging={averaging}, "
                              f"count={count}, duration={duration}, delay_us={delay_us})", library_version())
    stream = bench.stream(exposure_us, averaging, count, duration, delay_us=delay_us)
    errors: Dict[str, str] = {}
    try:
        with stream:
            for spectrum in stream:
                writer.add(spectrum)
    except Exception as error:
        errors[getattr(error, "serial", None) or ""] = str(error)
        writer.finish(stream.ends, errors)
        raise
    writer.finish(stream.ends, errors)
    return writer.summary
