#pragma once

#include <velmor/spectrometerdevice.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <vector>

namespace velmorview {

struct AcquisitionSettings {
    int exposureUs = 10000;
    int averaging = 1;
};

enum class DarkAction { Take, SubtractionOn, SubtractionOff };

struct DarkRequest {
    std::string device; // a serial number, or ALL_DEVICES
    DarkAction action = DarkAction::Take;
};

// Reads and checks the JSON bodies of the control requests. Every method
// throws RequestError (400) naming what is wrong; nothing is acted on before
// the whole body has passed.
class ControlRequests {
public:
    static constexpr const char* ALL_DEVICES = "all";
    static constexpr int MAX_EXPOSURE_US = 10'000'000;
    static constexpr int MAX_AVERAGING = 1000;
    // A live view that waits longer than this for a frame is no longer live.
    static constexpr std::chrono::milliseconds LONGEST_LIVE_SPECTRUM{60'000};

    explicit ControlRequests(std::vector<std::string> serialNumbers);

    // A Content-Type of exactly application/json, parameters allowed.
    static bool isJsonMediaType(const std::string& contentType);

    // {"running": true|false}
    bool running(const std::string& body) const;
    // {"exposureUs": 1..MAX_EXPOSURE_US, "averaging": 1..MAX_AVERAGING}, and
    // one spectrum within LONGEST_LIVE_SPECTRUM.
    AcquisitionSettings settings(const std::string& body) const;
    // {"device": serial|"all", "action": "take"|"on"|"off"}
    DarkRequest dark(const std::string& body) const;
    // {"device": serial|"all"}
    std::string reference(const std::string& body) const;
    // {"mode": "software"|"external"}
    TriggerMode trigger(const std::string& body) const;

private:
    std::string device(const nlohmann::json& request) const;

    std::vector<std::string> mSerialNumbers;
};

} // namespace velmorview
