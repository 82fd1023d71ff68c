#include "cstreamcallbackadapter.h"

#include "ccallbackscope.h"

#include <chrono>

namespace {

int64_t microsecondsSinceEpoch(std::chrono::system_clock::time_point when)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
}

} // namespace

CStreamCallbackAdapter::CStreamCallbackAdapter(const void* owner, velmor_stream_callback onSpectrum,
                                               velmor_error_callback onError, velmor_stream_end_callback onEnd,
                                               void* user)
    : mOwner(owner), mOnSpectrum(onSpectrum), mOnError(onError), mOnEnd(onEnd), mUser(user)
{
}

velmor_stream_spectrum CStreamCallbackAdapter::toC(const StreamSpectrum& spectrum)
{
    velmor_stream_spectrum c{};
    c.struct_size = sizeof(velmor_stream_spectrum);
    c.device_index = spectrum.deviceIndex;
    c.sequence = spectrum.sequence;
    c.missing_before = spectrum.missingBefore;
    c.device_time_us = microsecondsSinceEpoch(spectrum.deviceTime);
    c.received_at_us = microsecondsSinceEpoch(spectrum.receivedAt);
    c.serial_number = spectrum.serialNumber.c_str();
    c.spectrum = spectrum.spectrum.data();
    c.pixel_count = static_cast<uint32_t>(spectrum.spectrum.size());
    // The C host reads pixel_count wavelengths: a table of another length
    // is not handed over.
    const bool tableFits = spectrum.wavelengths && spectrum.wavelengths->size() == spectrum.spectrum.size();
    c.wavelengths = tableFits ? spectrum.wavelengths->data() : nullptr;
    c.time_01ms = spectrum.time01ms;
    c.date_days = spectrum.dateDays;
    c.exposure_us = spectrum.exposureTimeUs;
    c.averaging = spectrum.averaging;
    c.sensor_temperature_c = spectrum.sensorTemperatureC;
    c.intensity_unit = spectrum.intensityUnit;
    c.dark_subtracted = spectrum.darkSubtracted ? 1 : 0;
    c.processing_errors = spectrum.processingErrors;
    c.after_rearm = spectrum.afterRearm ? 1 : 0;
    return c;
}

void CStreamCallbackAdapter::onSpectrum(const StreamSpectrum& spectrum)
{
    const velmor_stream_spectrum c = toC(spectrum);
    CCallbackScope scope(mOwner);
    mOnSpectrum(mUser, &c);
}

void CStreamCallbackAdapter::onError(const std::string& serialNumber, const std::string& message)
{
    if (mOnError == nullptr) {
        return;
    }
    CCallbackScope scope(mOwner);
    mOnError(mUser, serialNumber.c_str(), message.c_str());
}

void CStreamCallbackAdapter::onStreamEnd(const std::string& serialNumber, uint64_t delivered, uint64_t lost)
{
    if (mOnEnd == nullptr) {
        return;
    }
    CCallbackScope scope(mOwner);
    mOnEnd(mUser, serialNumber.c_str(), delivered, lost);
}
