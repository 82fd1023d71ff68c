"""The friendly API: every attached spectrometer, its devices, measurements."""

from __future__ import annotations

import atexit
import contextlib
import datetime
import enum
import logging
import os
import threading
import time
import weakref
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Tuple, TypeVar, Union

import numpy as np

from . import _capi, _logforward
from ._errors import (DeviceError, DeviceGoneError, DeviceInUseError, Error, MeasurementError, MeasurementTimeout,
                      NoDeviceError, StateError)
from ._handover import Empty, Handover
from ._jcamp import jcamp_text, write_jcamp

__all__ = [
    "Spectrometers",
    "Device",
    "Spectrum",
    "Measurement",
    "TriggerMode",
    "DeviceState",
    "DeviceStatus",
]

_INT32_MAX = 2**31 - 1
# How often a waiting consumer looks at the clock for silent devices.
_POLL_SECONDS = 0.2
# This package's allowance on top of the library's own time limits
# (velmor_measurement_time_limit): the library's set-up before a run (idle
# wait, draining old spectra) and a loaded host. The library reports a
# time-out of its own first; this only catches a device that leaves even
# the library waiting.
_ALLOWANCE_SECONDS = 1.5
_ACQUIRE_POLL_SECONDS = 0.005
# How long a direct acquisition waits for a stopped device to become idle.
_IDLE_WAIT_SECONDS = 2.0
_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
_GONE_HINT = "; the device is gone (unplugged or unreachable): plug it back in and call Spectrometers.reconnect()"
_STOP_HINT = "end the measurement first (Measurement.close() or Spectrometers.stop())"

logger = logging.getLogger("velmor")


class TriggerMode(str, enum.Enum):
    """How an acquisition starts. Plain strings ("software", "external") are accepted too."""

    SOFTWARE = "software"  #: free running, started by the library
    EXTERNAL = "external"  #: rising edge on the device's hardware trigger input


_TRIGGER_CODES = {TriggerMode.SOFTWARE: 0, TriggerMode.EXTERNAL: 1}
# The device's own encoding of its trigger configuration: 0 free running, 2 hardware.
_DEVICE_TRIGGER_MODES = {0: TriggerMode.SOFTWARE, 2: TriggerMode.EXTERNAL}


class DeviceState(enum.IntEnum):
    """A device's state as its status word reports it."""

    IDLE = 0
    WAITING_FOR_TRIGGER = 1
    TAKING_SPECTRUM = 2
    WAITING_FOR_TEMPERATURE = 3
    POWERED_OFF = 8
    SLEEP_MODE = 9
    NOT_CONNECTED = 10


class DeviceStatus(NamedTuple):
    """What :meth:`Device.status` returns."""

    state: Union[DeviceState, int]  #: a DeviceState, or the raw value for states without a name
    available_spectra: int  #: finished spectra waiting in the device


class Spectrum:
    """One spectrum of one device.

    ``counts`` is a float32 array of ``pixel_count`` values, the spectrum's
    own copy; ``wavelengths`` (nm per pixel) is the device's read-only table,
    shared by all its spectra. ``received_at`` is the host's clock
    (``time.time()``) when the library handed the spectrum over.
    ``exposure_us`` and ``averaging`` are the settings it was measured with.
    ``device_time`` is the device's own time stamp as a timezone-aware
    :class:`datetime.datetime` in UTC (the device clock runs in the host's
    local time; it is converted with the UTC offset in force when the
    library set it), known for spectra read with :meth:`Device.acquire` /
    :meth:`Device.read_spectrum` and None for spectra of
    :meth:`Spectrometers.measure`. Compare it with ``received_at`` through
    ``device_time.timestamp()``.
    """

    __slots__ = ("serial", "device_index", "wavelengths", "counts", "received_at", "exposure_us", "averaging",
                 "device_time")

    def __init__(self, serial: str, device_index: int, wavelengths: np.ndarray, counts: np.ndarray,
                 received_at: float, exposure_us: int, averaging: int,
                 device_time: Optional[datetime.datetime] = None) -> None:
        self.serial = serial
        self.device_index = device_index
        self.wavelengths = wavelengths
        self.counts = counts
        self.received_at = received_at
        self.exposure_us = exposure_us
        self.averaging = averaging
        self.device_time = device_time

    def save_jcamp(self, path: Union[str, "os.PathLike[str]"]) -> None:
        """Writes the spectrum to ``path`` as JCAMP-DX 5.01, for other spectroscopy software.

        Every measured wavelength goes as it is (``##XYPOINTS=(XY..XY)``,
        never resampled); serial number, exposure, averaging and the time
        stamps go in labelled fields. Raises OSError when the file cannot
        be written.
        """
        fields: Dict[str, object] = {"SERIAL NUMBER": self.serial, "EXPOSURE TIME US": self.exposure_us,
                                     "AVERAGING": self.averaging,
                                     "RECEIVED UTC": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(self.received_at))}
        if self.device_time is not None:
            fields["DEVICE LOCAL TIME"] = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(self.device_time))
        write_jcamp(path, jcamp_text(self.wavelengths, self.counts, title=f"{self.serial} spectrum",
                                     taken_at=self.received_at, spectrometer=f"serial number {self.serial}",
                                     fields=fields))

    def __repr__(self) -> str:
        return (f"<velmor.Spectrum serial={self.serial!r} pixels={self.counts.size} "
                f"exposure_us={self.exposure_us} averaging={self.averaging} received_at={self.received_at:.3f}>")


