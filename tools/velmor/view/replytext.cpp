#include "replytext.h"

namespace velmorview {
namespace replytext {
namespace {

constexpr std::size_t LONGEST_CLIENT_TEXT = 64;
const char* const REPLACEMENT = "\xEF\xBF\xBD";

// The length of the UTF-8 sequence at the start of `text`, 0 if there is
// none: no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t sequenceLength(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const auto continuation = [&](std::size_t i) { return i < text.size() && (byte(i) & 0xC0) == 0x80; };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return continuation(1) ? 2 : 0;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (!continuation(1) || !continuation(2)) {
            return 0;
        }
        const bool overlong = lead == 0xE0 && byte(1) < 0xA0;
        const bool surrogate = lead == 0xED && byte(1) >= 0xA0;
        return overlong || surrogate ? 0 : 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (!continuation(1) || !continuation(2) || !continuation(3)) {
            return 0;
        }
        const bool overlong = lead == 0xF0 && byte(1) < 0x90;
        const bool tooHigh = lead == 0xF4 && byte(1) >= 0x90;
        return overlong || tooHigh ? 0 : 4;
    }
    return 0;
}

} // namespace

std::string validUtf8(std::string_view text)
{
    std::string valid;
    valid.reserve(text.size());
    while (!text.empty()) {
        const std::size_t length = sequenceLength(text);
        if (length == 0) {
            valid += REPLACEMENT;
            text.remove_prefix(1);
        } else {
            valid.append(text.data(), length);
            text.remove_prefix(length);
        }
    }
    return valid;
}

std::string clientText(std::string_view text)
{
    if (text.size() <= LONGEST_CLIENT_TEXT) {
        return validUtf8(text);
    }
    return validUtf8(text.substr(0, LONGEST_CLIENT_TEXT)) + "...";
}

std::string dump(const nlohmann::json& value)
{
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace replytext
} // namespace velmorview
