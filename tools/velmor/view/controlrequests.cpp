#include "controlrequests.h"

#include "replytext.h"
#include "requesterror.h"
#include "acquisition/timebudget.h"

#include <algorithm>
#include <cctype>

namespace velmorview {
namespace {

using nlohmann::json;

RequestError badRequest(const std::string& reason)
{
    return RequestError(400, reason);
}

json object(const std::string& body)
{
    json request;
    try {
        request = json::parse(body);
    } catch (const json::parse_error& error) {
        // The parser's message quotes the body; the byte is enough.
        throw badRequest("the body is not JSON (at byte " + std::to_string(error.byte) + ")");
    }
    if (!request.is_object()) {
        throw badRequest("the body must be a JSON object");
    }
    return request;
}

const json& field(const json& request, const char* name)
{
    const auto found = request.find(name);
    if (found == request.end()) {
        throw badRequest(std::string("'") + name + "' is missing");
    }
    return *found;
}

int wholeNumber(const json& request, const char* name, int minimum, int maximum)
{
    const json& value = field(request, name);
    const std::string range = std::to_string(minimum) + " to " + std::to_string(maximum);
    if (!value.is_number_integer()) {
        throw badRequest(std::string("'") + name + "' must be a whole number from " + range);
    }
    const auto number = value.get<long long>();
    if (number < minimum || number > maximum) {
        throw badRequest(std::string("'") + name + "' must be from " + range + ", got " + std::to_string(number));
    }
    return static_cast<int>(number);
}

std::string text(const json& request, const char* name)
{
    const json& value = field(request, name);
    if (!value.is_string()) {
        throw badRequest(std::string("'") + name + "' must be a string");
    }
    return value.get<std::string>();
}

// One of `choices`, by name.
template <typename T>
T choice(const json& request, const char* name, std::initializer_list<std::pair<const char*, T>> choices)
{
    const std::string given = text(request, name);
    std::string names;
    for (const auto& [candidate, value] : choices) {
        if (given == candidate) {
            return value;
        }
        names += (names.empty() ? "" : ", ") + std::string(candidate);
    }
    throw badRequest(std::string("'") + name + "' must be one of " + names);
}

} // namespace

ControlRequests::ControlRequests(std::vector<std::string> serialNumbers) : mSerialNumbers(std::move(serialNumbers))
{
}

bool ControlRequests::isJsonMediaType(const std::string& contentType)
{
    std::string mediaType = contentType.substr(0, contentType.find(';'));
    const auto isSpace = [](char character) { return character == ' ' || character == '\t'; };
    mediaType.erase(mediaType.begin(), std::find_if_not(mediaType.begin(), mediaType.end(), isSpace));
    mediaType.erase(std::find_if_not(mediaType.rbegin(), mediaType.rend(), isSpace).base(), mediaType.end());
    std::transform(mediaType.begin(), mediaType.end(), mediaType.begin(), [](char character) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(character)));
    });
    return mediaType == "application/json";
}

bool ControlRequests::running(const std::string& body) const
{
    const json request = object(body);
    const json& value = field(request, "running");
    if (!value.is_boolean()) {
        throw badRequest("'running' must be true or false");
    }
    return value.get<bool>();
}

AcquisitionSettings ControlRequests::settings(const std::string& body) const
{
    const json request = object(body);
    AcquisitionSettings settings;
    settings.exposureUs = wholeNumber(request, "exposureUs", 1, MAX_EXPOSURE_US);
    settings.averaging = wholeNumber(request, "averaging", 1, MAX_AVERAGING);
    const auto needed = velmorcli::timebudget::spectrumDuration(settings.exposureUs, settings.averaging, 0);
    if (needed > LONGEST_LIVE_SPECTRUM) {
        throw badRequest("one spectrum would take " + std::to_string(needed.count()) +
                         " ms (exposure x averaging), more than a live view waits for (" +
                         std::to_string(LONGEST_LIVE_SPECTRUM.count()) + " ms); lower the averaging");
    }
    return settings;
}

DarkRequest ControlRequests::dark(const std::string& body) const
{
    const json request = object(body);
    DarkRequest dark;
    dark.device = device(request);
    dark.action = choice<DarkAction>(request, "action",
                                     {{"take", DarkAction::Take},
                                      {"on", DarkAction::SubtractionOn},
                                      {"off", DarkAction::SubtractionOff}});
    return dark;
}

std::string ControlRequests::reference(const std::string& body) const
{
    return device(object(body));
}

TriggerMode ControlRequests::trigger(const std::string& body) const
{
    return choice<TriggerMode>(object(body), "mode",
                               {{"software", TriggerMode::SOFTWARE}, {"external", TriggerMode::EXTERNAL}});
}

std::string ControlRequests::device(const json& request) const
{
    const std::string serialNumber = text(request, "device");
    if (serialNumber != ALL_DEVICES &&
        std::find(mSerialNumbers.begin(), mSerialNumbers.end(), serialNumber) == mSerialNumbers.end()) {
        throw badRequest("no spectrometer with serial number '" + replytext::clientText(serialNumber) + "'");
    }
    return serialNumber;
}

} // namespace velmorview
