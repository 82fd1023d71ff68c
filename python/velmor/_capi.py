"""The thin native boundary: ctypes declarations of the library's C interface
and the translation of its status codes into Python exceptions.

Everything above this module works with Python values only. ctypes releases
the interpreter lock during every call, so other Python threads run while
the library waits on USB.
"""

from __future__ import annotations

import ctypes
import itertools
import threading
from ctypes import POINTER, c_char_p, c_int32, c_int64, c_uint32, c_void_p
from typing import Callable, Dict, NoReturn, Tuple, Type

import numpy as np

from . import _library, _logforward
from ._errors import (DeviceError, DeviceGoneError, DeviceInUseError, Error, MeasurementTimeout, NoDeviceError,
                      StateError)

__all__ = ["C_API_VERSION", "ALL_DEVICES", "Library", "library", "SpectrumInfo", "Run", "register_run", "forget_run"]

# The C interface version this package was written against.
C_API_VERSION = 2
ALL_DEVICES = -1

OK = 0
INVALID_ARGUMENT = -1
INDEX_OUT_OF_RANGE = -2
DEVICE = -3
BUFFER_TOO_SMALL = -4
WRONG_STATE = -5
IN_CALLBACK = -6
NO_MEMORY = -7
NO_DEVICE = -8
TIMEOUT = -9
DEVICE_GONE = -10
DEVICE_IN_USE = -11

MEASURE_CONTINUOUS = 0
MEASURE_BATCH = 1

_manager_p = c_void_p


class SpectrumInfo(ctypes.Structure):
    """velmor_spectrum_info: time stamp and settings of a spectrum read directly."""

    _fields_ = [
        ("time_01ms", c_uint32),
        ("date_days", c_uint32),
        ("exposure_us", c_uint32),
        ("averaging", c_uint32),
    ]


# Callback types. Pointers are c_void_p so that ctypes builds no pointer
# objects per call; the serial number arrives as bytes.
SPECTRUM_CALLBACK = ctypes.CFUNCTYPE(None, c_void_p, c_char_p, c_void_p, c_void_p, c_uint32)
BATCH_CALLBACK = ctypes.CFUNCTYPE(None, c_void_p, c_char_p, c_void_p, c_uint32, c_void_p, c_uint32)
ERROR_CALLBACK = ctypes.CFUNCTYPE(None, c_void_p, c_char_p, c_char_p)
LOG_CALLBACK = _logforward.LOG_CALLBACK

_u32p = POINTER(c_uint32)
_i32p = POINTER(c_int32)

# name: (result type, argument types)
_DECLARATIONS: Dict[str, Tuple[object, list]] = {
    "velmor_c_api_version": (c_uint32, []),
    "velmor_library_version": (c_char_p, []),
    "velmor_status_name": (c_char_p, [c_int32]),
    "velmor_last_error": (c_char_p, []),
    "velmor_set_log_handler": (c_int32, [LOG_CALLBACK, c_void_p]),
    "velmor_create": (c_int32, [POINTER(_manager_p)]),
    "velmor_destroy": (c_int32, [_manager_p]),
    "velmor_connect": (c_int32, [_manager_p]),
    "velmor_disconnect": (c_int32, [_manager_p]),
    "velmor_device_count": (c_int32, [_manager_p, _u32p]),
    "velmor_device_serial": (c_int32, [_manager_p, c_int32, c_char_p, c_uint32, _u32p]),
    "velmor_device_pixel_count": (c_int32, [_manager_p, c_int32, _u32p]),
    "velmor_device_pixel_range": (c_int32, [_manager_p, c_int32, _i32p, _i32p]),
    "velmor_device_firmware_version": (c_int32, [_manager_p, c_int32, _u32p, _u32p, _u32p, _u32p]),
    "velmor_device_wavelengths": (c_int32, [_manager_p, c_int32, c_void_p, c_uint32, _u32p]),
    "velmor_set_trigger_mode": (c_int32, [_manager_p, c_int32]),
    "velmor_get_trigger_config": (c_int32, [_manager_p, c_int32, _u32p, _u32p]),
    "velmor_take_dark_spectrum": (c_int32, [_manager_p, c_int32, c_int32, c_int32]),
    "velmor_set_subtract_dark": (c_int32, [_manager_p, c_int32, c_int32]),
    "velmor_start_measurement": (
        c_int32,
        [_manager_p, SPECTRUM_CALLBACK, ERROR_CALLBACK, c_void_p, c_int32, c_int32, c_int32, c_int32],
    ),
    "velmor_start_batch_measurement": (
        c_int32,
        [_manager_p, BATCH_CALLBACK, ERROR_CALLBACK, c_void_p, c_int32, c_int32, c_int32, c_int32],
    ),
    "velmor_stop_measurement": (c_int32, [_manager_p]),
    "velmor_device_status": (c_int32, [_manager_p, c_int32, _i32p, _u32p]),
    "velmor_device_set_exposure": (c_int32, [_manager_p, c_int32, c_int32, c_int32]),
    "velmor_device_start_acquisition": (c_int32, [_manager_p, c_int32, c_int32]),
    "velmor_device_stop_acquisition": (c_int32, [_manager_p, c_int32]),
    "velmor_device_read_spectrum": (
        c_int32,
        [_manager_p, c_int32, c_void_p, c_uint32, _u32p, POINTER(SpectrumInfo)],
    ),
    "velmor_error_callback_status": (c_int32, []),
    "velmor_measurement_time_limit": (c_int32, [c_int32, c_int32, c_int32, c_int32, c_int32, POINTER(c_int64)]),
    "velmor_device_clock_utc_offset": (c_int32, [_manager_p, c_int32, _i32p]),
}


