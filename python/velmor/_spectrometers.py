"""The friendly API: every attached spectrometer, its devices, measurements."""

from __future__ import annotations

import atexit
import contextlib
import enum
import os
import time
import weakref
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Tuple, TypeVar, Union

import numpy as np

from . import _capi
from ._errors import Error, MeasurementError, MeasurementTimeout, NoDeviceError
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
# Beyond what a measurement should take: the library's own set-up (idle wait,
# draining old spectra) and its time-out margins, and slack for a loaded host.
_CONTINUOUS_SLACK_SECONDS = 12.0
_BATCH_SLACK_SECONDS = 15.0
_ACQUIRE_SLACK_SECONDS = 5.0
_ACQUIRE_POLL_SECONDS = 0.005
_TIMEOUT_PREFIX = "Timeout"


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
    ``device_time`` is the device's own time stamp (seconds since
    1970-01-01 on the device clock, set to the host's local time), known for
    spectra read with :meth:`Device.acquire` / :meth:`Device.read_spectrum`
    and None for spectra of :meth:`Spectrometers.measure`.
    """

    __slots__ = ("serial", "device_index", "wavelengths", "counts", "received_at", "exposure_us", "averaging",
                 "device_time")

    def __init__(self, serial: str, device_index: int, wavelengths: np.ndarray, counts: np.ndarray,
                 received_at: float, exposure_us: int, averaging: int, device_time: Optional[float] = None) -> None:
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
    if not value > 0:
        raise ValueError(f"{name} must be a positive number of seconds, not {value!r}")
    return float(value)


def _trigger_mode(mode: Union[TriggerMode, str]) -> TriggerMode:
    try:
        return TriggerMode(mode)
    except ValueError:
        raise ValueError(f"trigger mode must be 'software' or 'external', not {mode!r}") from None


_Closable = TypeVar("_Closable", bound="_ClosedOnExit")


class _ClosedOnExit:
    """Closed at the end of a ``with`` block and when garbage-collected."""

    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self: _Closable) -> _Closable:
        return self

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

    def _call(self, operation: str, *arguments: object) -> Any:
        """One library operation on this device; its failures name the device."""
        try:
            return getattr(self._bench._library, operation)(self._bench._manager_handle(), self.index, *arguments)
        except Error as failure:
            if failure.serial is None:
                failure.serial = self.serial
                failure.args = (f"{self.serial}: {failure.message}",)
            raise

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
        self._call("subtract_dark", bool(enable))
        self._subtract_dark = bool(enable)

    def take_dark(self, exposure_us: int, averaging: int = 1) -> None:
        """Takes a dark spectrum in this device (shutter closed), with these settings.

        The device subtracts it from the spectra it delivers once
        :attr:`subtract_dark` is on.
        """
        exposure_us = _positive("exposure_us", exposure_us)
        averaging = _positive("averaging", averaging)
        self._call("device_set_exposure", exposure_us, averaging)
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

        Starts one acquisition with these settings and waits for it (in
        external trigger mode, for the trigger). ``timeout`` in seconds
        defaults to the exposure time plus a few seconds; on time-out the
        acquisition is stopped and :class:`velmor.MeasurementTimeout` raised.
        Interrupting the wait (Ctrl-C) also stops the acquisition.
        """
        exposure_us = _positive("exposure_us", exposure_us)
        averaging = _positive("averaging", averaging)
        timeout = _seconds("timeout", timeout, exposure_us * averaging / 1e6 + _ACQUIRE_SLACK_SECONDS)
        self._call("device_set_exposure", exposure_us, averaging)
        self._call("device_start_acquisition", 1)
        try:
            self._wait_for_spectrum(time.monotonic() + timeout)
        except BaseException:
            with contextlib.suppress(Error):  # the original failure matters more
                self._call("device_stop_acquisition")
            raise
        return self.read_spectrum()

    def _wait_for_spectrum(self, deadline: float) -> None:
        while self.status().available_spectra == 0:
            if time.monotonic() > deadline:
                raise MeasurementTimeout("Timeout waiting for spectrum.", self.serial)
            time.sleep(_ACQUIRE_POLL_SECONDS)

    def read_spectrum(self) -> Spectrum:
        """Reads the oldest finished spectrum waiting in the device.

        Raises :class:`velmor.DeviceError` when none is waiting.
        """
        counts, info = self._call("device_read_spectrum", self.pixel_count)
        device_time = info.date_days * 86400.0 + info.time_01ms / 10000.0
        return Spectrum(self.serial, self.index, self.wavelengths, counts, time.time(), info.exposure_us,
                        info.averaging, device_time)


