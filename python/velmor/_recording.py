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