def _declare(handle: ctypes.CDLL) -> None:
    missing = [name for name in _DECLARATIONS if not hasattr(handle, name)]
    if missing:
        raise _library.LibraryNotFoundError(
            f"{handle._name} has no C interface (missing {', '.join(missing[:3])}...); "
            "it is too old for this package"
        )
    for name, (result, arguments) in _DECLARATIONS.items():
        function = getattr(handle, name)
        function.restype = result
        function.argtypes = arguments
    version = handle.velmor_c_api_version()
    if version < C_API_VERSION:
        raise _library.LibraryNotFoundError(
            f"{handle._name} implements C interface version {version}; this package needs {C_API_VERSION}"
        )


_library._set_declarations(_declare)


def text(raw: bytes) -> str:
    """The library's UTF-8 text as str."""
    return raw.decode("utf-8", errors="replace")


_EXCEPTION_TYPES: Dict[int, Type[BaseException]] = {
    INVALID_ARGUMENT: ValueError,
    INDEX_OUT_OF_RANGE: IndexError,
    NO_MEMORY: MemoryError,
    DEVICE: DeviceError,
    WRONG_STATE: StateError,
    IN_CALLBACK: StateError,
    NO_DEVICE: NoDeviceError,
    TIMEOUT: MeasurementTimeout,
    DEVICE_GONE: DeviceGoneError,
    DEVICE_IN_USE: DeviceInUseError,
}


def exception_type(status: int) -> Type[BaseException]:
    """The exception type for a C status code (the base Error for codes it does not know)."""
    return _EXCEPTION_TYPES.get(status, Error)


def raise_pending_interrupt() -> None:
    """Raises a Ctrl-C that arrived inside a library callback on this (main) thread."""
    if threading.current_thread() is threading.main_thread() and _logforward.take_interrupt():
        raise KeyboardInterrupt