def _positive(name: str, value: int, smallest: int = 1) -> int:
    """An int argument the C interface can carry (int32), or ValueError."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not smallest <= value <= _INT32_MAX:
        raise ValueError(f"{name} must be between {smallest} and {_INT32_MAX}, not {value}")
    return int(value)


def _seconds(name: str, value: Optional[float], default: float) -> float:
    if value is None:
        return default
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    if not 0 < value < float("inf"):
        raise ValueError(f"{name} must be a positive number of seconds, not {value!r}")
    return float(value)


def _flag(name: str, value: bool) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, not {value!r}")
    return bool(value)


def _trigger_mode(mode: Union[TriggerMode, str]) -> TriggerMode:
    try:
        return TriggerMode(mode.lower() if isinstance(mode, str) else mode)
    except (ValueError, AttributeError):
        raise ValueError(f"trigger mode must be 'software' or 'external', not {mode!r}") from None


def _measurement_failure(serial: str, message: str, status: int, since: float,
                         results: Optional[dict] = None) -> MeasurementError:
    """The exception for a failure a measurement's worker reported, chosen by its status code.

    The library's report can be short ("Timeout waiting for spectrum." after
    replies it could not use); its last warning since the run began
    (``since``, time.monotonic()) is shown beside it as the likely cause.
    """
    detail = _logforward.last_warning_since(since)
    if detail and detail not in message and message not in detail:
        message = f"{message} (the library last reported: {detail})"
    if status == _capi.DEVICE_GONE:
        failure: MeasurementError = DeviceGoneError(message + _GONE_HINT, serial, results)
    elif status == _capi.TIMEOUT:
        failure = MeasurementTimeout(message, serial, results)
    else:
        failure = MeasurementError(message, serial, results)
    failure.status = status
    return failure


def _in_python_terms(failure: Error, what: str) -> Error:
    """A failure of the C interface reworded for a Python caller: the operation
    named as Python names it, and what to do about it."""
    if failure.status == _capi.WRONG_STATE:
        reworded: Error = StateError(f"{what}: not possible while a measurement runs; {_STOP_HINT}", failure.serial)
    elif failure.status == _capi.IN_CALLBACK:
        reworded = StateError(f"{what}: not allowed from inside a callback of the library", failure.serial)
    elif isinstance(failure, DeviceGoneError):
        reworded = DeviceGoneError(failure.message + _GONE_HINT, failure.serial)
    else:
        return failure
    reworded.status = failure.status
    return reworded


_Closable = TypeVar("_Closable", bound="_ClosedOnExit")


class _ClosedOnExit:
    """Closed at the end of a ``with`` block and when garbage-collected."""

    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self: _Closable) -> _Closable:
        self._check_open()
        return self

    def _check_open(self) -> None:
        """Refuses a closed object where it would be used again."""

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass


class Device:
    """One connected spectrometer, from :attr:`Spectrometers.devices`.

    Its identity is read once at connection: ``index``, ``serial``,
    ``pixel_count``, ``pixel_range``, ``firmware`` and ``wavelengths``. The
    direct operations (:meth:`status`, :meth:`acquire`, :meth:`read_spectrum`)
    are refused with :class:`velmor.StateError` while a measurement of all
    devices runs.
    """

    def __init__(self, bench: "Spectrometers", index: int) -> None:
        library, manager = bench._library, bench._manager_handle()
        self._bench = bench
        self.index: int = index  #: position among the connected devices
        self.serial: str = library.serial(manager, index)  #: serial number
        self.pixel_count: int = library.pixel_count(manager, index)  #: values per spectrum
        self.pixel_range: Tuple[int, int] = library.pixel_range(manager, index)  #: first and last sensor pixel
        self.firmware: str = library.firmware(manager, index)  #: "major.minor.build.revision"
        table = library.wavelengths(manager, index)
        table.flags.writeable = False
        self.wavelengths: np.ndarray = table  #: nm per pixel, float32, read-only, shared by every spectrum
        self._subtract_dark: Optional[bool] = None

    def __repr__(self) -> str:
        return (f"<velmor.Device {self.index}: serial={self.serial!r} pixels={self.pixel_count} "
                f"firmware={self.firmware} {self.wavelengths[0]:.1f}-{self.wavelengths[-1]:.1f} nm>")

    # The Python name of each library operation, for the texts of failures.
    _PYTHON_NAMES = {
        "trigger_config": "Device.trigger_mode",
        "subtract_dark": "Device.subtract_dark",
        "take_dark": "Device.take_dark",
        "device_status": "Device.status",
        "device_set_exposure": "Device.acquire",
        "device_start_acquisition": "Device.acquire",
        "device_stop_acquisition": "Device.acquire",
        "device_read_spectrum": "Device.read_spectrum",
        "clock_utc_offset": "Device.read_spectrum",
    }

    def _call(self, operation: str, *arguments: object, what: Optional[str] = None) -> Any:
        """One library operation on this device; its failures name the device and the Python call."""
        try:
            return getattr(self._bench._library, operation)(self._bench._manager_handle(), self.index, *arguments)
        except Error as failure:
            if failure.serial is None:
                failure.serial = self.serial
                failure.args = (f"{self.serial}: {failure.message}",)
            reworded = _in_python_terms(failure, what or self._PYTHON_NAMES.get(operation, operation))
            if reworded is failure:
                raise
            raise reworded from failure

    @property
    def trigger_mode(self) -> TriggerMode:
        """The device's trigger mode, read from the device (set it for all devices on the bench).

        Like the direct operations, refused with :class:`velmor.StateError` while a measurement runs.
        """
        mode, _edge = self._call("trigger_config")
        try:
            return _DEVICE_TRIGGER_MODES[mode]
        except KeyError:
            raise Error(f"device reports an unknown trigger mode {mode}", self.serial) from None

    @property
    def subtract_dark(self) -> Optional[bool]:
        """Whether the device subtracts its dark spectrum; None until set through this package."""
        return self._subtract_dark

    @subtract_dark.setter
    def subtract_dark(self, enable: bool) -> None:
        enable = _flag("subtract_dark", enable)
        self._call("subtract_dark", enable)
        self._subtract_dark = enable

    def take_dark(self, exposure_us: int, averaging: int = 1) -> None:
        """Takes a dark spectrum in this device (shutter closed), with these settings.

        The device subtracts it from the spectra it delivers once
        :attr:`subtract_dark` is on. Refused with :class:`velmor.StateError`
        while a measurement runs.
        """
        exposure_us = _positive("exposure_us", exposure_us)
        averaging = _positive("averaging", averaging)
        self._call("device_set_exposure", exposure_us, averaging, what="Device.take_dark")
        self._call("take_dark", exposure_us, averaging)

    def status(self) -> DeviceStatus:
        """The device's state and the number of finished spectra waiting in it."""
        state, available = self._call("device_status")
        try:
            state = DeviceState(state)
        except ValueError:
            pass
        return DeviceStatus(state, available)

    def acquire(self, exposure_us: int, averaging: int = 1, timeout: Optional[float] = None) -> Spectrum:
        """Measures one spectrum with this device alone and returns it.

        First ends an acquisition still running in the device and discards
        the spectra waiting in it (e.g. the last one of a stopped
        measurement), then starts one acquisition with these settings and
        waits for it (in external trigger mode, for the trigger). The
        spectrum returned is the one asked for: its header's settings are
        checked, and a mismatch raises :class:`velmor.DeviceError`.
        ``timeout`` in seconds defaults to the library's time limit for one
        spectrum plus a small allowance; on time-out the acquisition is
        stopped and :class:`velmor.MeasurementTimeout` raised. Interrupting
        the wait (Ctrl-C) also stops the acquisition.
        """
        exposure_us = _positive("exposure_us", exposure_us)
        averaging = _positive("averaging", averaging)
        limit = self._bench._library.time_limit(_capi.MEASURE_CONTINUOUS, exposure_us, averaging, 0, 1)
        timeout = _seconds("timeout", timeout, limit + _ALLOWANCE_SECONDS)
        self._discard_earlier_work()
        self._call("device_set_exposure", exposure_us, averaging)
        self._call("device_start_acquisition", 1)
        try:
            self._wait_for_spectrum(time.monotonic() + timeout, timeout)
            spectrum = self.read_spectrum()
        except BaseException:
            with contextlib.suppress(Error):  # the original failure matters more
                self._call("device_stop_acquisition")
            raise
        if (spectrum.exposure_us, spectrum.averaging) != (exposure_us, averaging):
            raise DeviceError(f"Device.acquire: the device delivered a spectrum of {spectrum.exposure_us} us x "
                              f"{spectrum.averaging} instead of the {exposure_us} us x {averaging} asked for",
                              self.serial)
        return spectrum

    def _discard_earlier_work(self) -> None:
        """Brings the device to idle with nothing waiting, so that the next read is the next acquisition's."""
        self._call("device_stop_acquisition")
        deadline = time.monotonic() + _IDLE_WAIT_SECONDS
        status = self.status()
        while status.state == DeviceState.TAKING_SPECTRUM and time.monotonic() < deadline:
            time.sleep(_ACQUIRE_POLL_SECONDS)
            status = self.status()
        for _ in range(status.available_spectra):
            self._call("device_read_spectrum", self.pixel_count, what="Device.acquire")

    def _wait_for_spectrum(self, deadline: float, timeout: float) -> None:
        while self.status().available_spectra == 0:
            if time.monotonic() > deadline:
                raise MeasurementTimeout(f"Device.acquire: no spectrum within {timeout:.1f} s", self.serial)
            time.sleep(_ACQUIRE_POLL_SECONDS)

    def read_spectrum(self) -> Spectrum:
        """Reads the oldest finished spectrum waiting in the device.

        Raises :class:`velmor.StateError` when none is waiting.
        """
        if self.status().available_spectra == 0:
            raise StateError("Device.read_spectrum: no finished spectrum is waiting in the device "
                             "(Device.acquire() measures one)", self.serial)
        counts, info = self._call("device_read_spectrum", self.pixel_count)
        offset = self._call("clock_utc_offset")
        device_time = _EPOCH + datetime.timedelta(days=info.date_days, microseconds=info.time_01ms * 100,
                                                  seconds=-offset)
        return Spectrum(self.serial, self.index, self.wavelengths, counts, time.time(), info.exposure_us,
                        info.averaging, device_time)


