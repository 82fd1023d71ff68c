#include "requestframing.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace velmorview {
namespace {

using Result = RequestFraming::Result;
using Verdict = RequestFraming::Verdict;

Result refused(int status, std::string reason)
{
    return Result{Verdict::Refused, 0, status, std::move(reason)};
}

bool sameName(std::string_view name, std::string_view expected)
{
    return name.size() == expected.size() &&
           std::equal(name.begin(), name.end(), expected.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// A body length in digits only; nothing for anything else or a number that
// does not fit.
std::optional<std::size_t> lengthIn(std::string_view digits)
{
    if (digits.empty() || digits.size() > 12) {
        return std::nullopt;
    }
    std::size_t length = 0;
    for (const char digit : digits) {
        if (digit < '0' || digit > '9') {
            return std::nullopt;
        }
        length = length * 10 + static_cast<std::size_t>(digit - '0');
    }
    return length;
}

} // namespace

Result RequestFraming::frame(std::string_view received)
{
    const std::size_t headEnd = received.find("\r\n\r\n");
    if (headEnd == std::string_view::npos) {
        if (received.size() > MAX_HEAD_BYTES) {
            return refused(431, "the request line and headers are too large");
        }
        return Result{};
    }
    const std::size_t headLength = headEnd + 4;
    if (headLength > MAX_HEAD_BYTES) {
        return refused(431, "the request line and headers are too large");
    }
    return frameHead(received.substr(0, headEnd), headLength, received.size());
}

Result RequestFraming::frameHead(std::string_view head, std::size_t headLength, std::size_t received)
{
    std::optional<std::size_t> bodyLength;
    std::size_t lineStart = head.find("\r\n");
    while (lineStart != std::string_view::npos) {
        lineStart += 2;
        const std::size_t lineEnd = std::min(head.find("\r\n", lineStart), head.size());
        const std::string_view line = head.substr(lineStart, lineEnd - lineStart);
        const std::size_t colon = line.find(':');
        const std::string_view name = trimmed(line.substr(0, colon));
        const std::string_view value = colon == std::string_view::npos ? "" : trimmed(line.substr(colon + 1));
        if (sameName(name, "Transfer-Encoding")) {
            return refused(411, "send the body with a Content-Length, not in chunks");
        }
        if (sameName(name, "Content-Encoding")) {
            return refused(415, "send the body uncompressed");
        }
        if (sameName(name, "Content-Length")) {
            const auto length = lengthIn(value);
            if (!length || (bodyLength && *bodyLength != *length)) {
                return refused(400, "the Content-Length is not one whole number");
            }
            bodyLength = length;
        }
        lineStart = lineEnd == head.size() ? std::string_view::npos : lineEnd;
    }
    const std::size_t body = bodyLength.value_or(0);
    if (body > MAX_BODY_BYTES) {
        return refused(413, "the request body is too large");
    }
    if (received < headLength + body) {
        return Result{};
    }
    return Result{Verdict::Complete, headLength + body, 0, {}};
}

} // namespace velmorview
