#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace velmorsim {

// Builds a device reply field by field; everything on the wire is
// little-endian.
class LittleEndianWriter {
public:
    LittleEndianWriter& u8(uint8_t value)
    {
        mBytes.push_back(value);
        return *this;
    }

    LittleEndianWriter& u16(uint16_t value) { return unsignedValue(value, 2); }
    LittleEndianWriter& u32(uint32_t value) { return unsignedValue(value, 4); }

    LittleEndianWriter& f32(float value)
    {
        uint32_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        return u32(bits);
    }

    // Exactly `width` bytes: the text, cut if longer, NUL-padded if shorter.
    LittleEndianWriter& fixedText(const std::string& text, std::size_t width)
    {
        for (std::size_t i = 0; i < width; ++i) {
            u8(i < text.size() ? static_cast<uint8_t>(text[i]) : 0);
        }
        return *this;
    }

    std::vector<uint8_t> take() { return std::move(mBytes); }

private:
    LittleEndianWriter& unsignedValue(uint64_t value, int width)
    {
        for (int i = 0; i < width; ++i) {
            mBytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
        return *this;
    }

    std::vector<uint8_t> mBytes;
};

// Callers check the length first; reading past the end is a bug.
inline uint32_t readLittleEndian32(const std::vector<uint8_t>& bytes, std::size_t offset)
{
    return static_cast<uint32_t>(bytes.at(offset)) | static_cast<uint32_t>(bytes.at(offset + 1)) << 8 |
           static_cast<uint32_t>(bytes.at(offset + 2)) << 16 | static_cast<uint32_t>(bytes.at(offset + 3)) << 24;
}

inline void writeLittleEndian(std::vector<uint8_t>& bytes, std::size_t offset, uint64_t value, int width)
{
    for (int i = 0; i < width; ++i) {
        bytes.at(offset + static_cast<std::size_t>(i)) = static_cast<uint8_t>(value >> (8 * i));
    }
}

} // namespace velmorsim