class Library:
    """The loaded library: each method is one C call, failures raised."""

    def __init__(self, handle: ctypes.CDLL) -> None:
        self._c = handle

    def fail(self, status: int, serial: "str | None" = None) -> NoReturn:
        """Raises the exception for a failed call, with the library's last-error text."""
        message = text(self._c.velmor_last_error() or b"")
        if not message:
            message = text(self._c.velmor_status_name(status) or b"")
        kind = exception_type(status)
        if issubclass(kind, Error):
            failure = kind(message, serial)
            failure.status = status
            raise failure
        raise kind(message if serial is None else f"{serial}: {message}")

    def call(self, name: str, *arguments: object) -> None:
        status = getattr(self._c, name)(*arguments)
        raise_pending_interrupt()
        if status != OK:
            self.fail(status)

    # -- library-wide ----------------------------------------------------

    def versions(self) -> Tuple[str, int]:
        return text(self._c.velmor_library_version()), int(self._c.velmor_c_api_version())

    def set_log_handler(self, callback: object) -> None:
        self.call("velmor_set_log_handler", callback, None)

    def time_limit(self, kind: int, exposure_us: int, averaging: int, delay_us: int, count: int) -> float:
        """The library's hard time limit, in seconds, for a measurement with these settings."""
        limit_ms = c_int64()
        self.call("velmor_measurement_time_limit", kind, exposure_us, averaging, delay_us, count,
                  ctypes.byref(limit_ms))
        return limit_ms.value / 1000.0

    # -- manager -----------------------------------------------------------

    def create(self) -> int:
        handle = _manager_p()
        self.call("velmor_create", ctypes.byref(handle))
        return int(handle.value or 0)

    def destroy(self, manager: int) -> None:
        self.call("velmor_destroy", manager)

    def connect(self, manager: int) -> None:
        self.call("velmor_connect", manager)

    def disconnect(self, manager: int) -> None:
        self.call("velmor_disconnect", manager)

    def device_count(self, manager: int) -> int:
        count = c_uint32()
        self.call("velmor_device_count", manager, ctypes.byref(count))
        return count.value

    # -- identity ------------------------------------------------------------

    def serial(self, manager: int, index: int) -> str:
        needed = c_uint32()
        self.call("velmor_device_serial", manager, index, None, 0, ctypes.byref(needed))
        buffer = ctypes.create_string_buffer(needed.value)
        self.call("velmor_device_serial", manager, index, buffer, needed.value, ctypes.byref(needed))
        return text(buffer.value)

    def pixel_count(self, manager: int, index: int) -> int:
        count = c_uint32()
        self.call("velmor_device_pixel_count", manager, index, ctypes.byref(count))
        return count.value

    def pixel_range(self, manager: int, index: int) -> Tuple[int, int]:
        start, end = c_int32(), c_int32()
        self.call("velmor_device_pixel_range", manager, index, ctypes.byref(start), ctypes.byref(end))
        return start.value, end.value

    def firmware(self, manager: int, index: int) -> str:
        parts = [c_uint32() for _ in range(4)]
        self.call("velmor_device_firmware_version", manager, index, *(ctypes.byref(p) for p in parts))
        return ".".join(str(p.value) for p in parts)

    def clock_utc_offset(self, manager: int, index: int) -> int:
        """Seconds local time was ahead of UTC when the library set the device's clock."""
        seconds = c_int32()
        self.call("velmor_device_clock_utc_offset", manager, index, ctypes.byref(seconds))
        return seconds.value

    def wavelengths(self, manager: int, index: int) -> np.ndarray:
        needed = c_uint32()
        self.call("velmor_device_wavelengths", manager, index, None, 0, ctypes.byref(needed))
        table = np.empty(needed.value, dtype=np.float32)
        self.call("velmor_device_wavelengths", manager, index, table.ctypes.data, needed.value,
                  ctypes.byref(needed))
        return table

    # -- configuration ---------------------------------------------------------

    def set_trigger_mode(self, manager: int, mode: int) -> None:
        self.call("velmor_set_trigger_mode", manager, mode)

    def trigger_config(self, manager: int, index: int) -> Tuple[int, int]:
        mode, edge = c_uint32(), c_uint32()
        self.call("velmor_get_trigger_config", manager, index, ctypes.byref(mode), ctypes.byref(edge))
        return mode.value, edge.value

    def take_dark(self, manager: int, index: int, exposure_us: int, averaging: int) -> None:
        self.call("velmor_take_dark_spectrum", manager, exposure_us, averaging, index)

    def subtract_dark(self, manager: int, index: int, enable: bool) -> None:
        self.call("velmor_set_subtract_dark", manager, 1 if enable else 0, index)

    # -- measurement -------------------------------------------------------------

    def start_measurement(self, manager: int, token: int, exposure_us: int, averaging: int, delay_us: int,
                          count: int) -> None:
        self.call("velmor_start_measurement", manager, _on_spectrum, _on_error, token,
                  exposure_us, averaging, delay_us, count)

    def start_batch(self, manager: int, token: int, exposure_us: int, collections: int, averaging: int,
                    delay_us: int) -> None:
        self.call("velmor_start_batch_measurement", manager, _on_batch, _on_error, token,
                  exposure_us, collections, averaging, delay_us)

    def stop_measurement(self, manager: int) -> None:
        self.call("velmor_stop_measurement", manager)

    # -- one device directly -------------------------------------------------------

    def device_status(self, manager: int, index: int) -> Tuple[int, int]:
        state, available = c_int32(), c_uint32()
        self.call("velmor_device_status", manager, index, ctypes.byref(state), ctypes.byref(available))
        return state.value, available.value

    def device_set_exposure(self, manager: int, index: int, exposure_us: int, averaging: int) -> None:
        self.call("velmor_device_set_exposure", manager, index, exposure_us, averaging)

    def device_start_acquisition(self, manager: int, index: int, count: int) -> None:
        self.call("velmor_device_start_acquisition", manager, index, count)

    def device_stop_acquisition(self, manager: int, index: int) -> None:
        self.call("velmor_device_stop_acquisition", manager, index)

    def device_read_spectrum(self, manager: int, index: int, pixel_count: int) -> Tuple[np.ndarray, SpectrumInfo]:
        counts = np.empty(pixel_count, dtype=np.float32)
        needed = c_uint32()
        info = SpectrumInfo()
        self.call("velmor_device_read_spectrum", manager, index, counts.ctypes.data, pixel_count,
                  ctypes.byref(needed), ctypes.byref(info))
        return counts[: needed.value], info