class Measurement(_ClosedOnExit, Iterator[Spectrum]):
    """A running continuous measurement of every device: iterate to get its spectra.

    Made by :meth:`Spectrometers.measure`. Spectra come in the order the
    devices deliver them. Iteration ends when every device has delivered
    ``count`` spectra; leaving the loop early, an exception, :meth:`close`,
    ``with`` exit, garbage collection and Ctrl-C all stop every device and
    join the library's workers. After a device failure or Ctrl-C the loop
    ends at once and the stop finishes in the background (it may wait for a
    failed device's time-outs); the bench's next call waits for it.

    A device that fails or times out raises :class:`velmor.MeasurementError`
    (:class:`velmor.MeasurementTimeout` for a time-out,
    :class:`velmor.DeviceGoneError` for a device unplugged) in the loop, after
    the spectra that arrived before it; every device is stopped first.

    One measurement runs per bench: a newer :meth:`Spectrometers.measure` or
    :meth:`Spectrometers.batch` (from any thread) ends this one, which then
    raises :class:`velmor.StateError` in its loop instead of stopping short
    silently.

    Spectra wait for the consumer in a hand-over of ``queue_size`` spectra;
    when it is full, the devices wait (no spectrum is dropped, memory stays
    bounded).
    """

    def __init__(self, bench: "Spectrometers", exposure_us: int, averaging: int, delay_us: int,
                 count: Optional[int], queue_size: int, silence_limit: float) -> None:
        self._bench = bench
        self._sink = _ContinuousSink(bench.devices, exposure_us, averaging, queue_size)
        self._handover = self._sink.handover
        self._remaining: Dict[int, Optional[int]] = {device.index: count for device in bench.devices}
        self._silence_limit = silence_limit
        self._next_silence_check = 0.0
        self._closed = False
        self._ended_by_newer = False
        self._started = time.monotonic()
        # The library's callbacks reach the sink, never this object, so that
        # dropping the last reference to a measurement stops it.
        self._token = _capi.register_run(_capi.Run(self._sink.deliver, None, self._sink.report_failure))
        try:
            bench._library.start_measurement(bench._manager_handle(), self._token, exposure_us, averaging,
                                             delay_us, count if count is not None else _INT32_MAX)
        except BaseException:
            self._closed = True
            _capi.forget_run(self._token)
            raise

    # -- the consumer --------------------------------------------------------

    def __iter__(self) -> "Measurement":
        return self

    def __next__(self) -> Spectrum:
        try:
            return self._next_spectrum()
        except StopIteration:
            self.close()
            raise
        except BaseException as failure:
            # A failed or silent device, or Ctrl-C: the loop ends now, the stop
            # (which may wait for the device's time-outs) finishes behind it.
            if isinstance(failure, (DeviceError, KeyboardInterrupt)):
                self._bench._troubled = True
            self.close(in_background=True)
            raise

    def __exit__(self, exc_type: object, *exc_info: object) -> None:
        self.close(in_background=exc_type is not None)

    def _next_spectrum(self) -> Spectrum:
        while not self._closed:
            if all(remaining == 0 for remaining in self._remaining.values()):
                break
            _capi.raise_pending_interrupt()
            self._check_silence()
            try:
                item = self._handover.get(_POLL_SECONDS)
            except Empty:
                if self._handover.closed:
                    break
                continue
            if item[0] == "error":  # __next__ stops every device before this reaches the loop
                _, serial, message, status = item
                raise _measurement_failure(serial, message, status, self._started)
            spectrum: Spectrum = item[1]
            remaining = self._remaining[spectrum.device_index]
            if remaining is not None and remaining > 0:
                self._remaining[spectrum.device_index] = remaining - 1
            return spectrum
        if self._ended_by_newer:
            raise StateError("this measurement was ended by a newer measure() or batch() on the same "
                             "Spectrometers; one measurement runs at a time")
        raise StopIteration

    def _end_for_newer(self) -> None:
        """Ends this measurement because a newer one starts; its loop then raises StateError."""
        self._ended_by_newer = True
        self.close()

    def _check_silence(self) -> None:
        # While the other devices keep the consumer busy, a silent one must
        # still be noticed.
        now = time.monotonic()
        if now < self._next_silence_check:
            return
        self._next_silence_check = now + _POLL_SECONDS
        for device in self._bench.devices:
            silent = now - self._sink.last_heard[device.index]
            if self._remaining[device.index] != 0 and silent > self._silence_limit:
                raise MeasurementTimeout(f"no spectrum for {silent:.1f} s (timeout {self._silence_limit:.1f} s); "
                                         "the device stopped answering", device.serial)

    def close(self, in_background: bool = False) -> None:
        """Stops every device and joins the library's workers. Safe to call twice.

        With ``in_background`` (after a failure or Ctrl-C) it returns at once
        and the stop finishes on a thread of its own; the bench's next call
        waits for it.
        """
        if self._closed:
            return
        self._closed = True
        # Wake workers waiting for room first: the stop joins them.
        self._handover.close()
        self._bench._end_run(self, self._token, in_background)


