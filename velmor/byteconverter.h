#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

// Reads numbers and text out of device reply buffers. Everything on the wire
// is little-endian; floats are taken bit for bit.
class ByteConverter {
public:
    ByteConverter() = delete;

    static uint32_t bswap32(uint32_t v);

    // Unchecked: the caller guarantees sizeof(T) bytes at data + offset.
    template <typename T>
    static T fromLittleEndian(const uint8_t* data, size_t offset)
    {
        static_assert(std::is_integral<T>::value, "fromLittleEndian reads integers");
        using U = typename std::make_unsigned<T>::type;
        U value = 0;
        for (size_t i = 0; i < sizeof(T); ++i) {
            value = static_cast<U>(value | (static_cast<U>(data[offset + i]) << (8 * i)));
        }
        return static_cast<T>(value);
    }

    // Bounds-checked read of one float, uint32_t or uint16_t.
    template <typename T>
    static T convert(const std::vector<uint8_t>& data, size_t offset, bool is_little_endian)
    {
        static_assert(sizeof(T) == 2 || sizeof(T) == 4, "convert reads 16- or 32-bit values");
        if (offset > data.size() || data.size() - offset < sizeof(T)) {
            throw std::runtime_error("Data buffer overflow");
        }
        using Bits = typename std::conditional<sizeof(T) == 4, uint32_t, uint16_t>::type;
        Bits bits = fromLittleEndian<Bits>(data.data(), offset);
        if (!is_little_endian && sizeof(T) == 4) {
            bits = static_cast<Bits>(bswap32(bits));
        }
        T value;
        std::memcpy(&value, &bits, sizeof(T));
        return value;
    }

    static std::string convert_str(const std::vector<uint8_t>& data, size_t offset, size_t max_length,
                                   bool trim_leading_null, bool trim_trailing_null);
};
