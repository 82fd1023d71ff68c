"""Stream measurement: every spectrum each device makes, at the device's own
pace, once and in order, with the device's time stamp and header values.

The library reads every device at its pace and hands each spectrum to a
delivery thread per device, which calls into this module. That thread waits
while the consumer's hand-over is full; the library meanwhile keeps reading
the device and, when its own queue of 256 spectra per device is full too,
drops the oldest and counts it. So a slow consumer never stops a device, and
no loss goes unreported: ``missing_before`` on the next spectrum, and
:attr:`Stream.ends` at the end.
"""

from __future__ import annotations

import ctypes
import datetime
import threading
import time
from ctypes import POINTER, c_char_p, c_int32, c_int64, c_uint8, c_uint32, c_uint64, c_void_p
from typing import TYPE_CHECKING, Dict, NamedTuple, Optional, Tuple

import numpy as np

from . import _capi
from ._errors import Error, StateError
from ._handover import Empty, Handover
from ._spectrometers import Spectrum, _ClosedOnExit, _measurement_failure, _positive, _seconds

if TYPE_CHECKING:
    from ._spectrometers import Spectrometers

__all__ = ["Stream", "StreamedSpectrum", "StreamEnd"]

# The C interface version that brought velmor_start_stream.
STREAM_C_API_VERSION = 3
_UINT64_MAX = 2**64 - 1
_POLL_SECONDS = 0.2
_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)


class _CStreamSpectrum(ctypes.Structure):
    """velmor_stream_spectrum; fields only ever grow at the end."""

    _fields_ = [
        ("struct_size", c_uint32),
        ("device_index", c_int32),
        ("sequence", c_uint64),
        ("missing_before", c_uint64),
        ("device_time_us", c_int64),
        ("received_at_us", c_int64),
        ("serial_number", c_char_p),
        ("spectrum", c_void_p),
        ("wavelengths", c_void_p),
        ("pixel_count", c_uint32),
        ("time_01ms", c_uint32),
        ("date_days", c_uint32),
        ("exposure_us", c_uint32),
        ("averaging", c_uint32),
        ("sensor_temperature_c", ctypes.c_float),
        ("intensity_unit", c_uint8),
        ("dark_subtracted", c_uint8),
        ("processing_errors", c_uint8),
        ("after_rearm", c_uint8),
    ]


STREAM_CALLBACK = ctypes.CFUNCTYPE(None, c_void_p, POINTER(_CStreamSpectrum))
STREAM_END_CALLBACK = ctypes.CFUNCTYPE(None, c_void_p, c_char_p, c_uint64, c_uint64)


class StreamedSpectrum(Spectrum):
    """A :class:`Spectrum` of :meth:`Spectrometers.stream`, with what the device's header says.

    ``device_time`` is the device's time stamp as a timezone-aware
    :class:`datetime.datetime` in UTC (the device clock runs in the host's
    local time, which the library set; the raw values are ``time_01ms`` and
    ``date_days``). ``sequence`` counts the spectra the device made in this
    run, from 0; ``missing_before`` spectra were lost right before this one
    (the device's memory overflowed, or the consumer fell behind), so the
    sequence numbers of one device rise by ``missing_before + 1``.
    ``temperature_c`` is the sensor temperature, ``dark_subtracted`` whether
    the device subtracted its dark spectrum, ``intensity_unit`` and
    ``processing_errors`` the header's codes, and ``after_rearm`` whether the
    device was re-armed right before this spectrum.
    """

    __slots__ = ("sequence", "missing_before", "temperature_c", "dark_subtracted", "intensity_unit",
                 "processing_errors", "after_rearm", "time_01ms", "date_days")

    def __repr__(self) -> str:
        return (f"<velmor.StreamedSpectrum serial={self.serial!r} sequence={self.sequence} "
                f"missing_before={self.missing_before} device_time={self.device_time.isoformat()} "
                f"exposure_us={self.exposure_us} averaging={self.averaging}>")


class StreamEnd(NamedTuple):
    """How one device's stream ended: spectra handed over and spectra lost in all."""

    delivered: int
    lost: int