class _ContinuousSink:
    """Where the library's worker threads put a continuous measurement's spectra."""

    def __init__(self, devices: Tuple[Device, ...], exposure_us: int, averaging: int, queue_size: int) -> None:
        self.handover: Handover[tuple] = Handover(queue_size)
        self.last_heard: List[float] = [time.monotonic()] * len(devices)
        self._devices = {device.serial.encode("utf-8"): device for device in devices}
        self._exposure_us = exposure_us
        self._averaging = averaging

    def deliver(self, serial: bytes, address: int, pixel_count: int) -> None:
        device = self._devices[serial]
        counts = _capi.copy_floats(address, (pixel_count,))
        spectrum = Spectrum(device.serial, device.index, device.wavelengths, counts, time.time(),
                            self._exposure_us, self._averaging)
        self.last_heard[device.index] = time.monotonic()
        self.handover.put(("spectrum", spectrum))
        # The wait for room is not the device's silence.
        self.last_heard[device.index] = time.monotonic()

    def report_failure(self, serial: bytes, message: bytes, status: int) -> None:
        self.handover.put(("error", _capi.text(serial), _capi.text(message), status), bounded=False)


_open_benches: "weakref.WeakSet[Spectrometers]" = weakref.WeakSet()


class Spectrometers(_ClosedOnExit):
    """Every attached spectrometer, connected; a context manager that disconnects on exit.

    ``Spectrometers()`` finds, opens and initializes every attached device
    (raising :class:`velmor.NoDeviceError` when there is none, and
    :class:`velmor.DeviceInUseError` when they are held by another
    ``Spectrometers`` or another process) and holds them until :meth:`close`
    or the end of the ``with`` block. ``queue_size`` is the default
    hand-over size of :meth:`measure`.

    One measurement runs at a time: starting one ends the one before (see
    :class:`Measurement`). Use one object from one thread at a time; another
    Python thread keeps running while it waits on the devices.
    """

    def __init__(self, *, queue_size: int = 64) -> None:
        self._library = _capi.library()
        self._queue_size = _positive("queue_size", queue_size)
        # Weak, so that a measurement nobody iterates any more is collected (and stopped).
        self._active: Optional["weakref.ReferenceType[Measurement]"] = None
        # Serialises starting and ending runs, also across threads.
        self._runs_lock = threading.RLock()
        self._devices: Tuple[Device, ...] = ()
        # A stop finishing in the background; every later use of the library waits for it.
        self._stopping: Optional[threading.Thread] = None
        # A device failed: closing goes on in the background, since it may wait for time-outs.
        self._troubled = False
        _wait_for_background_closes()
        self._manager: Optional[int] = self._library.create()
        try:
            self._connect()
        except BaseException:
            self._destroy()
            raise
        _open_benches.add(self)

    def _connect(self) -> None:
        manager = self._manager_handle()
        try:
            self._library.connect(manager)
        except DeviceInUseError as failure:
            in_use = DeviceInUseError("the spectrometers are in use, by another Spectrometers of this process or "
                                      "by another process; close that one first")
            in_use.status = failure.status
            raise in_use from failure
        count = self._library.device_count(manager)
        if count == 0:
            raise NoDeviceError("no spectrometer found")
        self._devices = tuple(Device(self, index) for index in range(count))

    # -- lifetime ------------------------------------------------------------

    def _manager_handle(self) -> int:
        if self._manager is None:
            raise StateError("the spectrometers are closed")
        stopping = self._stopping
        if stopping is not None and stopping is not threading.current_thread():
            stopping.join()
            self._stopping = None
        return self._manager

    def _check_open(self) -> None:
        self._manager_handle()

    def __exit__(self, exc_type: object, *exc_info: object) -> None:
        # Leaving by a device failure or Ctrl-C must not wait for a failed device.
        if isinstance(exc_type, type) and issubclass(exc_type, (DeviceError, KeyboardInterrupt)):
            self._troubled = True
        self.close()

    def close(self) -> None:
        """Stops any measurement and disconnects every device. Safe to call twice.

        After a device failed, the disconnection (which may wait for the
        failed device's time-outs) finishes in the background: ``close``
        returns at once, and a new ``Spectrometers`` and the interpreter's
        exit wait for it.
        """
        with self._runs_lock:
            if self._troubled:
                self._end_active_run(in_background=True)
                stopping, manager, self._manager = self._stopping, self._manager, None
                if manager is not None:
                    _start_background_close(self._library, manager, stopping)
            else:
                self._end_active_run()
                self._destroy()
        _open_benches.discard(self)

    def reconnect(self) -> None:
        """Disconnects every device and connects every attached one again.

        After a device was unplugged (:class:`velmor.DeviceGoneError`) and
        plugged back in, this makes the bench work again without a new
        ``Spectrometers``. Any measurement is stopped first; :attr:`devices`
        is made anew (old :class:`Device` objects must not be used any more).
        """
        with self._runs_lock:
            self._end_active_run()
            self._devices = ()
            self._library.disconnect(self._manager_handle())
            self._connect()
            self._troubled = False

    def _destroy(self) -> None:
        if self._stopping is not None:
            self._stopping.join()
            self._stopping = None
        manager, self._manager = self._manager, None
        if manager is not None:
            self._library.destroy(manager)

    @property
    def closed(self) -> bool:
        """True once :meth:`close` has run."""
        return self._manager is None

    # -- devices ---------------------------------------------------------------

    @property
    def devices(self) -> Tuple[Device, ...]:
        """The connected devices, in the library's order (their ``index``)."""
        return self._devices

    def __len__(self) -> int:
        return len(self._devices)

    def __iter__(self) -> Iterator[Device]:
        return iter(self._devices)

    def __getitem__(self, key: Union[int, str]) -> Device:
        """A device by index (``bench[0]``) or by serial number (``bench["20001"]``)."""
        if isinstance(key, str):
            for device in self._devices:
                if device.serial == key:
                    return device
            raise KeyError(f"no connected device has the serial number {key!r}")
        try:
            return self._devices[key]
        except IndexError:
            raise IndexError(f"device index {key} is out of range: {len(self._devices)} devices are connected"
                             ) from None

    def __repr__(self) -> str:
        state = "closed" if self.closed else ", ".join(device.serial for device in self._devices)
        return f"<velmor.Spectrometers {state}>"

    # -- configuration for every device ---------------------------------------

    @property
    def trigger_mode(self) -> Optional[TriggerMode]:
        """The trigger mode of every device (None when the devices differ); setting it sets every device.

        Each device must be idle to be set: refused with
        :class:`velmor.StateError` while a measurement runs. Measurements
        through :meth:`measure` and :meth:`batch` switch the devices to
        software triggering themselves. Names are case-insensitive.
        """
        modes = {device.trigger_mode for device in self._devices}
        return modes.pop() if len(modes) == 1 else None

    @trigger_mode.setter
    def trigger_mode(self, mode: Union[TriggerMode, str]) -> None:
        code = _TRIGGER_CODES[_trigger_mode(mode)]
        with self._runs_lock:
            if self._running() is not None:
                raise StateError(f"Spectrometers.trigger_mode: not possible while a measurement runs; {_STOP_HINT}")
            self._library.set_trigger_mode(self._manager_handle(), code)

    @property
    def subtract_dark(self) -> Optional[bool]:
        """Whether every device subtracts its dark spectrum (None when unknown or mixed); setting sets every device."""
        values = {device.subtract_dark for device in self._devices}
        return values.pop() if len(values) == 1 else None

    @subtract_dark.setter
    def subtract_dark(self, enable: bool) -> None:
        enable = _flag("subtract_dark", enable)
        for device in self._devices:
            device.subtract_dark = enable

    def take_dark(self, exposure_us: int, averaging: int = 1) -> None:
        """Takes a dark spectrum in every device in turn (see :meth:`Device.take_dark`);
        the first device that fails raises its error."""
        for device in self._devices:
            device.take_dark(exposure_us, averaging)

    # -- measurements ------------------------------------------------------------

    def measure(self, exposure_us: int, averaging: int = 1, count: Optional[int] = None, *, delay_us: int = 0,
                queue_size: Optional[int] = None, timeout: Optional[float] = None) -> Measurement:
        """Starts a continuous measurement of every device and returns it as an iterator of :class:`Spectrum`.

        Each device makes ``count`` software-triggered measurements (None:
        until the loop ends) of ``exposure_us`` microseconds, ``averaging``
        exposures averaged, after ``delay_us``. A measurement still running
        on this bench is ended first (its loop raises
        :class:`velmor.StateError`). A device that delivers nothing for
        ``timeout`` seconds (default: the library's time limit for one
        spectrum plus a small allowance) raises
        :class:`velmor.MeasurementTimeout`. See :class:`Measurement` for
        stopping, errors and the hand-over.

        >>> for spectrum in bench.measure(exposure_us=10000, count=50):   # doctest: +SKIP
        ...     print(spectrum.serial, spectrum.counts.max())
        """
        exposure_us = _positive("exposure_us", exposure_us)
        averaging = _positive("averaging", averaging)
        delay_us = _positive("delay_us", delay_us, smallest=0)
        if count is not None:
            count = _positive("count", count)
        size = self._queue_size if queue_size is None else _positive("queue_size", queue_size)
        limit = self._library.time_limit(_capi.MEASURE_CONTINUOUS, exposure_us, averaging, delay_us, 1)
        timeout = _seconds("timeout", timeout, limit + _ALLOWANCE_SECONDS)
        with self._runs_lock:
            self._end_active_run(for_newer=True)
            measurement = Measurement(self, exposure_us, averaging, delay_us, count, size, timeout)
            self._active = weakref.ref(measurement)
        return measurement

    def batch(self, collections: int, exposure_us: int, averaging: int = 1, *, delay_us: int = 0,
              timeout: Optional[float] = None) -> Dict[str, np.ndarray]:
        """Measures a batch of ``collections`` spectra in every device; returns ``{serial: array}``.

        Each array has shape ``(collections, pixel_count)``, float32, in the
        order the device measured. The devices start in ascending order of
        their first wavelength, each batch with one command; a measurement
        still running is ended first. Raises
        :class:`velmor.MeasurementError` when a device fails or delivers
        fewer spectra (the text says how many were lost and why; its
        ``results`` holds every batch that did arrive), and
        :class:`velmor.MeasurementTimeout` when the batch is not complete
        after ``timeout`` seconds. Without ``timeout`` it waits for the
        library, which delivers what it collected within its own time limit
        for the batch (``velmor_measurement_time_limit``) and the time to
        read it from the device.
        """
        collections = _positive("collections", collections)
        exposure_us = _positive("exposure_us", exposure_us)
        averaging = _positive("averaging", averaging)
        delay_us = _positive("delay_us", delay_us, smallest=0)
        timeout = _seconds("timeout", timeout, float("inf"))
        with self._runs_lock:
            self._end_active_run(for_newer=True)
            run = _BatchRun(self, collections, exposure_us, averaging, delay_us)
            try:
                return run.collect(timeout)
            except (DeviceError, KeyboardInterrupt):
                self._troubled = True
                raise

    def stream(self, exposure_us: int, averaging: int = 1, count: Optional[int] = None,
               duration: Optional[float] = None, *, delay_us: int = 0,
               queue_size: Optional[int] = None) -> Iterator[Spectrum]:
        """Streams every spectrum every device makes, at the device's own pace; returns a :class:`velmor.Stream`.

        Until ``count`` spectra per device or ``duration`` seconds (both None:
        until the loop ends). The trigger mode in force decides between free
        running and one spectrum per hardware trigger. Each spectrum is a
        :class:`velmor.StreamedSpectrum` with its device time stamp and
        sequence number; losses are never silent (see :class:`velmor.Stream`).
        """
        from ._stream import start_stream

        with self._runs_lock:
            self._end_active_run(for_newer=True)
            stream = start_stream(self, exposure_us, averaging, count, duration, delay_us,
                                  self._queue_size if queue_size is None else queue_size)
            self._active = weakref.ref(stream)  # type: ignore[assignment]
        return stream

    def record(self, path: Union[str, "os.PathLike[str]"], exposure_us: int, averaging: int = 1,
               count: Optional[int] = None, duration: Optional[float] = None, *,
               delay_us: int = 0) -> Dict[str, Tuple[int, int]]:
        """Streams every device into a new HDF5 file, laid out as ``velmor record`` lays it out.

        Until ``count`` spectra per device or ``duration`` seconds. The file
        is flushed twice a second in HDF5's SWMR mode (readable while it
        grows, and after a crash); read it with :func:`velmor.open_recording`.
        Returns ``{serial: (spectra written, spectra lost)}``. Raises
        FileExistsError for an existing file, ImportError without h5py, and
        the stream's errors after finishing the file with what came before.
        """
        from ._recording import record

        return record(self, path, exposure_us, averaging, count, duration, delay_us=delay_us)

    def stop(self) -> None:
        """Stops a running measurement (the same as closing its :class:`Measurement`)."""
        with self._runs_lock:
            self._end_active_run()

    def _running(self) -> Optional[Measurement]:
        return self._active() if self._active is not None else None

    def _end_active_run(self, for_newer: bool = False, in_background: bool = False) -> None:
        active = self._running()
        if active is None:
            return
        if for_newer:
            active._end_for_newer()
        else:
            active.close(in_background)

    def _end_run(self, measurement: Measurement, token: int, in_background: bool) -> None:
        """Called by a closing Measurement: stops the library's run if it is still the running one,
        then forgets the run's callbacks."""
        with self._runs_lock:
            manager = self._manager if self._running() is measurement else None
            if manager is not None:
                self._active = None
            if in_background and manager is not None:
                self._stopping = _start_background(lambda: self._stop_run(manager, token))
                return
        self._stop_run(manager, token)

    def _stop_run(self, manager: Optional[int], token: int) -> None:
        try:
            if manager is not None:
                self._library.stop_measurement(manager)
        finally:
            _capi.forget_run(token)


