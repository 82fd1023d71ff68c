"""velmor: USB spectrometers from Python, spectra as numpy arrays.

A pure-Python package over the C interface of the velmor library (ctypes,
no compiled extension): the same package works with ``libvelmor.so`` and
with ``velmor.dll``.

Quick start::

    import velmor

    with velmor.Spectrometers() as bench:            # connects every attached device
        for device in bench.devices:
            print(device.serial, device.pixel_count, device.wavelengths[[0, -1]])
        bench.take_dark(exposure_us=20000, averaging=2)
        bench.subtract_dark = True
        for spectrum in bench.measure(exposure_us=10000, count=50):
            print(spectrum.serial, spectrum.counts.max())
        batches = bench.batch(collections=100, exposure_us=5000)   # {serial: (100, pixels) array}

What is where:

- :class:`Spectrometers`: every attached device (``devices``,
  ``trigger_mode``, ``subtract_dark``, ``take_dark``, ``measure``,
  ``batch``, ``stop``, ``reconnect``, ``close``).
- :class:`Device`: one device (``serial``, ``pixel_count``,
  ``pixel_range``, ``firmware``, ``wavelengths``, ``trigger_mode``,
  ``subtract_dark``, ``take_dark``, ``status``, ``acquire``,
  ``read_spectrum``).
- :class:`Spectrum`: ``counts`` (float32 array, its own copy),
  ``wavelengths`` (the device's table, shared), ``serial``,
  ``device_index``, ``received_at``, ``exposure_us``, ``averaging``,
  ``device_time`` (UTC, timezone-aware; direct reads only).
- :class:`Measurement`: the iterator :meth:`Spectrometers.measure` returns.
- :meth:`Spectrum.save_jcamp`: one spectrum as JCAMP-DX 5.01;
  :meth:`Spectrometers.record`: every device streamed into an HDF5 file
  laid out as ``velmor record`` lays it out.
- :func:`open_recording`: an HDF5 recording of ``velmor record`` as numpy
  arrays and metadata per device (:class:`Recording`,
  :class:`RecordedDevice`; needs h5py, Debian's ``python3-h5py``).
- Errors: ``ValueError`` and ``TypeError`` for bad arguments,
  ``IndexError`` for a bad device index, and :class:`Error` with
  :class:`DeviceError`, :class:`MeasurementError`,
  :class:`MeasurementTimeout`, :class:`DeviceGoneError`,
  :class:`NoDeviceError`, :class:`DeviceInUseError`, :class:`StateError`
  and :class:`LibraryNotFoundError` for the rest; each carries its text
  (``message``), the device's ``serial`` and the C interface's ``status``
  code behind it. The type follows the status code, never the text.

Threads: spectra arrive on the library's worker threads (one per device)
and are handed to the loop through a bounded queue; when it is full the
devices wait for the consumer, so nothing is dropped and memory stays
bounded. Other Python threads keep running while the library waits on USB.

Stopping: leaving the loop, an exception, ``Measurement.close()``, garbage
collection, Ctrl-C and the end of the ``with`` block all stop every device
and join the workers; at interpreter exit every open ``Spectrometers`` is
closed. A Ctrl-C that lands while the library calls back into Python is
kept and raised as soon as the library's call returns. One measurement runs
per bench: a newer ``measure``/``batch`` ends the running one, whose loop
then raises :class:`StateError`.

The library: found through :func:`load_library` (an explicit path),
``$VELMOR_LIBRARY``, the library installed beside the package, then the
system's loader.

Logging: the library's diagnostic lines go to the logger ``velmor``
(progress at DEBUG, the batch start lines at INFO, failures at WARNING; the
table is in ``velmor._logforward``), not to the terminal; show them with
e.g. ``logging.basicConfig(level=logging.DEBUG)``.
"""

from __future__ import annotations

from . import _errors, _spectrometers, _stream
from ._errors import (DeviceError, DeviceGoneError, DeviceInUseError, Error, LibraryNotFoundError,
                      MeasurementError, MeasurementTimeout, NoDeviceError, StateError)
from ._library import ENVIRONMENT_VARIABLE, load_library
from ._recording import RecordedDevice, Recording, open_recording
from ._spectrometers import (Device, DeviceState, DeviceStatus, Measurement, Spectrometers, Spectrum,
                             TriggerMode)
from ._stream import Stream, StreamedSpectrum, StreamEnd

__version__ = "0.2.0"

__all__ = [
    *_spectrometers.__all__,
    *_errors.__all__,
    *_stream.__all__,
    "load_library",
    "open_recording",
    "Recording",
    "RecordedDevice",
    "library_version",
    "ENVIRONMENT_VARIABLE",
]


def library_version() -> str:
    """The loaded library's version and C interface version, e.g. ``"0.2.0 (C interface 1)"``."""
    from . import _capi

    version, c_api = _capi.library().versions()
    return f"{version} (C interface {c_api})"