def _declare(library: "_capi.Library") -> None:
    """Declares velmor_start_stream once; refuses a library that predates it."""
    handle = library._c
    function = handle.velmor_start_stream if hasattr(handle, "velmor_start_stream") else None
    version = int(handle.velmor_c_api_version())
    if function is None or version < STREAM_C_API_VERSION:
        raise Error(f"the library implements C interface version {version}; "
                    f"streaming needs version {STREAM_C_API_VERSION}")
    if function.argtypes is None:
        function.restype = c_int32
        function.argtypes = [c_void_p, STREAM_CALLBACK, _capi.ERROR_CALLBACK, STREAM_END_CALLBACK, c_void_p,
                             c_int32, c_int32, c_int32, c_uint64]


class _StreamSink:
    """Where the library's delivery threads put a stream's spectra, errors and ends."""

    def __init__(self, bench: "Spectrometers", queue_size: int) -> None:
        self.handover: Handover[tuple] = Handover(queue_size)
        self._devices = bench.devices

    def deliver(self, c_spectrum: _CStreamSpectrum) -> None:
        device = self._devices[c_spectrum.device_index]
        counts = _capi.copy_floats(c_spectrum.spectrum, (c_spectrum.pixel_count,))
        spectrum = StreamedSpectrum(device.serial, device.index, device.wavelengths, counts,
                                    c_spectrum.received_at_us / 1e6, c_spectrum.exposure_us, c_spectrum.averaging,
                                    _EPOCH + datetime.timedelta(microseconds=c_spectrum.device_time_us))
        spectrum.sequence = c_spectrum.sequence
        spectrum.missing_before = c_spectrum.missing_before
        spectrum.temperature_c = c_spectrum.sensor_temperature_c
        spectrum.dark_subtracted = bool(c_spectrum.dark_subtracted)
        spectrum.intensity_unit = c_spectrum.intensity_unit
        spectrum.processing_errors = c_spectrum.processing_errors
        spectrum.after_rearm = bool(c_spectrum.after_rearm)
        spectrum.time_01ms = c_spectrum.time_01ms
        spectrum.date_days = c_spectrum.date_days
        self.handover.put(("spectrum", spectrum))

    def report_failure(self, serial: bytes, message: bytes, status: int) -> None:
        self.handover.put(("error", _capi.text(serial), _capi.text(message), status), bounded=False)

    def end(self, serial: bytes, delivered: int, lost: int) -> None:
        self.handover.put(("end", _capi.text(serial), StreamEnd(delivered, lost)))


_sinks: Dict[int, _StreamSink] = {}


@STREAM_CALLBACK
def _on_stream_spectrum(user: int, spectrum: "ctypes._Pointer[_CStreamSpectrum]") -> None:
    sink = _sinks.get(user or 0)
    if sink is not None:
        try:
            sink.deliver(spectrum.contents)
        except BaseException:  # never let anything unwind into the library
            _capi._report_callback_failure("stream spectrum")


@STREAM_END_CALLBACK
def _on_stream_end(user: int, serial: bytes, delivered: int, lost: int) -> None:
    sink = _sinks.get(user or 0)
    if sink is not None:
        try:
            sink.end(serial, delivered, lost)
        except BaseException:
            _capi._report_callback_failure("stream end")


