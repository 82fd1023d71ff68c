#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmorsim {

// Layout of the reply to a spectrum read: return code, 64-byte header, then
// one float per pixel. Offsets are within the whole reply.
namespace spectrumrecord {
constexpr std::size_t kHeaderOffset = 4;
constexpr std::size_t kHeaderSize = 64;
constexpr std::size_t kPixelsOffset = kHeaderOffset + kHeaderSize;
constexpr std::size_t kExposureTimeOffset = kHeaderOffset + 0;
constexpr std::size_t kAveragingOffset = kHeaderOffset + 4;
constexpr std::size_t kTimeOffset = kHeaderOffset + 8;
constexpr std::size_t kDateOffset = kHeaderOffset + 12;
constexpr std::size_t kLoadLevelOffset = kHeaderOffset + 16;
constexpr std::size_t kPixelCountOffset = kHeaderOffset + 24;
constexpr std::size_t kDataFormatOffset = kHeaderOffset + 26;
constexpr std::size_t kVersionNumberOffset = kHeaderOffset + 27;
constexpr std::size_t kExposureSettingsOffset = kHeaderOffset + 28;
constexpr std::size_t kAppliedProcessingOffset = kHeaderOffset + 30;
constexpr std::size_t kNameOffset = kHeaderOffset + 32;
constexpr std::size_t kNameSize = 24;

constexpr uint16_t kDarkSubtracted = 0x0010;      // AppliedProcessing, unit bits left at 0 (counts)
constexpr uint16_t kHardwareTriggered = 0x0001;   // ExposureSettings
} // namespace spectrumrecord

struct SpectrumHeader {
    uint32_t exposureTime = 0;
    uint32_t averaging = 0;
    uint32_t time = 0;
    uint32_t date = 0;
    float loadLevel = 0.0f;
    float sensorTemperature = 0.0f;
    uint16_t pixelCount = 0;
    uint8_t dataFormat = 0;
    uint8_t versionNumber = 0;
    uint16_t exposureSettings = 0;
    uint16_t appliedProcessing = 0;
    std::string name;  // at most 23 characters reach the wire, NUL-terminated
    float darkAvg = 0.0f;
    float readoutNoise = 0.0f;
};

// A successful reply: return code 0, the header, then the pixel values.
std::vector<uint8_t> encodeSpectrumRecord(const SpectrumHeader& header, const std::vector<float>& pixels);

} // namespace velmorsim
