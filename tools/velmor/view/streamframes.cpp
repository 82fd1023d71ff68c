#include "streamframes.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>

namespace velmorview {
namespace {

using nlohmann::json;

long long millisecondsSinceEpoch(std::chrono::system_clock::time_point time)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

json timeOrNull(std::chrono::system_clock::time_point time)
{
    return time.time_since_epoch().count() == 0 ? json(nullptr) : json(millisecondsSinceEpoch(time));
}

json deviceStatus(const DeviceView& device)
{
    json status = {{"serial", device.serialNumber},
                   {"received", device.received},
                   {"receivedAt", timeOrNull(device.receivedAt)},
                   {"spectraPerSecond", device.spectraPerSecond},
                   {"darkSubtracted", device.darkSubtracted},
                   {"saturated", device.counts && reachesTopCount(*device.counts, device.darkSubtracted)},
                   {"error", device.error},
                   {"errorAt", timeOrNull(device.errorAt)},
                   {"reference", nullptr}};
    if (device.reference) {
        status["reference"] = {{"takenAt", millisecondsSinceEpoch(device.reference->takenAt)},
                               {"darkSubtracted", device.reference->darkSubtracted}};
    }
    return status;
}

// The shortest text that reads back as the same float, null for a gap: a
// spectrum in this form is a third the size of nlohmann's doubles.
void appendValues(std::string& out, const std::vector<float>& values)
{
    out += '[';
    char digits[32];
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) {
            out += ',';
        }
        if (std::isfinite(values[i])) {
            const auto result = std::to_chars(std::begin(digits), std::end(digits), values[i]);
            out.append(digits, result.ptr);
        } else {
            out += "null";
        }
    }
    out += ']';
}

} // namespace

bool StreamFrames::SentValues::operator==(const SentValues& other) const
{
    return received == other.received && referenceAt == other.referenceAt && darkSubtracted == other.darkSubtracted;
}

StreamFrames::StreamFrames(DisplayMode mode) : mMode(mode)
{
}

std::string StreamFrames::nextEvent(const LiveSnapshot& snapshot)
{
    json statuses = json::array();
    std::string values;
    for (const DeviceView& device : snapshot.devices) {
        statuses.push_back(deviceStatus(device));
        const SentValues now{device.received,
                             device.reference ? device.reference->takenAt : std::chrono::system_clock::time_point{},
                             device.darkSubtracted};
        const auto sent = mSent.find(device.serialNumber);
        if (!device.counts || (sent != mSent.end() && sent->second == now)) {
            continue;
        }
        mSent[device.serialNumber] = now;
        static const std::vector<float> NO_REFERENCE;
        const std::vector<float>& reference = device.reference ? *device.reference->values : NO_REFERENCE;
        values += (values.empty() ? "" : ",") + json(device.serialNumber).dump() + ':';
        appendValues(values, valuesInMode(mMode, *device.counts, device.darkSubtracted, reference));
    }
    const json head = {{"mode", displayModeName(mMode)}, {"devices", statuses}};
    std::string event = "data: " + head.dump();
    event.pop_back(); // reopen the object for the values
    return event + ",\"values\":{" + values + "}}\n\n";
}

} // namespace velmorview
