"""The exceptions of the package: one family for device and transport failures."""

from __future__ import annotations

from typing import Optional

__all__ = [
    "Error",
    "LibraryNotFoundError",
    "NoDeviceError",
    "StateError",
    "DeviceError",
    "DeviceInUseError",
    "DeviceGoneError",
    "MeasurementError",
    "MeasurementTimeout",
]


class Error(Exception):
    """Base of every failure the spectrometers or the library report.

    ``message`` is the library's own text (the same text a C++ host reads from
    the exception), ``serial`` the serial number of the device it concerns,
    when one device is concerned. ``status`` is the C interface's status code
    behind it (e.g. -10 for a device gone), None where the package itself
    found the failure.
    """

    def __init__(self, message: str, serial: Optional[str] = None) -> None:
        super().__init__(message if serial is None else f"{serial}: {message}")
        self.message = message
        self.serial = serial
        self.status: Optional[int] = None


class LibraryNotFoundError(Error, OSError):
    """The shared library could not be loaded; the message lists every place tried."""


class StateError(Error):
    """The call does not fit the current state, e.g. a direct device read while a
    measurement runs, a closed bench, a measurement ended by a newer one, or a
    call from inside a library callback."""


class NoDeviceError(Error):
    """No spectrometer is connected (none attached, or none initialized)."""


class DeviceInUseError(NoDeviceError):
    """A spectrometer is attached but held by another ``Spectrometers`` of this
    process or by another process; close that one first."""


class DeviceError(Error):
    """A device or its USB transport failed: a command refused, no reply, device gone."""


class MeasurementError(DeviceError):
    """A device failed during a measurement; every device has been stopped.

    ``results`` holds what did arrive, where there is something to hold: for
    a batch, ``{serial: array}`` of every batch delivered (a failed device's
    partial batch included).
    """

    def __init__(self, message: str, serial: Optional[str] = None, results: Optional[dict] = None) -> None:
        super().__init__(message, serial)
        self.results = results if results is not None else {}


class MeasurementTimeout(MeasurementError, TimeoutError):
    """A device delivered nothing within the time its measurement should take."""


class DeviceGoneError(MeasurementError):
    """The device was unplugged or can no longer be reached, during a measurement
    or a direct call. Plug it back in and call :meth:`Spectrometers.reconnect`."""
