#pragma once

// What a host needs to know about the library and its devices beyond the
// classes of vasklinkprotocol.h and spectrometerdevice.h: identity facts,
// the device clock, the library's diagnostic lines, its time limits and the
// reason behind a failure. Additions only: the exported classes are unchanged.

#include <velmor/spectrometerdevice.h>
#include <velmor/velmorexport.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

class VaskLinkProtocol;

namespace velmor {

/// The library's version, e.g. "0.1.0". Never throws; any thread.
VELMOR_EXPORT std::string libraryVersion();

/// The firmware version read from `device` when it was connected (0.0.0.0
/// if the device did not tell). Answered from memory: never throws, any
/// thread, also inside a callback.
VELMOR_EXPORT FirmwareVersion firmwareVersion(const SpectrometerDevice& device);

/// Where a device sits on the USB bus.
struct UsbLocation {
    uint8_t busNumber;
    uint8_t deviceAddress;
};

/// The USB bus number and address `device` was opened at. Answered from
/// memory: never throws, any thread, also inside a callback.
VELMOR_EXPORT UsbLocation usbLocation(const SpectrometerDevice& device);

/// Converts the time stamp of a spectrum header (day count and 0.1 ms of the
/// day, in the device clock, which the library sets to host local time) to
/// UTC, with the UTC offset in force when the library last set that device's
/// clock. Never throws; any thread, also inside a callback.
VELMOR_EXPORT std::chrono::system_clock::time_point deviceTimeToUtc(const SpectrometerDevice& device,
                                                                    uint32_t dateDays, uint32_t time01ms);

/// Local time minus UTC, in seconds, as used when the library last set the
/// clock of `device`; the host's current offset if it never did (older
/// firmware, or no clock set yet). Never throws; any thread, also inside a
/// callback.
VELMOR_EXPORT int32_t deviceClockUtcOffsetSeconds(const SpectrometerDevice& device);

/// The two streams of the library's diagnostic lines.
enum class LogStream { Output = 0, Error = 1 };

/// Receives one diagnostic line, without its line end, with the bytes the
/// library would have written (UTF-8). The reference lives for the call.
using LogHandler = std::function<void(LogStream stream, const std::string& line)>;

/// Sends every diagnostic line of the library to `handler` instead of
/// std::cout / std::cerr; an empty handler goes back to the standard
/// streams. Calls of the handler are serialised and come from whichever
/// thread wrote the line (host threads and measurement workers); once this
/// returns, the previous handler is not called again. The one handler is
/// shared with the C interface's velmor_set_log_handler: the last call wins.
/// Call it from any thread, but not from inside the handler (that
/// deadlocks); it throws only std::bad_alloc.
VELMOR_EXPORT void setLogHandler(LogHandler handler);

/// The two kinds of measurement the manager runs.
enum class MeasurementKind { Continuous, Batch };

/// The hard time limit the manager applies to a measurement with these
/// settings, counted from its start command. Continuous: the limit for each
/// single spectrum (`count` is not used); when it passes, onError reports a
/// timeout. Batch: the collection limit for `count` spectra; when it passes,
/// the batch is delivered with what was collected. Negative arguments count
/// as nothing (averaging and count as 1), as they do in the manager; results
/// saturate at about 100 years instead of overflowing. Throws
/// std::invalid_argument for a `kind` outside the enumeration. Pure: any
/// thread, also inside a callback.
VELMOR_EXPORT std::chrono::milliseconds measurementTimeLimit(MeasurementKind kind, int exposureTimeUs, int averaging,
                                                             int delayUs, int count);

/// Inside SpectrometerCallback::onError: the exception behind the failure
/// being reported (a CommunicationError for exchanges that failed and for a
/// spectrum that did not come in time, Kind::Timeout with command 0; other
/// std::exception types otherwise). A null pointer outside onError or when
/// the worker has no exception to show. Valid on the worker's thread for the
/// duration of the onError call; the pointer itself may be kept.
VELMOR_EXPORT std::exception_ptr currentWorkerError();

/// Why connectDevice left an attached spectrometer out of the pool.
enum class SkipReason {
    InUse,  ///< another handle or process holds it (its interface could not be claimed)
    Failed, ///< opening or initializing it failed otherwise
};

/// One attached spectrometer that the last connectDevice left out.
struct SkippedDevice {
    UsbLocation location;
    SkipReason reason;
    std::string message; ///< the text of the failure, as in the error line
};

/// The devices the last connectDevice of `manager` found but left out, in
/// enumeration order; empty before the first connect. Kept until the next
/// connect that enumerates, or the manager's destruction. Never throws
/// except std::bad_alloc; any thread, but not while connectDevice of the
/// same manager runs.
VELMOR_EXPORT std::vector<SkippedDevice> skippedDevices(const VaskLinkProtocol& manager);

} // namespace velmor
