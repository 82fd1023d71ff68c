#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace velmorview {

// Every text that reaches a reply goes through here. Serial numbers, error
// texts of the library and the devices, and whatever a client sent are
// untrusted bytes: JSON must hold UTF-8, and nlohmann throws on anything
// else, so each sequence that is not UTF-8 becomes U+FFFD.
namespace replytext {

// `text` with every byte sequence that is not UTF-8 replaced by U+FFFD.
std::string validUtf8(std::string_view text);

// Something a client sent, quoted in a reason: valid UTF-8 and short, so a
// refusal neither breaks its JSON nor hands back what it was given.
std::string clientText(std::string_view text);

// The JSON text of `value`; never throws on its strings, whatever they hold.
std::string dump(const nlohmann::json& value);

} // namespace replytext
} // namespace velmorview
