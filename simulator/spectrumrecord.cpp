#include "simulator/spectrumrecord.h"

#include "simulator/littleendian.h"

namespace velmorsim {

std::vector<uint8_t> encodeSpectrumRecord(const SpectrumHeader& header, const std::vector<float>& pixels)
{
    LittleEndianWriter writer;
    writer.u32(0)
        .u32(header.exposureTime)
        .u32(header.averaging)
        .u32(header.time)
        .u32(header.date)
        .f32(header.loadLevel)
        .f32(header.sensorTemperature)
        .u16(header.pixelCount)
        .u8(header.dataFormat)
        .u8(header.versionNumber)
        .u16(header.exposureSettings)
        .u16(header.appliedProcessing)
        .fixedText(header.name.substr(0, spectrumrecord::kNameSize - 1), spectrumrecord::kNameSize)
        .f32(header.darkAvg)
        .f32(header.readoutNoise);
    for (float value : pixels) {
        writer.f32(value);
    }
    return writer.take();
}

} // namespace velmorsim