class _BatchRun:
    """One batch measurement: at most one batch and a few errors per device, so no bound is needed."""

    def __init__(self, bench: Spectrometers, collections: int, exposure_us: int, averaging: int,
                 delay_us: int) -> None:
        self._bench = bench
        self._collections = collections
        self._devices = {device.serial.encode("utf-8"): device for device in bench.devices}
        self._handover: Handover[tuple] = Handover(len(self._devices))
        self._token = _capi.register_run(_capi.Run(None, self._deliver, self._report_failure))
        self._start = (exposure_us, collections, averaging, delay_us)
        self._started = time.monotonic()

    def _deliver(self, serial: bytes, address: int, pixel_count: int, count: int) -> None:
        spectra = _capi.copy_floats(address, (count, pixel_count))
        self._handover.put(("batch", self._devices[serial].serial, spectra), bounded=False)

    def _report_failure(self, serial: bytes, message: bytes, status: int) -> None:
        self._handover.put(("error", _capi.text(serial), _capi.text(message), status), bounded=False)

    def collect(self, timeout: float) -> Dict[str, np.ndarray]:
        """Starts the batch and waits for every device's batch, ``timeout`` seconds at most
        (``inf``: until the library delivers, which it does by its own time limit)."""
        library, manager = self._bench._library, self._bench._manager_handle()
        results: Dict[str, np.ndarray] = {}
        errors: List[Tuple[str, str, int]] = []
        timed_out = False
        try:
            library.start_batch(manager, self._token, *self._start)
            deadline = time.monotonic() + timeout
            settled = set()
            while len(settled) < len(self._devices):
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    timed_out = True
                    break
                try:
                    self._take(self._handover.get(min(remaining, _POLL_SECONDS)), results, errors, settled)
                except Empty:
                    continue
        finally:
            # The stop makes a batch still collecting deliver what it has.
            try:
                library.stop_measurement(manager)
            finally:
                self._drain(results, errors)
                self._handover.close()
                _capi.forget_run(self._token)
        self._raise_failures(results, errors, timeout if timed_out else None)
        return results

    def _take(self, item: tuple, results: Dict[str, np.ndarray], errors: List[Tuple[str, str, int]],
              settled: set) -> None:
        if item[0] == "batch":
            results[item[1]] = item[2]
        else:
            errors.append((item[1], item[2], item[3]))
        settled.add(item[1])

    def _drain(self, results: Dict[str, np.ndarray], errors: List[Tuple[str, str, int]]) -> None:
        while True:
            try:
                self._take(self._handover.get(0), results, errors, set())
            except Empty:
                return

    def _raise_failures(self, results: Dict[str, np.ndarray], errors: List[Tuple[str, str, int]],
                        timeout: Optional[float]) -> None:
        """``timeout`` is set when this package's wait ran out. A batch short without it and
        without a failure reported: the device finished, and the library collected until its
        own limit without finding the rest, so they were lost in the device."""
        if errors:
            serial, message, status = errors[0]
            raise _measurement_failure(serial, message, status, self._started, results)
        for device in self._devices.values():
            delivered = results[device.serial].shape[0] if device.serial in results else 0
            if delivered >= self._collections:
                continue
            summary = f"delivered {delivered} of {self._collections} spectra"
            if timeout is not None:
                failure: MeasurementError = MeasurementTimeout(
                    f"{summary}: the batch was not complete after the timeout of {timeout:.1f} s", device.serial,
                    results)
            else:
                failure = MeasurementError(
                    f"{summary}: {self._collections - delivered} were lost, pushed out of the device's memory "
                    "before the library read them (the device holds a limited number of spectra); measure "
                    "fewer collections per batch or a longer exposure", device.serial, results)
            logger.warning("%s: %s", device.serial, failure.message)
            raise failure