# ---------------------------------------------------------------------------
# Callbacks. They are made once and live as long as the process, so the
# library can never call a trampoline that Python has freed; each run is
# found through the integer `user` token it was started with.

SpectrumSink = Callable[[bytes, int, int], None]
BatchSink = Callable[[bytes, int, int, int], None]
ErrorSink = Callable[[bytes, bytes, int], None]


class Run:
    """What a measurement run does with its callbacks (set by the consumer side)."""

    def __init__(self, on_spectrum: "SpectrumSink | None", on_batch: "BatchSink | None",
                 on_error: ErrorSink) -> None:
        self.on_spectrum = on_spectrum
        self.on_batch = on_batch
        self.on_error = on_error


_runs: Dict[int, Run] = {}
_tokens = itertools.count(1)


def register_run(run: Run) -> int:
    """A token under which the library's callbacks reach `run`."""
    token = next(_tokens)
    _runs[token] = run
    return token


def forget_run(token: int) -> None:
    _runs.pop(token, None)


def _report_callback_failure(where: str) -> None:
    _logforward.logger.exception("velmor: %s callback failed", where)


@SPECTRUM_CALLBACK
def _on_spectrum(user: int, serial: bytes, wavelengths: int, spectrum: int, pixel_count: int) -> None:
    run = _runs.get(user or 0)
    if run is not None and run.on_spectrum is not None:
        try:
            run.on_spectrum(serial, spectrum, pixel_count)
        except BaseException:  # never let anything unwind into the library
            _report_callback_failure("spectrum")


@BATCH_CALLBACK
def _on_batch(user: int, serial: bytes, wavelengths: int, pixel_count: int, spectra: int, count: int) -> None:
    run = _runs.get(user or 0)
    if run is not None and run.on_batch is not None:
        try:
            run.on_batch(serial, spectra, pixel_count, count)
        except BaseException:
            _report_callback_failure("batch")


@ERROR_CALLBACK
def _on_error(user: int, serial: bytes, message: bytes) -> None:
    run = _runs.get(user or 0)
    if run is not None:
        try:
            # What the failure is, by its status code, not by its text.
            status = _instance._c.velmor_error_callback_status() if _instance is not None else DEVICE
            run.on_error(serial, message, status)
        except BaseException:
            _report_callback_failure("error")


def copy_floats(address: int, shape: Tuple[int, ...]) -> np.ndarray:
    """One copy of `shape` float32 values at `address` into a new array."""
    result = np.empty(shape, dtype=np.float32)
    ctypes.memmove(result.ctypes.data, address, result.nbytes)
    return result


_instance: "Library | None" = None


def library() -> Library:
    """The loaded library (loaded on first use)."""
    global _instance
    if _instance is None:
        loaded = Library(_library.load_library())
        _logforward.install(loaded)
        _instance = loaded
    return _instance


def loaded() -> "Library | None":
    """The library if it has been loaded, without loading it."""
    return _instance
