#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

/// Reads numbers and text out of device reply buffers. Everything on the wire
/// is little-endian; floats are taken bit for bit. Internal to the library
/// (not exported); installed because other headers name it. Stateless:
/// any thread.
class ByteConverter {
public:
    ByteConverter() = delete;

    /// `v` with its four bytes in reverse order. Does not throw.
    static uint32_t bswap32(uint32_t v);

    /// The integer T stored little-endian at data + offset. Unchecked: the
    /// caller guarantees sizeof(T) bytes there. Does not throw.
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

    /// Bounds-checked read of one float, uint32_t or uint16_t at `offset`
    /// (32-bit values byte-swapped when !is_little_endian). Throws
    /// std::runtime_error("Data buffer overflow") when the value does not fit
    /// in `data`.
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

    /// Text from `offset` up to the first NUL byte, at most max_length bytes
    /// (std::string::npos: no limit), optionally skipping leading NUL bytes;
    /// empty when `offset` lies beyond `data`. Returns a copy. Does not throw
    /// except std::bad_alloc.
    static std::string convert_str(const std::vector<uint8_t>& data, size_t offset, size_t max_length,
                                   bool trim_leading_null, bool trim_trailing_null);
};