_background: List[threading.Thread] = []
_background_lock = threading.Lock()


def _start_background(work: Any) -> threading.Thread:
    """Runs `work` on a thread of its own; failures are logged, never lost silently."""
    def run() -> None:
        try:
            work()
        except BaseException as failure:  # nobody waits for an answer
            logger.warning("stopping or disconnecting failed: %s", failure)

    thread = threading.Thread(target=run, name="velmor-stop", daemon=True)
    with _background_lock:
        _background[:] = [pending for pending in _background if pending.is_alive()]
        _background.append(thread)
    thread.start()
    return thread


def _start_background_close(library: "_capi.Library", manager: int, stopping: Optional[threading.Thread]) -> None:
    def close() -> None:
        if stopping is not None:
            stopping.join()
        library.destroy(manager)

    _start_background(close)


def _wait_for_background_closes() -> None:
    """Waits until the stops and disconnections left to the background are done."""
    with _background_lock:
        pending = list(_background)
        _background.clear()
    for thread in pending:
        thread.join()


@atexit.register
def _close_everything_at_exit() -> None:
    """Stops every measurement and disconnects before the interpreter goes away,
    so that no library thread calls back into a finished interpreter."""
    for bench in list(_open_benches):
        try:
            bench.close()
        except Exception:
            pass
    _wait_for_background_closes()
    library = _capi.loaded()
    if library is not None:
        _logforward.uninstall(library)
