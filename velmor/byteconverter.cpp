#include <velmor/byteconverter.h>

#include <algorithm>

uint32_t ByteConverter::bswap32(uint32_t v)
{
    return ((v & 0x000000FFu) << 24) | ((v & 0x0000FF00u) << 8) | ((v & 0x00FF0000u) >> 8) |
           ((v & 0xFF000000u) >> 24);
}

std::string ByteConverter::convert_str(const std::vector<uint8_t>& data, size_t offset, size_t max_length,
                                       bool trim_leading_null, bool trim_trailing_null)
{
    if (data.empty() || offset >= data.size()) {
        return std::string();
    }
    auto begin = data.begin() + static_cast<std::ptrdiff_t>(offset);
    if (trim_leading_null) {
        begin = std::find_if(begin, data.end(), [](uint8_t byte) { return byte != 0; });
        if (begin == data.end()) {
            return std::string();
        }
    }
    auto end = std::find(begin, data.end(), uint8_t{0});
    if (max_length != std::string::npos && static_cast<size_t>(end - begin) > max_length) {
        end = begin + static_cast<std::ptrdiff_t>(max_length);
    }
    std::string text(begin, end);
    if (trim_trailing_null && !text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return text;
}