class Stream(_ClosedOnExit):
    """A running stream measurement of every device: iterate to get its :class:`StreamedSpectrum` objects.

    Made by :meth:`Spectrometers.stream`. Spectra of one device come in its
    order, those of different devices interleaved as they arrive. Iteration
    ends when every device has made ``count`` spectra, or ``duration``
    seconds after the start (the devices are then stopped and the spectra
    read before the stop still come). Leaving the loop early, an exception,
    :meth:`close`, ``with`` exit and garbage collection stop every device.

    A device that fails raises :class:`velmor.MeasurementError`
    (:class:`velmor.MeasurementTimeout` when it stopped making spectra) in
    the loop, after its spectra that came before the failure.

    :attr:`ends` holds each device's :class:`StreamEnd` once its stream has
    ended; :attr:`lost` is the sum of their losses.
    """

    def __init__(self, bench: "Spectrometers", settings: Tuple[int, int, int, int], duration: Optional[float],
                 queue_size: int) -> None:
        _declare(bench._library)
        self._bench = bench
        self._sink = _StreamSink(bench, queue_size)
        self._handover = self._sink.handover
        self.ends: Dict[str, StreamEnd] = {}
        self._deadline = None if duration is None else time.monotonic() + duration
        self._stopper: Optional[threading.Thread] = None
        self._closed = False
        self._ended_by_newer = False
        self._started = time.monotonic()
        # The library's callbacks reach the sink, never this object, so that
        # dropping the last reference to a stream stops it.
        self._token = _capi.register_run(_capi.Run(None, None, self._sink.report_failure))
        _sinks[self._token] = self._sink
        try:
            bench._library.call("velmor_start_stream", bench._manager_handle(), _on_stream_spectrum,
                                _capi._on_error, _on_stream_end, self._token, *settings)
        except BaseException:
            self._closed = True
            self._forget()
            raise

    @property
    def lost(self) -> int:
        """Spectra lost in all, over the devices whose stream has ended."""
        return sum(end.lost for end in self.ends.values())

    def __iter__(self) -> "Stream":
        return self

    def __next__(self) -> StreamedSpectrum:
        try:
            return self._next_spectrum()
        except StopIteration:
            raise
        except BaseException:
            # A failed device or Ctrl-C: the loop ends now, the stop finishes
            # beside it.
            self.close(in_background=True)
            raise

    def _next_spectrum(self) -> StreamedSpectrum:
        while not self._closed and len(self.ends) < len(self._bench.devices):
            self._stop_when_due()
            try:
                item = self._handover.get(_POLL_SECONDS)
            except Empty:
                if self._handover.closed:
                    break
                continue
            if item[0] == "spectrum":
                return item[1]
            if item[0] == "end":
                self.ends[item[1]] = item[2]
                continue
            _, serial, message, status = item
            raise _measurement_failure(serial, message, status, self._started)
        self.close()
        if self._ended_by_newer:
            raise StateError("this stream was ended by a newer measure(), batch() or stream() on the same "
                             "Spectrometers; one measurement runs at a time")
        raise StopIteration

    def _stop_when_due(self) -> None:
        # The stop waits for the library's delivery threads, which may wait
        # for room in the hand-over: it runs beside the consumer, who keeps
        # taking what was read before it.
        if self._deadline is None or self._stopper is not None or time.monotonic() < self._deadline:
            return
        library, manager = self._bench._library, self._bench._manager_handle()
        self._stopper = threading.Thread(target=library.stop_measurement, args=(manager,), name="velmor-stream-stop",
                                         daemon=True)
        self._stopper.start()

    def close(self, in_background: bool = False) -> None:
        """Stops every device and joins the library's threads. Safe to call twice.

        With ``in_background`` (after a failure or Ctrl-C) it returns at once
        and the stop finishes on a thread of its own; the bench's next call
        waits for it.
        """
        if self._closed:
            return
        self._closed = True
        # Wake delivery threads waiting for room first: the stop joins them.
        self._handover.close()
        try:
            if self._stopper is not None:
                self._stopper.join()
            self._bench._end_run(self, self._token, in_background)  # type: ignore[arg-type]
        finally:
            _sinks.pop(self._token, None)

    def _end_for_newer(self) -> None:
        """Ends this stream because a newer measurement starts; its loop then raises StateError."""
        self._ended_by_newer = True
        self.close()

    def _forget(self) -> None:
        _sinks.pop(self._token, None)
        _capi.forget_run(self._token)


def start_stream(bench: "Spectrometers", exposure_us: int, averaging: int, count: Optional[int],
                 duration: Optional[float], delay_us: int, queue_size: int) -> Stream:
    """Checks the arguments and starts a :class:`Stream` (see :meth:`Spectrometers.stream`)."""
    exposure_us = _positive("exposure_us", exposure_us)
    averaging = _positive("averaging", averaging)
    delay_us = _positive("delay_us", delay_us, smallest=0)
    if count is not None:
        if isinstance(count, bool) or not isinstance(count, (int, np.integer)):
            raise TypeError(f"count must be an int, not {type(count).__name__}")
        if not 1 <= count <= _UINT64_MAX:
            raise ValueError(f"count must be between 1 and {_UINT64_MAX}, not {count}")
    duration = None if duration is None else _seconds("duration", duration, 0.0)
    queue_size = _positive("queue_size", queue_size)
    return Stream(bench, (exposure_us, averaging, delay_us, int(count or 0)), duration, queue_size)