class Measurement(_ClosedOnExit, Iterator[Spectrum]):
    """A running continuous measurement of every device: iterate to get its spectra.

    Made by :meth:`Spectrometers.measure`. Spectra come in the order the
    devices deliver them. Iteration ends when every device has delivered
    ``count`` spectra; leaving the loop early, an exception, :meth:`close`,
    ``with`` exit, garbage collection and Ctrl-C all stop every device and
    join the library's workers before they return.

    A device that fails or times out raises :class:`velmor.MeasurementError`
    (:class:`velmor.MeasurementTimeout` for a time-out) in the loop, after the
    spectra that arrived before it; every device is stopped first.

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
        except BaseException:
            self.close()
            raise

    def _next_spectrum(self) -> Spectrum:
        while not self._closed:
            if all(remaining == 0 for remaining in self._remaining.values()):
                break
            self._check_silence()
            try:
                item = self._handover.get(_POLL_SECONDS)
            except Empty:
                if self._handover.closed:
                    break
                continue
            if item[0] == "error":  # __next__ stops every device before this reaches the loop
                _, serial, message = item
                failure = MeasurementTimeout if message.startswith(_TIMEOUT_PREFIX) else MeasurementError
                raise failure(message, serial)
            spectrum: Spectrum = item[1]
            remaining = self._remaining[spectrum.device_index]
            if remaining is not None and remaining > 0:
                self._remaining[spectrum.device_index] = remaining - 1
            return spectrum
        raise StopIteration

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
                raise MeasurementTimeout(f"no spectrum for {silent:.1f} s; the device stopped answering",
                                         device.serial)

    def close(self) -> None:
        """Stops every device and joins the library's workers. Safe to call twice."""
        if self._closed:
            return
        self._closed = True
        # Wake workers waiting for room first: the stop joins them.
        self._handover.close()
        try:
            self._bench._end_run(self)
        finally:
            _capi.forget_run(self._token)


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

    def report_failure(self, serial: bytes, message: bytes) -> None:
        self.handover.put(("error", _capi.text(serial), _capi.text(message)), bounded=False)


_open_benches: "weakref.WeakSet[Spectrometers]" = weakref.WeakSet()


