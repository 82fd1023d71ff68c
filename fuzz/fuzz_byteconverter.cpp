// ByteConverter on arbitrary buffers: convert<T> at arbitrary offsets must
// return the bytes found there or throw std::runtime_error when they do not
// fit; convert_str with any offset, length limit and flags must return text
// from within the buffer. Any read outside the buffer is a sanitizer report.

#include <velmor/byteconverter.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "ByteConverter: %s\n", what);
        std::abort();
    }
}

// An offset anywhere in size_t, or one near the buffer (inside, at its end
// or just past it), where the bounds check matters.
std::size_t pickOffset(FuzzedDataProvider& input, std::size_t bufferSize)
{
    const std::size_t raw = input.ConsumeIntegral<std::size_t>();
    return input.ConsumeBool() ? raw : raw % (bufferSize + 8);
}

std::size_t pickMaxLength(FuzzedDataProvider& input)
{
    switch (input.ConsumeIntegralInRange(0, 2)) {
    case 0: return std::string::npos;
    case 1: return input.ConsumeIntegral<uint8_t>();
    default: return input.ConsumeIntegral<std::size_t>();
    }
}

bool fits(std::size_t offset, std::size_t width, std::size_t size)
{
    return offset <= size && size - offset >= width;
}

template <typename T>
void checkConvert(const std::vector<uint8_t>& buffer, std::size_t offset, bool littleEndian)
{
    T value{};
    try {
        value = ByteConverter::convert<T>(buffer, offset, littleEndian);
    } catch (const std::runtime_error&) {
        require(!fits(offset, sizeof(T), buffer.size()), "convert refused a value inside the buffer");
        return;
    }
    require(fits(offset, sizeof(T), buffer.size()), "convert returned a value past the buffer");
    if (littleEndian) {
        // The host is little-endian too: the value is the bytes as they lie.
        require(std::memcmp(&value, buffer.data() + offset, sizeof(T)) == 0, "convert changed a little-endian value");
    }
}

void checkConvertStr(const std::vector<uint8_t>& buffer, std::size_t offset, std::size_t maxLength, bool trimLeading,
                     bool trimTrailing)
{
    const std::string text = ByteConverter::convert_str(buffer, offset, maxLength, trimLeading, trimTrailing);
    if (text.empty()) {
        return;
    }
    require(offset < buffer.size(), "convert_str found text past the buffer");
    require(text.size() <= maxLength, "convert_str returned more than the length limit");
    require(text.find('\0') == std::string::npos, "convert_str returned a NUL");
    const auto from = buffer.begin() + static_cast<std::ptrdiff_t>(offset);
    const auto sameByte = [](uint8_t byte, char character) { return byte == static_cast<uint8_t>(character); };
    require(std::search(from, buffer.end(), text.begin(), text.end(), sameByte) != buffer.end(),
            "convert_str returned text that is not in the buffer after the offset");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const std::size_t bufferSize = input.ConsumeIntegralInRange<std::size_t>(0, size);
    const std::vector<uint8_t> buffer = input.ConsumeBytes<uint8_t>(bufferSize);

    const std::size_t offset = pickOffset(input, buffer.size());
    const bool littleEndian = input.ConsumeBool();
    checkConvert<float>(buffer, offset, littleEndian);
    checkConvert<uint32_t>(buffer, offset, littleEndian);
    checkConvert<uint16_t>(buffer, offset, littleEndian);
    checkConvert<int16_t>(buffer, offset, littleEndian);

    const std::size_t maxLength = pickMaxLength(input);
    const bool trimLeading = input.ConsumeBool();
    const bool trimTrailing = input.ConsumeBool();
    checkConvertStr(buffer, pickOffset(input, buffer.size()), maxLength, trimLeading, trimTrailing);
    return 0;
}
