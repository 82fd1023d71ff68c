#include "acquisition/connectionlog.h"

#include <charconv>
#include <string_view>

namespace velmorcli {
namespace {

// Takes `expected` off the front of `text`, if it is there.
bool consume(std::string_view& text, std::string_view expected)
{
    if (text.substr(0, expected.size()) != expected) {
        return false;
    }
    text.remove_prefix(expected.size());
    return true;
}

// Takes a decimal number off the front of `text`, if one is there.
bool consumeNumber(std::string_view& text, int& number)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || number < 0) {
        return false;
    }
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return true;
}

} // namespace

void ConnectionLog::addLine(std::string_view line)
{
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    int index = 0;
    ConnectionDetails details;
    std::string_view rest = line;
    if (consume(rest, "正在初始化设备 ") && consumeNumber(rest, index) && consume(rest, ": bus=") &&
        consumeNumber(rest, details.bus) && consume(rest, ", address=") && consumeNumber(rest, details.address) &&
        rest.empty()) {
        mAttempt = Attempt{index, details};
        return;
    }
    rest = line;
    if (mAttempt && consume(rest, "设备软件版本: ") && !rest.empty()) {
        mAttempt->details.firmware = std::string(rest);
        return;
    }
    rest = line;
    if (mAttempt && consume(rest, "设备 ") && consumeNumber(rest, index) && consume(rest, " 初始化完成") &&
        rest.empty() && index == mAttempt->enumerationIndex) {
        mConnected.push_back(mAttempt->details);
        mAttempt.reset();
    }
}

const std::vector<ConnectionDetails>& ConnectionLog::connectedDevices() const
{
    return mConnected;
}

} // namespace velmorcli
