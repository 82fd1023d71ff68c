#include "devicespec.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace velmorsim {
namespace {

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::istringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) {
        parts.push_back(part);
    }
    return parts;
}

// Infinity, NaN and numbers beyond a double's range are refused: every
// value ends up in simulated time, counts or wavelengths.
double parseNumber(const std::string& key, const std::string& value)
{
    char* end = nullptr;
    errno = 0;
    const double number = std::strtod(value.c_str(), &end);
    if (value.empty() || end == nullptr || *end != '\0') {
        throw std::invalid_argument("device option " + key + ": not a number: '" + value + "'");
    }
    if (!std::isfinite(number)) {
        throw std::invalid_argument("device option " + key + ": not a finite number: '" + value + "'");
    }
    if (errno == ERANGE) {
        throw std::invalid_argument("device option " + key + ": out of range: '" + value + "'");
    }
    return number;
}

long parseWhole(const std::string& key, const std::string& value, long minimum, long maximum)
{
    const double number = parseNumber(key, value);
    // Range first: converting a double beyond long's range is undefined.
    const bool inRange = number >= static_cast<double>(minimum) && number <= static_cast<double>(maximum);
    const long whole = inRange ? static_cast<long>(number) : minimum;
    if (!inRange || static_cast<double>(whole) != number) {
        throw std::invalid_argument("device option " + key + ": expected a whole number from " +
                                    std::to_string(minimum) + " to " + std::to_string(maximum) + ", got '" + value +
                                    "'");
    }
    return whole;
}

FirmwareVersionValue parseFirmware(const std::string& value)
{
    const std::vector<std::string> parts = split(value, '.');
    if (parts.size() != 4) {
        throw std::invalid_argument("device option firmware: expected four numbers like 4.1.7.0, got '" + value + "'");
    }
    uint8_t fields[4];
    for (size_t i = 0; i < 4; ++i) {
        fields[i] = static_cast<uint8_t>(parseWhole("firmware", parts[i], 0, 255));
    }
    return FirmwareVersionValue{fields[0], fields[1], fields[2], fields[3]};
}

std::array<float, 4> parseCoefficients(const std::string& value)
{
    const std::vector<std::string> parts = split(value, ':');
    if (parts.empty() || parts.size() > 4) {
        throw std::invalid_argument("device option wavelength: expected c0[:c1[:c2[:c3]]], got '" + value + "'");
    }
    std::array<float, 4> coefficients{0.0f, 0.0f, 0.0f, 0.0f};
    for (size_t i = 0; i < parts.size(); ++i) {
        coefficients[i] = static_cast<float>(parseNumber("wavelength", parts[i]));
    }
    return coefficients;
}

double parsePositive(const std::string& key, const std::string& value)
{
    const double number = parseNumber(key, value);
    if (!(number > 0)) {
        throw std::invalid_argument("device option " + key + ": must be greater than 0, got '" + value + "'");
    }
    return number;
}

using Setter = std::function<void(SpectrometerConfig&, const std::string&)>;

const std::map<std::string, Setter>& setters()
{
    static const std::map<std::string, Setter> table{
        {"serial", [](SpectrometerConfig& c, const std::string& v) { c.serialNumber = v; }},
        {"pixels",
         [](SpectrometerConfig& c, const std::string& v) {
             c.pixelCount = static_cast<uint16_t>(parseWhole("pixels", v, 0, 4106));
             c.endPixel = static_cast<uint16_t>(c.startPixel + (c.pixelCount > 0 ? c.pixelCount - 1 : 0));
         }},
        {"firmware", [](SpectrometerConfig& c, const std::string& v) { c.firmware = parseFirmware(v); }},
        {"wavelength",
         [](SpectrometerConfig& c, const std::string& v) { c.wavelengthCoefficients = parseCoefficients(v); }},
        {"exposure-scale",
         [](SpectrometerConfig& c, const std::string& v) { c.exposureScale = parsePositive("exposure-scale", v); }},
        {"time-scale",
         [](SpectrometerConfig& c, const std::string& v) { c.timeScale = parsePositive("time-scale", v); }},
        {"buffer",
         [](SpectrometerConfig& c, const std::string& v) {
             c.bufferCapacity = static_cast<size_t>(parseWhole("buffer", v, 1, 65535));
         }},
        {"temperature",
         [](SpectrometerConfig& c, const std::string& v) {
             c.sensorTemperature = static_cast<float>(parseNumber("temperature", v));
         }},
    };
    return table;
}

} // namespace

SpectrometerConfig parseDeviceSpec(const std::string& spec, int index)
{
    SpectrometerConfig config = SpectrometerModel::defaultConfig(index);
    for (const std::string& item : split(spec, ',')) {
        if (item.empty()) {
            continue;
        }
        const size_t equals = item.find('=');
        if (equals == std::string::npos) {
            throw std::invalid_argument("device option '" + item + "' is not key=value");
        }
        const std::string key = item.substr(0, equals);
        const auto setter = setters().find(key);
        if (setter == setters().end()) {
            throw std::invalid_argument("unknown device option '" + key + "'");
        }
        setter->second(config, item.substr(equals + 1));
    }
    return config;
}

const char* deviceSpecHelp()
{
    return "Device keys (comma-separated key=value):\n"
           "  serial=TEXT          serial number (numeric serials sort batch starts)\n"
           "  pixels=N             pixel count, 0..4106 (default 2048)\n"
           "  firmware=A.B.C.D     firmware version (default 4.1.7.0)\n"
           "  wavelength=c0:c1:c2:c3  calibration, nm = c0 + c1 p + c2 p^2 + c3 p^3\n"
           "  exposure-scale=X     brightness of the simulated lamp (default 1)\n"
           "  time-scale=X         simulated time runs X times faster (default 1)\n"
           "  buffer=N             spectra the device can hold (default 1000)\n"
           "  temperature=C        sensor temperature reported in headers\n";
}

} // namespace velmorsim
