#pragma once

#include <velmor/velmorexport.h>

#include <string>
#include <vector>

/// Implemented by the host to receive measurement results. Every call is made
/// on a measurement worker thread, one worker per device, so calls for
/// different devices may overlap. The references are valid only during the
/// call. The object must outlive the measurement (until stopMeasurement
/// returns or the manager is destroyed), and must not start or stop a
/// measurement of the same manager from inside a call. Calls should return
/// quickly and not throw: the device's worker waits for them.
class VELMOR_EXPORT SpectrometerCallback {
public:
    /// Destroys the callback; never while a measurement may still call it.
    virtual ~SpectrometerCallback();

    /// One new spectrum of a continuous measurement: the device's serial number,
    /// its wavelength table (nm per pixel) and the spectrum (one value per
    /// pixel). Called on that device's worker thread; the references are valid
    /// only during the call.
    virtual void onDataReceived(std::string serialNumber, const std::vector<float>& wavelength,
                                const std::vector<float>& spectrum) = 0;

    /// The whole batch of one device, spectra in reading order (possibly fewer
    /// than asked for when the batch failed, then followed by onError). Called
    /// once per device and batch on that device's worker thread; the references
    /// are valid only during the call.
    virtual void onDataReceivedBanch(std::string serialNumber, const std::vector<float>& wavelength,
                                     const std::vector<std::vector<float>>& spectra) = 0;

    /// A device's worker failed: a continuous measurement timed out (the
    /// worker goes on), or a continuous or batch worker ended on an exception
    /// (a batch first delivers what it collected; no further calls come for
    /// that device in this run). `message` is the library's reason;
    /// velmor::currentWorkerError() (velmorhost.h) tells the cause by type
    /// during the call. Called on that device's worker thread.
    virtual void onError(std::string serialNumber, const std::string& message) = 0;
};