class Spectrometers(_ClosedOnExit):
    """Every attached spectrometer, connected; a context manager that disconnects on exit.

    ``Spectrometers()`` finds, opens and initializes every attached device
    (raising :class:`velmor.NoDeviceError` when there is none) and holds
    them until :meth:`close` or the end of the ``with`` block. ``queue_size``
    is the default hand-over size of :meth:`measure`.

    Use one object from one thread at a time; another Python thread keeps
    running while it waits on the devices.
    """

    def __init__(self, *, queue_size: int = 64) -> None:
        self._library = _capi.library()
        self._queue_size = _positive("queue_size", queue_size)
        # Weak, so that a measurement nobody iterates any more is collected (and stopped).
        self._active: Optional["weakref.ReferenceType[Measurement]"] = None
        self._manager: Optional[int] = self._library.create()
        try:
            self._library.connect(self._manager)
            count = self._library.device_count(self._manager)
            if count == 0:
                raise NoDeviceError("no spectrometer found")
            self._devices: Tuple[Device, ...] = tuple(Device(self, index) for index in range(count))
        except BaseException:
            self._destroy()
            raise
        _open_benches.add(self)

    # -- lifetime ------------------------------------------------------------

    def _manager_handle(self) -> int:
        if self._manager is None:
            raise Error("the spectrometers are closed")
        return self._manager

    def close(self) -> None:
        """Stops any measurement and disconnects every device. Safe to call twice."""
        self._end_active_run()
        self._destroy()
        _open_benches.discard(self)

    def _destroy(self) -> None:
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
            raise KeyError(key)
        return self._devices[key]

    def __repr__(self) -> str:
        state = "closed" if self.closed else ", ".join(device.serial for device in self._devices)
        return f"<velmor.Spectrometers {state}>"

    # -- configuration for every device ---------------------------------------

    @property
    def trigger_mode(self) -> Optional[TriggerMode]:
        """The trigger mode of every device (None when the devices differ); setting it sets every device.

        Each device must be idle to be set. Measurements through
        :meth:`measure` and :meth:`batch` switch the devices to software
        triggering themselves.
        """
        modes = {device.trigger_mode for device in self._devices}
        return modes.pop() if len(modes) == 1 else None

    @trigger_mode.setter
    def trigger_mode(self, mode: Union[TriggerMode, str]) -> None:
        self._library.set_trigger_mode(self._manager_handle(), _TRIGGER_CODES[_trigger_mode(mode)])

    @property
    def subtract_dark(self) -> Optional[bool]:
        """Whether every device subtracts its dark spectrum (None when unknown or mixed); setting sets every device."""
        values = {device.subtract_dark for device in self._devices}
        return values.pop() if len(values) == 1 else None

    @subtract_dark.setter
    def subtract_dark(self, enable: bool) -> None:
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
        exposures averaged, after ``delay_us``. Any earlier measurement is
        stopped first. A device that delivers nothing for ``timeout``
        seconds (default: one spectrum's exposure time plus 12 s) raises
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
        timeout = _seconds("timeout", timeout, (exposure_us * averaging + delay_us) / 1e6 + _CONTINUOUS_SLACK_SECONDS)
        self._end_active_run()
        measurement = Measurement(self, exposure_us, averaging, delay_us, count, size, timeout)
        self._active = weakref.ref(measurement)
        return measurement

    def batch(self, collections: int, exposure_us: int, averaging: int = 1, *, delay_us: int = 0,
              timeout: Optional[float] = None) -> Dict[str, np.ndarray]:
        """Measures a batch of ``collections`` spectra in every device; returns ``{serial: array}``.

        Each array has shape ``(collections, pixel_count)``, float32, in the
        order the device measured. The devices start in ascending order of
        their first wavelength, each batch with one command. Raises
        :class:`velmor.MeasurementError` when a device fails or delivers
        fewer spectra (its ``results`` holds every batch that did arrive),
        and :class:`velmor.MeasurementTimeout` when the batch is not complete
        after ``timeout`` seconds (default: the batch's duration plus a
        margin).
        """
        collections = _positive("collections", collections)
        exposure_us = _positive("exposure_us", exposure_us)
        averaging = _positive("averaging", averaging)
        delay_us = _positive("delay_us", delay_us, smallest=0)
        timeout = _seconds("timeout", timeout,
                           (exposure_us * averaging + delay_us) * collections / 1e6 + _BATCH_SLACK_SECONDS)
        self._end_active_run()
        return _BatchRun(self, collections, exposure_us, averaging, delay_us).collect(timeout)

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

        self._end_active_run()
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
        self._end_active_run()

    def _end_active_run(self) -> None:
        active = self._active() if self._active is not None else None
        if active is not None:
            active.close()

    def _end_run(self, measurement: Measurement) -> None:
        """Called by a closing Measurement: stops the library's run if it is still the running one."""
        if self._active is None or self._active() is not measurement:
            return
        self._active = None
        if self._manager is not None:
            self._library.stop_measurement(self._manager)


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

    def _deliver(self, serial: bytes, address: int, pixel_count: int, count: int) -> None:
        spectra = _capi.copy_floats(address, (count, pixel_count))
        self._handover.put(("batch", self._devices[serial].serial, spectra), bounded=False)

    def _report_failure(self, serial: bytes, message: bytes) -> None:
        self._handover.put(("error", _capi.text(serial), _capi.text(message)), bounded=False)

    def collect(self, timeout: float) -> Dict[str, np.ndarray]:
        library, manager = self._bench._library, self._bench._manager_handle()
        results: Dict[str, np.ndarray] = {}
        errors: List[Tuple[str, str]] = []
        try:
            library.start_batch(manager, self._token, *self._start)
            deadline = time.monotonic() + timeout
            settled = set()
            while len(settled) < len(self._devices):
                remaining = deadline - time.monotonic()
                if remaining <= 0:
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
        self._raise_failures(results, errors, timeout)
        return results

    def _take(self, item: tuple, results: Dict[str, np.ndarray], errors: List[Tuple[str, str]],
              settled: set) -> None:
        if item[0] == "batch":
            results[item[1]] = item[2]
        else:
            errors.append((item[1], item[2]))
        settled.add(item[1])

    def _drain(self, results: Dict[str, np.ndarray], errors: List[Tuple[str, str]]) -> None:
        while True:
            try:
                self._take(self._handover.get(0), results, errors, set())
            except Empty:
                return

    def _raise_failures(self, results: Dict[str, np.ndarray], errors: List[Tuple[str, str]],
                        timeout: float) -> None:
        if errors:
            serial, message = errors[0]
            failure = MeasurementTimeout if message.startswith(_TIMEOUT_PREFIX) else MeasurementError
            raise failure(message, serial, results)
        for device in self._devices.values():
            if device.serial not in results:
                raise MeasurementTimeout(f"no batch within {timeout:.1f} s", device.serial, results)
            delivered = results[device.serial].shape[0]
            if delivered < self._collections:
                raise MeasurementError(f"delivered {delivered} of {self._collections} spectra", device.serial,
                                       results)


@atexit.register
def _close_everything_at_exit() -> None:
    """Stops every measurement and disconnects before the interpreter goes away,
    so that no library thread calls back into a finished interpreter."""
    for bench in list(_open_benches):
        try:
            bench.close()
        except Exception:
            pass
    library = _capi.loaded()
    if library is not None:
        from . import _logforward

        _logforward.uninstall(library)
