#pragma once

#include "livespectra.h"
#include "spectrummath.h"

#include <chrono>
#include <map>
#include <string>

namespace velmorview {

// Turns snapshots into the Server-Sent Events of one page, in one display
// mode. Each event carries the status of every device; a device's values
// only when they changed since the event before (a new spectrum, reference
// or dark state), so a paused view costs a few bytes a second.
//
// data: {"mode":"absorbance","devices":[{"serial":..,"received":..,...}],
//        "values":{"<serial>":[v, null, ...]}}
class StreamFrames {
public:
    explicit StreamFrames(DisplayMode mode);

    std::string nextEvent(const LiveSnapshot& snapshot);

private:
    struct SentValues {
        uint64_t received = 0;
        std::chrono::system_clock::time_point referenceAt;
        bool darkSubtracted = false;
        bool operator==(const SentValues& other) const;
    };

    DisplayMode mMode;
    std::map<std::string, SentValues> mSent;
};

} // namespace velmorview
