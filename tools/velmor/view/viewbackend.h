#pragma once

#include "controlrequests.h"

#include <nlohmann/json.hpp>

#include <string>

namespace velmorview {

// What the web server drives: the spectrometers in the tool, a stand-in in
// the server's tests. Requests arrive on the server's threads, several at
// once. A request the state does not allow throws RequestError; a device
// failure throws std::runtime_error.
class ViewBackend {
public:
    virtual ~ViewBackend() = default;

    // Devices, settings and whether measuring: small, asked for often.
    virtual nlohmann::json state() = 0;
    // Each device's wavelength per pixel, by serial number: fixed, asked
    // for once per page.
    virtual nlohmann::json wavelengths() = 0;
    virtual void setRunning(bool running) = 0;
    virtual void applySettings(const AcquisitionSettings& settings) = 0;
    virtual void dark(const DarkRequest& request) = 0;
    virtual void storeReference(const std::string& device) = 0;
    virtual void setTriggerMode(TriggerMode mode) = 0;
};

} // namespace velmorview
