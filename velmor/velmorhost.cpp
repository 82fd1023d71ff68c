#include <velmor/velmorhost.h>

#include <velmor/libusbinterface.h>

#include "connectionreport.h"
#include "devicefacts.h"
#include "logsink.h"
#include "reportedfailure.h"
#include "timelimits.h"

#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

#if !defined(VELMOR_VERSION_STRING)
#error "the build passes the project version as VELMOR_VERSION_STRING"
#endif

namespace velmor {

namespace {

// The installed handler; replaced only under the mutex, freed only after
// the sink no longer calls it.
std::mutex gLogHandlerMutex;
std::unique_ptr<LogHandler> gLogHandler;

void forwardLogLine(int stream, const char* line, void* handler)
{
    (*static_cast<const LogHandler*>(handler))(
        stream == velmor_detail::LogSink::ERROR_LINE ? LogStream::Error : LogStream::Output, line);
}

} // namespace

std::string libraryVersion()
{
    return VELMOR_VERSION_STRING;
}

FirmwareVersion firmwareVersion(const SpectrometerDevice& device)
{
    return velmor_detail::DeviceFacts::firmwareVersion(device);
}

UsbLocation usbLocation(const SpectrometerDevice& device)
{
    const LibusbInterface& transport = velmor_detail::DeviceFacts::transport(device);
    return UsbLocation{transport.busNumber(), transport.deviceAddress()};
}

int32_t deviceClockUtcOffsetSeconds(const SpectrometerDevice& device)
{
    return velmor_detail::DeviceFacts::clockUtcOffsetSeconds(device);
}

std::chrono::system_clock::time_point deviceTimeToUtc(const SpectrometerDevice& device, uint32_t dateDays,
                                                      uint32_t time01ms)
{
    using namespace std::chrono;
    const auto deviceLocal = hours{24} * int64_t{dateDays} + microseconds{int64_t{time01ms} * 100};
    const seconds offset{deviceClockUtcOffsetSeconds(device)};
    return system_clock::time_point{duration_cast<system_clock::duration>(deviceLocal - offset)};
}

void setLogHandler(LogHandler handler)
{
    std::lock_guard<std::mutex> lock(gLogHandlerMutex);
    std::unique_ptr<LogHandler> installed = handler ? std::make_unique<LogHandler>(std::move(handler)) : nullptr;
    velmor_detail::LogSink::setHandler(installed ? &forwardLogLine : nullptr, installed.get());
    gLogHandler = std::move(installed);
}

std::chrono::milliseconds measurementTimeLimit(MeasurementKind kind, int exposureTimeUs, int averaging, int delayUs,
                                               int count)
{
    switch (kind) {
    case MeasurementKind::Continuous:
        return std::chrono::milliseconds{velmor_detail::continuousHardLimitMs(exposureTimeUs, averaging, delayUs)};
    case MeasurementKind::Batch:
        return std::chrono::milliseconds{
            velmor_detail::batchCollectionLimitMs(exposureTimeUs, averaging, delayUs, count)};
    }
    throw std::invalid_argument("unknown measurement kind");
}

std::exception_ptr currentWorkerError()
{
    return velmor_detail::ReportedFailure::current();
}

std::vector<SkippedDevice> skippedDevices(const VaskLinkProtocol& manager)
{
    return velmor_detail::ConnectionReport::skipped(&manager);
}

} // namespace velmor
