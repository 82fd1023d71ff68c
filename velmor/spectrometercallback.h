#pragma once

#include <velmor/velmorexport.h>

#include <string>
#include <vector>

// Implemented by the host to receive measurement results. Every call is made
// on a measurement worker thread, one worker per device, so calls for
// different devices may overlap. The references are valid only during the
// call. The object must outlive the measurement (until stopMeasurement
// returns or the manager is destroyed), and must not start or stop a
// measurement of the same manager from inside a call.
class VELMOR_EXPORT SpectrometerCallback {
public:
    virtual ~SpectrometerCallback();

    // One new spectrum of continuous measurement.
    virtual void onDataReceived(std::string serialNumber, const std::vector<float>& wavelength,
                                const std::vector<float>& spectrum) = 0;

    // The whole batch of one device, in reading order.
    virtual void onDataReceivedBanch(std::string serialNumber, const std::vector<float>& wavelength,
                                     const std::vector<std::vector<float>>& spectra) = 0;

    // A device's worker failed: a continuous measurement timed out, or a
    // continuous or batch worker ended on an exception (a batch first
    // delivers what it collected). No further calls come for that device in
    // this run. velmor::currentWorkerError() (velmorhost.h) tells the cause.
    virtual void onError(std::string serialNumber, const std::string& message) = 0;
};
